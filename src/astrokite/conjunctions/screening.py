"""Close-approach screening: every local minimum of the distance between two
objects that falls below a threshold within a time window.

The search has three stages, each of which discards only what a bound rules out:

1. Every object is propagated with SGP4 on a common grid (``GRID_STEP``).
2. The native sieve keeps each (pair, interval) whose relative path may come
   within the threshold: a path stays within ``a h^2 / 8`` of the chord between
   its samples when its acceleration is at most ``a``.
3. Each kept interval is examined on exact states: the range rate
   ``f = dr . dv`` (half the derivative of the squared distance) has a
   derivative ``|dv|^2 + dr . da`` bounded through the relative acceleration
   (gravity gradient plus the model's other forces, ``RELATIVE_ACCELERATION``);
   an interval is split until the bounds show that it holds no minimum or a
   single sign change of ``f``, and each change from closing to opening is
   solved for the time of closest approach on exact states.

A grid interval at whose end an object loses its state (a decay, an element
set the theory rejects) has no bound for that object's path: the interval is
sampled again up to the object's last good instant, found by bisection on
exact states, and screened there by the same stages (``failures``). An object
counts as failed from its element set's decay on: the first instant after the
set's epoch at which its orbit is certainly gone, found from the set alone, so
that states the theory gives later without an error code (its secular terms
turn back past a decay) are never screened, and every time window of a split
screen agrees on it.
"""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np

from astrokite.conjunctions._screen import FEW_PRIMARIES, sieve
from astrokite.conjunctions.failures import (candidates_across_changes, candidates_before_failures,
                                            drop_decayed, failures, mark_decayed)
from astrokite.conjunctions.table import ConjunctionTable
from astrokite.propagators.analytical.sgp4.sgp4 import SGP4, _threads
from astrokite.elements.sources import Satellites
from astrokite.time.time import Time

__all__ = ["screen", "GRID_STEP"]

# Spacing of the common grid, s: the sieve's cost grows with it (its reach is
# a chord), the propagation's falls; the bound holds for any step. A screen of
# a few primaries against many tests each primary against every object, with
# no hash to fill, and takes a longer step: its cost is the propagation of
# every object on the grid, while the intervals to refine grow with the step
# and with the primaries (8 minutes for one, 4 for sixteen).
GRID_STEP = 30.0
_FEW_PRIMARIES_STEP = 480.0
# Positions of this many object-samples per chunk of the grid (24 bytes each).
_CHUNK_SAMPLES = 6_000_000

_MU = 398600.8e9       # m^3/s^2, WGS-72
_EARTH_RADIUS = 6378135.0
# Bound on each object's acceleration: point-mass gravity at the surface with
# room for J2, the theory's short-period terms and drag.
_ACCELERATION = 1.1 * _MU / _EARTH_RADIUS**2
# Bound on the relative acceleration of two objects dr apart: the gravity
# gradient (at most 2 mu / r^3, here at the surface, with the same room) times
# |dr|, plus the difference of the non-central forces (J2 is about 0.016 m/s^2
# in low orbit; drag and lunar-solar terms far less).
_GRADIENT = 2.2 * _MU / _EARTH_RADIUS**3
RELATIVE_ACCELERATION = 0.2
# Intervals shorter than this are not split again: one sign change of the
# range rate is taken as one minimum.
_SHORTEST = 1.0
# Times of closest approach are solved to this width of bracket, s.
_TCA_TOLERANCE = 1e-5
_NS = 1_000_000_000
# Most time between the instants at which the radial pruning takes each
# object's osculating range of distance from the Earth's centre, s, unless the
# window holds more than _RANGE_INTERVALS of it (then they are spread evenly,
# so that a long window's pruning takes little memory).
_RANGE_SPACING = 6 * 3600.0
_RANGE_INTERVALS = 64


class _Objects:
    """The screened objects: the primary's satellites, then those of ``against``
    that the primary does not hold; their group flags and states.

    A part of a screen split over workers holds the same objects and screens
    the primaries ``screened`` (rows of the primary's satellites) only: the
    others keep their place in ``against``. ``prune`` says whether the whole
    screen drops the objects of ``against`` far from every primary (None: when
    ``against`` is a list or a mapping, as ``keep_near`` says)."""

    def __init__(self, primary, against, *, screened=None, prune: bool | None = None):
        self._primary, self._against = primary, against
        self._prune = (against is not None and not isinstance(against, SGP4)) if prune is None else prune
        self._parts = [_propagator(primary, "primary")]
        satnos = [np.asarray(self._parts[0].satnos, np.int64)]
        if against is None:
            groups = [np.full(len(satnos[0]), 3, np.uint8)]
            self._kept = [np.arange(len(satnos[0]))]
        else:
            other = _propagator(against, "against")
            other_satnos = np.asarray(other.satnos, np.int64)
            in_against = np.isin(satnos[0], other_satnos)
            keep = np.flatnonzero(~np.isin(other_satnos, satnos[0]))
            groups = [np.where(in_against, 3, 1).astype(np.uint8), np.full(len(keep), 2, np.uint8)]
            self._parts.append(other)
            self._kept = [np.arange(len(satnos[0])), keep]
            satnos.append(other_satnos[keep])
        if screened is not None:
            others = np.ones(len(satnos[0]), bool)
            others[screened] = False
            groups[0][others] &= 2
        # The primary's satellites come first, here and after ``keep_near``.
        self.primary_count = len(satnos[0])
        self.satnos = np.concatenate(satnos)
        self.group = np.concatenate(groups)
        # Row of the combined objects -> (part, row within the part).
        self._part = np.concatenate([np.full(len(k), p, np.int64) for p, k in enumerate(self._kept)])
        self._row = np.concatenate(self._kept).astype(np.int64)

    def __len__(self) -> int:
        return len(self.satnos)

    def keep_near(self, start_ns: int, stop_ns: int, threshold: float, threads: int) -> None:
        """Drop the objects of ``against`` whose range of distance from the Earth's
        centre cannot meet any primary's within the window (when the screen prunes:
        as a rule when ``against`` is a list or a mapping, whose items can be
        propagated apart)."""
        if len(self._parts) < 2 or not self._prune:
            return
        low, high = self._radial_ranges(start_ns, stop_ns, threshold, threads)
        primary = (self.group & 1) != 0
        order = np.argsort(low[primary])
        lows, highs = low[primary][order], np.maximum.accumulate(high[primary][order])
        last = np.searchsorted(lows, high, side="right") - 1  # the primaries starting below each top
        near = primary | ((last >= 0) & (highs[np.maximum(last, 0)] >= low))
        other = np.flatnonzero(self._part == 1)
        kept = self._kept[1][near[other]]
        first = np.flatnonzero(self._part == 0)
        own, against = self._parts
        near_sets = _chosen(against._satellites, kept)
        whole = not isinstance(self._primary, SGP4)
        if whole:
            # One propagator for all: the grid comes out in one piece, no copies.
            mine = own._satellites
            both = Satellites(np.concatenate([mine.records, near_sets.records]),
                              np.concatenate([mine.counts, near_sets.counts]))
            self._parts = [SGP4._from_groups(both, own.gravity, own.mode)]
            self._kept = [np.arange(len(first) + len(kept))]
        else:
            self._parts[1] = SGP4._from_groups(near_sets, against.gravity, against.mode)
            self._kept[1] = np.arange(len(kept))
        self.satnos = np.concatenate([self.satnos[first], self.satnos[other][near[other]]])
        self.group = np.concatenate([self.group[first], self.group[other][near[other]]])
        self._part = np.zeros(len(self.satnos), np.int64) if whole \
            else np.repeat(np.arange(len(self._parts)), [len(k) for k in self._kept])
        self._row = np.concatenate(self._kept).astype(np.int64)

    def _radial_ranges(self, start_ns, stop_ns, threshold, threads):
        """Bounds of each object's distance from the Earth's centre over the window,
        widened by half the threshold.

        The osculating perigee and apogee are taken at the window's ends, at
        evenly spaced instants between them (``_RANGE_SPACING`` apart at most, as
        a rule), and on both sides
        of each change of element set inside the window; each with room for the
        theory's short-period terms (tens of km: 50 km and 1 % of the semi-major
        axis). Between two neighbouring instants an object's mean elements drift
        steadily (drag shrinks the orbit ever faster as it falls, lunar-solar
        terms change it over weeks), so its range there lies within theirs,
        widened by the object's largest change from one instant to the next
        (the orbit's size and shape need not change together) and by 5 km a day
        of the spacing. An object without a state at any of these instants, or
        unbound at one, gets no bounds."""
        intervals = min(_RANGE_INTERVALS, math.ceil((stop_ns - start_ns) / (_RANGE_SPACING * _NS)))
        spacing = -(-(stop_ns - start_ns) // intervals)
        grid = np.append(np.arange(start_ns, stop_ns, spacing, dtype=np.int64), np.int64(stop_ns))
        r, v, error = self._grid_states(grid, threads, velocity=True)
        rows, instants = np.repeat(np.arange(len(self)), len(grid)), np.tile(grid, len(self))
        r, v, error = r.reshape(-1, 3), v.reshape(-1, 3), error.reshape(-1)
        changed, epochs = self.set_changes(start_ns, stop_ns)
        changed, when = np.repeat(changed, 2), np.c_[epochs - 1, epochs].ravel()  # just before and at each
        if len(changed):
            rc, vc, ec = self.states(changed, when, threads)
            order = np.lexsort((np.r_[instants, when], np.r_[rows, changed]))
            rows, instants = np.r_[rows, changed][order], np.r_[instants, when][order]
            r, v, error = np.r_[r, rc][order], np.r_[v, vc][order], np.r_[error, ec][order]
        radius = np.linalg.norm(r, axis=1)
        energy = np.einsum("ij,ij->i", v, v) / 2 - _MU / radius
        with np.errstate(invalid="ignore", divide="ignore"):
            a = -_MU / (2 * energy)
            h2 = np.einsum("ij,ij->i", *(np.cross(r, v),) * 2)
            e = np.sqrt(np.maximum(0.0, 1 - h2 / (_MU * a)))
        bound = (error == 0) & (energy < 0) & np.isfinite(a)
        room = 50e3 + 0.01 * a
        low = np.where(bound, a * (1 - e) - room, -np.inf)
        high = np.where(bound, a * (1 + e) + room, np.inf)
        # Object after object, each in time order.
        starts = np.flatnonzero(np.r_[True, rows[1:] != rows[:-1]])
        with np.errstate(invalid="ignore"):
            change = np.maximum(np.abs(np.diff(low)), np.abs(np.diff(high)))
        same = (rows[1:] == rows[:-1]) & (instants[1:] - instants[:-1] > 1)  # not across a change of set
        change = np.where(same, np.nan_to_num(change, nan=np.inf, posinf=np.inf), 0.0)
        drift = np.maximum.reduceat(np.r_[change, 0.0], starts)
        margin = 0.5 * threshold + 5e3 * spacing / (86400 * _NS) + drift
        return np.minimum.reduceat(low, starts) - margin, np.maximum.reduceat(high, starts) + margin

    def set_changes(self, start_ns, stop_ns):
        """(rows, instants) where objects change element set after ``start_ns``
        and up to ``stop_ns``: the epoch of each new set, each object's in time order."""
        rows, instants = [np.empty(0, np.int64)], [np.empty(0, np.int64)]
        for p, part in enumerate(self._parts):
            mine = np.flatnonzero(self._part == p)
            first, stop = part._run_start[self._row[mine]], part._run_start[self._row[mine] + 1]
            many = np.flatnonzero(stop - first > 1)
            if not len(many):
                continue
            sets = np.repeat(many, (stop - first)[many])
            epochs = part._flat_epochs[_runs(first[many], (stop - first)[many])]
            inside = (epochs > start_ns) & (epochs <= stop_ns)
            rows.append(mine[sets[inside]])
            instants.append(epochs[inside])
        rows, instants = np.concatenate(rows), np.concatenate(instants)
        order = np.lexsort((instants, rows))
        return rows[order], instants[order]

    def positions(self, instants: np.ndarray, threads: int):
        """Positions (objects, times, 3) and error codes (objects, times)."""
        position, _, error = self._grid_states(instants, threads, velocity=False)
        return position, error

    def _grid_states(self, instants: np.ndarray, threads: int, velocity: bool):
        """Positions and velocities (objects, times, 3; velocities None without
        ``velocity``) and error codes (objects, times)."""
        columns = []
        for part, kept in zip(self._parts, self._kept):
            ephemeris = part.propagate(Time(instants), velocity=velocity, threads=threads or None)
            drop_decayed(part, instants, ephemeris, threads)
            whole = len(kept) == len(part)
            columns.append([None if c is None else c if whole else c[kept]
                            for c in (ephemeris.position, ephemeris.velocity, ephemeris.error)])
        if len(columns) == 1:
            position, speed, error = columns[0]
            return position, speed, np.asarray(error)
        position, speed, error = zip(*columns)
        return np.concatenate(position), None if speed[0] is None else np.concatenate(speed), np.concatenate(error)

    def states(self, rows: np.ndarray, instants: np.ndarray, threads: int):
        """Exact states of objects ``rows`` at ``instants`` (int64 ns): position,
        velocity (k, 3) and error (k,)."""
        k = len(rows)
        position, velocity = np.empty((k, 3)), np.empty((k, 3))
        error = np.zeros(k, np.int8)
        for p, part in enumerate(self._parts):
            mine = np.flatnonzero(self._part[rows] == p)
            if len(mine):
                r, v, e = part.propagate_pairs(self._row[rows[mine]], Time(instants[mine]), threads=threads or None)
                gone = self._decay_in_force(p, rows[mine], instants[mine], threads) <= instants[mine]
                mark_decayed(gone, r, v, e)
                position[mine], velocity[mine], error[mine] = r, v, e
        return position, velocity, error

    def decayed_from(self, rows: np.ndarray, instants: np.ndarray, threads: int) -> np.ndarray:
        """The instant (int64 ns) from which the element set in force for object
        ``rows[i]`` at ``instants[i]`` is certainly gone (INT64_MAX: never)."""
        out = np.full(len(rows), np.iinfo(np.int64).max, np.int64)
        for p in range(len(self._parts)):
            mine = np.flatnonzero(self._part[rows] == p)
            if len(mine):
                out[mine] = self._decay_in_force(p, rows[mine], instants[mine], threads)
        return out

    def _decay_in_force(self, p: int, rows: np.ndarray, instants: np.ndarray, threads: int) -> np.ndarray:
        part = self._parts[p]
        return part._decay_ns(threads)[part._pair_sets(self._row[rows], instants)]


def _runs(first: np.ndarray, counts: np.ndarray) -> np.ndarray:
    """The indices ``first[n]`` to ``first[n] + counts[n] - 1`` of each run n, run after run."""
    return np.arange(counts.sum()) + np.repeat(first - (np.cumsum(counts) - counts), counts)


def _chosen(satellites: Satellites, rows: np.ndarray) -> Satellites:
    """The satellites ``rows`` of ``satellites``, in that order."""
    counts = satellites.counts[rows]
    first = (np.cumsum(satellites.counts) - satellites.counts)[rows]
    return Satellites(satellites.records[_runs(first, counts)], counts)


def _propagator(source, name: str) -> SGP4:
    if isinstance(source, SGP4):
        propagator = source
    else:
        try:
            propagator = SGP4(source)
        except TypeError as error:
            raise TypeError(f"{name}: {error}") from None
    if len(propagator) == 0:
        raise ValueError(f"{name} holds no satellites")
    return propagator


def _instant(value, name: str) -> int:
    time = value if isinstance(value, Time) else Time(value)
    if time.shape != ():
        raise ValueError(f"{name} must be one instant, not {time.size}")
    return int(time.int64)


def screen(primary, start, stop, *, against=None, threshold: float = 5000.0, threads: int | None = None,
           max_results: int = 1_000_000, progress: Callable[[int, int], None] | None = None) -> ConjunctionTable:
    """Close approaches between satellites from ``start`` to ``stop``.

    A close approach is a local minimum in time of the distance between two
    objects that is below ``threshold``; one at the window's edge (the distance
    growing from ``start`` or still falling at ``stop``) is marked ``at_start``
    or ``at_stop``. States come from SGP4, each satellite from its element set
    in force, and every approach is solved on exact states: time of closest
    approach to well within a millisecond.

    Args:
        primary: a ``TLE``, ``ELSET``, ``Catalogue``, list of these, or an ``SGP4``.
        start, stop: the window, anything ``Time`` takes.
        against: the objects to screen the primary's against (same kinds), or
            None to screen the primary's satellites all against all. An object
            in both is one object; no object is paired with itself.
        threshold: distance below which a minimum counts, m (positive, finite).
        threads: native threads; None uses every core.
        max_results: the most approaches returned; a screen that would give
            more (a threshold far too large) raises ValueError instead.
        progress: called as ``progress(done, total)`` as the grid is screened.

    Returns:
        A ``ConjunctionTable``, one row per approach in order of time, with the
        satellites that failed to propagate in ``failed`` and the first instant
        each has no state (to 1 ms). Their approaches before it are found.

    >>> import astrokite as ak
    >>> table = ak.screen(catalogue, "2024-03-01", "2024-03-02", threshold=5e3)   # doctest: +SKIP
    >>> table.to_pandas()[["primary", "secondary", "tca", "miss_distance"]]      # doctest: +SKIP
    """
    start_ns, stop_ns, threshold = _checked(start, stop, threshold, max_results)
    count = _threads(threads)
    objects = _Objects(primary, against)
    objects.keep_near(start_ns, stop_ns, threshold, count)
    grid = _grid(start_ns, stop_ns, _grid_step(np.count_nonzero(objects.group & 1)))
    return _screen_grid(objects, grid, start_ns, stop_ns, threshold, count, max_results, progress)


def _checked(start, stop, threshold, max_results) -> tuple[int, int, float]:
    """The window (int64 ns) and the threshold (m) of a screen, its arguments checked."""
    if isinstance(threshold, bool) or not isinstance(threshold, int | float | np.integer | np.floating):
        raise TypeError(f"threshold must be a number of metres, not {type(threshold).__name__}")
    threshold = float(threshold)
    if not (math.isfinite(threshold) and threshold > 0.0):
        raise ValueError(f"threshold must be positive and finite, not {threshold!r}")
    if isinstance(max_results, bool) or not isinstance(max_results, int | np.integer) or max_results < 1:
        raise ValueError(f"max_results must be a positive integer, not {max_results!r}")
    start_ns, stop_ns = _instant(start, "start"), _instant(stop, "stop")
    if stop_ns <= start_ns:
        raise ValueError(f"start must come before stop (start {Time(start_ns)!r}, stop {Time(stop_ns)!r})")
    return start_ns, stop_ns, threshold


def _screen_part(primary, against, start_ns: int, stop_ns: int, intervals: tuple[int, int], *, screened,
                 step: float, prune: bool, threshold: float, threads: int, max_results: int) -> ConjunctionTable:
    """One part of a screen from ``start_ns`` to ``stop_ns`` split over workers:
    its rows in grid intervals ``intervals`` (first, stop) of the grid of
    ``step`` s, for the primary's satellites ``screened`` (rows; None for all).
    The whole screen's rows are the parts' rows together, each once, bit for
    bit: every stage works per pair and grid interval, on the same objects, the
    window's edges are the whole window's, and a pair of two primaries that two
    parts find is kept by the part of the one the whole screen names primary.
    ``failed`` holds the objects that fail on the part's grid."""
    objects = _Objects(primary, against, screened=screened, prune=prune)
    objects.keep_near(start_ns, stop_ns, threshold, threads)
    first, stop = intervals
    grid = _grid(start_ns, stop_ns, step)[first:stop + 1]
    return _screen_grid(objects, grid, start_ns, stop_ns, threshold, threads, max_results, None)


def _grid_step(primaries: int) -> float:
    """The grid step of a screen of this many primaries, s."""
    if primaries > FEW_PRIMARIES:
        return GRID_STEP
    return float(round(_FEW_PRIMARIES_STEP / max(1, primaries) ** 0.25))


def _screen_grid(objects, grid, start_ns, stop_ns, threshold, count, max_results, progress) -> ConjunctionTable:
    """The approaches of ``objects`` in the intervals of ``grid``, which lies
    within the window from ``start_ns`` to ``stop_ns``."""
    intervals = len(grid) - 1
    per_chunk = max(1, _CHUNK_SAMPLES // max(1, len(objects)))
    found = []
    first_error = np.full(len(objects), -1, np.int64)  # grid sample of each object's first failure
    ends = [(np.empty(0, np.int64),) * 2]  # (object, grid interval) where a state is lost
    limit = 20 * max_results
    kept = 0
    for first in range(0, intervals, per_chunk):
        last = min(intervals, first + per_chunk)
        instants = grid[first:last + 1]
        position, error = objects.positions(instants, count)
        failing = (first_error < 0) & (error != 0).any(axis=1)
        if failing.any():
            first_error[failing] = first + np.argmax(error[failing] != 0, axis=1)
        lost, interval = np.nonzero((error[:, :-1] == 0) & (error[:, 1:] != 0))
        ends.append((lost, interval + first))
        step = np.diff(instants) / _NS
        i, j, k = sieve(position, step, objects.group, threshold, count)
        del position
        found.append((i, j, k + first))
        kept += len(i)
        if kept > limit:
            raise ValueError(f"the screen would exceed max_results ({max_results}): "
                             f"lower the threshold or raise max_results")
        if progress is not None:
            progress(last, intervals)
    i, j, k = (np.concatenate(c).astype(np.int64) for c in zip(*found)) if found else (np.empty(0, np.int64),) * 3
    # An object whose element set changes inside a grid interval jumps there:
    # its pairs in that interval are screened on samples on both sides of the change.
    changed, change_at = objects.set_changes(grid[0], grid[-1])
    change_interval = np.searchsorted(grid, change_at) - 1
    jumps = changed * len(grid) + change_interval
    keep = ~(np.isin(i * len(grid) + k, jumps) | np.isin(j * len(grid) + k, jumps))
    distinct = objects.satnos[i] != objects.satnos[j]  # a satellite given twice is one object
    i, j, k = i[distinct & keep], j[distinct & keep], k[distinct & keep]

    minima = _minima(objects, grid, i, j, k, start_ns, stop_ns, threshold, count)
    if len(changed):
        i, j, k, subgrid = candidates_across_changes(objects, grid, changed, change_interval, change_at, threshold,
                                                     count, _CHUNK_SAMPLES)
        distinct = objects.satnos[i] != objects.satnos[j]
        across = _minima(objects, subgrid, i[distinct], j[distinct], k[distinct], start_ns, stop_ns, threshold,
                         count)
        minima = tuple(np.concatenate(c) for c in zip(minima, across))

    # The stretches before each loss of a state, which the grid's intervals lose.
    lost, interval = (np.concatenate(c) for c in zip(*ends))
    last_good, first_bad = failures(objects, lost, grid[interval], grid[interval + 1], count)
    i, j, k, subgrid = candidates_before_failures(objects, grid, lost, interval, last_good, threshold, count,
                                                  _CHUNK_SAMPLES)
    distinct = objects.satnos[i] != objects.satnos[j]
    before = _minima(objects, subgrid, i[distinct], j[distinct], k[distinct], start_ns, stop_ns, threshold, count)
    minima = tuple(np.concatenate(c) for c in zip(minima, before))
    if len(minima[0]) > max_results:
        raise ValueError(f"the screen found {len(minima[0])} approaches, more than max_results ({max_results})")

    # Each failed object's first failure: found in the interval before its first
    # failing sample, or that sample when the grid starts with it.
    failed = np.flatnonzero(first_error >= 0)
    failed_when = grid[first_error[failed]]
    at = np.flatnonzero(first_error[lost] == interval + 1)
    failed_when[np.searchsorted(failed, lost[at])] = first_bad[at]
    # An object already gone at its first failure (at the grid's start, as a
    # rule) is reported from its decay, which every part of a split screen agrees on.
    failed_when = np.minimum(failed_when, objects.decayed_from(failed, failed_when, count))
    return _table(objects, minima, start_ns, stop_ns, threshold, (failed, failed_when), count)


def _grid(start_ns: int, stop_ns: int, seconds: float) -> np.ndarray:
    step = int(seconds * _NS)
    grid = np.arange(start_ns, stop_ns, step, dtype=np.int64)
    return np.append(grid, np.int64(stop_ns))


class _Ends:
    """Relative states of pairs (i, j) at instants t (int64 ns)."""

    def __init__(self, objects, i, j, t, threads):
        rows = np.concatenate([i, j])
        times = np.concatenate([t, t])
        r, v, e = objects.states(rows, times, threads)
        n = len(i)
        self.r = r[n:] - r[:n]
        self.v = v[n:] - v[:n]
        self.ok = (e[:n] == 0) & (e[n:] == 0)
        self.f = np.einsum("ij,ij->i", self.r, self.v)
        self.d = np.linalg.norm(self.r, axis=1)
        self.speed = np.linalg.norm(self.v, axis=1)

    def take(self, index):
        out = object.__new__(_Ends)
        for name in ("r", "v", "ok", "f", "d", "speed"):
            setattr(out, name, getattr(self, name)[index])
        return out


def _minima(objects, grid, i, j, k, start_ns, stop_ns, threshold, threads):
    """Times (int64 ns) of the minima below ``threshold`` of pairs (i, j) in
    grid intervals k, each pair's minima once: (i, j, tca_ns, edge) arrays,
    edge -1 at the window's start, 1 at its stop, 0 inside. Only the window's
    own ends are edges: a grid that is part of it has no others."""
    a_ns, b_ns = grid[k], grid[k + 1]
    ea = _Ends(objects, i, j, a_ns, threads)
    eb = _Ends(objects, i, j, b_ns, threads)
    none = np.empty(0, np.int64)
    brackets = [(none, none, none, none, np.empty(0), np.empty(0))]  # (i, j, a_ns, b_ns, fa, fb)
    edges = [(none, none, none, none)]  # (i, j, t_ns, edge)

    # Minima at the window's edges: opening at the start, closing at the stop.
    at_start = (a_ns == start_ns) & ea.ok & (ea.f >= 0) & (ea.d < threshold)
    at_stop = (b_ns == stop_ns) & eb.ok & (eb.f < 0) & (eb.d < threshold)
    edges.append((i[at_start], j[at_start], a_ns[at_start], np.full(at_start.sum(), -1)))
    edges.append((i[at_stop], j[at_stop], b_ns[at_stop], np.full(at_stop.sum(), 1)))

    while len(i):
        h = (b_ns - a_ns) / _NS
        ok = ea.ok & eb.ok
        # Lower bound of the distance over the interval: the relative chord's
        # nearest point to the origin less each path's distance from its chord.
        chord = eb.r - ea.r
        length2 = np.einsum("ij,ij->i", chord, chord)
        with np.errstate(invalid="ignore", divide="ignore"):
            u = np.clip(np.where(length2 > 0, -np.einsum("ij,ij->i", ea.r, chord) / length2, 0.0), 0.0, 1.0)
        nearest = np.linalg.norm(ea.r + u[:, None] * chord, axis=1)
        near = ok & (nearest - 2 * _ACCELERATION * h * h / 8 < threshold)
        # Bounds of d f / dt = |dv|^2 + dr . da over the interval.
        reach = np.maximum(ea.d, eb.d) + 2 * _ACCELERATION * h * h / 8
        accel = _GRADIENT * reach + RELATIVE_ACCELERATION
        slowest = np.maximum(0.0, (ea.speed + eb.speed - accel * h) / 2)
        fastest = (ea.speed + eb.speed + accel * h) / 2
        low = slowest**2 - reach * accel
        high = fastest**2 + reach * accel
        fa, fb = ea.f, eb.f
        one_root = low > 0  # f rises throughout: at most one sign change
        closing = (fa < 0) & (fb >= 0)
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            # Could f, of like sign at both ends, change sign twice inside?
            rise_first = np.where(fa > 0, fa / -np.minimum(low, -1e-300), -fa / np.maximum(high, 1e-300))
            back_last = np.where(fb > 0, fb / np.maximum(high, 1e-300), -fb / -np.minimum(low, -1e-300))
        same_sign = ((fa > 0) & (fb > 0)) | ((fa < 0) & (fb < 0))
        hidden = same_sign & ~one_root & (rise_first + back_last <= h)
        solve = near & closing & (one_root | (h <= _SHORTEST))
        split = near & (h > _SHORTEST) & ~solve & (hidden | closing | ((fa >= 0) & (fb < 0)) & ~one_root)
        take = np.flatnonzero(solve)
        brackets.append((i[take], j[take], a_ns[take], b_ns[take], fa[take], fb[take]))
        halves = np.flatnonzero(split)
        if not len(halves):
            break
        mid_ns = (a_ns[halves] + b_ns[halves]) // 2
        em = _Ends(objects, i[halves], j[halves], mid_ns, threads)
        ea_h, eb_h = ea.take(halves), eb.take(halves)
        i = np.concatenate([i[halves], i[halves]])
        j = np.concatenate([j[halves], j[halves]])
        a_ns = np.concatenate([a_ns[halves], mid_ns])
        b_ns = np.concatenate([mid_ns, b_ns[halves]])
        ea = _concat(ea_h, em)
        eb = _concat(em, eb_h)

    bi, bj, ba, bb, bfa, bfb = (np.concatenate(c) for c in zip(*brackets))
    tca = _solve(objects, bi, bj, ba, bb, bfa, bfb, threads)
    ei, ej, et, eedge = (np.concatenate(c) for c in zip(*edges))
    return (np.concatenate([bi, ei]), np.concatenate([bj, ej]), np.concatenate([tca, et]),
            np.concatenate([np.zeros(len(bi), np.int64), eedge.astype(np.int64)]))


def _concat(x: _Ends, y: _Ends) -> _Ends:
    out = object.__new__(_Ends)
    for name in ("r", "v", "ok", "f", "d", "speed"):
        setattr(out, name, np.concatenate([getattr(x, name), getattr(y, name)]))
    return out


def _solve(objects, i, j, a_ns, b_ns, fa, fb, threads) -> np.ndarray:
    """The instant (int64 ns) in each bracket [a, b] where the range rate goes
    from closing (fa < 0) to opening (fb >= 0): regula falsi with the Illinois
    step, and a bisection whenever a step fails to halve the bracket."""
    origin = a_ns.copy()
    a = np.zeros(len(i))
    b = (b_ns - a_ns) / _NS
    fa, fb = fa.astype(float), fb.astype(float)
    open_ = np.flatnonzero(b - a > _TCA_TOLERANCE)
    side = np.zeros(len(i), np.int8)
    for round_ in range(200):
        if not len(open_):
            break
        width = b[open_] - a[open_]
        with np.errstate(divide="ignore", invalid="ignore"):
            t = a[open_] - fa[open_] * width / (fb[open_] - fa[open_])
        bad = ~np.isfinite(t) | (t <= a[open_]) | (t >= b[open_]) | (round_ % 3 == 2)
        t = np.where(bad, a[open_] + width / 2, t)
        ends = _Ends(objects, i[open_], j[open_], origin[open_] + np.round(t * _NS).astype(np.int64), threads)
        ft = np.where(ends.ok, ends.f, np.nan)
        lost = ~ends.ok
        to_b = ft >= 0  # the root lies in [a, t]
        idx_b, idx_a = open_[to_b & ~lost], open_[~to_b & ~lost]
        b[idx_b], fb[idx_b] = t[to_b & ~lost], ft[to_b & ~lost]
        fa[idx_b[side[idx_b] == 1]] *= 0.5  # Illinois: the end kept twice weighs less
        a[idx_a], fa[idx_a] = t[~to_b & ~lost], ft[~to_b & ~lost]
        fb[idx_a[side[idx_a] == -1]] *= 0.5
        side[idx_b], side[idx_a] = 1, -1
        a[open_[lost]], b[open_[lost]] = np.nan, np.nan  # a state failed inside: not reported
        open_ = open_[~lost]
        open_ = open_[b[open_] - a[open_] > _TCA_TOLERANCE]
    t = (a + b) / 2
    out = np.full(len(i), np.iinfo(np.int64).min, np.int64)
    good = np.isfinite(t)
    out[good] = origin[good] + np.round(t[good] * _NS).astype(np.int64)
    return out


def _table(objects, minima, start_ns, stop_ns, threshold, failed, threads) -> ConjunctionTable:
    i, j, tca, edge = minima
    valid = tca != np.iinfo(np.int64).min
    i, j, tca, edge = i[valid], j[valid], tca[valid], edge[valid]
    # Who is primary: the one from the (whole screen's) primary source, else the smaller number.
    satno_i, satno_j = objects.satnos[i], objects.satnos[j]
    named = np.arange(len(objects)) < objects.primary_count
    gi, gj = named[i], named[j]
    swap = np.where(gi == gj, satno_j < satno_i, gj > gi)
    p = np.where(swap, j, i)
    s = np.where(swap, i, j)
    # In a part of a split screen, a pair whose primary is another part's is
    # found there too when that part screens the secondary (of ``against``):
    # left to that part. In a whole screen the primary is always its own.
    mine = ((objects.group[p] & 1) != 0) | ((objects.group[s] & 2) == 0)
    p, s, tca, edge = p[mine], s[mine], tca[mine], edge[mine]
    rows = np.concatenate([p, s])
    times = np.concatenate([tca, tca])
    r, v, e = objects.states(rows, times, threads)
    n = len(p)
    ok = (e[:n] == 0) & (e[n:] == 0)
    dr, dv = r[n:] - r[:n], v[n:] - v[:n]
    miss = np.linalg.norm(dr, axis=1)
    keep = ok & (miss < threshold)
    order = np.lexsort((objects.satnos[s][keep], objects.satnos[p][keep], tca[keep]))
    pick = np.flatnonzero(keep)[order]
    tca_k = tca[pick]
    at_start = (edge[pick] == -1) | (tca_k - start_ns < _NS // 1000)
    at_stop = (edge[pick] == 1) | (stop_ns - tca_k < _NS // 1000)
    failed_rows, failed_when = failed
    failed_codes = np.zeros(len(failed_rows), np.int8)
    if len(failed_rows):
        _, _, codes = objects.states(failed_rows, failed_when, threads)
        failed_codes = codes
    return ConjunctionTable(
        primary=objects.satnos[p[pick]], secondary=objects.satnos[s[pick]], tca=tca_k,
        primary_position=r[:n][pick], primary_velocity=v[:n][pick],
        relative_position=dr[pick], relative_velocity=dv[pick], at_start=at_start, at_stop=at_stop,
        failed=(objects.satnos[failed_rows], failed_when, failed_codes),
    )



