"""Screening up to the instant an object fails.

The sieve has no bound for a grid interval with a failed state at an end (the
state at a decay or a rejected element set is missing), so the pairs of an
object are dropped in the interval at whose end it fails, though it still flies
for up to one grid step. Here that stretch is recovered: the object's last good
instant is found by bisection on exact states, and the interval is screened
again on a grid that ends there, by the same sieve. Each such interval is
handled on its own, so a screen split over grid intervals finds the same
candidates.
"""

from __future__ import annotations

import numpy as np

from astrokite.conjunctions._screen import sieve

# Width to which the instant of a failure is found, ns.
FAILURE_TOLERANCE = 1_000_000
_NS = 1_000_000_000


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
    return good, bad


def _eligible(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Whether objects of groups a and b may pair: a primary with an object of the other group."""
    return ((a & 1 != 0) & (b & 2 != 0)) | ((b & 1 != 0) & (a & 2 != 0))


def candidates_before_failures(objects, grid: np.ndarray, rows: np.ndarray, intervals: np.ndarray,
                               last_good: np.ndarray, threshold: float, threads: int, per_chunk: int):
    """The (pair, interval) candidates of the objects ``rows`` that fail in
    grid ``intervals`` after ``last_good`` (int64 ns): (i, j, k, subgrid), the
    pairs i, j in interval k of ``subgrid``.

    Each grid interval in which objects fail is sampled again at its ends and
    at each such object's last good instant; each failing object is sieved
    against every object it may pair with on these samples, over which it has
    its states. A pair of two objects that fail in the same interval is sieved
    with the one of the lower row only."""
    none = np.empty(0, np.int64)
    found, subgrids, offset = [(none, none, none)], [none], 0
    order = np.lexsort((rows, intervals))
    rows, intervals, last_good = rows[order], intervals[order], last_good[order]
    unique, first = np.unique(intervals, return_index=True)
    bounds = np.r_[first, len(rows)]
    samples = [np.unique(np.r_[grid[k], last_good[bounds[n]:bounds[n + 1]], grid[k + 1]])
               for n, k in enumerate(unique)]
    n = 0
    while n < len(unique):  # intervals in batches of at most per_chunk samples
        stop = n + 1
        while stop < len(unique) and sum(len(s) for s in samples[n:stop + 1]) <= per_chunk:
            stop += 1
        instants = np.concatenate(samples[n:stop])
        position, _ = objects.positions(instants, threads)
        column = 0
        for m in range(n, stop):
            count = len(samples[m])
            here = position[:, column:column + count]
            step = np.diff(samples[m]) / _NS
            failing = rows[bounds[m]:bounds[m + 1]]
            for o in failing:
                others = _eligible(objects.group[o], objects.group)
                others[failing[failing <= o]] = False  # itself, and pairs sieved with a lower row
                chosen = np.r_[o, np.flatnonzero(others)]
                if len(chosen) < 2:
                    continue
                group = np.full(len(chosen), 2, np.uint8)
                group[0] = 1
                i, j, k = sieve(np.ascontiguousarray(here[chosen]), step, group, threshold, threads)
                found.append((chosen[i], chosen[j], k.astype(np.int64) + offset))
            subgrids.append(samples[m])
            offset += count
            column += count
        n = stop
    i, j, k = (np.concatenate(c).astype(np.int64) for c in zip(*found))
    return i, j, k, np.concatenate(subgrids).astype(np.int64)
