"""Two-part Julian dates of a ``Time`` in the UTC, TT and UT1 scales, for pyerfa.

A ``Time`` counts nanoseconds since 1970-01-01 UTC in days of 86,400 s, while
pyerfa's UTC dates stretch a day that ends in a leap second to 86,401 s. The
count is therefore turned into a calendar date and a time of day first, and
pyerfa builds its own two-part UTC date from those (``erfa.dtf2d``); TAI and TT
follow through pyerfa's leap-second table.
"""

import erfa
import numpy as np

_NS_PER_DAY = 86_400 * 10**9
_NS_PER_HOUR = 3_600 * 10**9
_NS_PER_MINUTE = 60 * 10**9
_JD_UNIX_EPOCH = 2440587.5


def utc_jd_parts(time):
    """UTC of ``time`` as pyerfa's two-part quasi Julian date.

    Zero-dimensional arrays for a scalar ``time``, one-dimensional for an array.
    """
    days, ns_of_day = np.divmod(np.asarray(time.int64, dtype=np.int64), _NS_PER_DAY)
    year, month, day, _ = erfa.jd2cal(_JD_UNIX_EPOCH + days.astype(np.float64), 0.0)
    hour, ns_of_hour = np.divmod(ns_of_day, _NS_PER_HOUR)
    minute, ns_of_minute = np.divmod(ns_of_hour, _NS_PER_MINUTE)
    return erfa.dtf2d("UTC", year, month, day, hour, minute, ns_of_minute / 1e9)


def tt_jd_parts(time):
    """TT of ``time`` as a two-part Julian date."""
    return erfa.taitt(*erfa.utctai(*utc_jd_parts(time)))


def ut1_jd_parts(time, dut1=0.0):
    """UT1 of ``time`` as a two-part Julian date, given UT1 - UTC [s]."""
    return erfa.utcut1(*utc_jd_parts(time), dut1)
