"""Earth-fixed geometry kernels: TEME, ITRF and GCRF, geodetic coordinates, look angles."""

import numpy as np
from numpy.typing import NDArray

earth_rotation_rate: float

def teme_itrf(ns: NDArray[np.int64], position: NDArray[np.float64], velocity: NDArray[np.float64] | None,
              to_itrf: bool, orientation: NDArray[np.float64] | None = None
              ) -> tuple[NDArray[np.float64], NDArray[np.float64] | None]:
    """States (satellites, times, 3) [m, m/s] between TEME and ITRF at the UTC counts `ns`
    (GMST 1982 of UT1, then polar motion), with the (times, 3) Earth orientation (UT1 - UTC [s],
    xp, yp [rad]) of each time, or UT1 = UTC and no polar motion without it."""

def itrf_gcrf(rotations: NDArray[np.float64], position: NDArray[np.float64], velocity: NDArray[np.float64] | None,
              to_gcrf: bool) -> tuple[NDArray[np.float64], NDArray[np.float64] | None]:
    """States (satellites, times, 3) between ITRF and GCRF given the (times, 3, 3) ITRF -> GCRF rotations."""

def gmst82(ns: NDArray[np.int64]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """GMST of the IAU 1982 model [rad] and its rate [rad/s] at UTC counts (UT1 = UTC)."""

def earth_orientation(ns: NDArray[np.int64], columns: tuple[NDArray[np.float64], ...] | None) -> NDArray[np.float64]:
    """UT1 - UTC [s], xp and yp [rad] (n, 3) at the instants `ns` (int64 ns since 1970 UTC), interpolated
    linearly between the days of an EOPTable's columns (mjd, smooth, leaps, x, y); zeros for None."""

def geodetic(position: NDArray[np.float64], a: float, f: float, ns: NDArray[np.int64] | None = None,
             orientation: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
    """Latitude, longitude [rad] and altitude [m] (last axis) of Earth-fixed positions [m] on the
    ellipsoid (a [m], f), or of TEME (satellites, times, 3) positions at the UTC counts `ns` (with
    their (times, 3) Earth orientation, as for teme_itrf)."""

def site_frame(lat: float, lon: float, alt: float, a: float,
               f: float) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Earth-fixed position [m] of a geodetic point and its east, north and up axes (rows of a 3x3)."""

def look(lat: float, lon: float, alt: float, a: float, f: float, position: NDArray[np.float64],
         velocity: NDArray[np.float64] | None) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Azimuth, elevation [rad], range [m] (last axis) and range rate [m/s, NaN without velocity]
    of Earth-fixed targets seen from a site."""
