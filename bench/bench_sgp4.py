"""SGP4 propagation against the sgp4 package's propagator (SatrecArray.sgp4 and
Satrec.sgp4_array), near-Earth and deep-space element sets apart.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_sgp4.py
The satellites are the bundled real element sets under many catalogue numbers;
the times are one day at one-minute steps from 2023-03-01.
"""

from __future__ import annotations

import io
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
from harness import QUICK, Row, iss_pair, median_per_call, median_seconds, read_pairs, run_alone, synthetic_pairs
from sgp4.api import Satrec, SatrecArray

from astrokite.catalogue import read_tle
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
    # One thread against the reference's SatrecArray: 10x mixed and deep space, 12x near Earth.
    ratio = {"mixed": 10, "near Earth": 12, "deep space": 10}
    for kind, pairs in kinds.items():
        peer = reference(pairs, repeats)
        one = measure(pairs, 1, repeats)
        table.add(Row(f"SGP4 propagate, {kind}, 1 thread, {kernel} ({samples / one / 1e6:.1f} M/s; "
                      f"reference {samples / peer / 1e6:.2f} M/s)", samples, one,
                      {"SatrecArray.sgp4": peer}, items=samples, target=peer / ratio[kind]))
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

    small_requests(table)
    setting_up_a_history(table)
    fresh_memory_and_end_to_end(table)


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



# What a user feels: small requests, set-up, the first run of a process, file to geodetic.

def small_requests(table) -> None:
    """One satellite at one and at ten times, each a whole call: Python, Time and result arrays included."""
    line1, line2 = iss_pair()
    propagator, satellite = SGP4(TLE(line1, line2)), Satrec.twoline2rv(line1, line2)
    for n in (1, 10):
        times = Time(START_NS + np.arange(n, dtype=np.int64) * 60 * 10**9)
        jd, fr = np.full(n, START_JD), np.arange(n) / 1440.0
        ours = median_per_call(lambda: propagator.propagate(times), 20_000)
        if n == 1:
            peer = median_per_call(lambda: satellite.sgp4(START_JD, 0.0), 20_000)
            peers, target, name = {"Satrec.sgp4": peer}, 3e-6, "one time"
        else:
            peer = median_per_call(lambda: satellite.sgp4_array(jd, fr), 20_000)
            peers, target, name = {"Satrec.sgp4_array": peer}, peer, "ten times"
        table.add(Row(f"SGP4 propagate, 1 satellite at {name} (whole call)", n, ours, peers, items=n,
                      target=target))


def setting_up_a_history(table) -> None:
    """SGP4 of a catalogue of histories: 5,000 satellites with 200 sets each (10^6 sets)."""
    satellites, sets = (500, 200) if QUICK else (5_000, 200)
    catalogue = read_tle(io.BytesIO(synthetic_tle(satellites, sets).encode()))
    seconds = median_seconds(lambda: SGP4(catalogue), repeats=3)
    table.add(Row(f"SGP4(catalogue) of {satellites:,} satellites x {sets} sets", satellites * sets, seconds,
                  items=satellites * sets, target=0.3 * satellites * sets / 10**6))


# A job timed in a fresh process, after the imports and its set-up: each run's seconds on a line.
FRESH_RUN = """
import sys, time
import numpy as np
sys.path[:0] = {paths!r}
from astrokite.catalogue import read_tle
from astrokite.propagators.analytical.sgp4.sgp4 import SGP4
from astrokite.time.time import Time
times = Time({start} + np.arange({times}, dtype=np.int64) * 60 * 10**9)
{setup}
for run in range(4):
    start = time.perf_counter()
    {job}
    print(time.perf_counter() - start)
"""


# What this machine charges for fresh memory alone: a fresh process's first write of as many bytes
# as a job's results, with NumPy, in ordinary pages as the results are, then the same bytes again;
# each write's seconds on a line.
FRESH_MEMORY = """
import time
import numpy as np
np._core.multiarray._set_madvise_hugepage(False)
memory = np.empty({bytes} // 8)
for run in range(2):
    start = time.perf_counter()
    memory.fill(run)
    print(time.perf_counter() - start)
"""


def fresh_and_warm_rows(table, operation: str, setup: str, job: str, samples: int, warm_target: float | None,
                        first_target: float | None, result_bytes: int | None = None) -> None:
    """Rows of `job` warm (the median of three more runs) and the first time in a fresh process;
    with result_bytes, beside the first run what writing that much fresh memory costs on its own."""
    paths = [str(Path(__file__).resolve().parent)] + sys.path
    code = FRESH_RUN.format(paths=paths, start=START_NS, times=TIMES, setup=setup, job=job)
    output = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    seconds = [float(line) for line in output.split()]
    first, warm = seconds[0], statistics.median(seconds[1:])
    peers = {"warm": warm}
    if result_bytes:
        output = subprocess.run([sys.executable, "-c", FRESH_MEMORY.format(bytes=result_bytes)], capture_output=True,
                                text=True, check=True).stdout
        fresh, again = (float(line) for line in output.split())
        peers[f"NumPy's first write of {result_bytes / 1e9:.2f} GB of fresh memory (again: {again:.2f} s)"] = fresh
    table.add(Row(f"{operation}, warm", samples, warm, items=samples, target=warm_target))
    table.add(Row(f"{operation}, first in a process ({first / warm:.2f}x warm)", samples, first,
                  peers, items=samples, target=first_target if first_target else 1.5 * warm))


def fresh_memory_and_end_to_end(table) -> None:
    """A day at one-minute steps of 30,000 satellites read from a file: the first run of a process
    pays for fresh result memory; the user's job goes from the file to geodetic coordinates."""
    satellites = 3_000 if QUICK else 30_000
    samples = satellites * TIMES
    scale = satellites / 30_000
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "catalogue.tle"
        path.write_text(synthetic_tle(satellites))
        fresh_and_warm_rows(table, f"SGP4 propagate {satellites:,} x {TIMES:,}, position and velocity, 2 threads",
                            f"propagator = SGP4(read_tle({str(path)!r}))", "propagator.propagate(times, threads=2)",
                            samples, None, None, result_bytes=samples * (6 * 8 + 1))
        fresh_and_warm_rows(table, f"read_tle + SGP4 + propagate_lla, {satellites:,} x {TIMES:,} (file to geodetic)",
                            "", f"SGP4(read_tle({str(path)!r})).propagate_lla(times)", samples, 2.0 * scale,
                            3.0 * scale)


def synthetic_tle(satellites: int, sets: int = 1) -> str:
    """TLE text of `satellites` satellites made from the bundled sets (see harness.synthetic_pairs)."""
    return "".join(f"{line1}\n{line2}\n" for line1, line2 in synthetic_pairs(satellites, sets))


if __name__ == "__main__":
    run_alone(run)
