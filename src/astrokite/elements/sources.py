"""From any source of element sets to their records, satellite by satellite.

The one way the propagator, the pass search, screening and the writers take element sets in:
a ``TLE``, an ``ElementSet``, an ``ELSET``, a ``Catalogue`` (any mapping of catalogue numbers to
ELSETs), an ``SGP4`` or a list of these. Sets with TLE text are read from it as a TLE reads its
lines; sets without (an OMM's) give their records as kept, at full precision.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import NamedTuple

import numpy as np

from astrokite.elements.element_set import ElementSet
from astrokite.elements.records import RECORD
from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE, _records_of_lines

_NAMES = "a TLE, an ElementSet, an ELSET, a Catalogue or a list of these"


def _line_pair(line1: str, line2: str) -> bytes:
    """One 138-byte row: each line's first 69 bytes, blank-filled."""
    return line1.encode()[:69].ljust(69) + line2.encode()[:69].ljust(69)


class Satellites(NamedTuple):
    """Element sets of several satellites: their records one satellite after another, and the
    number of sets of each."""

    records: np.ndarray  # RECORD
    counts: np.ndarray  # int64, one per satellite

    @classmethod
    def of(cls, groups: list[np.ndarray]) -> Satellites:
        """The satellites of a list of record arrays, one each."""
        counts = np.fromiter((len(group) for group in groups), np.int64, len(groups))
        return cls(np.concatenate(groups) if groups else np.zeros(0, RECORD), counts)

    def split(self) -> list[np.ndarray]:
        """Each satellite's records (views)."""
        return np.split(self.records, np.cumsum(self.counts)[:-1]) if len(self.counts) else []


# How to read the records of one satellite's sets as bytes, by the exact type of what holds them.
_READERS = {
    ELSET: ELSET._records,
    TLE: lambda tle: _records_of_lines(_line_pair(tle.line1, tle.line2)),
    ElementSet: lambda one: one.record.tobytes(),
}


def _reader(item):
    """How to read the records of `item`, or None when it holds none of ours."""
    read = _READERS.get(type(item))
    if read is None:  # a subclass
        read = next((read for kind, read in _READERS.items() if isinstance(item, kind)), None)
    return read


def records_by_satellite(source, what: str = "source") -> Satellites:
    """The records of each satellite of `source`: one satellite for a TLE, an ElementSet or an
    ELSET; one per value of a Catalogue, per item of a list, per satellite of an SGP4. TypeError
    naming `what` for anything else."""
    kept = getattr(source, "_satellites", None)  # an SGP4's own
    if isinstance(kept, Satellites):
        return kept
    if _reader(source) is not None:
        items, of = [source], what
    elif isinstance(source, Mapping):
        items, of = list(source.values()), f"{what}: a Catalogue value"
    elif isinstance(source, list | tuple):
        items, of = list(source), f"{what}: a list item"
    else:
        raise TypeError(f"{what} must be {_NAMES}, not {type(source).__name__}")
    if all(type(item) is ELSET for item in items):  # a catalogue, as a rule: read on every core
        records, counts = ELSET._records_of_many(items)
        return Satellites(np.frombuffer(records, RECORD), counts)
    blobs = []
    for item in items:
        read = _reader(item)
        if read is None:
            raise TypeError(f"{of} must be a TLE, an ElementSet or an ELSET, not {type(item).__name__}")
        blobs.append(read(item))
    counts = np.fromiter((len(blob) for blob in blobs), np.int64, len(blobs)) // RECORD.itemsize
    return Satellites(np.frombuffer(b"".join(blobs), RECORD), counts)
