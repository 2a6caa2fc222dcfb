"""Catalogue reading against a Python loop over sgp4, memory per element set, window reads.

Run alone with the extensions built:  PYTHONPATH=src .venv/bin/python bench/bench_catalogue.py
The input is a 3-line file of 10^6 element sets (10^5 with BENCH_QUICK=1): the bundled
histories repeated under many catalogue numbers, with a name line each, shuffled. The peer is
what a user writes by hand: read the lines and build one sgp4 Satrec per pair in a loop.
"""

from __future__ import annotations

import random
import subprocess
import sys
import tempfile
from pathlib import Path

from harness import QUICK, Row, distinct_epoch_pairs, median_seconds, read_pairs, run_alone

from astrokite.catalogue import Catalogue, parse_tle, read_tle

SETS = 100_000 if QUICK else 1_000_000


def write_catalogue(path: Path, count: int, seed: int = 3) -> None:
    """`count` 3-line element sets: the bundled sets under new catalogue numbers, shuffled."""
    pairs = read_pairs()
    index = {number: i for i, number in enumerate(sorted({line1[2:7] for line1, _ in pairs}))}
    records = []
    copy = 0
    while len(records) < count:
        for line1, line2 in pairs:
            satno = f"{copy * len(index) + index[line1[2:7]] + 1:05d}"
            records.append(f"SAT {satno}\n{line1[:2]}{satno}{line1[7:]}\n{line2[:2]}{satno}{line2[7:]}\n")
            if len(records) == count:
                break
        copy += 1
    random.Random(seed).shuffle(records)
    path.write_text("".join(records))


def sgp4_loop(path: Path) -> list:
    from sgp4.api import Satrec

    lines = path.read_text().splitlines()
    return [Satrec.twoline2rv(lines[i + 1], lines[i + 2]) for i in range(0, len(lines), 3)]


def loaded_bytes_per_set(path: Path) -> float:
    """Resident bytes the loaded catalogue holds per element set, measured in a fresh process
    (imports done before, temporaries of reading released) so that earlier runs do not hide it."""
    script = (
        "import gc, sys\n"
        f"sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})\n"
        "from harness import resident_bytes\n"
        "from astrokite.catalogue import read_tle\n"
        "gc.collect()\n"
        "before = resident_bytes()\n"
        "catalogue = read_tle(sys.argv[1])\n"
        "gc.collect()\n"
        "print((resident_bytes() - before) / catalogue.size)\n"
    )
    result = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, check=True)
    return float(result.stdout)


def run(table) -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "catalogue.3le"
        write_catalogue(path, SETS)
        peers = {}
        try:
            import sgp4  # noqa: F401

            peers["sgp4 Satrec loop"] = median_seconds(lambda: sgp4_loop(path), repeats=1 if not QUICK else 3,
                                                       warmup=0)
        except ImportError:
            pass
        tle_seconds = median_seconds(lambda: read_tle(path))
        table.add(Row("read_tle, 3-line file", SETS, tle_seconds, peers, items=SETS,
                      target=0.5 * SETS / 1_000_000))
        # Blank lines go at least as fast, byte for byte, as the element sets of the file above.
        blank = b"\n" * (path.stat().st_size * 2)
        table.add(Row("parse_tle, blank lines (2x the bytes of the 3-line file)", len(blank),
                      median_seconds(lambda: parse_tle(blank)), items=len(blank), target=2 * tle_seconds))
        table.add(Row("resident memory per element set after read_tle", SETS, loaded_bytes_per_set(path),
                      target=320, unit="B"))
        # From a frame and merged: no slower than reading the same sets from text.
        catalogue = read_tle(path)
        frame = catalogue.to_pandas()
        table.add(Row("Catalogue.from_pandas(to_pandas() frame)", SETS,
                      median_seconds(lambda: Catalogue.from_pandas(frame)), items=SETS, target=tle_seconds))
        table.add(Row("Catalogue merge, a | a (every set in both, kept once)", SETS,
                      median_seconds(lambda: catalogue | catalogue), items=2 * SETS, target=2 * tle_seconds))

    # A window of 5 sets out of one long history: the cost should hardly grow with its length.
    for length in (SETS // 100, SETS // 10):
        history = parse_tle("".join(f"{line1}\n{line2}\n" for line1, line2 in distinct_epoch_pairs(length)))
        elset = next(iter(history.values()))
        start, stop = elset.epoch[length // 2], elset.epoch[length // 2 + 5]
        table.add(Row("window read of 5 sets from a read history", length,
                      median_seconds(lambda e=elset, a=start, b=stop: e[a:b])))


if __name__ == "__main__":
    run_alone(run)
