"""Type hints shared by the package."""

import datetime
from typing import TypeAlias, Union

import numpy as np

from astrokite.time.time import Time

DatetimeLike: TypeAlias = Union[
    Time,
    str,
    datetime.datetime,
    datetime.date,
    np.datetime64,
    int,
    np.integer,
    float,
    np.floating,
    np.ndarray,
    list,
    tuple,
]
"""Anything ``Time`` accepts as its value: a ``Time``, ISO 8601 text, a date or
datetime, a ``numpy.datetime64``, a count of nanoseconds, a float with a
``format``, an array of these, or a list or tuple of them. Instants of pandas
(``Timestamp``, ``DatetimeIndex``, ``Series``), astropy and skyfield are taken
too, through the datetime64 arrays or aware datetimes they expose; they are not
listed here so that this module imports none of those packages."""
