"""Two-line element sets: TLE, one element set, and ELSET, the element sets of one satellite."""

from astrokite.bodies.bodies import CelestialBody as CelestialBody, Earth as Earth, Moon as Moon, Sun as Sun
from astrokite.frames.frames import (
    ENU as ENU,
    GCRF as GCRF,
    ITRF as ITRF,
    TEME as TEME,
    Frame as Frame,
    _GCRF as _GCRF,
    _ITRF as _ITRF,
    _TEME as _TEME,
)
from astrokite.mathtools.ellipsoid.ellipsoid import GRS80 as GRS80, WGS72 as WGS72, WGS84 as WGS84, Ellipsoid as Ellipsoid
from astrokite.mathtools.misc.misc import atan2_asymmetric as atan2_asymmetric
from astrokite.state.coe import c_eca_from_mea as c_eca_from_mea
from astrokite.time.time import Time as Time
from astrokite.units.units import (
    day as day,
    deg as deg,
    hour as hour,
    kg as kg,
    km as km,
    m as m,
    minute as minute,
    rad as rad,
    rev as rev,
    s as s,
    sday as sday,
    sec as sec,
    second as second,
)
from astrokite.utils.representable import Representable

class TLE(Representable):
    """One two-line element set, read once at construction and immutable afterwards.

    Both lines are stored as their first 69 characters (blank-filled when
    shorter). Line 1 gives the satellite number and the epoch, line 2 the mean
    elements in SI units (rad, rad/s); semi-major axis, period, eccentric and
    true anomaly and perigee and apogee altitudes are derived with Earth.GM
    and Earth.Re. Fields are read by column; blank or non-numeric fields read
    as 0. With strict_validation true, a line that does not begin with its
    line number, a wrong checksum or differing satellite numbers raise
    ValueError.
    """

    def __init__(self, line1: str, line2: str, strict_validation: object = False) -> None: ...
    @property
    def line1(self) -> str:
        """TLE.line1: str"""
    @property
    def line2(self) -> str:
        """TLE.line2: str"""
    @property
    def satno(self) -> int | str:
        """TLE.satno: int | str"""
    @property
    def epoch(self) -> Time: ...
    @property
    def inc(self) -> float: ...
    @property
    def raa(self) -> float: ...
    @property
    def ecc(self) -> float: ...
    @property
    def mea(self) -> float: ...
    @property
    def arp(self) -> float: ...
    @property
    def mnm(self) -> float: ...
    @property
    def sma(self) -> float: ...
    @property
    def orp(self) -> float: ...
    @property
    def eca(self) -> float: ...
    @property
    def tra(self) -> float: ...
    @property
    def pge(self) -> float: ...
    @property
    def apg(self) -> float: ...
    def _get_header(self) -> str:
        """TLE._get_header(self) -> str"""
    def _get_body(self) -> str:
        """TLE._get_body(self) -> str"""
