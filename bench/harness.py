"""Shared pieces of the benchmark suite: timing, inputs, the results table.

Every figure is a median of several repeats after a warm-up, with peers
measured in the same run so that ratios compare like with like.
"""

from __future__ import annotations

import datetime as dt
import gc
import os
import platform
import random
import statistics
import subprocess
import sys
import time
import timeit
import tracemalloc
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path

DATA = Path(__file__).resolve().parent.parent / "data"
QUICK = os.environ.get("BENCH_QUICK") == "1"
REPEATS = 3 if QUICK else 7


def median_seconds(fn, repeats: int = REPEATS, warmup: int = 1) -> float:
    """Median wall time of fn() over `repeats` runs, after `warmup` runs."""
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def median_per_call(fn, calls: int, repeats: int = REPEATS) -> float:
    """Median seconds per call of fn() over `calls` calls in a row."""

    def run():
        for _ in range(calls):
            fn()

    return median_seconds(run, repeats) / calls


def median_per_statement(statement: str, namespace: dict, calls: int, repeats: int = REPEATS) -> float:
    """Median seconds per run of one statement, compiled into timeit's loop.

    For operations of tens of nanoseconds, where calling a wrapper function
    would cost as much as the operation itself.
    """
    timer = timeit.Timer(statement, globals=namespace)
    return median_seconds(lambda: timer.timeit(calls), repeats) / calls


def read_pairs() -> list[tuple[str, str]]:
    """The two lines of every bundled real element set."""
    pairs = []
    for path in sorted(DATA.glob("*.tle")):
        lines = [line for line in path.read_text().splitlines() if line.strip()]
        pairs += list(zip(lines[0::2], lines[1::2]))
    return pairs


def with_checksum(line: str) -> str:
    """The first 68 columns of a TLE line and their checksum digit."""
    return line[:68] + str(sum(int(c) if c.isdigit() else c == "-" for c in line[:68]) % 10)


def synthetic_pairs(satellites: int, sets: int = 1, *, seed: int = 0, first_number: int = 0,
                    day: float | None = None) -> list[tuple[str, str]]:
    """Element sets made from the bundled real ones, each satellite under its own number (from
    `first_number` on) with its own node and mean anomaly at random. With more than one set each,
    their epochs spread over 2023; with one, its epoch is within the day after day-of-year `day` of
    2023, or the real set's when `day` is None."""
    import numpy as np

    rng = np.random.default_rng(seed)
    real = read_pairs()
    pairs = []
    for i in range(satellites):
        line1, line2 = real[rng.integers(len(real))]
        number = f"{first_number + i:05d}"
        node, anomaly = rng.uniform(0, 360, 2)
        second = with_checksum(f"{line2[:2]}{number}{line2[7:17]}{node:8.4f}{line2[25:43]}{anomaly:8.4f}{line2[51:68]}")
        if sets > 1:
            days = np.sort(rng.uniform(1, 365, sets))
        else:
            days = [None if day is None else day + rng.uniform()]
        for epoch_day in days:
            epoch = line1[18:32] if epoch_day is None else f"23{epoch_day:012.8f}"
            pairs.append((with_checksum(f"{line1[:2]}{number}{line1[7:18]}{epoch}{line1[32:68]}"), second))
    return pairs


def iss_pair() -> tuple[str, str]:
    line1, line2 = (DATA / "iss.tle").read_text().splitlines()[:2]
    return line1, line2


def distinct_epoch_pairs(n: int, seed: int = 1) -> list[tuple[str, str]]:
    """n line pairs of one satellite with distinct epochs spread over 2023, shuffled."""
    line1, line2 = iss_pair()
    step = 300.0 / n
    pairs = [(f"{line1[:18]}23{1.0 + i * step:012.8f}{line1[32:]}", line2) for i in range(n)]
    random.Random(seed).shuffle(pairs)
    return pairs


def bytes_per_object(factory, n: int = 2_000) -> float:
    """Python-heap bytes held per object, by tracemalloc over n live objects."""
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    objects = [factory(i) for i in range(n)]
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    return (after - before - sys.getsizeof(objects)) / n


def resident_bytes() -> int:
    """The process's resident set size (sees native allocations too)."""
    pages = int(Path("/proc/self/statm").read_text().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


FRESH_PROCESS = """
import sys
sys.path[:0] = {paths!r}
from harness import resident_bytes
{setup}
before = resident_bytes()
{measured}
print((resident_bytes() - before) / {count})
"""


def resident_in_fresh_process(setup: str, measured: str, count: int) -> float:
    """Resident bytes per item that the statements `measured` add in a fresh
    process, after `setup` ran there: no memory freed earlier is there to be
    reused, and native allocations count as well."""
    paths = [str(Path(__file__).resolve().parent)] + sys.path
    code = FRESH_PROCESS.format(paths=paths, setup=setup, measured=measured, count=count)
    return float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)


@dataclass
class Row:
    operation: str
    size: int
    ours: float  # seconds for the whole operation, or bytes
    peers: dict[str, float] = field(default_factory=dict)
    items: int = 1  # items the operation handles, for the per-item column
    target: float | None = None  # the most `ours` may be
    unit: str = "s"


def _amount(value: float, unit: str) -> str:
    if unit == "B":
        return f"{value:,.0f} B"
    for scale, name in ((1.0, "s"), (1e-3, "ms"), (1e-6, "us")):
        if value >= scale:
            return f"{value / scale:.2f} {name}"
    return f"{value * 1e9:.0f} ns"


class Table:
    """The results table: printed row by row as measured, written as Markdown."""

    HEAD = ("| operation | size | astrokite | target | peers (their figure, ratio to ours) | ns per item |\n"
            "|---|---:|---:|---|---|---:|")

    def __init__(self):
        self.rows: list[Row] = []
        print(self.HEAD, flush=True)

    def add(self, row: Row) -> None:
        self.rows.append(row)
        print(self.format(row), flush=True)

    @staticmethod
    def format(row: Row) -> str:
        peers = "; ".join(f"{name}: {_amount(value, row.unit)} ({value / row.ours:.1f}x)"
                          for name, value in row.peers.items()) or "-"
        target = "-"
        if row.target is not None:
            target = f"<= {_amount(row.target, row.unit)} {'met' if row.ours <= row.target else 'MISSED'}"
        per_item = "-" if row.unit == "B" else f"{row.ours / row.items * 1e9:,.0f}"
        return (f"| {row.operation} | {row.size:,} | {_amount(row.ours, row.unit)} | {target} | {peers} "
                f"| {per_item} |")

    def markdown(self) -> str:
        return "\n".join([self.HEAD] + [self.format(row) for row in self.rows]) + "\n"


def machine_description() -> str:
    cpu = platform.processor() or "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    versions = []
    for package in ("astrokite", "numpy", "pandas", "pyerfa", "sgp4", "skyfield"):
        try:
            versions.append(f"{package} {metadata.version(package)}")
        except metadata.PackageNotFoundError:
            pass
    return (f"- CPU: {cpu}, {os.cpu_count()} cores\n"
            f"- Python {platform.python_version()}, {platform.system()} {platform.release()}\n"
            f"- {', '.join(versions)}\n"
            f"- measured {dt.datetime.now(dt.timezone.utc):%Y-%m-%d %H:%M} UTC; medians of {REPEATS} repeats "
            f"after a warm-up\n")


def run_alone(run) -> None:
    """Entry point of one benchmark file run by itself."""
    run(Table())
