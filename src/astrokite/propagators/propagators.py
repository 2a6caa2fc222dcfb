"""Orbit propagators."""


class Propagator:
    """Base of the orbit propagators, which carry a state from its time to others."""
