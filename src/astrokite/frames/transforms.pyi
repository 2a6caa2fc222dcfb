"""
Earth-fixed geometry kernels: TEME, ITRF and GCRF, geodetic coordinates, look angles.
"""

from typing import Annotated

import numpy
from numpy.typing import NDArray


def teme_itrf(ns: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], velocity: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)] | None, to_itrf: bool, orientation: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)] | None = None) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64] | None]:
    """
    States between TEME and ITRF (GMST 1982 of UT1, then polar motion), with the Earth
    orientation (ut1_utc [s], xp, yp [rad]) of each time, or UT1 = UTC and no polar motion.
    """

def itrf_gcrf(rotations: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], velocity: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)] | None, to_gcrf: bool) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64] | None]:
    """
    States between ITRF and GCRF given the ITRF -> GCRF rotation of each time.
    """

def gmst82(ns: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]:
    """GMST of the IAU 1982 model [rad] and its rate [rad/s] at UTC counts."""

def earth_orientation(ns: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], columns: object | None) -> NDArray[numpy.float64]:
    """
    UT1 - UTC [s], xp and yp [rad] (n, 3) at the instants `ns` (int64 ns since 1970 UTC), interpolated
    linearly between the days of an EOPTable's columns (mjd, smooth, leaps, x, y); zeros for None.
    """

def geodetic(position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], a: float, f: float, ns: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)] | None = None, orientation: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)] | None = None) -> NDArray[numpy.float64]:
    """
    Geodetic latitude, longitude [rad] and altitude [m] of Earth-fixed positions, or of
    TEME (satellites, times, 3) positions at the times `ns` (with their Earth orientation).
    """

def site_frame(lat: float, lon: float, alt: float, a: float, f: float) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]:
    """Earth-fixed position of a site and its east, north and up axes."""

def look(lat: float, lon: float, alt: float, a: float, f: float, position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], velocity: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)] | None) -> tuple[NDArray[numpy.float64], NDArray[numpy.float64]]:
    """
    Azimuth, elevation, range and range rate of Earth-fixed targets from a site.
    """

earth_rotation_rate: float = 7.292115146706979e-05
