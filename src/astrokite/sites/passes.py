"""Passes of satellites over a site: the search driver and the pass table."""

from __future__ import annotations

import math
from typing import Protocol

import numpy as np

from astrokite import eop
from astrokite.sites.search import PassSearch, join_pieces, pieces, sgp4_passes
from astrokite.time.time import Time

_RISES_BEFORE_START, _SETS_AFTER_STOP, _SAMPLES_FAILED = 1, 2, 4
_NS = 1_000_000_000


class TemeStates(Protocol):
    """Where the pass search gets TEME states [m, m/s] of satellites from.

    ``satnos`` is the int64 catalogue number of each satellite (row).
    ``at(rows, times)`` gives one state per (row, time) pair (int64 rows and
    int64 ns since 1970): position and velocity of shapes (k, 3) and a boolean
    ``valid`` of shape (k,).
    """

    satnos: np.ndarray

    def at(self, rows: np.ndarray, times: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]: ...


class PassTable:
    """One row per pass: ``satno`` (int64), ``rise``, ``culmination`` and ``set``
    (array-valued ``Time``), ``max_elevation`` [rad].

    A pass under way at the start of the search has ``rises_before_start`` set
    and the start as its ``rise``; one under way at the stop has
    ``sets_after_stop`` and the stop as its ``set``: neither is a real rise or
    set. ``failed`` marks a satellite whose propagation failed: its ``set`` is
    when (the pass in progress then has no known set), or, in a row of its own
    with a NaN ``max_elevation``, all three times are when. ``to_pandas()`` gives
    the same rows as a DataFrame, with ``max_elevation_deg`` [deg] besides.

    Example:
        >>> import astrokite as ak, math
        >>> iss = ak.read_tle("tests/data/iss.tle")[25544]
        >>> paris = ak.Site(math.radians(48.8566), math.radians(2.3522), 35.0, name="Paris")
        >>> table = paris.passes(iss, "2023-03-01", "2023-03-02", min_elevation=math.radians(10))
        >>> len(table), repr(table.rise[0].utc), repr(table.set[0].utc)
        (5, '2023-03-01T01:30:07.725643Z', '2023-03-01T01:35:23.430488Z')
        >>> [round(math.degrees(elevation), 1) for elevation in table.max_elevation]
        [21.6, 88.9, 49.8, 83.4, 24.0]
    """

    def __init__(self, satno, rise, culmination, set, max_elevation, flags, *, searched: int | None = None):
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
        # How many satellites the search looked at, those without a pass included.
        self.searched = len(np.unique(self.satno)) if searched is None else int(searched)

    def __len__(self) -> int:
        return len(self.satno)

    def __repr__(self) -> str:
        from astrokite.utils.quantities import count

        return f"<PassTable {count(len(self), 'pass', 'passes')} of {count(self.searched, 'satellite')}>"

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


# Windows past this many ns (about 146 years) are refused: their counts would not fit the search's arithmetic.
_LONGEST = 1 << 62


def _window(start, stop, min_elevation, step) -> tuple[int, int, float, int]:
    """The checked arguments of a search: start and stop [ns since 1970], the
    sine of the minimum elevation, the grid step [ns]."""
    start_ns, stop_ns = _count(start, "start"), _count(stop, "stop")
    if stop_ns <= start_ns:
        raise ValueError(f"stop must come after start (start {Time(start_ns)!r}, stop {Time(stop_ns)!r})")
    if stop_ns - start_ns >= _LONGEST:
        raise ValueError(f"the window from {Time(start_ns)!r} to {Time(stop_ns)!r} is too long to search "
                         f"(at most about 146 years)")
    min_elevation = float(min_elevation)
    if not (math.isfinite(min_elevation) and abs(min_elevation) < math.pi / 2):
        raise ValueError(f"min_elevation must be a finite angle within +-pi/2 rad, got {min_elevation!r}")
    step = float(step)
    if not (math.isfinite(step) and step > 0):
        raise ValueError(f"step must be a positive number of seconds, got {step!r}")
    step_ns = min(max(int(step * _NS), 1), stop_ns - start_ns)
    return start_ns, stop_ns, math.sin(min_elevation), step_ns


def _site_axes(site) -> tuple[np.ndarray, np.ndarray]:
    return (np.ascontiguousarray(site.position, np.float64),
            np.ascontiguousarray(site.enu["u_up"], np.float64))


_COLUMNS = ("rise", "culmination", "set", "max_elevation", "flags")


def find_passes(site, states: TemeStates, start, stop, min_elevation: float = 0.0, *, step: float = 1200.0,
                chunk: int = 4096) -> PassTable:
    """Passes over ``site`` of the satellites ``states`` gives TEME states of.

    The satellites are sampled on a common grid of ``step`` seconds, then the
    search asks for states in rounds until every stretch between samples is
    decided: the clearance above the minimum elevation has a second derivative
    bounded by the orbit's geometry, so a stretch whose bounds stay below (or
    above) the horizon needs no more samples and any other is split, however
    short the pass. Rises, sets and culminations are refined to about 10 us,
    and where a satellite's states fail, the start of the failure as well.
    A long window is searched in pieces of a few hundred steps, and a pass
    under way at a cut is joined with its continuation. Satellites go through
    in chunks of ``chunk`` to bound the memory used.

    States from the package's SGP4 of element sets (``sgp4_states``) are
    searched in native code on every core.
    """
    start_ns, stop_ns, sin_min, step_ns = _window(start, stop, min_elevation, step)
    position, up = _site_axes(site)
    if isinstance(states, _SGP4States) and states.rows is not None:
        found = sgp4_passes(states.rows, states.sets_per_satellite, position, up, sin_min, start_ns, stop_ns,
                            step_ns, 0, eop.current().columns_for(start_ns, stop_ns))
        return PassTable(found["satno"][found["row"]], *(found[name] for name in _COLUMNS),
                         searched=len(states.sets_per_satellite))
    satnos = np.asarray(states.satnos, np.int64)
    earth = eop.current().columns_for(start_ns, stop_ns)
    found = []
    for first in range(0, len(satnos), chunk):
        count = min(chunk, len(satnos) - first)
        rows = np.arange(first, first + count)
        for piece_start, offsets in pieces(start_ns, stop_ns, step_ns):
            search = PassSearch(position, up, sin_min, count, piece_start, int(offsets[-1]), earth)
            r, v, valid = states.at(np.repeat(rows, len(offsets)), np.tile(piece_start + offsets, count))
            search.begin(offsets, *_contiguous(r.reshape(count, len(offsets), 3),
                                                v.reshape(count, len(offsets), 3),
                                                valid.reshape(count, len(offsets))))
            while True:
                wanted_rows, wanted_times = search.requests()
                if len(wanted_rows) == 0:
                    break
                search.supply(*_contiguous(*states.at(wanted_rows + first, wanted_times)))
            result = search.passes()
            result["row"] = result["row"] + first
            found.append(result)
    if not found:
        return PassTable(*(np.zeros(0) for _ in range(6)), searched=len(satnos))
    joined = join_pieces(*(np.concatenate([part[name] for part in found]) for name in ("row",) + _COLUMNS),
                         stop_ns)
    return PassTable(satnos[joined["row"]], *(joined[name] for name in _COLUMNS), searched=len(satnos))


def _contiguous(position, velocity, valid):
    valid = np.asarray(valid, bool) & np.isfinite(position).all(-1) & np.isfinite(velocity).all(-1)
    return (np.ascontiguousarray(position, np.float64), np.ascontiguousarray(velocity, np.float64),
            np.ascontiguousarray(valid, np.uint8))


class _SGP4States:
    """TEME states from the package's SGP4. Of element sets, it keeps their
    line pairs for the native search (``rows``, ``sets_per_satellite``) and
    makes a propagator only when asked for states; of an ``SGP4``, it asks
    that propagator, each (satellite, time) pair propagated once."""

    def __init__(self, source):
        from astrokite.propagators.analytical.sgp4.sgp4 import SGP4, _groups

        self._propagator = None
        self.rows = None
        if isinstance(source, SGP4):
            self._propagator = source
        else:
            self._source = _satellites(source)
            groups = _groups(self._source)
            self.rows = b"".join(groups)
            self.sets_per_satellite = np.array([len(rows) // 138 for rows in groups], np.int64)

    @property
    def propagator(self):
        from astrokite.propagators.analytical.sgp4.sgp4 import SGP4

        if self._propagator is None:
            self._propagator = SGP4(self._source)
        return self._propagator

    @property
    def satnos(self) -> np.ndarray:
        return np.asarray(self.propagator.satnos, np.int64)

    def at(self, rows, times):
        position, velocity, error = self.propagator.propagate_pairs(rows, Time(times))
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
