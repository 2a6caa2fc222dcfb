"""astrokite.dask on this machine: one worker against two, each worker against one process, and what
the per-worker rates make of larger clusters.

Run alone with the package installed:  .venv/bin/python bench/bench_dask.py
The input: a synthetic history of 10^7 element sets (10^6 with BENCH_QUICK=1) written as TLE text,
one file per year (synthetic_history.py), deleted after the run; and the 30,000-object synthetic
catalogue. Workers are processes of a LocalCluster with one thread each; the native code in a task
runs on that one thread.

Rows:
- the history filtered by 3,000 catalogue numbers and a ten-year window, sets counted per
  satellite: one process reading the files one after another on one thread (the work of a worker
  with no Dask around it), one worker (at least 80% as fast as that process), two workers (at least
  1.8 times one);
- SGP4 of the catalogue over one day at one-minute steps in chunks of 1,000 satellites: one worker,
  two workers (at least 1.8 times one);
- projections from the per-worker rates (the measured two-worker efficiency assumed to hold):
  the whole public history (2x10^8 sets) scanned, and a year of daily all-against-all screening of
  the catalogue, on 10, 100 and 1,000 cores.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from contextlib import contextmanager
from pathlib import Path

import numpy as np

from harness import QUICK, Row, median_seconds, run_alone
from synthetic_catalogue import REFERENCE_EPOCH, synthetic_catalogue
from synthetic_history import write_history

SETS = 1_000_000 if QUICK else 10_000_000
SATELLITES = 30_000
HISTORY = 200_000_000  # element sets in the public record since 1957, about
CORES = (10, 100, 1_000)
SCREEN_HOURS = 2


@contextmanager
def cluster(workers: int):
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0") as local, \
            Client(local) as client:
        yield client


def _duration(seconds: float) -> str:
    for size, unit in ((86400, "days"), (3600, "h"), (60, "min")):
        if seconds >= size:
            return f"{seconds / size:.1f} {unit}"
    return f"{seconds:.0f} s" if seconds >= 10 else f"{seconds:.1f} s" if seconds >= 1 else f"{seconds:.2f} s"


def run(table) -> None:
    import dask.array as da

    import astrokite.dask as akd
    from astrokite.conjunctions import screen
    from astrokite.dask.frames import Part, _TLEReader
    from astrokite.propagators.analytical.sgp4.sgp4 import SGP4
    from astrokite.time.time import Time

    folder = Path(tempfile.mkdtemp(prefix="astrokite-history-"))
    try:
        files = [str(path) for path in write_history(SETS, folder)]
        os.sync()  # the files' write-back is not part of any reading timed here
        satnos = tuple(range(1, SATELLITES + 1, 10))
        window = ("2010-01-01", "2020-01-01")
        reader = _TLEReader(False, "raise", satnos, window)
        counted = []
        one_process = median_seconds(lambda: counted.append(sum(reader.catalogue(Part(path)).size for path in files)),
                                     repeats=5)
        scan = {}
        for workers in (1, 2):
            with cluster(workers):
                def count():
                    # A partition per file (the default): 20 of 70 MB, ten for each of two workers.
                    frame = akd.read_tle(str(folder / "*.tle"), satnos=satnos, window=window)
                    # A few thousand counts: one partition of output, no shuffle.
                    counted.append(int(frame.groupby("satno").size(split_out=1).sum().compute()))
                scan[workers] = median_seconds(count, repeats=5)
        assert len(set(counted)) == 1, counted
    finally:
        shutil.rmtree(folder)
    label = f"astrokite.dask read_tle, {len(files)} files, 3,000 numbers and 10 years kept ({counted[0]:,}), counted per satellite"
    table.add(Row(f"{label}, 1 worker", SETS, scan[1], {"one process, the files in turn, 1 thread": one_process},
                  items=SETS, target=one_process / 0.8))
    table.add(Row(f"{label}, 2 workers", SETS, scan[2], {"1 worker": scan[1]}, items=SETS, target=scan[1] / 1.8))

    catalogue = synthetic_catalogue(SATELLITES)
    start = int(Time(REFERENCE_EPOCH).int64)
    instants = Time(start + np.arange(1440, dtype=np.int64) * 60_000_000_000)
    alone = median_seconds(lambda: SGP4(catalogue).propagate(instants, velocity=False, threads=1), repeats=5)
    spread = {}
    for workers in (1, 2):
        with cluster(workers):
            states = akd.propagate(catalogue, instants, chunks=1000, velocity=False)
            # Every state is made in the workers; an hourly sample of them is summed where they are.
            spread[workers] = median_seconds(lambda: da.nansum(states.position[:, ::60]).compute(), repeats=5)
    label = f"astrokite.dask propagate, {SATELLITES:,} satellites x 1,440 instants, chunks of 1,000"
    states_count = SATELLITES * 1440
    table.add(Row(f"{label}, 1 worker", states_count, spread[1], {"SGP4.propagate, one process, 1 thread": alone},
                  items=states_count))
    table.add(Row(f"{label}, 2 workers", states_count, spread[2], {"1 worker": spread[1]}, items=states_count,
                  target=spread[1] / 1.8))

    # What one worker does for a day of screening, from a slice of it on one thread.
    hours = median_seconds(lambda: screen(catalogue, start, start + SCREEN_HOURS * 3600 * 10**9, threads=1),
                           repeats=1)
    per_day = hours * 24 / SCREEN_HOURS
    efficiency = scan[1] / (2 * scan[2])
    rate = SETS / scan[1]
    for cores in CORES:
        table.add(Row(f"projected: 2x10^8 sets scanned on {cores:,} cores ({rate / 1e6:.2f} M sets/s a worker, "
                      f"{efficiency:.0%} efficient) = {_duration(HISTORY / (rate * cores * efficiency))}",
                      HISTORY, HISTORY / (rate * cores * efficiency), items=HISTORY))
    for cores in CORES:
        seconds = 365 * per_day / (cores * efficiency)
        table.add(Row(f"projected: a year of daily all-against-all screening of {SATELLITES:,} on {cores:,} cores "
                      f"({per_day:.0f} s a day on one worker) = {_duration(seconds)}", 365, seconds, items=365))


if __name__ == "__main__":
    run_alone(run)
