"""
Native scanner of two-line element set text (used by astrokite.catalogue).
"""

from collections.abc import Sequence
import types

import numpy


class Scanner:
    """
    Reads element-set text fed in chunks: pairs lines, checks and filters the sets,
    records every rejected line, groups the sets by satellite.
    """

    def __init__(self, *, strict: bool = False, satnos: Sequence[int] | None = None, start: int | None = None, stop: int | None = None, threads: int = 0) -> None:
        """
        Keep the sets that pass the strict checks (when `strict`), whose number is in `satnos`
        (all when None) and whose epoch count lies in [start, stop) (open where None).
        `threads` 0 uses every core.
        """

    def begin(self, source: int) -> None:
        """Start reading the source numbered `source`."""

    def feed(self, chunk: bytes | bytearray | memoryview) -> None:
        """Read the next bytes of the current source."""

    def end(self) -> None:
        """The current source ends: reject the lines left without a partner."""

    @property
    def rejection_count(self) -> int: ...

    def rejections(self, first: int = 0) -> list[tuple[int, int, str, str]]:
        """
        The rejections from position `first` on: (source, line, text, reason) tuples.
        """

    def release(self) -> None:
        """
        Let go of the sets and names read (their memory too) once they are copied out; the
        rejections stay.
        """

    def satellites(self, *, drop_duplicates: bool = False) -> tuple[bytes, list[tuple[int, int, int, str | None]]]:
        """
        (rows, groups): every set as a 138-byte row (normalised line 1, then line 2), grouped by
        satellite in ascending number, by epoch within one (equal epochs in reading order);
        groups holds a (satno, first row, end row, name) tuple per satellite.
        """

    def group(self, *, drop_duplicates: bool = False) -> list[tuple[int, int, int, str | None]]:
        """
        Group the sets read by satellite: a (satno, first row, end row, name) tuple per satellite,
        in ascending number, the rows in epoch order within one (equal epochs in reading order).
        The rows are those row_source() gives.
        """

    def row_source(self) -> types.CapsuleType:
        """
        The grouped rows and their epochs for ELSET._from_grouped_lines(), with no copy: a capsule
        that keeps the scanner alive and unchangeable (begin, feed, end, group, release refuse)
        while it exists.
        """

def return_free_memory() -> None:
    """Give the heap's free pages back to the system (after a large reading)."""

def format_rows(values: dict[str, numpy.ndarray | bytes], rows: numpy.ndarray, faults: numpy.ndarray) -> None:
    """
    Write the line pairs of n element sets into rows (a C-contiguous uint8 array of shape
    (n, 138)) and the fault of each (0 for none, else a reason's code) into faults (uint8, n).
    values: satno, epoch (counts of Time), ephtype, elnum, revnum (int64 arrays); ecc, inc,
    raa, arp, mea [rad], mnm [rad/s], ndot, nddot, bstar (float64 arrays); classification (n
    bytes) and intldes (8n bytes) of printable ASCII.
    """

def fields(rows: bytes) -> dict[str, bytes]:
    """
    The fields of 138-byte rows, each as the raw bytes of a column: epoch (int64 counts of
    Time), ndot, nddot, bstar (float64), ephtype, elnum, revnum (int32), classification (1
    byte a row), intldes (8 bytes a row).
    """
