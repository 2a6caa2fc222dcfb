"""Cost of building a Time, against the nearest NumPy or standard-library peer.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_time.py
"""

from __future__ import annotations

import datetime as dt

import numpy as np
from harness import Row, median_per_call, median_seconds, run_alone

from astrokite.time.time import Time

ARRAY_SIZE = 100_000


def jd_in_python(jd: float) -> int:
    return round((jd - 2440587.5) * 86400e9)


def run(table) -> None:
    jds = 2460000.5 + np.random.default_rng(1).random(ARRAY_SIZE) * 365.0
    counts = ((jds - 2440587.5) * 86400e9).astype(np.int64)
    texts = [str(t)[:-1] for t in Time(counts[:1000])]
    scalars = [
        ("Time(jd, format='jd')", lambda: Time(2460000.25, format="jd"), 1e-6,
         "Python round((jd - 2440587.5) * 86400e9)", lambda: jd_in_python(2460000.25)),
        ("Time(int)", lambda: Time(1_700_000_000_000_000_000), None,
         "numpy.datetime64(int, 'ns')", lambda: np.datetime64(1_700_000_000_000_000_000, "ns")),
        ("Time(ISO text)", lambda: Time("2024-03-05T12:00:07.25"), None,
         "datetime.fromisoformat", lambda: dt.datetime.fromisoformat("2024-03-05T12:00:07.25")),
        ("Time(datetime)", lambda: Time(dt.datetime(2024, 3, 5, 12)), None,
         "numpy.datetime64(datetime)", lambda: np.datetime64(dt.datetime(2024, 3, 5, 12))),
    ]
    for operation, ours, target, peer_name, peer in scalars:
        table.add(Row(operation, 1, median_per_call(ours, 100_000), {peer_name: median_per_call(peer, 100_000)},
                      target=target))
    arrays = [
        ("Time(jd array, format='jd')", lambda: Time(jds, format="jd"), ARRAY_SIZE,
         "NumPy expression", lambda: np.round((jds - 2440587.5) * 86400e9).astype(np.int64)),
        ("Time(int64 array)", lambda: Time(counts), ARRAY_SIZE, "numpy.array(counts)", lambda: np.array(counts)),
        ("Time(list of ISO text)", lambda: Time(texts), len(texts),
         "numpy.array(texts, 'M8[ns]')", lambda: np.array(texts, dtype="M8[ns]")),
    ]
    for operation, ours, size, peer_name, peer in arrays:
        table.add(Row(operation, size, median_seconds(ours), {peer_name: median_seconds(peer)}, items=size))


if __name__ == "__main__":
    run_alone(run)
