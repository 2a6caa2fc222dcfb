"""Ephemerides: states of a spacecraft over a span of time."""


class Ephemeris:
    """Base of the ephemerides, states of one spacecraft at a series of times."""


class StateVectorEphemeris(Ephemeris):
    """An ephemeris of Cartesian position and velocity."""


class COEEphemeris(Ephemeris):
    """An ephemeris of classical orbital elements."""


class GeoStateEphemeris(Ephemeris):
    """An ephemeris of geodetic states."""
