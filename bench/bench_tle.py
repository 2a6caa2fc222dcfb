"""TLE construction: time per element set against sgp4's parser, and memory.

Run from the repository root:  PYTHONPATH=src .venv/bin/python bench/bench_tle.py
Prints a table of medians over repeated passes through all bundled element
sets, measured for both parsers in the same run, and the memory one TLE with
its epoch takes.
"""

from __future__ import annotations

import gc
import statistics
import time
import tracemalloc
from pathlib import Path

from sgp4.api import Satrec

from astrokite.propagators.analytical.sgp4.tle import TLE

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
REPEATS = 15


def read_pairs() -> list[tuple[str, str]]:
    pairs = []
    for path in sorted(DATA.glob("*.tle")):
        lines = path.read_text().splitlines()
        pairs += list(zip(lines[::2], lines[1::2]))
    return pairs


def median_per_call(build, pairs) -> float:
    """Median over REPEATS passes of the mean seconds per call in one pass."""
    for line1, line2 in pairs:  # warm-up
        build(line1, line2)
    passes = []
    for _ in range(REPEATS):
        gc.collect()
        start = time.perf_counter()
        for line1, line2 in pairs:
            build(line1, line2)
        passes.append((time.perf_counter() - start) / len(pairs))
    return statistics.median(passes)


def bytes_per_tle(pairs, count: int = 2000) -> float:
    line1, line2 = pairs[0]
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    kept = [TLE(line1, line2) for _ in range(count)]
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    total = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    list_bytes = kept.__sizeof__()  # the list holding them is not part of a TLE
    return (total - list_bytes) / count


def main() -> None:
    pairs = read_pairs()
    ours = median_per_call(TLE, pairs)
    theirs = median_per_call(Satrec.twoline2rv, pairs)
    rows = [
        ("TLE(line1, line2)", ours * 1e9),
        ("sgp4 Satrec.twoline2rv", theirs * 1e9),
    ]
    print(f"{len(pairs)} element sets, median of {REPEATS} passes")
    print(f"{'operation':<26}{'ns per set':>12}")
    for name, ns in rows:
        print(f"{name:<26}{ns:>12.0f}")
    print(f"{'speed-up against sgp4':<26}{theirs / ours:>12.2f}x")
    print(f"{'bytes per TLE with epoch':<26}{bytes_per_tle(pairs):>12.0f}")


if __name__ == "__main__":
    main()
