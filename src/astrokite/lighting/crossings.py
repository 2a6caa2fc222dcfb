"""Eclipses: when satellites cross the Earth's penumbra and umbra."""

from __future__ import annotations

import math

import numpy as np

from astrokite.lighting.shadow import EclipseSearch
from astrokite.lighting.sunlight import sun_position
# The pass search's helpers: one instant from what Time takes, and states as the native searches take them.
from astrokite.sites.passes import _contiguous, _count, sgp4_states
from astrokite.time.time import Time

_ENTRY_BEFORE_START, _EXIT_AFTER_STOP, _SAMPLES_FAILED = 1, 2, 4
_NS = 1_000_000_000
# The Sun's path is sampled every ten minutes and interpolated in between.
_SUN_STEP = 600 * _NS


class EclipseTable:
    """One row per shadow crossing: ``satno`` (int64), ``shadow`` ("penumbra"
    or "umbra"), ``entry`` and ``exit`` (array-valued ``Time``), ``duration``
    [s]. The penumbra row spans from entering the penumbra to leaving it, the
    umbra row (inside it) from entering the umbra to leaving it.

    A crossing under way at the start of the search has
    ``entry_before_start`` set and the start as its ``entry``; one under way
    at the stop has ``exit_after_stop`` and the stop as its ``exit``.
    ``failed`` marks a crossing cut by a failed propagation: its ``exit`` is
    when, and the satellite's search ends there. ``failures`` lists every
    satellite whose propagation failed within the search, and when: a
    DataFrame-ready pair of ``satno`` (int64) and ``at`` (``Time``).
    ``to_pandas()`` gives the rows as a DataFrame. A table pickles compactly:
    its number and time columns, and a byte a row for the shadow and the flags.

    Example:
        >>> import astrokite as ak
        >>> iss = ak.read_tle("data/iss.tle")[25544]
        >>> table = ak.eclipses(iss, "2023-03-01T01:00", "2023-03-01T04:00")
        >>> table
        <EclipseTable 4 crossings (2 umbra, 2 penumbra) of 1 satellite>
        >>> repr(table.entry[0].utc), repr(table.exit[0].utc), str(table.shadow[0])
        ('2023-03-01T01:03:50.210020Z', '2023-03-01T01:39:52.552104Z', 'penumbra')
        >>> table.duration.round(1).tolist()  # s
        [2162.3, 2161.8, 2145.5, 2145.0]
    """

    def __init__(self, satno, umbra, entry, exit, flags, failed_satno=(), failed_at=()):
        satno = np.asarray(satno, np.int64)
        umbra = np.asarray(umbra, bool)
        entry = np.asarray(entry, np.int64)
        order = np.lexsort((entry, umbra, satno))
        self.satno = satno[order]
        self.shadow = np.where(umbra[order], "umbra", "penumbra")
        self.entry = Time(entry[order])
        self.exit = Time(np.asarray(exit, np.int64)[order])
        self.duration = (np.asarray(self.exit.int64) - np.asarray(self.entry.int64)) / _NS
        flags = np.asarray(flags, np.uint8)[order]
        self.entry_before_start = (flags & _ENTRY_BEFORE_START) != 0
        self.exit_after_stop = (flags & _EXIT_AFTER_STOP) != 0
        self.failed = (flags & _SAMPLES_FAILED) != 0
        self.failures = {"satno": np.asarray(failed_satno, np.int64), "at": Time(np.asarray(failed_at, np.int64))}

    def __reduce__(self):
        """Pickles compactly: the columns it is made of, the shadow as one bool per row and the
        three flags as one byte; the shadow names and durations are made again."""
        flags = (self.entry_before_start * _ENTRY_BEFORE_START | self.exit_after_stop * _EXIT_AFTER_STOP
                 | self.failed * _SAMPLES_FAILED).astype(np.uint8)
        return EclipseTable, (self.satno, self.shadow == "umbra", self.entry.int64, self.exit.int64, flags,
                              self.failures["satno"], self.failures["at"].int64)

    def __len__(self) -> int:
        return len(self.satno)

    def __repr__(self) -> str:
        from astrokite.utils.quantities import count

        umbra = int(np.count_nonzero(self.shadow == "umbra"))
        failed = len(self.failures["satno"])
        failures = f", {count(failed, 'satellite')} failed" if failed else ""
        return (f"<EclipseTable {count(len(self), 'crossing')} ({umbra} umbra, {len(self) - umbra} penumbra) "
                f"of {count(len(np.unique(self.satno)), 'satellite')}{failures}>")

    def to_pandas(self):
        """A DataFrame with the columns ``satno``, ``shadow``, ``entry``, ``exit``
        (datetime64[ns], UTC), ``duration`` [s], ``entry_before_start``,
        ``exit_after_stop`` and ``failed``."""
        import pandas as pd

        return pd.DataFrame({
            "satno": self.satno,
            "shadow": self.shadow,
            "entry": np.asarray(self.entry.int64, np.int64).astype("datetime64[ns]"),
            "exit": np.asarray(self.exit.int64, np.int64).astype("datetime64[ns]"),
            "duration": self.duration,
            "entry_before_start": self.entry_before_start,
            "exit_after_stop": self.exit_after_stop,
            "failed": self.failed,
        })

    def _repr_html_(self) -> str:
        from astrokite.utils.html import render

        return render(self)


def find_eclipses(states, start, stop, *, step: float = 900.0, chunk: int = 4096) -> EclipseTable:
    """Shadow crossings of the satellites ``states`` gives TEME states of (the
    pass search's ``TemeStates``) between ``start`` and ``stop``.

    The satellites are sampled every ``step`` seconds, then in rounds until
    every stretch between samples is decided: each shadow edge is an angle
    that changes at a rate bounded by the orbit's geometry, so a stretch whose
    end values are too far from zero for it to reach zero in between holds no
    crossing, and any other is split. Sign changes are refined to 1 ms.
    ``step`` sets the cost only, not which crossings are found.
    """
    from astrokite.frames.frames import TEME

    start_ns, stop_ns = _count(start, "start"), _count(stop, "stop")
    if stop_ns <= start_ns:
        raise ValueError(f"stop must come after start (start {Time(start_ns)!r}, stop {Time(stop_ns)!r})")
    step = float(step)
    if not (math.isfinite(step) and step > 0):
        raise ValueError(f"step must be a positive number of seconds, got {step!r}")
    span = stop_ns - start_ns
    offsets = np.append(np.arange(0, span, max(int(step * _NS), 1), dtype=np.int64), np.int64(span))
    grid = start_ns + offsets
    sun_offsets = np.arange(-_SUN_STEP, span + 2 * _SUN_STEP, _SUN_STEP, dtype=np.int64)
    sun = sun_position(Time(start_ns + sun_offsets), TEME)
    satnos = np.asarray(states.satnos, np.int64)
    found = []
    for first in range(0, len(satnos), chunk):
        count = min(chunk, len(satnos) - first)
        search = EclipseSearch(int(sun_offsets[0]), _SUN_STEP, sun, count, span)
        r, v, valid = states.at(np.repeat(np.arange(first, first + count), len(grid)), np.tile(grid, count))
        search.begin(offsets, *_contiguous(r.reshape(count, len(grid), 3), v.reshape(count, len(grid), 3),
                                           valid.reshape(count, len(grid))))
        while True:
            wanted_rows, wanted_offsets = search.requests()
            if len(wanted_rows) == 0:
                break
            search.supply(*_contiguous(*states.at(wanted_rows + first, start_ns + wanted_offsets)))
        result = search.eclipses()
        result["satno"] = satnos[first + result.pop("row")]
        result["failed_satno"] = satnos[first + result.pop("failed_row")]
        found.append(result)
    if not found:
        return EclipseTable(*(np.zeros(0) for _ in range(5)))

    def column(name):
        return np.concatenate([part[name] for part in found])

    return EclipseTable(column("satno"), column("umbra"), start_ns + column("entry"), start_ns + column("exit"),
                        column("flags"), column("failed_satno"), start_ns + column("failed_at"))


def eclipses(source, start, stop, *, step: float = 900.0) -> EclipseTable:
    """Every crossing of the Earth's penumbra and umbra by the satellites of
    ``source`` between ``start`` and ``stop`` (anything ``Time`` takes).

    ``source``: a ``TLE``, an ``ELSET``, a ``Catalogue``, a list of these, or
    an ``SGP4``; states come from SGP4. The shadow is that of ``illumination``
    (a spherical Earth of the WGS 84 equatorial radius); entries and exits are
    within 1 ms. Returns an ``EclipseTable``.

    Example:
        >>> import astrokite as ak
        >>> iss = ak.read_tle("data/iss.tle")[25544]
        >>> frame = ak.eclipses(iss, "2023-03-01T01:00", "2023-03-01T04:00").to_pandas()
        >>> frame.columns.tolist()
        ['satno', 'shadow', 'entry', 'exit', 'duration', 'entry_before_start', 'exit_after_stop', 'failed']
        >>> [str(t) for t in frame.entry.dt.round("ms")]
        ['2023-03-01 01:03:50.210000', '2023-03-01 02:36:46.271000', '2023-03-01 01:03:58.644000', '2023-03-01 02:36:54.712000']
    """

    return find_eclipses(sgp4_states(source), start, stop, step=step)
