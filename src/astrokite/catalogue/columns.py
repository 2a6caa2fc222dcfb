"""Element-set lines written from columns of values, all rows at once.

``rows_from_columns`` turns arrays of catalogue numbers, epochs and elements (SI units, as
``Catalogue.to_pandas`` gives them) into the 138-byte rows ELSETs are built from: line 1 then
line 2, each of 69 columns with its checksum. Every field is laid out with integer arithmetic on
a (rows, columns) byte array, so no Python object is made per element set. A value is rounded to
the decimals its column holds (half to even); a row whose value no column can hold is reported
with the reason, never written wrong.
"""

from __future__ import annotations

import math

import numpy as np

from astrokite.catalogue import reader

LINE = 69
ROW = 2 * LINE

_DAY = 86_400.0
_REV = 2 * math.pi
_DEG = math.pi / 180
_UNITS_PER_DAY = 10**8  # the epoch column's day fraction has eight decimals ...
_NS_PER_UNIT = 864_000  # ... of 864 microseconds each
_ALPHA5 = np.frombuffer(b"ABCDEFGHJKLMNPQRSTUVWXYZ", np.uint8)  # 10 to 33, without I and O
_SPACE, _ZERO = ord(" "), ord("0")


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


def _digits(out: np.ndarray, values: np.ndarray) -> None:
    """Non-negative integers below 2^32 as zero-padded decimal digits filling the columns of
    `out`. Column by column, each a division by a constant, which NumPy does fast."""
    rest = np.asarray(values, np.int64).astype(np.uint32)
    ten = np.uint32(10)
    digits = np.empty((out.shape[1], len(rest)), np.uint8)  # a digit's column, contiguous, for each
    for column in range(out.shape[1] - 1, -1, -1):
        quotient = rest // ten
        digits[column] = rest - quotient * ten
        rest = quotient
    digits += np.uint8(_ZERO)
    out[...] = digits.T


def _right_aligned(out: np.ndarray, values: np.ndarray) -> None:
    """Non-negative integers right-aligned in the columns of `out`, blanks in front."""
    _digits(out, values)
    leading = np.ones(len(values), bool)
    for column in range(out.shape[1] - 1):  # zeros before the first digit
        leading &= out[:, column] == _ZERO
        out[leading, column] = _SPACE


def _fixed(out: np.ndarray, values: np.ndarray, decimals: int, faults: Faults, name: str, high: float) -> None:
    """Values in [0, high) as "ddd.dddd": the whole part right-aligned, a point, the decimals."""
    scaled = np.rint(values * 10.0**decimals)
    faults.mark(~(np.isfinite(scaled) & (scaled >= 0) & (scaled < high * 10**decimals)),
                f"{name} lies outside [0, {high:g}) and no line can hold it")
    whole, fraction = np.divmod(np.where(faults.good, scaled, 0).astype(np.int64), 10**decimals)
    point = out.shape[1] - decimals - 1
    _right_aligned(out[:, :point], whole)
    out[:, point] = ord(".")
    _digits(out[:, point + 1 :], fraction)


def _signed_point(out: np.ndarray, values: np.ndarray, faults: Faults, name: str) -> None:
    """The first-derivative column: a sign (blank or "-"), a point and eight decimals."""
    scaled = np.rint(values * 1e8)
    faults.mark(~(np.abs(scaled) < 1e8), f"{name} does not fit a line (|value| < 1 in its column)")
    scaled = np.where(faults.good, scaled, 0).astype(np.int64)
    out[:, 0] = np.where(scaled < 0, ord("-"), _SPACE)
    out[:, 1] = ord(".")
    _digits(out[:, 2:], np.abs(scaled))


def _implied_exponent(out: np.ndarray, values: np.ndarray, faults: Faults, name: str) -> None:
    """An implied-point column with a power of ten: " 28903-3" is 0.28903e-3. Values below what
    the column holds are written as zero."""
    size = np.abs(values)
    faults.mark(~np.isfinite(values), f"{name} is not a finite number")
    nonzero = faults.good & (size > 0)
    exponent = np.zeros(len(values), np.int64)
    mantissa = np.zeros(len(values), np.int64)
    with np.errstate(divide="ignore", invalid="ignore"):
        exponent[nonzero] = np.floor(np.log10(size[nonzero])).astype(np.int64) + 1
        for _ in range(2):  # log10 may be one off near a power of ten: put the mantissa in [10000, 99999]
            mantissa[nonzero] = np.rint(size[nonzero] / 10.0 ** (exponent[nonzero] - 5)).astype(np.int64)
            exponent += nonzero & (mantissa >= 100_000)
            exponent -= nonzero & (mantissa < 10_000)
        mantissa[nonzero] = np.rint(size[nonzero] / 10.0 ** (exponent[nonzero] - 5)).astype(np.int64)
    faults.mark(nonzero & (exponent > 9), f"{name} is too large for a line")
    tiny = ~nonzero | (exponent < -9)
    mantissa[tiny], exponent[tiny] = 0, 0
    out[:, 0] = np.where((values < 0) & ~tiny, ord("-"), _SPACE)
    _digits(out[:, 1:6], mantissa)
    out[:, 6] = np.where(exponent > 0, ord("+"), ord("-"))
    _digits(out[:, 7:], np.abs(exponent))


def _satno(out: np.ndarray, satnos: np.ndarray, faults: Faults) -> None:
    """Five columns: the number, with a letter for the ten-thousands from 100000 on (Alpha-5)."""
    faults.mark((satnos < 0) | (satnos > 339_999), "satno lies outside 0 to 339999, which a line holds")
    satnos = np.where(faults.good, satnos, 0)
    _digits(out, satnos % 100_000)
    alpha = satnos >= 100_000
    out[alpha, 0] = _ALPHA5[satnos[alpha] // 10_000 - 10]


def _epoch(out: np.ndarray, counts: np.ndarray, faults: Faults) -> None:
    """Columns 19 to 32, "YYDDD.DDDDDDDD", from counts of Time rounded to the column's 864 us."""
    faults.mark(counts == np.iinfo(np.int64).min, "epoch is missing (NaT)")
    units = np.where(faults.good, counts, 0) // (_NS_PER_UNIT // 2)
    units = (units + 1) // 2  # to the nearest unit, halves up
    days, fraction = np.divmod(units, _UNITS_PER_DAY)
    dates = days.astype("datetime64[D]")
    years = dates.astype("datetime64[Y]")
    year = years.astype(np.int64) + 1970
    faults.mark((year < 1957) | (year > 2056), "epoch lies outside 1957 to 2056, which a line holds")
    _digits(out[:, 0:2], np.where(faults.good, year % 100, 0))
    _digits(out[:, 2:5], (dates - years.astype("datetime64[D]")).astype(np.int64) + 1)
    out[:, 5] = ord(".")
    _digits(out[:, 6:], fraction)


def _text(out: np.ndarray, texts: np.ndarray, faults: Faults, name: str) -> None:
    """Printable ASCII texts (a NumPy str array), left-aligned in the columns of `out`."""
    n, width = out.shape
    texts = np.ascontiguousarray(texts, dtype="U")
    codes = texts.view(np.uint32).reshape(n, texts.itemsize // 4)
    faults.mark((codes[:, width:] != 0).any(axis=1), f"{name} is longer than its {width} columns")
    faults.mark(((codes != 0) & ((codes < 0x20) | (codes > 0x7E))).any(axis=1), f"{name} is not printable ASCII")
    shown = min(width, codes.shape[1])
    kept = faults.good[:, None] & (codes[:, :shown] != 0)
    out[:, :shown] = np.where(kept, codes[:, :shown], _SPACE)


def _small_integer(out: np.ndarray, values: np.ndarray, faults: Faults, name: str) -> None:
    width = out.shape[1]
    faults.mark((values < 0) | (values >= 10**width), f"{name} lies outside its {width} columns")
    _right_aligned(out, np.where(faults.good, values, 0))


def rows_from_columns(columns: dict[str, np.ndarray], faults: Faults) -> np.ndarray:
    """The element sets of `columns` as a (rows, 138) byte array of line pairs; what cannot be
    written is marked in `faults`.

    columns: ``satno`` and ``ephtype``, ``elnum``, ``revnum`` (int64); ``epoch`` (int64 counts of
    Time); ``ecc`` and the angles ``inc``, ``raa``, ``arp``, ``mea`` [rad], ``mnm`` [rad/s],
    ``ndot`` [rad/s^2], ``nddot`` [rad/s^3], ``bstar`` [1/Earth radii] (float64);
    ``classification`` and ``intldes`` (NumPy str arrays). Rows with a fault hold what could be
    written; only the good rows are meant to be read.
    """
    n = len(columns["satno"])
    rows = np.full((n, ROW), _SPACE, np.uint8)
    line1, line2 = rows[:, :LINE], rows[:, LINE:]

    def floats(name):
        return np.asarray(columns[name], np.float64)

    # Line 1 (slices are 0-based: columns 3 to 7 are [2:7]).
    line1[:, 0] = ord("1")
    _satno(line1[:, 2:7], np.asarray(columns["satno"], np.int64), faults)
    _text(line1[:, 7:8], columns["classification"], faults, "classification")
    _text(line1[:, 9:17], columns["intldes"], faults, "intldes")
    _epoch(line1[:, 18:32], np.asarray(columns["epoch"], np.int64), faults)
    _signed_point(line1[:, 33:43], floats("ndot") * (_DAY * _DAY) / (2 * _REV), faults, "ndot")
    _implied_exponent(line1[:, 44:52], floats("nddot") * (_DAY * _DAY * _DAY) / (6 * _REV), faults, "nddot")
    _implied_exponent(line1[:, 53:61], floats("bstar"), faults, "bstar")
    _small_integer(line1[:, 62:63], np.asarray(columns["ephtype"], np.int64), faults, "ephtype")
    _small_integer(line1[:, 64:68], np.asarray(columns["elnum"], np.int64), faults, "elnum")
    # Line 2.
    line2[:, 0] = ord("2")
    line2[:, 2:7] = line1[:, 2:7]
    for name, start, high in (("inc", 8, 180.00005), ("raa", 17, 360.00005), ("arp", 34, 360.00005),
                              ("mea", 43, 360.00005)):
        _fixed(line2[:, start : start + 8], floats(name) / _DEG, 4, faults, name, high)
    ecc = np.rint(floats("ecc") * 1e7)
    faults.mark(~((ecc >= 0) & (ecc < 1e7)), "ecc lies outside [0, 1)")
    _digits(line2[:, 26:33], np.where(faults.good, ecc, 0).astype(np.int64))
    _fixed(line2[:, 52:63], floats("mnm") * (_DAY / _REV), 8, faults, "mnm (rev/day)", 100.0)
    _small_integer(line2[:, 63:68], np.asarray(columns["revnum"], np.int64), faults, "revnum")
    reader.set_checksums(rows)
    return rows
