"""``python -m astrokite``: the command line, as the ``astrokite`` script runs it."""

from astrokite.cli.main import main

if __name__ == "__main__":
    main(prog_name="astrokite")
