"""Sunlight: the Sun's position in a frame and the sunlit fraction of states."""

from __future__ import annotations

import numpy as np

from astrokite.lighting import shadow
from astrokite.time.time import Time


def sun_position(time, frame) -> np.ndarray:
    """The Sun's geocentric position [m] at ``time`` (an array-valued ``Time``)
    in ``frame`` (TEME, ITRF or GCRF): shape (times, 3). Geometric, from
    ``erfa.epv00`` as ``astrokite.bodies.Sun`` gives it in the GCRF, turned
    into the frame with the Earth orientation in force."""
    from astrokite.bodies.bodies import Sun
    from astrokite.frames.frames import GCRF
    from astrokite.state.ephemeris import StateVectorEphemeris

    time = time if isinstance(time, Time) else Time(time)
    counts = np.atleast_1d(np.asarray(time.int64, np.int64))
    time = Time(counts)
    gcrf = np.asarray(Sun(time).position, np.float64).reshape(len(counts), 3)
    sun = StateVectorEphemeris(time, gcrf[None], frame=GCRF)
    return np.ascontiguousarray(sun.to(frame).position[0])


def illumination(ephemeris) -> np.ndarray:
    """The sunlit fraction of every sample of a ``StateVectorEphemeris`` (any
    frame): shape (satellites, times), 1.0 in sunlight, 0.0 in the umbra, and
    in the penumbra the fraction of the Sun's disc seen past the Earth.

    The Earth is a sphere of the WGS 84 equatorial radius (6378.137 km), the
    Sun a uniformly bright sphere of 695,700 km: the shadow's cones meet the
    real, flattened Earth's within some 20 km at the poles, a few seconds of a
    low orbit's crossing; the atmosphere's dimming is not modelled. Failed
    samples give NaN.

    Example: the ISS entering the Earth's shadow, every 3 s.

    >>> import astrokite as ak, numpy as np
    >>> iss = ak.read_tle("data/iss.tle")[25544]
    >>> times = ak.Time("2023-03-01T01:03:45").int64 + np.arange(0, 16, 3) * 10**9
    >>> ak.illumination(ak.SGP4(iss).propagate(ak.Time(times))).round(3)
    array([[1.   , 1.   , 0.953, 0.565, 0.137, 0.   ]])
    """
    counts = ephemeris._counts()
    sun = sun_position(Time(counts), ephemeris.frame)
    position = np.ascontiguousarray(ephemeris.position, np.float64)
    return shadow.illumination(sun, position)
