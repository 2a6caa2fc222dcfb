"""Screening up to the instant an object fails, and across a change of element set.

The sieve has no bound for a grid interval with a failed state at an end (the
state at a decay or a rejected element set is missing), so the pairs of an
object are dropped in the interval at whose end it fails, though it still flies
for up to one grid step. Here that stretch is recovered: the object's last good
instant is found by bisection on exact states, and the interval is screened
again on a grid that ends there, by the same sieve. An object whose element set
changes inside a grid interval jumps there, and its chord across the interval
bounds nothing: the interval is screened again on a grid with samples on both
sides of the change. Each such interval is handled on its own, so a screen
split over grid intervals finds the same candidates. Samples from the decay of
their element set on count as failed, whatever the theory gives there.
"""

from __future__ import annotations

import numpy as np

from astrokite.conjunctions._screen import sieve
from astrokite.time.time import Time

# The error code of a sample past its element set's decay (sgp4.ERRORS).
DECAYED = 6
# Width to which the instant of a failure is found, ns.
FAILURE_TOLERANCE = 1_000_000
# About how many times an object's state costs more alone than on a grid.
_PAIR_COST = 8
_NS = 1_000_000_000


def drop_decayed(part, instants: np.ndarray, ephemeris, threads: int) -> None:
    """Mark the samples of ``ephemeris`` (every satellite of ``part`` at
    ``instants``) from which their element set's orbit is certainly gone as
    failed (``DECAYED``, NaN states): past a decay the theory can give states
    without an error code that belong to no orbit."""
    decay = part._decay_ns(threads)
    if not len(instants) or decay.min() > instants.max():
        return
    sets, _, _ = part._grid(Time(instants), "inforce")
    gone = (decay[sets][:, None] if sets.ndim == 1 else decay[sets]) <= instants
    mark_decayed(gone, ephemeris.position, ephemeris.velocity, ephemeris.error)


def mark_decayed(gone: np.ndarray, position: np.ndarray, velocity: np.ndarray | None, error: np.ndarray) -> None:
    """Mark the samples ``gone`` as failed at a decay: code ``DECAYED`` where
    the theory gave none, NaN states."""
    error[gone & (error == 0)] = DECAYED
    position[gone] = np.nan
    if velocity is not None:
        velocity[gone] = np.nan


def failures(objects, rows: np.ndarray, before: np.ndarray, after: np.ndarray, threads: int):
    """The last good instant and the first failing one (int64 ns, at most
    ``FAILURE_TOLERANCE`` apart) of objects ``rows`` that have a state at
    ``before`` and none at ``after``, found by bisection."""
    good, bad = before.astype(np.int64), after.astype(np.int64)
    open_ = np.flatnonzero(bad - good > FAILURE_TOLERANCE)
    while len(open_):
        middle = good[open_] + (bad[open_] - good[open_]) // 2
        _, _, error = objects.states(rows[open_], middle, threads)
        ok = error == 0
        good[open_[ok]] = middle[ok]
        bad[open_[~ok]] = middle[~ok]
        open_ = open_[bad[open_] - good[open_] > FAILURE_TOLERANCE]
    # A failure at the decay of the set in force is known to the nanosecond.
    decay = objects.decayed_from(rows, bad, threads)
    bad = np.where((decay > good) & (decay <= bad), decay, bad)
    return good, bad


def _eligible(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Whether objects of groups a and b may pair: a primary with an object of the other group."""
    return ((a & 1 != 0) & (b & 2 != 0)) | ((b & 1 != 0) & (a & 2 != 0))


def candidates_before_failures(objects, grid: np.ndarray, rows: np.ndarray, intervals: np.ndarray,
                               last_good: np.ndarray, threshold: float, threads: int, chunk: int):
    """The (pair, interval) candidates of the objects ``rows`` that fail in
    grid ``intervals`` after ``last_good`` (int64 ns): (i, j, k, subgrid), the
    pairs i, j in interval k of ``subgrid``.

    Each grid interval in which objects fail is sampled again at its ends and
    at each such object's last good instant; each failing object is sieved
    against every object it may pair with on these samples, over which it has
    its states. States are taken in batches of about ``chunk`` object-samples."""
    return _resampled(objects, grid, rows, intervals, last_good[:, None], threshold, threads, chunk)


def candidates_across_changes(objects, grid: np.ndarray, rows: np.ndarray, intervals: np.ndarray,
                              changes: np.ndarray, threshold: float, threads: int, chunk: int):
    """The (pair, interval) candidates of the objects ``rows`` whose element
    set changes inside grid ``intervals``, at ``changes`` (int64 ns, the new
    set's epoch): (i, j, k, subgrid) as ``candidates_before_failures`` gives.

    The path of such an object jumps at the change, so a grid interval holding
    it has no bound for its pairs: the interval is sampled again at its ends
    and on both sides of each change (1 ns before, at it), and the pairs of
    each such object are sieved on these samples but for the nanosecond of the
    jump, over which the object has no path."""
    i, j, k, subgrid = _resampled(objects, grid, rows, intervals, np.c_[changes - 1, changes], threshold,
                                  threads, chunk)
    jumps = set(zip(rows.tolist(), changes.tolist()))
    ends = subgrid[k + 1].tolist()
    path = np.array([(a, t) not in jumps and (b, t) not in jumps for a, b, t in zip(i.tolist(), j.tolist(), ends)],
                    bool).reshape(-1)
    return i[path], j[path], k[path], subgrid


def _resampled(objects, grid, rows, intervals, extra, threshold, threads, chunk):
    """The candidates of objects ``rows`` in grid ``intervals``, each interval
    sampled again at its ends and at the instants ``extra[n]`` of each of its
    objects n (rows of int64 ns): (i, j, k, subgrid). A pair of two objects of
    the same interval is sieved with the one of the lower row only."""
    order = np.lexsort((rows, intervals))
    rows, intervals, extra = rows[order], intervals[order], extra[order]
    unique, first = np.unique(intervals, return_index=True)
    bounds = np.r_[first, len(rows)]
    samples, objects_here, partners, needed = [], [], [], []
    for n, k in enumerate(unique):
        samples.append(np.unique(np.r_[grid[k], extra[bounds[n]:bounds[n + 1]].ravel(), grid[k + 1]]))
        failing = np.unique(rows[bounds[n]:bounds[n + 1]])  # an object may come with several instants
        objects_here.append(failing)
        mine = []
        for o in failing:
            others = _eligible(objects.group[o], objects.group)
            others[failing[failing <= o]] = False  # itself, and pairs sieved with a lower row
            mine.append(np.flatnonzero(others))
        partners.append(mine)
        needed.append(np.unique(np.concatenate([failing, *mine])))
    # An interval whose objects are few takes each one's states; one that needs
    # many takes every object's on the propagator's faster grid.
    wide = np.array([len(r) * _PAIR_COST > len(objects) for r in needed], bool)
    sizes = np.array([len(s) * (len(objects) if w else len(r)) for s, r, w in zip(samples, needed, wide)], np.int64)
    batch = (np.cumsum(sizes) - sizes) // max(1, chunk)
    batches = np.r_[np.flatnonzero(np.diff(batch, prepend=-1)), len(unique)]

    none = np.empty(0, np.int64)
    found, offsets = [(none, none, none)], np.cumsum([0] + [len(s) for s in samples])
    for n, stop in zip(batches[:-1], batches[1:]):
        states = _states(objects, samples[n:stop], needed[n:stop], wide[n:stop], threads)
        for m, here in zip(range(n, stop), states):
            step = np.diff(samples[m]) / _NS
            for o, others in zip(objects_here[m], partners[m]):
                if not len(others):
                    continue
                chosen = np.r_[o, others]
                group = np.full(len(chosen), 2, np.uint8)
                group[0] = 1
                local = np.searchsorted(needed[m], chosen)
                i, j, k = sieve(np.ascontiguousarray(here[local]), step, group, threshold, threads)
                found.append((chosen[i], chosen[j], k.astype(np.int64) + offsets[m]))
    i, j, k = (np.concatenate(c).astype(np.int64) for c in zip(*found))
    return i, j, k, np.concatenate([none, *samples]).astype(np.int64)


def _states(objects, samples, needed, wide, threads):
    """Positions (objects ``needed[m]``, ``samples[m]``, 3) of each interval m,
    NaN where an object has no state: on the grid where ``wide[m]``, else object
    by object."""
    out = [None] * len(samples)
    grid = np.flatnonzero(wide)
    if len(grid):
        position, _ = objects.positions(np.concatenate([samples[m] for m in grid]), threads)
        columns = np.cumsum([0] + [len(samples[m]) for m in grid])
        for m, first, last in zip(grid, columns[:-1], columns[1:]):
            out[m] = position[needed[m], first:last]
    pairs = np.flatnonzero(~wide)
    if len(pairs):
        which = np.concatenate([np.repeat(needed[m], len(samples[m])) for m in pairs])
        when = np.concatenate([np.tile(samples[m], len(needed[m])) for m in pairs])
        position, _, error = objects.states(which, when, threads)
        position[error != 0] = np.nan
        at = 0
        for m in pairs:
            size = len(needed[m]) * len(samples[m])
            out[m] = position[at:at + size].reshape(len(needed[m]), len(samples[m]), 3)
            at += size
    return out
