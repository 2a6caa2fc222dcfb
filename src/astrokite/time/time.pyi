"""
The package's time type: instants as int64 nanoseconds since 1970 in UTC.
"""

from typing import Literal

import numpy
import numpy.typing

import astrokite.typing


class UTC:
    """
    An instant in UTC shown as ISO 8601 text to the microsecond, e.g. 2023-01-01T06:28:40.541088Z.
    """

    def __repr__(self) -> str: ...

    def __str__(self) -> str: ...

    def __eq__(self, other: object, /) -> bool: ...

    def __hash__(self) -> int: ...

class TimeIterator:
    """Iterator over the instants of an array-valued Time."""

    def __iter__(self) -> TimeIterator: ...

    def __next__(self) -> Time: ...

class Time:
    """
    An instant or a one-dimensional array of instants, in UTC.

    Stored as int64 nanoseconds since 1970-01-01T00:00:00 UTC with days of
    86,400 s (POSIX time, NumPy's datetime64[ns]); the range is what fits in that
    count, 1677-09-21 to 2262-04-11 (the smallest count is NumPy's NaT and is
    refused). Time objects are immutable.

    Time(value, format=None) accepts:

    - a Time (a new object for the same instants);
    - ISO 8601 text: "2024", "2024-03", "2024-03-05", "2024-03-05T12",
      "2024-03-05T12:00", "2024-03-05T12:00:07.25" ("T" or a blank between date
      and time), in UTC or with a trailing "Z"; a time of day may instead carry
      an offset from UTC, "2024-03-05T13:00+01:00" (also "-05:30", "+0100",
      "+01"); a year alone means January 1, 00:00;
    - datetime.datetime (naive taken as UTC, aware converted to UTC) and
      datetime.date;
    - numpy.datetime64, scalar or array, any unit;
    - an integer (Python or NumPy) or a 1-D integer array: the count itself
      (format None or "int64");
    - a number or numeric array with format "jd" (Julian date), "mjd" (modified
      Julian date) or "unix" (seconds), rounded to the nearest nanosecond;
    - a list or tuple of any of these scalars, giving an array-valued Time;
    - pandas' Timestamp, DatetimeIndex and datetime Series (naive taken as UTC,
      with a time zone converted to UTC), astropy's Time (its UTC scale) and
      skyfield's Time (its UTC, to the microsecond).

    NaT and other missing instants raise ValueError. Time.now() is the current
    instant.

    Text that is not a date and instants out of range raise ValueError; other
    types raise TypeError.

    Attributes: int64 (the count, ns), jd and mjd (days), unix (s), datetime64,
    utc, shape and size. Comparisons order instants (elementwise for arrays);
    an array-valued Time supports len(), indexing and iteration.

    Example:

    >>> from astrokite.time.time import Time
    >>> t = Time("2024-03-20T03:06:00")
    >>> t.jd                                  # days
    2460389.629166667
    >>> t.int64                               # ns since 1970
    1710903960000000000
    >>> Time(2460389.5, format="jd")
    Time('2024-03-20T00:00:00.000000000Z')
    >>> Time(["2024-03-20", "2024-03-21T12:00"]).mjd
    array([60389. , 60390.5])
    >>> t < Time("2024-03-21")
    True
    """

    def __init__(self, value: astrokite.typing.DatetimeLike, format: Literal['int64', 'jd', 'mjd', 'unix'] | None = None) -> None: ...

    @staticmethod
    def now() -> Time:
        """
        Time.now() -> Time

        The current instant from the system clock (UTC).

        >>> from astrokite.time.time import Time
        >>> Time.now() > Time("2024-01-01")
        True
        """

    @property
    def int64(self, /) -> int | numpy.typing.NDArray[numpy.int64]:
        """
        Time.int64: int | numpy.ndarray

        Nanoseconds since 1970-01-01T00:00:00 UTC; for an array-valued Time the stored read-only int64 array itself (no copy).
        """

    @property
    def jd(self, /) -> float | numpy.typing.NDArray[numpy.float64]:
        """
        Time.jd: float | numpy.ndarray

        Julian date (UTC).
        """

    @property
    def mjd(self, /) -> float | numpy.typing.NDArray[numpy.float64]:
        """
        Time.mjd: float | numpy.ndarray

        Modified Julian date (UTC), JD - 2400000.5.
        """

    @property
    def unix(self, /) -> float | numpy.typing.NDArray[numpy.float64]:
        """
        Time.unix: float | numpy.ndarray

        Seconds since 1970-01-01T00:00:00 UTC.
        """

    @property
    def datetime64(self, /) -> numpy.datetime64 | numpy.typing.NDArray[numpy.datetime64]:
        """
        Time.datetime64: numpy.datetime64 | numpy.ndarray

        The instants as datetime64[ns] (a read-only view for an array-valued Time).
        """

    @property
    def utc(self, /) -> UTC | numpy.typing.NDArray[numpy.object_]:
        """
        Time.utc: UTC | numpy.ndarray

        The instant as a UTC value whose text is ISO 8601 to the microsecond with a trailing Z; an object array of them for an array-valued Time.
        """

    @property
    def shape(self, /) -> tuple[()] | tuple[int]:
        """
        Time.shape: tuple

        () or (n,).
        """

    @property
    def size(self) -> int:
        """
        Time.size: int

        Number of instants.
        """

    def __len__(self) -> int: ...

    def __bool__(self) -> bool: ...

    def __getitem__(self, key: int | slice | numpy.typing.NDArray[numpy.bool_] | numpy.typing.NDArray[numpy.integer]) -> Time: ...

    def __iter__(self) -> TimeIterator: ...

    def __eq__(self, other: object, /) -> bool | numpy.typing.NDArray[numpy.bool_]:  # type: ignore[override]
        pass

    def __ne__(self, other: object, /) -> bool | numpy.typing.NDArray[numpy.bool_]:  # type: ignore[override]
        pass

    def __lt__(self, other: Time, /) -> bool | numpy.typing.NDArray[numpy.bool_]: ...

    def __le__(self, other: Time, /) -> bool | numpy.typing.NDArray[numpy.bool_]: ...

    def __gt__(self, other: Time, /) -> bool | numpy.typing.NDArray[numpy.bool_]: ...

    def __ge__(self, other: Time, /) -> bool | numpy.typing.NDArray[numpy.bool_]: ...

    def __hash__(self) -> int: ...

    def __reduce__(self) -> tuple[type[Time], tuple[int | numpy.typing.NDArray[numpy.int64]]]: ...

    def __repr__(self) -> str: ...

    def __str__(self) -> str: ...
