"""SGP4 propagation against the sgp4 package's propagator (SatrecArray.sgp4 and
Satrec.sgp4_array), near-Earth and deep-space element sets apart.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_sgp4.py
The satellites are the bundled real element sets under many catalogue numbers;
the times are one day at one-minute steps from 2023-03-01.
"""

from __future__ import annotations

import numpy as np
from harness import QUICK, Row, median_seconds, read_pairs, run_alone
from sgp4.api import Satrec, SatrecArray

from astrokite.propagators.analytical.sgp4 import _sgp4
from astrokite.propagators.analytical.sgp4.sgp4 import SGP4
from astrokite.propagators.analytical.sgp4.tle import TLE
from astrokite.time.time import Time

SATELLITES = 1_000 if QUICK else 10_000
TIMES = 1_440
START_NS = 1677628800 * 10**9  # 2023-03-01T00:00Z
START_JD = 2460004.5


def renumbered(pairs: list[tuple[str, str]], n: int) -> list[tuple[str, str]]:
    """n line pairs cycling through `pairs`, each under its own catalogue number."""
    out = []
    for i in range(n):
        line1, line2 = pairs[i % len(pairs)]
        number = f"{10_000 + i:05d}"
        out.append((line1[:2] + number + line1[7:], line2[:2] + number + line2[7:]))
    return out


def is_deep_space(line2: str) -> bool:
    return float(line2[52:63]) < 6.4  # periods of 225 minutes or more


def measure(pairs, threads, repeats):
    propagator = SGP4([TLE(line1, line2) for line1, line2 in pairs])
    times = Time(START_NS + np.arange(TIMES, dtype=np.int64) * 60 * 10**9)
    return median_seconds(lambda: propagator.propagate(times, threads=threads), repeats=repeats)


def reference(pairs, repeats):
    satellites = SatrecArray([Satrec.twoline2rv(line1, line2) for line1, line2 in pairs])
    jd, fr = np.full(TIMES, START_JD), np.arange(TIMES) / 1440.0
    return median_seconds(lambda: satellites.sgp4(jd, fr), repeats=repeats)


def run(table) -> None:
    repeats = 3
    real = read_pairs()
    kinds = {
        "mixed": renumbered(real, SATELLITES),
        "near Earth": renumbered([p for p in real if not is_deep_space(p[1])], SATELLITES),
        "deep space": renumbered([p for p in real if is_deep_space(p[1])], SATELLITES),
    }
    samples = SATELLITES * TIMES
    kernel = _sgp4.kernel()
    for kind, pairs in kinds.items():
        peer = reference(pairs, repeats)
        one = measure(pairs, 1, repeats)
        table.add(Row(f"SGP4 propagate, {kind}, 1 thread, {kernel} ({samples / one / 1e6:.1f} M/s; "
                      f"reference {samples / peer / 1e6:.2f} M/s)", samples, one,
                      {"SatrecArray.sgp4": peer}, items=samples, target=peer / 5))
        if kind == "mixed":
            two = measure(pairs, 2, repeats)
            table.add(Row(f"SGP4 propagate, {kind}, 2 threads ({samples / two / 1e6:.1f} M/s)", samples, two,
                          {"ours, 1 thread": one}, items=samples, target=one / 1.8))

    far_from_the_epochs(table, kinds["deep space"], repeats)

    # One satellite, many times: the lanes hold successive times.
    n = 100_000
    line1, line2 = real[0]
    propagator = SGP4(TLE(line1, line2))
    times = Time(START_NS + np.arange(n, dtype=np.int64) * 6 * 10**9)
    ours = median_seconds(lambda: propagator.propagate(times, threads=1), repeats=repeats)
    satellite = Satrec.twoline2rv(line1, line2)
    jd, fr = np.full(n, START_JD), np.arange(n) * 6 / 86400.0
    peer = median_seconds(lambda: satellite.sgp4_array(jd, fr), repeats=repeats)
    table.add(Row(f"SGP4 propagate, 1 satellite, 1 thread ({n / ours / 1e6:.1f} M/s)", n, ours,
                  {"Satrec.sgp4_array": peer}, items=n, target=peer / 5))


def far_from_the_epochs(table, pairs, repeats) -> None:
    """Deep-space sets two years after their epochs: the resonant ones spend a
    good part of each row's work stepping their integrator there."""
    start_ns, start_jd = START_NS + 730 * 86400 * 10**9, START_JD + 730
    propagator = SGP4([TLE(line1, line2) for line1, line2 in pairs])
    times = Time(start_ns + np.arange(TIMES, dtype=np.int64) * 60 * 10**9)
    ours = median_seconds(lambda: propagator.propagate(times, threads=1), repeats=repeats)
    satellites = SatrecArray([Satrec.twoline2rv(line1, line2) for line1, line2 in pairs])
    jd, fr = np.full(TIMES, start_jd), np.arange(TIMES) / 1440.0
    peer = median_seconds(lambda: satellites.sgp4(jd, fr), repeats=repeats)
    samples = len(pairs) * TIMES
    table.add(Row(f"SGP4 propagate, deep space 2 years on, 1 thread ({samples / ours / 1e6:.1f} M/s; "
                  f"reference {samples / peer / 1e6:.2f} M/s)", samples, ours,
                  {"SatrecArray.sgp4": peer}, items=samples, target=peer / 10))


if __name__ == "__main__":
    run_alone(run)
