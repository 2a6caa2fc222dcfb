"""From any source of element sets to their records, satellite by satellite.

The one way the propagator, the pass search, screening and the writers take element sets in:
a ``TLE``, an ``ElementSet``, an ``ELSET``, a ``Catalogue`` (any mapping of catalogue numbers to
ELSETs), an ``SGP4`` or a list of these. Sets with TLE text are read from it as a TLE reads its
lines; sets without (an OMM's) give their records as kept, at full precision.
"""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np

from astrokite.elements.records import RECORD

_NAMES = "a TLE, an ElementSet, an ELSET, a Catalogue or a list of these"


def _line_pair(line1: str, line2: str) -> bytes:
    """One 138-byte row: each line's first 69 bytes, blank-filled."""
    return line1.encode()[:69].ljust(69) + line2.encode()[:69].ljust(69)


def _one(item) -> np.ndarray | None:
    """The records of one satellite's sets, or None when `item` holds none of ours."""
    from astrokite.elements.element_set import ElementSet
    from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE, _records_of_lines

    if isinstance(item, ELSET):
        return np.frombuffer(item._records(), RECORD)
    if isinstance(item, TLE):
        return np.frombuffer(_records_of_lines(_line_pair(item.line1, item.line2)), RECORD)
    if isinstance(item, ElementSet):
        return item.record.reshape(1)
    return None


def records_by_satellite(source, what: str = "source") -> list[np.ndarray]:
    """The records (``RECORD`` arrays) of each satellite of `source`: one for a TLE, an
    ElementSet or an ELSET; one per value of a Catalogue, per item of a list, per satellite of an
    SGP4. TypeError naming `what` for anything else."""
    single = _one(source)
    if single is not None:
        return [single]
    kept = getattr(source, "_records_by_satellite", None)  # an SGP4's own
    if kept is not None:
        return list(kept)
    if isinstance(source, Mapping):
        items, of = list(source.values()), f"{what}: a Catalogue value"
    elif isinstance(source, list | tuple):
        items, of = list(source), f"{what}: a list item"
    else:
        raise TypeError(f"{what} must be {_NAMES}, not {type(source).__name__}")
    records = []
    for item in items:
        one = _one(item)
        if one is None:
            raise TypeError(f"{of} must be a TLE, an ElementSet or an ELSET, not {type(item).__name__}")
        records.append(one)
    return records
