"""Close-approach screening over the synthetic catalogue (synthetic_catalogue.py).

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_conjunctions.py

No Python package screens a catalogue, so the rows have no peers; the target of
the all-against-all row is the fastest published open screening tool's 17.5 s
(30,000 objects, 24 h, 5 km) cut to 10 s on this machine. Growth rows are timed
once each (a 7-day screen of 30,000 objects takes a while); the target rows are
medians of three.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from harness import QUICK, Row, median_seconds, run_alone
from synthetic_catalogue import synthetic_catalogue

from astrokite.conjunctions import screen

START = "2024-03-01"
DAY = 86400 * 10**9
FULL = 30_000
THRESHOLD = 5000.0

PEAK = """
import sys
sys.path[:0] = {paths!r}
from synthetic_catalogue import synthetic_catalogue
from astrokite.conjunctions import screen
from astrokite.time.time import Time
catalogue = synthetic_catalogue({count})
start = Time("{start}").int64
table = screen(catalogue, start, start + {span}, threshold={threshold})
# The peak of this process's own memory (VmHWM): ru_maxrss would carry the high-water mark of
# the process that started it, which a long benchmark run makes large.
print(next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:")) * 1024)
"""


def peak_resident(count: int, span: int) -> float:
    """Peak resident bytes of a fresh process that reads the catalogue and screens it."""
    paths = [str(Path(__file__).resolve().parent)] + sys.path
    code = PEAK.format(paths=paths, count=count, start=START, span=span, threshold=THRESHOLD)
    return float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)


def run(table) -> None:
    from astrokite.time.time import Time

    start = int(Time(START).int64)
    full = synthetic_catalogue(FULL)
    found = []

    def all_against_all():
        found.append(len(screen(full, start, start + DAY, threshold=THRESHOLD)))

    ours = median_seconds(all_against_all, repeats=1 if QUICK else 3)
    table.add(Row(f"screen all against all, 24 h, 5 km ({found[-1]:,} approaches)", FULL, ours, items=FULL,
                  target=10.0))
    table.add(Row("peak resident memory of that screen (fresh process)", FULL, peak_resident(FULL, DAY),
                  unit="B", target=4e9))
    primary = full[next(iter(full))]

    def one_against_all():
        found.append(len(screen(primary, start, start + 7 * DAY, against=full, threshold=THRESHOLD)))

    ours = median_seconds(one_against_all, repeats=1 if QUICK else 3)
    table.add(Row(f"screen one against all, 7 days, 5 km ({found[-1]:,} approaches)", FULL, ours, items=FULL,
                  target=2.0))
    for count in (1_000, 10_000, 30_000):
        catalogue = full if count == FULL else synthetic_catalogue(count)
        for days in (1, 7):
            if QUICK and count * days > FULL:
                continue
            # A week of the whole catalogue holds more candidate minima than the default guard allows.
            ours = median_seconds(lambda: found.append(len(screen(catalogue, start, start + days * DAY,
                                                                  threshold=THRESHOLD, max_results=10**7))),
                                  repeats=1, warmup=0)
            table.add(Row(f"screen all against all, {days} day{'s' * (days > 1)}, 5 km ({found[-1]:,} approaches)",
                          count, ours, items=count))


if __name__ == "__main__":
    run_alone(run)
