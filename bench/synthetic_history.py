"""A synthetic history of element sets on disk, for the benchmarks of astrokite.dask: the sets of the
30,000-object synthetic catalogue again and again, their epochs spread over the years, one TLE file
per year.

Each satellite keeps its elements; only the epoch changes from set to set (a benchmark of reading
and filtering needs the text's shape, not orbital sense). The rows are made as bytes in NumPy, so
10^7 sets (1.4 GB) take seconds to write.

Run as a script: ``python synthetic_history.py 10000000 folder`` (files folder/2004.tle ...).
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

from synthetic_catalogue import synthetic_lines

SATELLITES = 30_000
FIRST_YEAR = 2004
ROW = 140  # line 1, "\n", line 2, "\n"


def _digits(values: np.ndarray, width: int) -> np.ndarray:
    """Each value's `width` decimal digits, as ASCII (rows, width)."""
    powers = 10 ** np.arange(width - 1, -1, -1, dtype=np.int64)
    return (values[:, None] // powers % 10 + ord("0")).astype(np.uint8)


def _checksums(lines: np.ndarray) -> np.ndarray:
    """The checksum digit of each line's first 68 columns (rows, 68)."""
    digits = np.where((lines >= ord("0")) & (lines <= ord("9")), lines - ord("0"), 0).sum(axis=1)
    minus = (lines == ord("-")).sum(axis=1)
    return ((digits + minus) % 10 + ord("0")).astype(np.uint8)


def base_rows(satellites: int = SATELLITES) -> np.ndarray:
    """One row per satellite of the synthetic catalogue, (satellites, 140) bytes."""
    text = "".join(f"{line1}\n{line2}\n" for line1, line2 in synthetic_lines(satellites))
    return np.frombuffer(text.encode("ascii"), np.uint8).reshape(satellites, ROW)


def year_rows(base: np.ndarray, year: int, sets: int, rng: np.random.Generator) -> np.ndarray:
    """`sets` rows of the year: satellite after satellite in turn, each epoch at random in the year."""
    rows = base[np.arange(sets) % len(base)].copy()
    day = rng.uniform(1.0, 365.0, sets)
    whole = np.floor(day).astype(np.int64)
    fraction = np.minimum(np.round((day - whole) * 1e8).astype(np.int64), 99_999_999)
    rows[:, 18:20] = _digits(np.full(sets, year % 100, np.int64), 2)
    rows[:, 20:23] = _digits(whole, 3)
    rows[:, 23] = ord(".")
    rows[:, 24:32] = _digits(fraction, 8)
    rows[:, 68] = _checksums(rows[:, :68])
    return rows


def write_history(total: int, folder: Path, years: int = 20, seed: int = 7) -> list[Path]:
    """`total` sets in `years` files of folder (one per year from FIRST_YEAR on); their paths."""
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    base = base_rows()
    paths = []
    for k in range(years):
        sets = total // years + (k < total % years)
        path = folder / f"{FIRST_YEAR + k}.tle"
        year_rows(base, FIRST_YEAR + k, sets, rng).tofile(path)
        paths.append(path)
    return paths


if __name__ == "__main__":
    written = write_history(int(sys.argv[1]), Path(sys.argv[2]))
    print(f"{len(written)} files, {sum(path.stat().st_size for path in written):,} bytes")
