"""Ground tracks and passes: TEME to geodetic, and passes over a site for a day.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_geometry.py

Passes: 10,000 synthetic satellites, each a bundled real element set under its
own catalogue number with its epoch moved to the eve of the search and its node
and mean anomaly drawn at random, so that every satellite has passes of its own.
skyfield's find_events runs one satellite at a time, so it is timed on an even
subset of the satellites and scaled to all of them (said in the row).
"""

from __future__ import annotations

import datetime as dt
import math
import statistics
import time

import numpy as np
from harness import QUICK, Row, median_seconds, run_alone, synthetic_pairs

from astrokite.frames.frames import TEME
from astrokite.propagators.analytical.sgp4.tle import TLE
from astrokite.sites import Site
from astrokite.state.ephemeris import StateVectorEphemeris
from astrokite.time.time import Time


SATELLITES = 1_000 if QUICK else 10_000
SKYFIELD_SUBSET = 10 if QUICK else 40
DAY = ("2023-07-01", "2023-07-02")
WEEK = ("2023-07-01", "2023-07-08")
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


def skyfield_seconds_per_satellite(pairs, window) -> float:
    from skyfield.api import EarthSatellite, load, wgs84

    ts = load.timescale(builtin=True)
    site = wgs84.latlon(math.degrees(PARIS.lat), math.degrees(PARIS.lon), PARIS.alt)
    t0, t1 = (ts.from_datetime(np.datetime64(day).astype("datetime64[s]").item().replace(tzinfo=dt.UTC))
              for day in window)
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

    pairs = synthetic_pairs(SATELLITES, seed=7, first_number=10_000, day=181.0)
    tles = [TLE(line1, line2) for line1, line2 in pairs]
    subset = pairs[:: max(1, SATELLITES // SKYFIELD_SUBSET)][:SKYFIELD_SUBSET]
    # From the element sets to the table: the line pairs gathered, the search on every core.
    for name, window, target in (("a day", DAY, 0.4), ("7 days", WEEK, 2.5)):
        ours = median_seconds(lambda: PARIS.passes(tles, *window, visibility=False), repeats=1 if QUICK else 3)
        skyfield = skyfield_seconds_per_satellite(subset, window) * SATELLITES
        table.add(Row(f"passes over {name}, one site (SGP4, synthetic satellites)", SATELLITES, ours,
                      {f"skyfield find_events ({len(subset)} timed, x{SATELLITES // len(subset)})": skyfield},
                      items=SATELLITES, target=target * SATELLITES / 10_000))
        if window is DAY:
            # The same search with sunlight, darkness, range rates and visible parts: at most 1.3 times the above.
            seen = median_seconds(lambda: PARIS.passes(tles, *DAY, visibility=True), repeats=1 if QUICK else 3)
            table.add(Row("passes over a day with visibility, one site (SGP4, synthetic satellites)", SATELLITES,
                          seen, {"the same passes without visibility": ours}, items=SATELLITES,
                          target=1.3 * ours))


if __name__ == "__main__":
    run_alone(run)
