"""The Earth orientation table: UT1 - UTC and the pole's coordinates by day,
interpolated to any instant."""

from __future__ import annotations

import datetime
import warnings

import numpy as np

from astrokite.eop import iers

_NS_PER_DAY = 86_400 * 10**9
_MJD_UNIX_EPOCH = 40587.0


def _mjd(counts: np.ndarray) -> np.ndarray:
    """Modified Julian Dates (UTC) of int64 ns counts since 1970."""
    days, rest = np.divmod(counts, _NS_PER_DAY)
    return (days + _MJD_UNIX_EPOCH) + rest / _NS_PER_DAY


def _date(mjd: float) -> str:
    return str(np.datetime64(int(round((mjd - _MJD_UNIX_EPOCH) * 86400)), "s").astype("datetime64[D]"))


class EarthOrientationWarning(UserWarning):
    """Times outside what an Earth orientation table covers, or a stale table."""


class EOPTable:
    """Daily Earth orientation values: ``mjd`` (UTC, at 0h), ``ut1_utc`` [s],
    ``x``, ``y`` (the pole) [rad], ``dx``, ``dy`` (celestial pole offsets, NaN
    where the source has none) [rad], ``predicted`` (bool); ``source`` names
    where they came from.

    ``orientation(counts)`` gives UT1 - UTC and the pole at instants (int64 ns
    since 1970 UTC), interpolated linearly between days. UT1 - UTC jumps by a
    second at each leap second; the jumps are taken out before interpolating
    and put back after, so the day of a leap second interpolates smoothly.
    Before the first day and after the last (the predictions included) the
    nearest value is held, with one EarthOrientationWarning naming the date.

    >>> from astrokite import eop
    >>> table = eop.current()
    >>> table.orientation(np.array([1_700_000_000 * 10**9])).shape
    (1, 3)
    """

    def __init__(self, columns: dict, source: str = "table"):
        self.mjd = np.asarray(columns["mjd"], np.float64)
        self.ut1_utc = np.asarray(columns["ut1_utc"], np.float64)
        self.x = np.asarray(columns["x"], np.float64)
        self.y = np.asarray(columns["y"], np.float64)
        self.dx = np.asarray(columns.get("dx", np.full_like(self.mjd, np.nan)), np.float64)
        self.dy = np.asarray(columns.get("dy", np.full_like(self.mjd, np.nan)), np.float64)
        self.predicted = np.asarray(columns.get("predicted", np.zeros(len(self.mjd), bool)), bool)
        if len(self.mjd) == 0:
            raise ValueError("an Earth orientation table needs at least one day")
        if not all(len(c) == len(self.mjd) for c in (self.ut1_utc, self.x, self.y, self.dx, self.dy,
                                                    self.predicted)):
            raise ValueError("the columns of an Earth orientation table must have one length")
        if len(self.mjd) > 1 and not np.all(np.diff(self.mjd) > 0):
            raise ValueError("the days of an Earth orientation table must increase")
        self.source = source
        # Leap seconds show as jumps of about a second between days.
        jumps = np.concatenate([[0.0], np.round(np.diff(self.ut1_utc))])
        leaps = np.cumsum(jumps)
        # The daily columns native code interpolates (astrokite/eop/table.hpp).
        self._columns = tuple(np.ascontiguousarray(c, np.float64)
                              for c in (self.mjd, self.ut1_utc - leaps, leaps, self.x, self.y))
        self._warned_outside = False
        self._warned_stale = False

    def __len__(self) -> int:
        return len(self.mjd)

    @property
    def first(self) -> str:
        """The first day, ISO 8601."""
        return _date(self.mjd[0])

    @property
    def last(self) -> str:
        """The last day (predictions included), ISO 8601."""
        return _date(self.mjd[-1])

    @property
    def last_measured(self) -> str | None:
        """The last day that is not a prediction, ISO 8601 (None when all are)."""
        measured = np.flatnonzero(~self.predicted)
        return _date(self.mjd[measured[-1]]) if len(measured) else None

    def __repr__(self) -> str:
        measured = self.last_measured
        reach = f", measured to {measured}" if measured and measured != self.last else ""
        return f"<EOPTable {self.source}: {self.first} to {self.last}{reach}, {len(self)} days>"

    def updated_with(self, other: EOPTable) -> EOPTable:
        """This table with the days ``other`` has replaced by ``other``'s values
        (say final C04 values over a Bulletin A table's older days)."""
        keep = ~np.isin(self.mjd, other.mjd)
        columns = {}
        for name in iers.COLUMNS:
            columns[name] = np.concatenate([getattr(other, name), getattr(self, name)[keep]])
        order = np.argsort(columns["mjd"], kind="stable")
        return EOPTable({k: v[order] for k, v in columns.items()}, f"{self.source} + {other.source}")

    def orientation(self, counts) -> np.ndarray:
        """UT1 - UTC [s], x and y [rad] at the instants ``counts`` (int64 ns
        since 1970 UTC, any shape): an array of shape ``counts.shape + (3,)``."""
        from astrokite.frames.transforms import earth_orientation

        counts = np.asarray(counts, np.int64)
        if counts.size:
            self._check_reach(_mjd(np.array([counts.min(), counts.max()])))
        return earth_orientation(np.ascontiguousarray(counts.reshape(-1)), self._columns).reshape(counts.shape + (3,))

    def columns_for(self, start: int, stop: int) -> tuple:
        """The daily columns native searches interpolate, for instants from
        ``start`` to ``stop`` (int64 ns since 1970 UTC; warned about as
        ``orientation`` warns)."""
        self._check_reach(_mjd(np.array([start, stop], np.int64)))
        return self._columns

    def _check_reach(self, mjd: np.ndarray) -> None:
        if not self._warned_stale:
            self._warned_stale = True
            today = datetime.datetime.now(datetime.timezone.utc).timestamp() / 86400 + _MJD_UNIX_EPOCH
            if today > self.mjd[-1]:
                warnings.warn(f"the Earth orientation table {self.source} ends on {self.last}, before today: its "
                              "predictions no longer reach the present (pip install -U astropy-iers-data, or "
                              "astrokite.eop.load a newer file)", EarthOrientationWarning, stacklevel=4)
        if self._warned_outside or mjd.size == 0:
            return
        if np.nanmax(mjd) > self.mjd[-1] or np.nanmin(mjd) < self.mjd[0]:
            self._warned_outside = True
            warnings.warn(f"times outside the Earth orientation table {self.source} ({self.first} to {self.last}): "
                          f"its first or last value is held", EarthOrientationWarning, stacklevel=4)


class NoEarthOrientation:
    """The model without Earth orientation data: UT1 = UTC and no polar motion."""

    source = "none (UT1 = UTC, no polar motion)"

    def orientation(self, counts) -> np.ndarray:
        """Zeros: UT1 - UTC, x and y of the model, shape ``counts.shape + (3,)``."""
        return np.zeros(np.shape(counts) + (3,))

    def columns_for(self, start: int, stop: int) -> None:
        """None: native searches then take UT1 = UTC and no polar motion."""
        return None

    def __repr__(self) -> str:
        return "<no Earth orientation data: UT1 = UTC, no polar motion>"
