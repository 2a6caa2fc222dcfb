"""A synthetic catalogue of element sets with the real catalogue's crowding by
altitude and inclination, for benchmarks and tests of close-approach screening.

The catalogue is a mixture of populations, each a share of the objects:

| population | share | orbits |
|---|---|---|
| constellation shells | 0.30 | circular, 340 to 570 km in shells of a few km at the large constellations' inclinations (53.0, 53.2, 43, 70, 97.6 deg), plus 1,200 km at 87.9 deg |
| sun-synchronous | 0.12 | circular, 500 to 800 km, the inclination that makes the node precess once a year |
| other low orbits | 0.28 | 300 to 2,000 km, most near 800 km (a triangular distribution), eccentricity up to 0.02, inclinations clustered at 65, 71, 74, 82, 90 and 98.6 deg |
| debris clouds | 0.16 | three fragmentations (850 km 98.6 deg, 790 km 86.4 deg, 480 km 82.6 deg): fragments spread by up to 100 m/s in each direction (perigee kept above 250 km) |
| navigation MEO | 0.03 | 19,100 to 23,222 km at 55 to 65 deg (the four navigation systems) |
| GEO belt | 0.06 | 35,786 km, inclination 0 to 15 deg (drifting old satellites), all longitudes |
| GTO | 0.04 | perigee 200 to 600 km, apogee 35,786 km, inclination 0 to 28 deg |
| Molniya | 0.01 | 12-hour period, eccentricity 0.7, 63.4 deg, perigee in the south |

The shares follow the public catalogue of 2024 (about 9,000 objects in the
constellation shells out of 30,000). Within a population the node, the
argument of perigee (where not fixed) and the mean anomaly are uniform:
positions are random, not phased as real constellations are, which makes more
close approaches, not fewer. Epochs lie
up to two days before the reference epoch.

Run as a script to write TLE text: ``python synthetic_catalogue.py 30000 out.tle``.
"""

from __future__ import annotations

import datetime as dt
import math
import sys

import numpy as np

MU = 398600.8  # km^3/s^2, WGS-72
EARTH_RADIUS = 6378.135  # km
J2 = 0.001082616
REFERENCE_EPOCH = dt.datetime(2024, 3, 1)

_SHARES = {
    "shells": 0.30, "sso": 0.12, "leo": 0.28, "debris": 0.16, "meo": 0.03, "geo": 0.06, "gto": 0.04, "molniya": 0.01,
}
# (altitude km, inclination deg, weight) of the constellation shells.
_SHELLS = [(550, 53.0, 0.34), (540, 53.2, 0.16), (570, 70.0, 0.05), (560, 97.6, 0.05), (530, 43.0, 0.12),
           (525, 53.0, 0.08), (350, 53.0, 0.06), (480, 53.0, 0.06), (1200, 87.9, 0.08)]
_CLOUDS = [(850, 98.6), (790, 86.4), (480, 82.6)]
_LEO_INCLINATIONS = [65.0, 71.0, 74.0, 82.0, 90.0, 98.6]
_NAVIGATION = [(20180, 55.0), (19100, 64.8), (23222, 56.0), (21528, 55.0)]


def _exponent_field(value: float) -> str:
    """An 8-column field of the form ' 12345-4' (0.12345e-4)."""
    if value == 0.0:
        return " 00000+0"
    exponent = math.floor(math.log10(abs(value))) + 1
    mantissa = round(abs(value) / 10.0**exponent * 1e5)
    if mantissa >= 100000:
        mantissa //= 10
        exponent += 1
    return f"{'-' if value < 0 else ' '}{mantissa:05d}{'-' if exponent < 0 else '+'}{abs(exponent)}"


def _checksum(line: str) -> int:
    return sum(int(c) if c.isdigit() else c == "-" for c in line[:68]) % 10


def tle_lines(satno: int, epoch: dt.datetime, inclination: float, node: float, eccentricity: float,
              perigee: float, mean_anomaly: float, mean_motion: float, bstar: float = 0.0) -> tuple[str, str]:
    """The two lines of an element set: angles in degrees, mean motion in revolutions per day."""
    start = dt.datetime(epoch.year, 1, 1)
    day = (epoch - start).total_seconds() / 86400.0 + 1.0
    line1 = (f"1 {satno:05d}U 24001A   {epoch.year % 100:02d}{day:012.8f}  .00000000  00000+0 "
             f"{_exponent_field(bstar)} 0  999")
    line2 = (f"2 {satno:05d} {inclination % 180:8.4f} {node % 360:8.4f} {round(eccentricity * 1e7):07d} "
             f"{perigee % 360:8.4f} {mean_anomaly % 360:8.4f} {mean_motion:11.8f}    1")
    return line1 + str(_checksum(line1)), line2 + str(_checksum(line2))


def mean_motion(semi_major_axis_km):
    """Revolutions per day of a semi-major axis (km)."""
    return np.sqrt(MU / np.asarray(semi_major_axis_km) ** 3) * 86400.0 / (2 * math.pi)


def _sun_synchronous_inclination(altitude_km):
    a = EARTH_RADIUS + altitude_km
    n = np.sqrt(MU / a**3)
    rate = 2 * math.pi / (365.2422 * 86400)  # rad/s
    return np.degrees(np.arccos(-rate / (1.5 * n * J2 * (EARTH_RADIUS / a) ** 2)))


def _population(name: str, count: int, rng: np.random.Generator) -> dict[str, np.ndarray]:
    """Semi-major axis (km), eccentricity, inclination and perigee (deg, NaN: uniform) of one population."""
    nan = np.full(count, np.nan)
    if name == "shells":
        weights = np.array([w for _, _, w in _SHELLS])
        pick = rng.choice(len(_SHELLS), count, p=weights / weights.sum())
        altitude = np.array([h for h, _, _ in _SHELLS])[pick] + rng.uniform(-3, 3, count)
        inc = np.array([i for _, i, _ in _SHELLS])[pick] + rng.normal(0, 0.02, count)
        return dict(a=EARTH_RADIUS + altitude, e=rng.uniform(0, 3e-4, count), i=inc, w=nan)
    if name == "sso":
        altitude = rng.uniform(500, 800, count)
        return dict(a=EARTH_RADIUS + altitude, e=rng.uniform(0, 2e-3, count),
                    i=_sun_synchronous_inclination(altitude), w=nan)
    if name == "leo":
        perigee = rng.triangular(300, 800, 2000, count)
        e = rng.uniform(0, 0.02, count)
        a = (EARTH_RADIUS + perigee) / (1 - e)
        inc = rng.choice(_LEO_INCLINATIONS, count) + rng.normal(0, 0.5, count)
        return dict(a=a, e=e, i=inc, w=nan)
    if name == "debris":
        pick = rng.integers(0, len(_CLOUDS), count)
        altitude = np.array([h for h, _ in _CLOUDS])[pick]
        v = np.sqrt(MU / (EARTH_RADIUS + altitude))  # km/s
        dv = rng.uniform(-0.1, 0.1, (3, count))  # km/s: along, radial, normal
        a = (EARTH_RADIUS + altitude) * (1 + 2 * dv[0] / v)
        e = np.sqrt((2 * dv[0] / v) ** 2 + (dv[1] / v) ** 2)
        inc = np.array([i for _, i in _CLOUDS])[pick] + np.degrees(dv[2] / v)
        e = np.minimum(e, 1 - (EARTH_RADIUS + 250) / a)
        return dict(a=a, e=e, i=inc, w=nan)
    if name == "meo":
        pick = rng.integers(0, len(_NAVIGATION), count)
        return dict(a=EARTH_RADIUS + np.array([h for h, _ in _NAVIGATION])[pick] + rng.uniform(-50, 50, count),
                    e=rng.uniform(0, 0.01, count), i=np.array([i for _, i in _NAVIGATION])[pick], w=nan)
    if name == "geo":
        return dict(a=EARTH_RADIUS + 35786 + rng.normal(0, 30, count), e=rng.uniform(0, 5e-4, count),
                    i=np.where(rng.random(count) < 0.6, rng.uniform(0, 0.1, count), rng.uniform(0, 15, count)),
                    w=nan)
    if name == "gto":
        perigee = EARTH_RADIUS + rng.uniform(200, 600, count)
        apogee = EARTH_RADIUS + 35786
        return dict(a=(perigee + apogee) / 2, e=(apogee - perigee) / (apogee + perigee),
                    i=rng.uniform(0, 28, count), w=nan)
    if name == "molniya":
        a = (MU * (43082.0 / (2 * math.pi)) ** 2) ** (1 / 3)  # half a sidereal day
        return dict(a=np.full(count, a), e=rng.uniform(0.68, 0.74, count), i=np.full(count, 63.4),
                    w=rng.normal(270, 3, count))
    raise ValueError(name)


def synthetic_lines(count: int, seed: int = 0, epoch: dt.datetime = REFERENCE_EPOCH) -> list[tuple[str, str]]:
    """``count`` element sets (line pairs), catalogue numbers 1 to ``count``."""
    rng = np.random.default_rng(seed)
    shares = np.array(list(_SHARES.values()))
    counts = rng.multinomial(count, shares / shares.sum())
    parts = [_population(name, n, rng) for name, n in zip(_SHARES, counts)]
    a = np.concatenate([p["a"] for p in parts])
    e = np.concatenate([p["e"] for p in parts])
    inc = np.concatenate([p["i"] for p in parts])
    w = np.concatenate([p["w"] for p in parts])
    w = np.where(np.isnan(w), rng.uniform(0, 360, count), w)
    node, anomaly = rng.uniform(0, 360, count), rng.uniform(0, 360, count)
    low = a * (1 - e) - EARTH_RADIUS < 1000
    bstar = np.where(low, rng.uniform(1e-5, 1e-4, count), 0.0)
    age = rng.uniform(0, 2, count)  # days before the reference epoch
    n = mean_motion(a)
    order = rng.permutation(count)
    return [
        tle_lines(s + 1, epoch - dt.timedelta(days=float(age[k])), float(inc[k]), float(node[k]), float(e[k]),
                  float(w[k]), float(anomaly[k]), float(n[k]), float(bstar[k]))
        for s, k in enumerate(order)
    ]


def synthetic_text(count: int, seed: int = 0) -> str:
    """The catalogue as TLE text."""
    return "".join(f"{l1}\n{l2}\n" for l1, l2 in synthetic_lines(count, seed))


def synthetic_catalogue(count: int, seed: int = 0):
    """The catalogue as an astrokite ``Catalogue`` (one ELSET per object)."""
    from astrokite.catalogue import parse_tle

    return parse_tle(synthetic_text(count, seed))


if __name__ == "__main__":
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 30000
    with open(sys.argv[2] if len(sys.argv) > 2 else f"synthetic-{size}.tle", "w") as out:
        out.write(synthetic_text(size))
