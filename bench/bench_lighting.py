"""Sunlight and eclipses: sunlit fractions of many states, and the eclipses of
a catalogue over a day.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_lighting.py

Sunlit fractions: the native kernel on positions already propagated (the Sun
given per time), one thread per core; run under `taskset -c 0` for one core.
Eclipses: SGP4 propagation included, the real element sets of the bundled data
repeated to fill the catalogue, their epochs near the day searched.
"""

from __future__ import annotations

import numpy as np
from harness import QUICK, Row, median_seconds, read_pairs, run_alone

from astrokite.frames.frames import TEME
from astrokite.lighting import eclipses
from astrokite.lighting.shadow import illumination
from astrokite.lighting.sunlight import sun_position
from astrokite.propagators.analytical.sgp4.tle import TLE
from astrokite.time.time import Time

DAY = ("2023-07-01", "2023-07-02")


def run(table) -> None:
    m, n = (1_000, 1440) if QUICK else (10_000, 1440)
    counts = Time(DAY[0]).int64 + np.arange(n, dtype=np.int64) * 60 * 10**9
    sun = sun_position(Time(counts), TEME)
    rng = np.random.default_rng(1)
    position = rng.normal(size=(m, n, 3))
    position *= rng.uniform(6.6e6, 4.3e7, size=(m, 1, 1)) / np.linalg.norm(position, axis=-1, keepdims=True)
    table.add(Row("illumination, sunlit fraction", m * n, median_seconds(lambda: illumination(sun, position)),
                  items=m * n, target=m * n / 20e6))
    del position

    satellites = 1_000 if QUICK else 10_000
    every = read_pairs()
    sets = [TLE(*every[i % len(every)]) for i in range(satellites)]
    seconds = median_seconds(lambda: eclipses(sets, *DAY), repeats=1 if QUICK else 3, warmup=0)
    table.add(Row("eclipses over a day (SGP4)", satellites, seconds, items=satellites,
                  target=2.0 * satellites / 10_000))


if __name__ == "__main__":
    run_alone(run)
