"""Earth orientation: what UT1 and polar motion cost TEME -> geodetic.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_eop.py

The same cloud of TEME positions, one core (the geodetic kernel is one loop),
with the default IERS table in force and with the model without data (UT1 =
UTC, no polar motion), measured in turns within the same run.
"""

from __future__ import annotations

import statistics
import time

from bench_geometry import teme_cloud
from harness import QUICK, REPEATS, Row, run_alone

from astrokite import eop


def run(table) -> None:
    m, n = (200, 1440) if QUICK else (1000, 1440)
    cloud = teme_cloud(m, n)
    in_force = eop.current()
    cloud.lla()  # the table is read once, outside the timing

    def timed(model):
        eop.use(model)
        try:
            start = time.perf_counter()
            cloud.lla()
            return time.perf_counter() - start
        finally:
            eop.use(in_force)

    # In turns, so that both see the same load on a shared machine.
    runs = [(timed(in_force), timed(None)) for _ in range(REPEATS)]
    with_data, without = (statistics.median(column) for column in zip(*runs))
    table.add(Row("TEME -> geodetic with UT1 and polar motion, lla()", m * n, with_data,
                  {"the same without Earth orientation data": without}, items=m * n, target=1.10 * without))


if __name__ == "__main__":
    run_alone(run)
