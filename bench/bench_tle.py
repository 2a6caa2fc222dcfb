"""TLE construction, memory and text against sgp4, skyfield and plain Python.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_tle.py
The plain-Python peer is what a user writes by hand: slice the same fields and
compute the same twelve elements and a datetime epoch.
"""

from __future__ import annotations

import datetime as dt
import math

from harness import Row, bytes_per_object, iss_pair, median_per_call, median_seconds, read_pairs, run_alone

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


def run(table) -> None:
    pairs = read_pairs()

    def per_set(build):
        def one_pass():
            for line1, line2 in pairs:
                build(line1, line2)

        return median_seconds(one_pass) / len(pairs)

    others = peers()
    table.add(Row("TLE(line1, line2)", len(pairs), per_set(TLE),
                  {name: per_set(build) for name, build in others.items()}, target=1e-6))
    table.add(Row("memory per TLE with its epoch", 2_000,
                  bytes_per_object(lambda i: TLE(*pairs[i % len(pairs)])),
                  {name: bytes_per_object(lambda i, b=build: b(*pairs[i % len(pairs)]))
                   for name, build in others.items()}, target=400, unit="B"))
    tle = TLE(*iss_pair())
    table.add(Row("str(TLE)", 1, median_per_call(lambda: str(tle), 200)))


if __name__ == "__main__":
    run_alone(run)
