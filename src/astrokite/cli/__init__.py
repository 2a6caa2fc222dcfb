"""The ``astrokite`` command line (``astrokite`` script, ``python -m astrokite``)."""
