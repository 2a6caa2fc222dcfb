"""ELSET construction, access and iteration against the same work done with
Python lists and NumPy, construction growth from 10^3 to 10^6, and ELSETs read
straight from lines (no TLE object until one is asked for) against the same
lines read into sgp4 Satrec objects.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_elset.py
Element sets have distinct epochs and arrive shuffled.
"""

from __future__ import annotations

import gc
import itertools
import math
from operator import attrgetter

import numpy as np
from harness import (QUICK, REPEATS, Row, distinct_epoch_pairs, median_per_call, median_per_statement, median_seconds,
                     resident_in_fresh_process, run_alone)

from sgp4.api import Satrec

from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE
from astrokite.time.time import Time

COLUMNS = ["ecc", "sma", "inc", "raa", "arp", "tra", "mnm", "orp", "eca", "mea", "pge", "apg"]
N = 100_000
MEMORY_SETS = 1_000_000  # element sets read from lines for the resident-memory figure


def rows_of(pairs: list[tuple[str, str]]) -> bytes:
    """Rows of 138 bytes: each line's 69 stored bytes, line 1 then line 2."""
    return b"".join(line1.ljust(69)[:69].encode() + line2.ljust(69)[:69].encode() for line1, line2 in pairs)


def shuffled_tles(n: int) -> list[TLE]:
    return [TLE(line1, line2) for line1, line2 in distinct_epoch_pairs(n)]


def columns_in_python(tles: list[TLE]):
    """The peer of construction: a stable sort by epoch, twelve NumPy columns and the epoch Time."""
    ordered = sorted(tles, key=lambda tle: tle.epoch.int64)
    columns = {name: np.fromiter(map(attrgetter(name), ordered), float, len(ordered)) for name in COLUMNS}
    epochs = Time(np.fromiter((tle.epoch.int64 for tle in ordered), np.int64, len(ordered)))
    return ordered, columns, epochs


def run(table) -> None:
    # Growth: the cost per n log2 n should stay flat.
    sizes = [1_000, 10_000, 100_000] + ([] if QUICK else [1_000_000])
    for n in sizes:
        tles = shuffled_tles(n)
        ours = median_seconds(lambda: ELSET(*tles), repeats=3 if n >= 1_000_000 else REPEATS)
        peer = {"sorted + 12 numpy.fromiter + Time": median_seconds(lambda: columns_in_python(tles))} if n == N else {}
        table.add(Row(f"ELSET(*tles) ({ours / (n * math.log2(n)) * 1e9:.1f} ns per n log2 n)", n, ours, peer,
                      items=n, target=15e-3 if n == N else None))
        if n == N:
            kept = tles
        del tles
        gc.collect()

    tles = kept
    elset = ELSET(*tles, satname="ISS")
    ordered, columns, epochs = columns_in_python(tles)
    small = ELSET(*tles[:1_000])
    for sample, n in ((small, 1_000), (elset, N)):
        table.add(Row("column read elset.sma", n, median_per_statement("elset.sma", {"elset": sample}, 100_000),
                      {"ndarray.view()": median_per_statement("column.view()", {"column": columns["sma"]}, 100_000)},
                      target=80e-9))

    start, stop = Time("2023-02-01"), Time("2023-03-03")  # a tenth of the element sets

    def window_by_hand():
        mask = (epochs.int64 >= start.int64) & (epochs.int64 < stop.int64)
        return [tle for tle, keep in zip(ordered, mask) if keep]

    table.add(Row("time window elset[t0:t1]", N, median_seconds(lambda: elset[start:stop]),
                  {"NumPy mask + list": median_seconds(window_by_hand)}, items=N, target=60e-3))
    table.add(Row("iteration for tle in elset", N, median_seconds(lambda: [tle for tle in elset]),
                  {"for tle in list": median_seconds(lambda: [tle for tle in ordered])}, items=N, target=500e-9 * N))
    table.add(Row("elset.pairwise()", N, median_seconds(lambda: [pair for pair in elset.pairwise()]),
                  {"itertools.pairwise(list)": median_seconds(lambda: [pair for pair in itertools.pairwise(ordered)])},
                  items=N))
    table.add(Row("str(ELSET)", N, median_per_call(lambda: str(elset), 200)))

    # The column table is a native allocation that tracemalloc does not see:
    # read the resident set size around one construction, in a fresh process
    # where no memory freed earlier is there to be reused.
    table.add(Row("memory per ELSET element, its TLEs not counted (RSS)", N,
                  resident_in_fresh_process(f"from bench_elset import ELSET, shuffled_tles\ntles = shuffled_tles({N})",
                                            "held = ELSET(*tles)", N), unit="B"))
    del elset, small, tles, kept, ordered, columns
    gc.collect()
    run_from_lines(table)


def run_from_lines(table) -> None:
    pairs = distinct_epoch_pairs(N)
    rows = rows_of(pairs)
    satrecs = {"Satrec.twoline2rv loop": median_seconds(lambda: [Satrec.twoline2rv(a, b) for a, b in pairs])}
    table.add(Row("ELSET._from_lines(rows)", N, median_seconds(lambda: ELSET._from_lines(rows)), satrecs, items=N))
    elset = ELSET._from_lines(rows)
    start, stop = Time("2023-02-01"), Time("2023-03-03")
    table.add(Row("time window of lines elset[t0:t1]", N, median_seconds(lambda: elset[start:stop]), items=N))
    def every_item():
        lazy = ELSET._from_lines(rows)
        return [lazy[i] for i in range(N)]

    table.add(Row("_from_lines(rows), then every elset[i]", N, median_seconds(every_item, repeats=3), items=N))
    del elset

    # Resident memory per element set once loaded, the buffer of rows made
    # and let go in between, in a fresh process. The count of 10^6 needs the
    # full run; the quick run measures 10^5.
    count = N if QUICK else MEMORY_SETS
    setup = "from bench_elset import ELSET, N, distinct_epoch_pairs, rows_of\nrows = rows_of(distinct_epoch_pairs(N))"
    measured = f"many = rows * {count // N}\nloaded = ELSET._from_lines(many)\ndel many"
    table.add(Row("memory per element set read from lines (RSS)", count,
                  resident_in_fresh_process(setup, measured, count), unit="B", target=320))


if __name__ == "__main__":
    run_alone(run)
