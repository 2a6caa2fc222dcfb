"""Catalogue: the element sets of many satellites, one ELSET per satellite."""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping
from typing import Any, NamedTuple

import numpy as np

from astrokite.catalogue import reader
from astrokite.propagators.analytical.sgp4.tle import ELSET

ROW = 138  # bytes of one element set: normalised line 1, then line 2 (69 bytes each)


class Rejection(NamedTuple):
    """A line or element set that was not read, and why."""

    source: str  # the path or file it came from
    line: int  # its first line's number in that source (for JSON and XML OMM: the message's number)
    text: str  # the lines concerned, joined by newlines
    reason: str


def elset_rows(elset: ELSET) -> bytes:
    """The element sets of an ELSET as rows of 138 bytes, in epoch order."""
    lines = getattr(elset, "_lines", None)
    if lines is not None:
        return lines()
    return "".join(tle.line1 + tle.line2 for tle in elset).encode("utf-8")


class Catalogue(Mapping):
    """Element sets of many satellites: a read-only mapping from catalogue number to ELSET.

    Iterates in ascending catalogue number. ``len`` is the number of satellites, ``size`` the
    number of element sets; ``rejected`` lists what the reader did not take (source, line number,
    text, reason).
    """

    __slots__ = ("_elsets", "_rejected")

    def __init__(self, elsets: Iterable[ELSET] = (), rejected: Iterable[Rejection] = ()):
        by_number: dict[int, ELSET] = {}
        for elset in elsets:
            if elset.satno in by_number:
                raise ValueError(f"two ELSETs of satellite {elset.satno}")
            by_number[elset.satno] = elset
        self._elsets = dict(sorted(by_number.items()))
        self._rejected = list(rejected)

    def __getitem__(self, satno: int) -> ELSET:
        return self._elsets[satno]

    def __iter__(self) -> Iterator[int]:
        return iter(self._elsets)

    def __len__(self) -> int:
        return len(self._elsets)

    @property
    def size(self) -> int:
        """Number of element sets of all satellites."""
        return sum(elset.size for elset in self._elsets.values())

    @property
    def rejected(self) -> list[Rejection]:
        """What was not read: a list of Rejection(source, line, text, reason)."""
        return list(self._rejected)

    def __repr__(self) -> str:
        from astrokite.utils.quantities import count

        return (f"Catalogue({count(len(self), 'satellite')}, {count(self.size, 'element set')}, "
                f"{len(self._rejected):,} rejected)")

    def _repr_html_(self) -> str:
        from astrokite.utils.html import render

        return render(self)

    def to_pandas(self) -> Any:
        """One row per element set, ready for ``groupby``.

        Columns: satno, name, epoch (datetime64[ns], UTC), the twelve elements in SI units
        (ecc, sma [m], inc, raa, arp, tra [rad], mnm [rad/s], orp [s], eca, mea [rad], pge, apg
        [m]), ndot [rad/s^2], nddot [rad/s^3], bstar [1/Earth radii], classification, intldes,
        ephtype, elnum, revnum.
        """
        import pandas as pd

        parts = [_elset_columns(satno, elset) for satno, elset in self._elsets.items()]
        if not parts:
            return pd.DataFrame({name: [] for name in _COLUMN_ORDER})
        columns = {name: np.concatenate([part[name] for part in parts]) for name in _COLUMN_ORDER}
        return pd.DataFrame(columns)


_ELEMENTS = ("ecc", "sma", "inc", "raa", "arp", "tra", "mnm", "orp", "eca", "mea", "pge", "apg")
_COLUMN_ORDER = ("satno", "name", "epoch", *_ELEMENTS, "ndot", "nddot", "bstar", "classification", "intldes",
                 "ephtype", "elnum", "revnum")


def _elset_columns(satno: int, elset: ELSET) -> dict[str, np.ndarray]:
    n = elset.size
    fields = reader.fields(elset_rows(elset))
    columns = {
        "satno": np.full(n, satno, dtype=np.int64),
        "name": np.full(n, elset.satname, dtype=object),
        "epoch": elset.epoch.int64.astype("datetime64[ns]"),
    }
    columns.update((name, getattr(elset, name)) for name in _ELEMENTS)
    for name in ("ndot", "nddot", "bstar"):
        columns[name] = np.frombuffer(fields[name], dtype=np.float64)
    columns["classification"] = np.frombuffer(fields["classification"], dtype="S1").astype(str).astype(object)
    columns["intldes"] = np.char.strip(np.frombuffer(fields["intldes"], dtype="S8").astype(str)).astype(object)
    for name in ("ephtype", "elnum", "revnum"):
        columns[name] = np.frombuffer(fields[name], dtype=np.int32).astype(np.int64)
    return columns
