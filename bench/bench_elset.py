"""ELSET costs against the same work done with Python lists and NumPy.

Run from the repository root:  PYTHONPATH=src .venv/bin/python bench/bench_elset.py
Prints medians of repeated runs for construction, a column read, a time-window
selection and iteration, each beside a peer measured in the same run, then
construction at 10^3 to 10^6 element sets with its cost per n log2 n.
Element sets have distinct epochs and arrive shuffled; above 100,000 the same
objects repeat.
"""

from __future__ import annotations

import gc
import math
import random
import statistics
import time
from operator import attrgetter
from pathlib import Path

import numpy as np

from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE
from astrokite.time.time import Time

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
COLUMNS = ["ecc", "sma", "inc", "raa", "arp", "tra", "mnm", "orp", "eca", "mea", "pge", "apg"]
N = 100_000


def shuffled_tles(n: int) -> list[TLE]:
    """n element sets of one satellite, distinct epochs over 120 days (up to 100,000), shuffled."""
    line1, line2 = (DATA / "iss.tle").read_text().splitlines()[:2]
    distinct = min(n, N)
    tles = [TLE(line1[:18] + f"23{1 + 120 * i / distinct:012.8f}" + line1[32:], line2) for i in range(distinct)]
    tles = (tles * math.ceil(n / distinct))[:n]
    random.Random(1).shuffle(tles)
    return tles


def median_seconds(fn, repeats: int = 7) -> float:
    fn()
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def per_call(fn, calls: int) -> float:
    def run():
        for _ in range(calls):
            fn()

    return median_seconds(run) / calls


def columns_in_python(tles: list[TLE]):
    """The peer of construction: a stable sort by epoch, twelve NumPy columns and the epoch Time."""
    ordered = sorted(tles, key=attrgetter("epoch"))
    columns = {name: np.fromiter(map(attrgetter(name), ordered), float, len(ordered)) for name in COLUMNS}
    epochs = Time(np.fromiter((t.epoch.int64 for t in ordered), np.int64, len(ordered)))
    return ordered, columns, epochs


def window_in_python(ordered: list[TLE], epochs: np.ndarray, start: str, stop: str):
    """The peer of a time window: a NumPy mask over the epochs and the kept list."""
    mask = (epochs >= Time(start).int64) & (epochs < Time(stop).int64)
    return [tle for tle, keep in zip(ordered, mask) if keep]


def main() -> None:
    tles = shuffled_tles(N)
    elset = ELSET(*tles)
    ordered, columns, epochs = columns_in_python(tles)
    sma = columns["sma"]

    def iterate_elset():
        for _ in elset:
            pass

    def iterate_list():
        for _ in ordered:
            pass

    window = ("2023-02-01", "2023-03-03")  # a quarter of the element sets
    rows = [
        # operation, target, ours [s per item], peer, peer [s per item]
        ("ELSET(*tles), 100,000", 50e-3, median_seconds(lambda: ELSET(*tles)),
         "sorted + 12 x numpy.fromiter + Time", median_seconds(lambda: columns_in_python(tles))),
        ("elset.sma (column read)", 1e-6, per_call(lambda: elset.sma, 100_000),
         "ndarray.view()", per_call(sma.view, 100_000)),
        ("elset[t0:t1], 100,000", 60e-3, median_seconds(lambda: elset[window[0]:window[1]]),
         "numpy mask + list", median_seconds(lambda: window_in_python(ordered, epochs.int64, *window))),
        ("for tle in elset (per item)", 500e-9, median_seconds(iterate_elset) / N,
         "for tle in list", median_seconds(iterate_list) / N),
    ]
    header = f"{'operation':30} {'ours':>10} {'target':>10} {'peer':>10} {'ratio':>6}  peer"
    print(header)
    print("-" * len(header))
    for operation, target, ours, peer_name, peer in rows:
        print(f"{operation:30} {ours * 1e6:8.2f}us {target * 1e6:8.2f}us {peer * 1e6:8.2f}us "
              f"{ours / peer:6.2f}  {peer_name}")

    print()
    print(f"{'element sets':>12} {'ELSET(*tles)':>14} {'ns per set':>11} {'ns per n log2 n':>16}")
    for exponent in range(3, 7):
        n = 10**exponent
        sample = shuffled_tles(n)
        seconds = median_seconds(lambda: ELSET(*sample), repeats=3 if n >= 10**6 else 7)
        print(f"{n:>12,} {seconds * 1e3:11.2f} ms {seconds / n * 1e9:11.1f} {seconds / (n * math.log2(n)) * 1e9:16.2f}")


if __name__ == "__main__":
    main()
