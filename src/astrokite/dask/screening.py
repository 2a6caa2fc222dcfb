"""Close-approach screening over a cluster's workers.

The window's grid is cut into time windows at grid instants and the primaries into groups;
each (window, group) is one task that runs the single-machine screen on its part. A window's
grid is the slice of the whole grid and every stage works per pair and grid interval, so the
parts' rows together are the rows of one machine's screen, bit for bit; the merge puts them in
its order and keeps each failing satellite's first failure.
"""

from __future__ import annotations

import datetime as dt
import numbers

import dask
import dask.base
import numpy as np

from astrokite.conjunctions import screening as _screening
from astrokite.conjunctions.table import ConjunctionTable
from astrokite.elements.sources import Satellites
from astrokite.propagators.analytical.sgp4.sgp4 import SGP4, _threads

__all__ = ["screen"]

# A default time window spans at least this many grid intervals (an hour at the usual step):
# shorter ones would spend more on setting up (element sets, the radial pruning) than on screening.
_FEWEST_INTERVALS = 120
# Default tasks per worker thread: a few, so that a slow part does not hold up the rest.
_TASKS_PER_THREAD = 2


def screen(primary, start, stop, *, against=None, threshold: float = 5000.0, windows=None,
           primaries: int | None = None, threads: int | None = 1,
           max_results: int = 1_000_000) -> ConjunctionTable:
    """Close approaches between satellites from ``start`` to ``stop``, screened across Dask workers.

    The same table as ``astrokite.screen`` with the same arguments, row for row and bit for bit
    (``failed`` included). The work is split by time windows and by groups of primaries: each
    (window, group) is one task running the single-machine screen on its part. An approach near
    or across a window's boundary is found once, in the window holding its time of closest
    approach; a pair of two primaries of different groups is kept once, under the names the
    whole screen gives it. A worker lost mid-job costs only its tasks, which Dask runs again.

    Runs on the ``distributed`` client Dask computes on (the default client, unless
    ``dask.config`` names another scheduler), else on that scheduler. The element sets go to
    the workers once, as data (their records), and each task builds its propagators from them.

    Args:
        primary: a ``TLE``, ``ELSET``, ``Catalogue``, list of these, or an ``SGP4``.
        start, stop: the window, anything ``Time`` takes.
        against: the objects to screen the primary's against (same kinds), or None to screen the
            primary's satellites all against all.
        threshold: distance below which a minimum counts, m (positive, finite).
        windows: how the window is split in time: a number of windows (an int), or the length
            of each window in seconds (a float, or a ``datetime.timedelta``). Windows begin and
            end on the screen's grid (every 30 s, or 4 to 8 minutes for at most 16 primaries), so a
            length is rounded to whole grid steps. None: about two windows per worker thread,
            each at least 120 grid steps long.
        primaries: the number of groups the primaries are split into (None: one), of about
            equal size, by catalogue number. Each group's task propagates every object over its
            window but screens the pairs of its primaries only: groups help when the window is too
            short to split further, not to save propagation.
        threads: native threads per task; None uses every core of the worker. One suits
            workers of one thread each.
        max_results: the most approaches returned; a screen that would give more raises
            ValueError instead.

    Returns:
        A ``ConjunctionTable``, one row per approach in order of time, with the satellites that
        failed to propagate in ``failed``.

    >>> from distributed import Client
    >>> import astrokite.dask as akd
    >>> client = Client(n_workers=4, threads_per_worker=1)                       # doctest: +SKIP
    >>> week = akd.screen(catalogue, "2024-03-01", "2024-03-08", windows=86400.0)  # doctest: +SKIP
    >>> week.to_pandas()[["primary", "secondary", "tca", "miss_distance"]]       # doctest: +SKIP
    """
    start_ns, stop_ns, threshold = _screening._checked(start, stop, threshold, max_results)
    threads = _threads(threads)  # 0: every core of the worker
    whole_primary = _Source(primary, "primary")
    whole_against = None if against is None else _Source(against, "against")
    step = _screening._grid_step(len(whole_primary.satnos))
    intervals = len(_screening._grid(start_ns, stop_ns, step)) - 1
    client = _client()
    workers = _worker_threads(client)
    edges = _window_edges(windows, intervals, step, workers)
    groups = _primary_groups(primaries, whole_primary.satnos)
    prune = whole_against is not None and not whole_against.propagator

    shared = [whole_primary.payload()] + ([] if whole_against is None else [whole_against.payload()])
    # Each source is one piece of the graph that every task reads: sent once, and made again
    # from the graph (not lost) when a worker that held it dies.
    shared = [dask.delayed(payload, pure=True) for payload in shared]
    options = dict(step=step, prune=prune, threshold=threshold, threads=threads, max_results=max_results)
    part = dask.delayed(_part, pure=True)
    tasks = [part(shared[0], group, shared[1] if len(shared) > 1 else None, start_ns, stop_ns,
                  (int(first), int(last)), options)
             for first, last in zip(edges[:-1], edges[1:]) for group in groups]
    results = dask.compute(*tasks)
    return _merge(results, whole_primary, whole_against, max_results)


class _Source:
    """A source of element sets as data: its satellites' records (which pickle), the
    propagator's gravity model and mode, and its satellites' catalogue numbers."""

    def __init__(self, source, name: str):
        propagator = _screening._propagator(source, name)  # the single-machine screen's checks
        self.satellites: Satellites = propagator._satellites
        self.gravity, self.mode = propagator.gravity, propagator.mode
        self.satnos = np.asarray(propagator.satnos, np.int64)
        self.propagator = isinstance(source, SGP4)  # propagated whole, never pruned

    def payload(self) -> tuple:
        return self.satellites, self.gravity, self.mode


def _part(primary, group, against, start_ns, stop_ns, intervals, options):
    """One task: the single-machine screen of the primaries ``group`` (satellite indices, None for
    all) over grid intervals ``intervals``; the table's columns."""
    against = None if against is None else SGP4._from_groups(*against)
    table = _screening._screen_part(SGP4._from_groups(*primary), against, start_ns, stop_ns, intervals,
                                    screened=group, **options)
    return (table.primary, table.secondary, np.asarray(table.tca.int64, np.int64), table._primary_position,
            table._primary_velocity, table.relative_position, table.relative_velocity, table.at_start,
            table.at_stop, *table._failed)


def _merge(results, primary: _Source, against: _Source | None, max_results: int) -> ConjunctionTable:
    """The parts' rows as one table, in the single-machine order (time, primary, secondary); each
    failed satellite once, at its first failure, in the order of the screen's objects (the
    primary's satellites, then those of ``against``)."""
    columns = [np.concatenate(column) for column in zip(*results)]
    satno_p, satno_s, tca = columns[:3]
    if len(tca) > max_results:
        raise ValueError(f"the screen found {len(tca)} approaches, more than max_results ({max_results})")
    order = np.lexsort((satno_s, satno_p, tca))
    rows = [column[order] for column in columns[:9]]

    failed_satnos, failed_when, failed_codes = columns[9:]
    first = np.lexsort((failed_when, failed_satnos))  # each satellite's earliest failure first
    first = first[np.r_[True, np.diff(failed_satnos[first]) != 0]] if len(first) else first
    everyone = primary.satnos if against is None else np.concatenate([primary.satnos, against.satnos])
    known, place = np.unique(everyone, return_index=True)
    first = first[np.argsort(place[np.searchsorted(known, failed_satnos[first])], kind="stable")]
    return ConjunctionTable(
        primary=rows[0], secondary=rows[1], tca=rows[2], primary_position=rows[3], primary_velocity=rows[4],
        relative_position=rows[5], relative_velocity=rows[6], at_start=rows[7], at_stop=rows[8],
        failed=(failed_satnos[first], failed_when[first], failed_codes[first]),
    )


def _client():
    """The distributed client that Dask computes on now (the default client, unless the
    configuration names another scheduler), or None."""
    try:
        from distributed import Client
    except ImportError:
        return None
    client = getattr(dask.base.get_scheduler(), "__self__", None)
    return client if isinstance(client, Client) else None


def _worker_threads(client) -> int:
    """Threads the work can spread over: the cluster's, else the default scheduler's."""
    if client is not None:
        return max(1, sum(client.nthreads().values()))
    return max(1, dask.system.CPU_COUNT)


def _window_edges(windows, intervals: int, step: float, workers: int) -> np.ndarray:
    """The grid indices where the time windows begin and end (first 0, last ``intervals``)."""
    if windows is None:
        count = min(workers * _TASKS_PER_THREAD, -(-intervals // _FEWEST_INTERVALS))
    elif isinstance(windows, numbers.Integral) and not isinstance(windows, bool):
        if windows < 1:
            raise ValueError(f"windows must be a positive number of windows, not {windows!r}")
        count = windows
    elif isinstance(windows, dt.timedelta | numbers.Real) and not isinstance(windows, bool):
        seconds = windows.total_seconds() if isinstance(windows, dt.timedelta) else float(windows)
        if not (np.isfinite(seconds) and seconds > 0):
            raise ValueError(f"windows must be a positive length in seconds, not {windows!r}")
        per_window = max(1, round(seconds / step))
        return np.append(np.arange(0, intervals, per_window), intervals)
    else:
        raise TypeError(f"windows must be a number of windows (int) or a length in seconds (float or "
                        f"timedelta), not {type(windows).__name__}")
    count = max(1, min(count, intervals))
    return np.arange(count + 1) * intervals // count


def _primary_groups(primaries, satnos: np.ndarray) -> list[np.ndarray | None]:
    """The primaries' satellite indices of each group (a single None: all in one), by catalogue
    number, a number's satellites in one group."""
    if primaries is None:
        count = 1
    elif isinstance(primaries, numbers.Integral) and not isinstance(primaries, bool):
        if primaries < 1:
            raise ValueError(f"primaries must be a positive number of groups, not {primaries!r}")
        count = int(primaries)
    else:
        raise TypeError(f"primaries must be a number of groups (int), not {type(primaries).__name__}")
    numbers_, inverse = np.unique(satnos, return_inverse=True)
    count = min(count, len(numbers_))
    if count == 1:
        return [None]
    group_of = (np.arange(len(numbers_)) * count // len(numbers_))[inverse]
    return [np.flatnonzero(group_of == g) for g in range(count)]
