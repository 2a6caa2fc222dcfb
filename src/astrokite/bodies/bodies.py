"""Celestial bodies: gravitational parameter, reference radius and position.

Calling a body class with a time gives the body at that time, with its
geocentric position in the GCRF in metres (an (n, 3) array for an array-valued
time). Positions come from pyerfa: the Sun from ``erfa.epv00`` (TT used for
TDB, which differ by less than 2 ms), the Moon from ``erfa.moon98``; the Earth
sits at the origin.
"""

import erfa
import numpy as np

from astrokite.time.scales import tt_jd_parts
from astrokite.time.time import Time

_METRES_PER_AU = erfa.DAU


class CelestialBody:
    """A celestial body at a time.

    Class attributes: ``GM`` [m^3/s^2], the gravitational parameter, and ``Re``
    [m], the equatorial radius. Instances hold ``time`` (a ``Time``) and
    ``position``, the geocentric GCRF position [m], shape (3,) or (n, 3).
    """

    GM: float
    Re: float

    def __init__(self, time):
        self.time = time if isinstance(time, Time) else Time(time)
        self.position = self._geocentric_position(self.time)

    @staticmethod
    def _geocentric_position(time):
        raise NotImplementedError("CelestialBody has no position of its own; use Earth, Sun or Moon")

    def __repr__(self):
        return f"{type(self).__name__}(time={self.time!r})"


class Earth(CelestialBody):
    """The Earth (GM and equatorial radius of WGS 84), at the origin of the GCRF."""

    GM = 3.986004418e14
    Re = 6378137.0

    @staticmethod
    def _geocentric_position(time):
        return np.zeros(np.shape(time.int64) + (3,))


class Sun(CelestialBody):
    """The Sun (GM of IERS 2010, nominal radius of IAU 2015 B3), from ``erfa.epv00``."""

    GM = 1.32712440018e20
    Re = 6.957e8

    @staticmethod
    def _geocentric_position(time):
        earth_heliocentric, _ = erfa.epv00(*tt_jd_parts(time))
        return -_METRES_PER_AU * earth_heliocentric["p"]


class Moon(CelestialBody):
    """The Moon (GM of DE430, equatorial radius of the IAU), from ``erfa.moon98``."""

    GM = 4.902800066e12
    Re = 1738.1e3

    @staticmethod
    def _geocentric_position(time):
        return _METRES_PER_AU * erfa.moon98(*tt_jd_parts(time))["p"]
