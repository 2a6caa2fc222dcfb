"""The package's time type: instants as int64 nanoseconds since 1970 in UTC."""

import datetime
from collections.abc import Iterator
from typing import Literal

import numpy
from numpy.typing import NDArray

_Scalar = (
    Time | str | datetime.datetime | datetime.date | numpy.datetime64 | int | numpy.integer | float | numpy.floating
)
# Also taken at run time, through what they expose (datetime64 values, aware datetimes) and
# without importing them: pandas' DatetimeIndex and Series, astropy's and skyfield's Time.
_Value = _Scalar | NDArray[numpy.generic] | list[_Scalar] | tuple[_Scalar, ...]

class UTC:
    """An instant in UTC shown as ISO 8601 text to the microsecond, e.g. 2023-01-01T06:28:40.541088Z."""

    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class TimeIterator:
    """Iterator over the instants of an array-valued Time."""

    def __iter__(self) -> TimeIterator: ...
    def __next__(self) -> Time: ...

class Time:
    """An instant or a one-dimensional array of instants, in UTC.

    Stored as int64 nanoseconds since 1970-01-01T00:00:00 UTC (POSIX days);
    ``format`` says how numbers read: None or "int64" (the count), "jd",
    "mjd" or "unix" (seconds). Immutable.
    """

    def __init__(self, value: _Value, format: Literal["int64", "jd", "mjd", "unix"] | None = None) -> None: ...
    @staticmethod
    def now() -> Time:
        """The current instant from the system clock (UTC)."""
    @property
    def int64(self) -> int | NDArray[numpy.int64]:
        """Nanoseconds since 1970-01-01T00:00:00 UTC (the stored read-only array for an array-valued Time)."""
    @property
    def jd(self) -> float | NDArray[numpy.float64]:
        """Julian date (UTC)."""
    @property
    def mjd(self) -> float | NDArray[numpy.float64]:
        """Modified Julian date (UTC)."""
    @property
    def unix(self) -> float | NDArray[numpy.float64]:
        """Seconds since 1970-01-01T00:00:00 UTC."""
    @property
    def datetime64(self) -> numpy.datetime64 | NDArray[numpy.datetime64]:
        """The instants as datetime64[ns]."""
    @property
    def utc(self) -> UTC | NDArray[numpy.object_]:
        """ISO 8601 UTC value(s) to the microsecond."""
    @property
    def shape(self) -> tuple[()] | tuple[int]: ...
    @property
    def size(self) -> int: ...
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def __getitem__(self, key: int | slice | NDArray[numpy.bool_] | NDArray[numpy.integer]) -> Time: ...
    def __iter__(self) -> TimeIterator: ...
    def __eq__(self, other: object) -> bool | NDArray[numpy.bool_]: ...  # type: ignore[override]
    def __ne__(self, other: object) -> bool | NDArray[numpy.bool_]: ...  # type: ignore[override]
    def __lt__(self, other: Time) -> bool | NDArray[numpy.bool_]: ...
    def __le__(self, other: Time) -> bool | NDArray[numpy.bool_]: ...
    def __gt__(self, other: Time) -> bool | NDArray[numpy.bool_]: ...
    def __ge__(self, other: Time) -> bool | NDArray[numpy.bool_]: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[type[Time], tuple[int | NDArray[numpy.int64]]]: ...
