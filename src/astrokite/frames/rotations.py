"""Rotations between reference frames."""

import erfa
import numpy as np

from astrokite import eop
from astrokite.time.scales import tt_jd_parts, ut1_jd_parts


def rot_GCRF_from_ITRF(time):
    """The rotation matrix from ITRF to GCRF at ``time`` (a ``Time``).

    ``r @ x_itrf`` gives GCRF coordinates. Shape (3, 3), or (n, 3, 3) for an
    array-valued time. It is the transpose of ``erfa.c2t06a`` (IAU 2006/2000A)
    with UT1 - UTC and polar motion from the Earth orientation table in force
    (``astrokite.eop``; the celestial pole offsets are not applied, as in
    ``c2t06a``). With ``eop.use(None)`` it is the old model: UT1 = UTC and no
    polar motion, off by up to 0.9 s of Earth rotation (some 400 m at the
    equator) and some 10 m from the pole. TT comes from UTC through pyerfa's
    leap-second table.
    """
    orientation = eop.orientation(time.int64)
    if np.ndim(time.int64) == 0:
        orientation = orientation[0]
    ut1_utc, xp, yp = orientation[..., 0], orientation[..., 1], orientation[..., 2]
    celestial_to_terrestrial = erfa.c2t06a(*tt_jd_parts(time), *ut1_jd_parts(time, ut1_utc), xp, yp)
    return np.ascontiguousarray(np.swapaxes(celestial_to_terrestrial, -1, -2))
