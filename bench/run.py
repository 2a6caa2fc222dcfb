"""The benchmark suite: every bench_*.py in one table, written to bench/results.md.

Run with `make bench` (installs the peers sgp4 and skyfield first). Set
BENCH_QUICK=1 for fewer repeats and no 10^6 growth point.
"""

from __future__ import annotations

import importlib
from pathlib import Path

from harness import Table, machine_description

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results.md"
# The element-set types first, then what stands on them; any other file after.
ORDER = ["bench_time", "bench_tle", "bench_elset", "bench_catalogue", "bench_omm", "bench_sgp4", "bench_geometry"]


def suites() -> list[str]:
    names = sorted(path.stem for path in HERE.glob("bench_*.py"))
    return sorted(names, key=lambda name: (ORDER.index(name) if name in ORDER else len(ORDER), name))


def main() -> None:
    table = Table()
    for name in suites():
        importlib.import_module(name).run(table)
    RESULTS.write_text("# Benchmark results\n\n" + machine_description() + "\n" + table.markdown())
    print(f"\nwritten to {RESULTS}")


if __name__ == "__main__":
    main()
