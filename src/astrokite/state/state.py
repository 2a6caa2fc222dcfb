"""States of a spacecraft at one time."""


class State:
    """Base of the states of a spacecraft at one time."""


class StateVector(State):
    """Cartesian position and velocity."""


class COE(State):
    """Classical orbital elements."""


class GeoState(State):
    """Geodetic latitude, longitude and altitude, with their rates."""
