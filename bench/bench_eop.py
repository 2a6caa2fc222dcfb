"""Earth orientation: what UT1 and polar motion cost TEME -> geodetic.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_eop.py

The same cloud of TEME positions, one core (the geodetic kernel is one loop),
with the default IERS table in force and with the old model (UT1 = UTC, no
polar motion), measured in turns within the same run.
"""

from __future__ import annotations

import numpy as np
from bench_geometry import teme_cloud
from harness import QUICK, Row, median_seconds, run_alone

from astrokite import eop


def run(table) -> None:
    m, n = (200, 1440) if QUICK else (1000, 1440)
    cloud = teme_cloud(m, n)
    in_force = eop.current()
    np.asarray(cloud.lla())  # the table is read once, outside the timing

    def old_model():
        eop.use(None)
        try:
            return cloud.lla()
        finally:
            eop.use(in_force)

    without = median_seconds(old_model)
    table.add(Row("TEME -> geodetic with UT1 and polar motion, lla()", m * n, median_seconds(cloud.lla),
                  {"the same without Earth orientation data": without}, items=m * n, target=1.10 * without))


if __name__ == "__main__":
    run_alone(run)
