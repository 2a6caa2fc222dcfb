"""Passes of satellites over a site: the search driver and the pass table."""

from __future__ import annotations

import math
from typing import Protocol

import numpy as np

from astrokite import eop
from astrokite.sites.search import PassSearch
from astrokite.time.time import Time

_RISES_BEFORE_START, _SETS_AFTER_STOP, _SAMPLES_FAILED = 1, 2, 4
_NS = 1_000_000_000


class TemeStates(Protocol):
    """Where the pass search gets TEME states [m, m/s] of satellites from.

    ``satnos`` is the int64 catalogue number of each satellite (row).
    ``grid(rows, times)`` gives the states of the satellites ``rows`` (a slice)
    at every one of ``times`` (int64 ns since 1970): position and velocity of
    shape (satellites, times, 3) and a boolean ``valid`` of shape (satellites,
    times). ``at(rows, times)`` gives one state per (row, time) pair: shapes
    (k, 3), (k, 3) and (k,).
    """

    satnos: np.ndarray

    def grid(self, rows: slice, times: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]: ...

    def at(self, rows: np.ndarray, times: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]: ...


class PassTable:
    """One row per pass: ``satno`` (int64), ``rise``, ``culmination`` and ``set``
    (array-valued ``Time``), ``max_elevation`` [rad].

    A pass under way at the start of the search has ``rises_before_start`` set
    and the start as its ``rise``; one under way at the stop has
    ``sets_after_stop`` and the stop as its ``set``: neither is a real rise or
    set. ``failed`` marks a satellite whose propagation failed: its ``set`` is
    when (the pass in progress then has no known set), or, in a row of its own
    with a NaN ``max_elevation``, all three times are when.
    """

    def __init__(self, satno, rise, culmination, set, max_elevation, flags):
        order = np.lexsort((rise, satno))
        self.satno = np.asarray(satno, np.int64)[order]
        self.rise = Time(np.asarray(rise, np.int64)[order])
        self.culmination = Time(np.asarray(culmination, np.int64)[order])
        self.set = Time(np.asarray(set, np.int64)[order])
        self.max_elevation = np.asarray(max_elevation, np.float64)[order]
        flags = np.asarray(flags, np.uint8)[order]
        self.rises_before_start = (flags & _RISES_BEFORE_START) != 0
        self.sets_after_stop = (flags & _SETS_AFTER_STOP) != 0
        self.failed = (flags & _SAMPLES_FAILED) != 0

    def __len__(self) -> int:
        return len(self.satno)

    def __repr__(self) -> str:
        return f"<PassTable {len(self)} passes of {len(np.unique(self.satno))} satellites>"

    def to_pandas(self):
        """A DataFrame with the columns of the table; a rise or set that did not
        happen within the search (under way at start or stop, or lost to a
        failed propagation) is NaT, and ``max_elevation_deg`` is added."""
        import pandas as pd

        def times(column, missing):
            values = np.asarray(column.int64, np.int64).astype("datetime64[ns]")
            values[missing] = np.datetime64("NaT", "ns")
            return values

        no_pass = np.isnan(self.max_elevation)
        return pd.DataFrame({
            "satno": self.satno,
            "rise": times(self.rise, self.rises_before_start | no_pass),
            "culmination": times(self.culmination, no_pass),
            "set": times(self.set, self.sets_after_stop | self.failed),
            "max_elevation": self.max_elevation,
            "max_elevation_deg": np.degrees(self.max_elevation),
            "rises_before_start": self.rises_before_start,
            "sets_after_stop": self.sets_after_stop,
            "failed": self.failed,
        })

    def _repr_html_(self) -> str:
        from astrokite.utils.html import render

        return render(self)


def _count(value, name: str) -> int:
    time = value if isinstance(value, Time) else Time(value)
    if time.shape != ():
        raise ValueError(f"{name} must be one instant, not {time.size}")
    return int(time.int64)


def find_passes(site, states: TemeStates, start, stop, min_elevation: float = 0.0, *, step: float = 1200.0,
                chunk: int = 4096) -> PassTable:
    """Passes over ``site`` of the satellites ``states`` gives TEME states of.

    The satellites are sampled on a common grid of ``step`` seconds, then the
    search asks for states in rounds until every stretch between samples is
    decided: the clearance above the minimum elevation has a second derivative
    bounded by the orbit's geometry, so a stretch whose bounds stay below (or
    above) the horizon needs no more samples and any other is split, however
    short the pass. Rises, sets and culminations are refined to about 10 us.
    Satellites go through in chunks of ``chunk`` to bound the memory used.
    """
    start_ns, stop_ns = _count(start, "start"), _count(stop, "stop")
    if stop_ns <= start_ns:
        raise ValueError(f"stop must come after start (start {Time(start_ns)!r}, stop {Time(stop_ns)!r})")
    min_elevation = float(min_elevation)
    if not (math.isfinite(min_elevation) and abs(min_elevation) < math.pi / 2):
        raise ValueError(f"min_elevation must be a finite angle within +-pi/2 rad, got {min_elevation!r}")
    step = float(step)
    if not (math.isfinite(step) and step > 0):
        raise ValueError(f"step must be a positive number of seconds, got {step!r}")
    span = stop_ns - start_ns
    offsets = np.arange(0, span, max(int(step * _NS), 1), dtype=np.int64)
    offsets = np.append(offsets, np.int64(span))
    grid = start_ns + offsets
    up = np.ascontiguousarray(site.enu["u_up"], np.float64)
    position = np.ascontiguousarray(site.position, np.float64)
    satnos = np.asarray(states.satnos, np.int64)
    found = []
    for first in range(0, len(satnos), chunk):
        rows = slice(first, min(first + chunk, len(satnos)))
        count = rows.stop - rows.start
        search = PassSearch(position, up, math.sin(min_elevation), count, start_ns, span)
        r, v, valid = states.grid(rows, grid)
        search.begin(offsets, *_contiguous(r, v, valid), eop.orientation(grid))
        while True:
            wanted_rows, wanted_times = search.requests()
            if len(wanted_rows) == 0:
                break
            r, v, valid = states.at(wanted_rows + first, wanted_times)
            search.supply(*_contiguous(r, v, valid), eop.orientation(wanted_times))
        result = search.passes()
        result["satno"] = satnos[first + result.pop("row")]
        found.append(result)
    columns = ("satno", "rise", "culmination", "set", "max_elevation", "flags")
    if not found:
        return PassTable(*(np.zeros(0) for _ in columns))
    return PassTable(*(np.concatenate([part[name] for part in found]) for name in columns))


def _contiguous(position, velocity, valid):
    valid = np.asarray(valid, bool) & np.isfinite(position).all(-1) & np.isfinite(velocity).all(-1)
    return (np.ascontiguousarray(position, np.float64), np.ascontiguousarray(velocity, np.float64),
            np.ascontiguousarray(valid, np.uint8))


class _SGP4States:
    """TEME states from the package's SGP4: the grid of each chunk of satellites
    from a propagator of that chunk (or, given an SGP4, from its pairs of the
    chunk's rows and the grid's times); the rounds of requests go through one
    propagator over all of them, each (satellite, time) pair propagated once."""

    def __init__(self, source):
        from astrokite.propagators.analytical.sgp4.sgp4 import SGP4

        self._SGP4 = SGP4
        if isinstance(source, SGP4):
            self._items = None
            self._all = source
        else:
            self._items = _satellites(source)
            self._all = SGP4(self._items)
        self.satnos = np.asarray(self._all.satnos, np.int64)

    @staticmethod
    def _states(ephemeris):
        return ephemeris.position, ephemeris.velocity, np.asarray(ephemeris.error) == 0

    def grid(self, rows, times):
        if self._items is not None:
            return self._states(self._SGP4(self._items[rows]).propagate(Time(times)))
        count = rows.stop - rows.start
        r, v, valid = self.at(np.repeat(np.arange(rows.start, rows.stop), len(times)), np.tile(times, count))
        return r.reshape(count, len(times), 3), v.reshape(count, len(times), 3), valid.reshape(count, len(times))

    def at(self, rows, times):
        position, velocity, error = self._all.propagate_pairs(rows, Time(times))
        return position, velocity, error == 0


def _satellites(source) -> list:
    """The element sets of ``source`` split by satellite: a TLE or an ELSET is
    one; a Catalogue or a list gives one per entry."""
    from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE

    if isinstance(source, (TLE, ELSET)):
        return [source]
    if isinstance(source, (list, tuple)):
        return list(source)
    values = getattr(source, "values", None)
    if callable(values):
        return list(values())
    raise TypeError(f"passes need a TLE, an ELSET, a Catalogue, a list of these or an SGP4, "
                    f"not {type(source).__name__}")


def sgp4_states(source) -> TemeStates:
    """The TEME states of ``source`` through the package's SGP4 propagator."""
    return _SGP4States(source)
