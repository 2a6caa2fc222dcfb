"""TLE construction, memory and text against sgp4, skyfield and plain Python.

Memory is what a fresh process holds resident per TLE kept, so that it counts
the allocator as well: once as built (the epoch held as its count, its Time
made on first read), once with every epoch read.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_tle.py
The plain-Python peer is what a user writes by hand: slice the same fields and
compute the same twelve elements and a datetime epoch.
"""

from __future__ import annotations

import datetime as dt
import gc
import math
import statistics
import time

from harness import (QUICK, REPEATS, Row, iss_pair, median_per_call, median_seconds, read_pairs,
                     resident_in_fresh_process, run_alone)

from astrokite.propagators.analytical.sgp4.tle import TLE

GM = 3.986004418e14
RE = 6378137.0
DEG = math.pi / 180.0
RAD_PER_S_PER_REV_PER_DAY = 2.0 * math.pi / 86400.0


def _number(text: str) -> float:
    text = text.strip()
    return float(text) if text else 0.0


def _eccentric_anomaly(mea: float, ecc: float) -> float:
    eca = mea if ecc < 0.8 else math.pi
    for _ in range(50):
        step = (eca - ecc * math.sin(eca) - mea) / (1.0 - ecc * math.cos(eca))
        eca -= step
        if abs(step) < 1e-15:
            break
    return eca


def plain_python_tle(line1: str, line2: str) -> dict:
    year = int(line1[18:20])
    year += 1900 if year >= 57 else 2000
    epoch = dt.datetime(year, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(days=float(line1[20:32]) - 1.0)
    ecc = _number("0." + line2[26:33])
    mea = _number(line2[43:51]) * DEG
    mnm = _number(line2[52:63]) * RAD_PER_S_PER_REV_PER_DAY
    sma = (GM / (mnm * mnm)) ** (1.0 / 3.0)
    eca = _eccentric_anomaly(mea, ecc)
    tra = math.atan2(math.sqrt(1 - ecc * ecc) * math.sin(eca), math.cos(eca) - ecc) % (2 * math.pi)
    return dict(satno=line1[2:7], epoch=epoch, inc=_number(line2[8:16]) * DEG, raa=_number(line2[17:25]) * DEG,
                ecc=ecc, arp=_number(line2[34:42]) * DEG, mea=mea, mnm=mnm, sma=sma,
                orp=2.0 * math.pi * math.sqrt(sma**3 / GM), eca=eca, tra=tra,
                pge=sma * (1 - ecc) - RE, apg=sma * (1 + ecc) - RE)


def peers() -> dict:
    found = {}
    try:
        from sgp4.api import Satrec

        found["sgp4 Satrec.twoline2rv"] = Satrec.twoline2rv
    except ImportError:
        pass
    try:
        from skyfield.api import EarthSatellite, load

        timescale = load.timescale(builtin=True)
        found["skyfield EarthSatellite"] = lambda line1, line2: EarthSatellite(line1, line2, ts=timescale)
    except ImportError:
        pass
    found["plain Python"] = plain_python_tle
    return found


# Targets: construction at most 0.4 us and at least 8 times faster than
# sgp4's parser in the same run; 10^6 TLEs kept in a list at most 0.8 us each;
# at most 320 bytes resident per TLE kept.
CONSTRUCTION_TARGET = 0.4e-6
SGP4_RATIO_TARGET = 8.0
KEPT_TARGET = 0.8e-6
RESIDENT_TARGET = 320
KEPT = 100_000 if QUICK else 1_000_000


def kept_in_a_list(build, pairs, n):
    """Median seconds to build n objects into one list."""
    source = (pairs * (n // len(pairs) + 1))[:n]
    times = []
    for _ in range(max(3, REPEATS // 2)):
        gc.collect()
        start = time.perf_counter()
        kept = [build(line1, line2) for line1, line2 in source]
        times.append(time.perf_counter() - start)
        del kept
    return statistics.median(times)


def resident_per_object(setup: str, build: str, n: int) -> float:
    """Resident bytes each of n objects, kept in a list, adds to a fresh process."""
    setup += f"""
from harness import read_pairs
pairs = read_pairs()
source = (pairs * ({n} // len(pairs) + 1))[:{n}]
kept = [None] * {n}"""
    measured = f"""
for i, (line1, line2) in enumerate(source):
    kept[i] = {build}"""
    return resident_in_fresh_process(setup, measured, n)


def run(table) -> None:
    pairs = read_pairs()

    def per_set(build):
        def one_pass():
            for line1, line2 in pairs:
                build(line1, line2)

        return median_seconds(one_pass) / len(pairs)

    others = peers()
    ours = per_set(TLE)
    theirs = {name: per_set(build) for name, build in others.items()}
    # The stricter of the two targets: the absolute one and the ratio to sgp4.
    target = min(CONSTRUCTION_TARGET, theirs.get("sgp4 Satrec.twoline2rv", math.inf) / SGP4_RATIO_TARGET)
    table.add(Row(f"TLE(line1, line2) (<= 0.4 us and {SGP4_RATIO_TARGET:.0f}x sgp4)", len(pairs), ours, theirs,
                  target=target))

    sgp4 = "sgp4 Satrec.twoline2rv"
    kept = {name: kept_in_a_list(build, pairs, KEPT) for name, build in others.items() if name == sgp4}
    table.add(Row("TLEs kept in a list", KEPT, kept_in_a_list(TLE, pairs, KEPT), kept, items=KEPT,
                  target=KEPT_TARGET * KEPT))
    setup = "from astrokite.propagators.analytical.sgp4.tle import TLE"
    peers_resident = {}
    if sgp4 in others:
        peers_resident[sgp4] = resident_per_object("from sgp4.api import Satrec",
                                                   "Satrec.twoline2rv(line1, line2)", KEPT)
    # A TLE holds its epoch as a count and makes the Time when .epoch is first
    # read: the target row keeps them as built, the next reads every epoch.
    table.add(Row("resident memory per TLE kept, epoch held as its count (Time made on first read)", KEPT,
                  resident_per_object(setup, "TLE(line1, line2)", KEPT), peers_resident,
                  target=RESIDENT_TARGET, unit="B"))
    table.add(Row("resident memory per TLE kept, every epoch read (its Time made)", KEPT,
                  resident_per_object(setup, "TLE(line1, line2); kept[i].epoch", KEPT), peers_resident, unit="B"))

    tle = TLE(*iss_pair())
    table.add(Row("str(TLE)", 1, median_per_call(lambda: str(tle), 200)))


if __name__ == "__main__":
    run_alone(run)
