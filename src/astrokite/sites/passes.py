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

    A table searched with visibility (``Site.passes`` by default) also has, of
    shape (passes, 3) for the rise, culmination and set in that order:
    ``sunlit`` (the satellite's sunlit fraction: 1 in sunlight, 0 in the
    umbra), ``sun_elevation`` [rad] (the Sun's, at the site) and
    ``range_rate`` [m/s, positive away]; and ``visible`` (bool) with
    ``visible_start`` and ``visible_stop`` (``Time``, within 1 ms): the first
    and last instants of the pass at which the satellite is sunlit and the
    site's Sun is below ``lighting.DARK`` (a pass seen in two parts, around a
    short eclipse, spans both; where ``visible`` is False they hold the rise).
    ``doppler(frequency)`` and ``magnitude(standard)`` derive from them.
    ``to_pandas()`` gives these as ``rise_sunlit``, ``rise_sun_elevation_deg``,
    ``rise_range_rate`` and so on per event, and ``visible_start`` and
    ``visible_stop`` as datetime64 (NaT when none). A table pickles with its
    columns as arrays.

    Example:
        >>> import astrokite as ak, math
        >>> iss = ak.read_tle("data/iss.tle")[25544]
        >>> paris = ak.Site(math.radians(48.8566), math.radians(2.3522), 35.0, name="Paris")
        >>> table = paris.passes(iss, "2023-03-01", "2023-03-02", min_elevation=math.radians(10))
        >>> len(table), repr(table.rise[0].utc), repr(table.set[0].utc)
        (5, '2023-03-01T01:30:07.725643Z', '2023-03-01T01:35:23.430488Z')
        >>> [round(math.degrees(elevation), 1) for elevation in table.max_elevation]
        [21.6, 88.9, 49.8, 83.4, 24.0]
        >>> table.visible.tolist(), table.sunlit[:, 1].round(2).tolist()   # sunlit at culmination
        ([False, False, True, False, False], [0.0, 0.0, 1.0, 1.0, 1.0])
        >>> frame = table.to_pandas()
        >>> str(frame.visible_start[2].round("s")), str(frame.visible_stop[2].round("s"))
        ('2023-03-01 04:45:35', '2023-03-01 04:49:28')
        >>> table.range_rate[1].round(0).tolist()   # m/s at rise, culmination, set
        [-6801.0, 7.0, 6800.0]
        >>> table.doppler(437.8e6).shift[1].round(0).tolist()   # Hz
        [9931.0, -11.0, -9930.0]
        >>> table.magnitude(-1.8).round(1).tolist()   # at culmination; inf in the umbra
        [inf, inf, -3.4, -3.7, -2.1]
    """

    def __init__(self, satno, rise, culmination, set, max_elevation, flags, *, searched: int | None = None,
                 visibility: dict | None = None, site=None):
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
        self._site = site
        self._seen = None if visibility is None else {name: np.asarray(value)[order]
                                                      for name, value in visibility.items()}
        if self._seen is not None:
            self.sunlit = self._seen["sunlit"]
            self.sun_elevation = self._seen["sun_elevation"]
            self.range_rate = self._seen["range_rate"]
            self.visible = self._seen["visible"]
            self.visible_start = Time(self._seen["visible_start"])
            self.visible_stop = Time(self._seen["visible_stop"])

    def _visibility(self) -> dict:
        if self._seen is None:
            raise ValueError("this pass table was searched without visibility: search with visibility=True")
        return self._seen

    def doppler(self, frequency: float):
        """The Doppler shift at the site of a carrier of ``frequency`` [Hz] at
        each pass's rise, culmination and set: a ``Doppler`` (see
        ``Site.doppler``) of ``range_rate`` [m/s, positive away], ``received``
        and ``shift`` [Hz, positive approaching], each of shape (passes, 3)."""
        from astrokite.sites.doppler import of_range_rate

        return of_range_rate(self._visibility()["range_rate"], frequency)

    def magnitude(self, standard: float) -> np.ndarray:
        """The estimated visual magnitude at culmination of each pass's
        satellite, of standard magnitude ``standard`` (at 1,000 km, half
        illuminated): shape (passes,), +inf in the umbra. The formula, with the
        range and the phase angle, is ``lighting.magnitude``'s."""
        from astrokite.lighting.brightness import magnitude_of

        seen = self._visibility()
        return magnitude_of(self._site, seen["culmination_position"], seen["culmination_sun"],
                            seen["sunlit"][:, 1], standard)

    def __len__(self) -> int:
        return len(self.satno)

    def __repr__(self) -> str:
        from astrokite.utils.quantities import count

        return f"<PassTable {count(len(self), 'pass', 'passes')} of {count(self.searched, 'satellite')}>"

    def to_pandas(self):
        """A DataFrame with the columns of the table; a rise or set that did not
        happen within the search (under way at start or stop, or lost to a
        failed propagation) is NaT, and ``max_elevation_deg`` is added; with
        visibility, the columns per event (``rise_sunlit``,
        ``rise_sun_elevation_deg``, ``rise_range_rate`` [m/s], and so for
        ``culmination`` and ``set``) and ``visible_start``, ``visible_stop``."""
        import pandas as pd

        def times(column, missing):
            values = np.asarray(column.int64, np.int64).astype("datetime64[ns]")
            values[missing] = np.datetime64("NaT", "ns")
            return values

        no_pass = np.isnan(self.max_elevation)
        columns = {
            "satno": self.satno,
            "rise": times(self.rise, self.rises_before_start | no_pass),
            "culmination": times(self.culmination, no_pass),
            "set": times(self.set, self.sets_after_stop | self.failed),
            "max_elevation": self.max_elevation,
            "max_elevation_deg": np.degrees(self.max_elevation),
            "rises_before_start": self.rises_before_start,
            "sets_after_stop": self.sets_after_stop,
            "failed": self.failed,
        }
        if self._seen is not None:
            from astrokite.sites.visibility import EVENTS

            for k, event in enumerate(EVENTS):
                columns[f"{event}_sunlit"] = self.sunlit[:, k]
                columns[f"{event}_sun_elevation_deg"] = np.degrees(self.sun_elevation[:, k])
                columns[f"{event}_range_rate"] = self.range_rate[:, k]
            columns["visible_start"] = times(self.visible_start, ~self.visible)
            columns["visible_stop"] = times(self.visible_stop, ~self.visible)
        return pd.DataFrame(columns)

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
                chunk: int = 4096, visibility: bool = False, visible_only: bool = False) -> PassTable:
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

    With ``visibility``, the table carries the passes' sunlight, darkness,
    range rates and visible parts (``astrokite.sites.visibility``);
    ``visible_only`` keeps only the passes with a visible part.
    """
    start_ns, stop_ns, sin_min, step_ns = _window(start, stop, min_elevation, step)
    position, up = _site_axes(site)
    seeing = visibility or visible_only
    if isinstance(states, _SGP4States) and states.records is not None:
        from astrokite.sites.visibility import COLUMNS, sky

        found = sgp4_passes(states.records, states.sets_per_satellite, position, up, sin_min, start_ns, stop_ns,
                            step_ns, 0, eop.current().columns_for(start_ns, stop_ns),
                            **(sky(start_ns, stop_ns) if seeing else {}))
        seen = {name: found[name] for name in COLUMNS} if seeing else None
        return _table(site, found["satno"][found["row"]], found, len(states.sets_per_satellite), seen, visible_only)
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
    if found:
        joined = join_pieces(*(np.concatenate([part[name] for part in found]) for name in ("row",) + _COLUMNS),
                             stop_ns)
    else:
        joined = {name: np.zeros(0, np.int64) for name in ("row",) + _COLUMNS}
    seen = None
    if seeing:
        from astrokite.sites.visibility import columns

        seen = columns(site, states, joined["row"], joined["rise"], joined["culmination"], joined["set"], start_ns,
                       stop_ns)
    return _table(site, satnos[joined["row"]], joined, len(satnos), seen, visible_only)


def _table(site, satno, found, searched, seen, visible_only) -> PassTable:
    """The PassTable of the passes ``found`` (columns ``_COLUMNS``) of the
    satellites ``satno``, with their visibility columns ``seen`` (or None),
    only the visible passes if ``visible_only``."""
    found = {name: np.asarray(found[name]) for name in _COLUMNS}
    if visible_only:
        keep = seen["visible"]
        satno = np.asarray(satno)[keep]
        found = {name: value[keep] for name, value in found.items()}
        seen = {name: value[keep] for name, value in seen.items()}
    return PassTable(satno, *(found[name] for name in _COLUMNS), searched=searched, visibility=seen, site=site)


def _contiguous(position, velocity, valid):
    valid = np.asarray(valid, bool) & np.isfinite(position).all(-1) & np.isfinite(velocity).all(-1)
    return (np.ascontiguousarray(position, np.float64), np.ascontiguousarray(velocity, np.float64),
            np.ascontiguousarray(valid, np.uint8))


class _SGP4States:
    """TEME states from the package's SGP4. Of element sets, it keeps their
    records for the native search (``records``, ``sets_per_satellite``) and
    makes a propagator only when asked for states; of an ``SGP4``, it asks
    that propagator, each (satellite, time) pair propagated once."""

    def __init__(self, source):
        from astrokite.elements.sources import records_by_satellite
        from astrokite.propagators.analytical.sgp4.sgp4 import SGP4

        self._propagator = None
        self.records = None
        if isinstance(source, SGP4):
            self._propagator = source
        else:
            self._satellites = records_by_satellite(source, "passes source")
            self.records = self._satellites.records.tobytes()
            self.sets_per_satellite = self._satellites.counts

    @property
    def propagator(self):
        from astrokite.propagators.analytical.sgp4.sgp4 import SGP4

        if self._propagator is None:
            self._propagator = SGP4._from_groups(self._satellites)
        return self._propagator

    @property
    def satnos(self) -> np.ndarray:
        return np.asarray(self.propagator.satnos, np.int64)

    def at(self, rows, times):
        position, velocity, error = self.propagator.propagate_pairs(rows, Time(times))
        return position, velocity, error == 0


def sgp4_states(source) -> TemeStates:
    """The TEME states of ``source`` through the package's SGP4 propagator."""
    return _SGP4States(source)
