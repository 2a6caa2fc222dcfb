"""Element-set lines written from columns of values, all rows at once.

``rows_from_columns`` turns arrays of catalogue numbers, epochs and elements (SI units, as
``Catalogue.to_pandas`` gives them) into the 138-byte rows ELSETs are built from: line 1 then
line 2, each of 69 columns with its checksum. The texts are checked here, column by column; the
numbers are written by the native writer (``reader.format_rows``), which rounds each value to the
decimals its column holds. A row that no line pair can hold is reported with the reason, never
written wrong.
"""

from __future__ import annotations

import numpy as np

from astrokite.catalogue import reader
from astrokite.utils.quantities import count

LINE = 69
ROW = 2 * LINE

# The native writer's fault codes.
_REASONS = {
    1: "satno lies outside 0 to 339999, which a line holds",
    2: "epoch is missing (NaT)",
    3: "epoch lies outside 1957 to 2056, which a line holds",
    4: "ndot does not fit a line (|ndot / 2| < 1 rev/day^2)",
    5: "nddot is not a finite number or too large for a line",
    6: "bstar is not a finite number or too large for a line",
    7: "ephtype lies outside its 1 column",
    8: "elnum lies outside its 4 columns",
    9: "revnum lies outside its 5 columns",
    10: "inc lies outside [0, 180] deg and no line can hold it",
    11: "raa lies outside [0, 360] deg and no line can hold it",
    12: "ecc lies outside [0, 1)",
    13: "arp lies outside [0, 360] deg and no line can hold it",
    14: "mea lies outside [0, 360] deg and no line can hold it",
    15: "mnm lies outside [0, 100) rev/day and no line can hold it",
}
_INTEGERS = ("satno", "epoch", "ephtype", "elnum", "revnum")
_FLOATS = ("ecc", "inc", "raa", "arp", "mea", "mnm", "ndot", "nddot", "bstar")


class Faults:
    """The first reason each row cannot be written, by row; rows without one are good."""

    def __init__(self, n: int):
        self.reasons: list[str] = []
        self._reason = np.full(n, -1, np.int32)

    def mark(self, bad: np.ndarray, reason: str) -> None:
        bad = np.asarray(bad, bool) & (self._reason < 0)
        if bad.any():
            self.reasons.append(reason)
            self._reason[bad] = len(self.reasons) - 1

    @property
    def good(self) -> np.ndarray:
        return self._reason < 0

    def of(self, row: int) -> str:
        return self.reasons[self._reason[row]]


def _text(texts: np.ndarray, width: int, faults: Faults, name: str) -> bytes:
    """Printable ASCII texts (a NumPy str array), each left-aligned in `width` bytes."""
    n = len(texts)
    texts = np.ascontiguousarray(texts, dtype="U")
    codes = texts.view(np.uint32).reshape(n, texts.itemsize // 4)
    faults.mark((codes[:, width:] != 0).any(axis=1), f"{name} is longer than {count(width, 'column')}")
    faults.mark(((codes != 0) & ((codes < 0x20) | (codes > 0x7E))).any(axis=1), f"{name} is not printable ASCII")
    out = np.full((n, width), ord(" "), np.uint8)
    shown = min(width, codes.shape[1])
    kept = faults.good[:, None] & (codes[:, :shown] != 0)
    out[:, :shown] = np.where(kept, codes[:, :shown], ord(" "))
    return out.tobytes()


def rows_from_columns(columns: dict[str, np.ndarray], faults: Faults) -> np.ndarray:
    """The element sets of `columns` as a (rows, 138) byte array of line pairs; what cannot be
    written is marked in `faults`.

    columns: ``satno``, ``ephtype``, ``elnum``, ``revnum`` and ``epoch`` (counts of Time) as
    integers; ``ecc`` and the angles ``inc``, ``raa``, ``arp``, ``mea`` [rad], ``mnm`` [rad/s],
    ``ndot`` [rad/s^2], ``nddot`` [rad/s^3], ``bstar`` [1/Earth radii] as floats;
    ``classification`` and ``intldes`` as NumPy str arrays. Only the good rows are meant to be
    read.
    """
    n = len(columns["satno"])
    values: dict = {name: np.ascontiguousarray(columns[name], np.int64) for name in _INTEGERS}
    values.update((name, np.ascontiguousarray(columns[name], np.float64)) for name in _FLOATS)
    values["classification"] = _text(columns["classification"], 1, faults, "classification")
    values["intldes"] = _text(columns["intldes"], 8, faults, "intldes")
    rows = np.empty((n, ROW), np.uint8)
    codes = np.zeros(n, np.uint8)
    reader.format_rows(values, rows, codes)
    for code in np.unique(codes[codes > 0]):
        faults.mark(codes == code, _REASONS[int(code)])
    return rows
