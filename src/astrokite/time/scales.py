"""Two-part Julian dates of a ``Time`` in the UTC and TT scales, for pyerfa.

A ``Time`` counts nanoseconds since 1970-01-01 UTC in days of 86,400 s, so its
UTC Julian date splits exactly into a whole day count and a day fraction. TT
follows through pyerfa's leap-second table (``erfa.utctai`` then
``erfa.taitt``).
"""

import erfa
import numpy as np

_NS_PER_DAY = 86_400 * 10**9
_JD_UNIX_EPOCH = 2440587.5


def utc_jd_parts(time):
    """UTC Julian date of ``time`` as (day part, fraction part) float arrays.

    Zero-dimensional for a scalar ``time``, one-dimensional for an array.
    """
    days, ns_of_day = np.divmod(np.asarray(time.int64, dtype=np.int64), _NS_PER_DAY)
    return _JD_UNIX_EPOCH + days.astype(np.float64), ns_of_day / _NS_PER_DAY


def tt_jd_parts(time):
    """TT Julian date of ``time`` as (day part, fraction part), via TAI."""
    return erfa.taitt(*erfa.utctai(*utc_jd_parts(time)))
