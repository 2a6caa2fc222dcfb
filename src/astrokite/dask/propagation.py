"""SGP4 over chunks of satellites and times: lazy Dask arrays of the states ``SGP4.propagate``
gives, each chunk one native call in a worker."""

from __future__ import annotations

from typing import Any, NamedTuple

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np

from astrokite.catalogue.catalogue import Catalogue
from astrokite.elements.sources import Satellites, records_by_satellite
from astrokite.propagators.analytical.sgp4.sgp4 import SGP4, _frame_name
from astrokite.time.time import Time

__all__ = ["Propagation", "propagate"]


class Propagation(NamedTuple):
    """Lazy states of satellites at instants, as ``SGP4.propagate`` gives them (TEME or ITRF)."""

    position: da.Array  # m, (satellites, instants, 3) float64
    velocity: da.Array | None  # m/s, the same shape; None when not asked for
    error: da.Array  # (satellites, instants) int8, 0 where the sample is good
    satnos: np.ndarray  # int64, the catalogue number of each row


def _states(satellites: Satellites, instants: np.ndarray, select: str, frame: str, velocity: bool, gravity: str,
            mode: str):
    """One chunk: the satellites' states at the instants (int64 counts of Time), on this worker's thread."""
    states = SGP4._from_groups(satellites, gravity, mode).propagate(
        Time(instants), select=select, frame=frame, velocity=velocity, threads=1)
    return states.position, states.velocity, states.error


def _states_of_rows(rows, instants: np.ndarray, select: str, frame: str, velocity: bool, gravity: str, mode: str):
    """One chunk of a frame: its rows (whole satellites) read back into element sets first."""
    satellites = records_by_satellite(Catalogue.from_pandas(rows.reset_index()))
    return _states(satellites, instants, select, frame, velocity, gravity, mode)


def _chunk_bounds(total: int, size: int) -> list[tuple[int, int]]:
    return [(first, min(total, first + size)) for first in range(0, total, size)] or [(0, 0)]


def _sizes(chunks: Any) -> tuple[int, int | None]:
    """Satellites and instants per chunk (None: every instant in one)."""
    sizes = chunks if isinstance(chunks, tuple | list) else (chunks, None)
    if len(sizes) != 2 or not all(size is None or (isinstance(size, int | np.integer) and size > 0)
                                  for size in sizes) or sizes[0] is None:
        raise ValueError(f"chunks must be a positive number of satellites, or (satellites, instants), not {chunks!r}")
    return int(sizes[0]), None if sizes[1] is None else int(sizes[1])


def propagate(source: Any, times: Any, *, chunks: int | tuple[int, int | None] = 1000, select: str = "inforce",
              frame: Any = "TEME", velocity: bool = True, gravity: str = "wgs72",
              mode: str = "improved") -> Propagation:
    """States of every satellite of `source` at `times`, lazily, chunk by chunk on the workers.

    Args:
        source: a lazy DataFrame of ``read_tle``/``read_omm`` (or any frame with the columns of
            ``Catalogue.to_pandas()``), or what ``SGP4`` takes (a ``Catalogue``, an ``SGP4``, ...).
            A frame's rows are gathered by satellite with Dask's shuffle; its catalogue numbers
            are computed first (persist the frame to read its files once).
        times: a ``Time`` or anything it takes (n instants).
        chunks: satellites per chunk, or (satellites, instants) per chunk.
        select, frame, velocity: as for ``SGP4.propagate`` ("inforce" or "nearest"; "TEME" or
            "ITRF"). gravity, mode: as for ``SGP4`` (an ``SGP4`` source keeps its own).

    Returns:
        A ``Propagation``: ``position`` [m] and ``velocity`` [m/s] of shape (satellites, n, 3) and
        ``error`` (satellites, n) as dask arrays, and ``satnos``; computed, they equal
        ``SGP4(source).propagate(times)`` bit for bit, each satellite served by its set in force.

    >>> import glob, astrokite as ak, astrokite.dask as akd
    >>> catalogue = ak.read_tle(sorted(glob.glob("data/*.tle")))
    >>> states = akd.propagate(catalogue, ak.Time(["2023-03-01", "2023-03-02"]), chunks=4)
    >>> states.position.shape, states.position.chunks[0]
    ((15, 2, 3), (4, 4, 4, 3))
    """
    if select not in ("inforce", "nearest"):
        raise ValueError(f"select must be 'inforce' or 'nearest', not {select!r}")
    frame_name = _frame_name(frame, ("TEME", "ITRF"))
    time = times if type(times) is Time else Time(times)
    per_chunk, per_time = _sizes(chunks)
    instants = np.atleast_1d(np.asarray(time.int64, np.int64))  # one instant gives one column, as SGP4's do
    n = len(instants)
    time_bounds = [(0, n)] if per_time is None else _chunk_bounds(n, per_time)
    options = (select, frame_name, bool(velocity))
    if isinstance(source, dd.DataFrame):
        satnos, parts = _frame_chunks(source, per_chunk)
        run = _states_of_rows
        models = (gravity, mode)
    else:
        if isinstance(source, SGP4):
            gravity, mode = source.gravity, source.mode
        satellites = records_by_satellite(source)
        starts = np.concatenate([[0], np.cumsum(satellites.counts)])
        satnos = satellites.records["satno"][starts[:-1]]  # a satellite's sets share its number
        # Each chunk's records copied, so that a chunk ships only its own.
        parts = [Satellites(satellites.records[starts[first]:starts[stop]].copy(), satellites.counts[first:stop].copy())
                 for first, stop in _chunk_bounds(len(satellites.counts), per_chunk)]
        run, models = _states, (gravity, mode)
    rows = _chunk_bounds(len(satnos), per_chunk)
    pieces = [instants[t0:t1] for t0, t1 in time_bounds]
    blocks = {"position": [], "velocity": [], "error": []}
    for part, (first, stop) in zip(parts, rows):
        line = {"position": [], "velocity": [], "error": []}
        for piece, (t0, t1) in zip(pieces, time_bounds):
            task = dask.delayed(run, pure=True, nout=3)(part, piece, *options, *models)
            shape = (stop - first, t1 - t0)
            line["position"].append(da.from_delayed(task[0], (*shape, 3), np.float64))
            if velocity:
                line["velocity"].append(da.from_delayed(task[1], (*shape, 3), np.float64))
            line["error"].append(da.from_delayed(task[2], shape, np.int8))
        for name, row in line.items():
            if row:
                blocks[name].append(da.concatenate(row, axis=1))
    position, error = (da.concatenate(blocks[name], axis=0) for name in ("position", "error"))
    speed = da.concatenate(blocks["velocity"], axis=0) if velocity else None
    return Propagation(position, speed, error, np.asarray(satnos, np.int64))


def _frame_chunks(frame: dd.DataFrame, per_chunk: int):
    """The sorted catalogue numbers of a frame, and its rows gathered by satellite into
    partitions of `per_chunk` satellites each, in that order (as delayed pandas frames)."""
    satnos = np.sort(frame["satno"].unique().compute().to_numpy(np.int64))
    if len(satnos) == 0:
        return satnos, [frame.to_delayed()[0]]
    # Partition k holds the numbers from the first of chunk k to before the first of chunk k + 1;
    # the last, up to the last number itself.
    divisions = [*satnos[::per_chunk].tolist(), int(satnos[-1])]
    return satnos, frame.set_index("satno", divisions=divisions).to_delayed()
