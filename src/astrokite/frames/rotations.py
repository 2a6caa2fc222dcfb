"""Rotations between reference frames."""

import erfa
import numpy as np

from astrokite.time.scales import tt_jd_parts, ut1_jd_parts


def rot_GCRF_from_ITRF(time):
    """The rotation matrix from ITRF to GCRF at ``time`` (a ``Time``).

    ``r @ x_itrf`` gives GCRF coordinates. Shape (3, 3), or (n, 3, 3) for an
    array-valued time. It is the transpose of ``erfa.c2t06a`` (IAU 2006/2000A)
    with UT1 taken equal to UTC and zero polar motion: no Earth orientation
    data are used, which leaves errors of up to about 0.9 s of Earth rotation
    (some 400 m at the equator) and some 10 m from the pole. TT comes from UTC
    through pyerfa's leap-second table.
    """
    celestial_to_terrestrial = erfa.c2t06a(*tt_jd_parts(time), *ut1_jd_parts(time), 0.0, 0.0)
    return np.ascontiguousarray(np.swapaxes(celestial_to_terrestrial, -1, -2))
