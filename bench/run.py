"""The benchmark suite: every bench_*.py in one table, written to bench/results.md.

Run with `make bench` (installs the peers sgp4 and skyfield first). Set
BENCH_QUICK=1 for fewer repeats and no 10^6 growth point.
"""

from __future__ import annotations

from pathlib import Path

import bench_elset
import bench_time
import bench_tle
from harness import Table, machine_description

RESULTS = Path(__file__).resolve().parent / "results.md"


def main() -> None:
    table = Table()
    for suite in (bench_time, bench_tle, bench_elset):
        suite.run(table)
    RESULTS.write_text("# Benchmark results\n\n" + machine_description() + "\n" + table.markdown())
    print(f"\nwritten to {RESULTS}")


if __name__ == "__main__":
    main()
