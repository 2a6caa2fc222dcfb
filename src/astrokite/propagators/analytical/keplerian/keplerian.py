"""Two-body (Keplerian) propagation."""

from astrokite.propagators.propagators import Propagator


class Keplerian(Propagator):
    """Propagator of the unperturbed two-body problem."""
