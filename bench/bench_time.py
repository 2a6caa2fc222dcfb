"""Cost of building a Time, against the nearest NumPy or standard-library peer.

Prints a table of median costs per call (scalars) or per item (arrays), each
with a peer doing comparable work in the same run and the ratio of the two.
Run with the extension built:  PYTHONPATH=src python bench/bench_time.py
"""

from __future__ import annotations

import datetime as dt
import statistics
import timeit

import numpy as np

from astrokite.time.time import Time

ARRAY_SIZE = 100_000
JDS = 2460000.5 + np.random.default_rng(1).random(ARRAY_SIZE) * 365.0
COUNTS = ((JDS - 2440587.5) * 86400e9).astype(np.int64)
TEXTS = [str(t)[:-1] for t in Time(COUNTS[:1000])]


def median_ns(statement, number: int, items: int = 1) -> float:
    """Median nanoseconds per item of `statement` over 7 repeats of `number` runs."""
    runs = timeit.repeat(statement, number=number, repeat=7)
    return statistics.median(runs) / (number * items) * 1e9


def jd_in_python(jd: float) -> int:
    return round((jd - 2440587.5) * 86400e9)


CASES = [
    # (operation, ours, peer name, peer, runs, items per run)
    ("Time(jd, format='jd')", lambda: Time(2460000.25, format="jd"),
     "round((jd - 2440587.5) * 86400e9)", lambda: jd_in_python(2460000.25), 200_000, 1),
    ("Time(int)", lambda: Time(1_700_000_000_000_000_000),
     "numpy.datetime64(int, 'ns')", lambda: np.datetime64(1_700_000_000_000_000_000, "ns"), 200_000, 1),
    ("Time(ISO text)", lambda: Time("2024-03-05T12:00:07.25"),
     "datetime.fromisoformat(text)", lambda: dt.datetime.fromisoformat("2024-03-05T12:00:07.25"), 200_000, 1),
    ("Time(datetime)", lambda: Time(dt.datetime(2024, 3, 5, 12)),
     "numpy.datetime64(datetime)", lambda: np.datetime64(dt.datetime(2024, 3, 5, 12)), 100_000, 1),
    ("Time(jd array, format='jd')", lambda: Time(JDS, format="jd"),
     "numpy expression", lambda: np.round((JDS - 2440587.5) * 86400e9).astype(np.int64), 20, ARRAY_SIZE),
    ("Time(int64 array)", lambda: Time(COUNTS),
     "numpy.array(counts) (copy)", lambda: np.array(COUNTS), 50, ARRAY_SIZE),
    ("Time(list of ISO text)", lambda: Time(TEXTS),
     "numpy.array(texts, 'M8[ns]')", lambda: np.array(TEXTS, dtype="M8[ns]"), 200, len(TEXTS)),
    ("Time(array).jd", lambda: Time(COUNTS).jd,
     "counts / 86400e9 + 2440587.5", lambda: COUNTS / 86400e9 + 2440587.5, 20, ARRAY_SIZE),
]


def main() -> None:
    header = f"{'operation':30} {'ours [ns]':>10} {'peer [ns]':>10} {'ratio':>6}  peer"
    print(header)
    print("-" * len(header))
    for operation, ours, peer_name, peer, number, items in CASES:
        ours_ns = median_ns(ours, number, items)
        peer_ns = median_ns(peer, number, items)
        print(f"{operation:30} {ours_ns:10.1f} {peer_ns:10.1f} {ours_ns / peer_ns:6.2f}  {peer_name}")
    print("(per call for scalars, per item for arrays and lists; medians of 7 repeats)")


if __name__ == "__main__":
    main()
