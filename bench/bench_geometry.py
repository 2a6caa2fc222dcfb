"""Ground tracks and passes: TEME to geodetic, and passes over a site for a day.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_geometry.py

Passes: skyfield's find_events runs one satellite at a time, so it is timed on
an even subset of the satellites and scaled to all of them (said in the row).
"""

from __future__ import annotations

import math
import statistics
import time

import numpy as np
from harness import QUICK, Row, median_seconds, read_pairs, run_alone

from astrokite.frames.frames import TEME
from astrokite.propagators.analytical.sgp4.tle import TLE
from astrokite.sites import Site, find_passes
from astrokite.sites.passes import sgp4_states
from astrokite.state.ephemeris import StateVectorEphemeris
from astrokite.time.time import Time


SATELLITES = 1_000 if QUICK else 10_000
SKYFIELD_SUBSET = 10 if QUICK else 40
DAY = ("2023-07-01", "2023-07-02")
PARIS = Site(math.radians(48.8566), math.radians(2.3522), 35.0, name="Paris")


def teme_cloud(m: int, n: int) -> StateVectorEphemeris:
    rng = np.random.default_rng(1)
    position = rng.normal(size=(m, n, 3))
    position *= rng.uniform(6.6e6, 4.3e7, size=(m, 1, 1)) / np.linalg.norm(position, axis=-1, keepdims=True)
    return StateVectorEphemeris(Time(Time(DAY[0]).int64 + np.arange(n) * 60 * 10**9), position, frame=TEME)


def numpy_and_erfa(ephemeris):
    import erfa

    from astrokite.frames import transforms

    angle, _ = transforms.gmst82(np.asarray(ephemeris.time.int64))
    c, s = np.cos(angle), np.sin(angle)
    x, y, z = np.moveaxis(ephemeris.position, -1, 0)
    return erfa.gc2gd(erfa.WGS84, np.stack([c * x + s * y, -s * x + c * y, z], axis=-1))


def skyfield_seconds_per_satellite(pairs) -> float:
    from skyfield.api import EarthSatellite, load, wgs84

    ts = load.timescale(builtin=True)
    site = wgs84.latlon(math.degrees(PARIS.lat), math.degrees(PARIS.lon), PARIS.alt)
    t0, t1 = ts.utc(2023, 7, 1), ts.utc(2023, 7, 2)
    satellites = [EarthSatellite(line1, line2, ts=ts) for line1, line2 in pairs]
    seconds = []
    for satellite in satellites:
        start = time.perf_counter()
        satellite.find_events(site, t0, t1, 0.0)
        seconds.append(time.perf_counter() - start)
    return statistics.mean(seconds)


def run(table) -> None:
    m, n = (200, 1440) if QUICK else (1000, 1440)
    cloud = teme_cloud(m, n)
    table.add(Row("TEME -> geodetic, lla()", m * n, median_seconds(cloud.lla),
                  {"NumPy turn + erfa.gc2gd": median_seconds(lambda: numpy_and_erfa(cloud))},
                  items=m * n, target=m * n / 20e6))

    every = read_pairs()
    pairs = [every[i % len(every)] for i in range(SATELLITES)]
    states = sgp4_states([TLE(line1, line2) for line1, line2 in pairs])
    ours = median_seconds(lambda: find_passes(PARIS, states, *DAY), repeats=1 if QUICK else 3, warmup=0)
    subset = pairs[:: max(1, SATELLITES // SKYFIELD_SUBSET)][:SKYFIELD_SUBSET]
    skyfield = skyfield_seconds_per_satellite(subset) * SATELLITES
    table.add(Row("passes over a day, one site (SGP4)", SATELLITES, ours,
                  {f"skyfield find_events ({len(subset)} timed, x{SATELLITES // len(subset)})": skyfield},
                  items=SATELLITES, target=skyfield / 20))


if __name__ == "__main__":
    run_alone(run)
