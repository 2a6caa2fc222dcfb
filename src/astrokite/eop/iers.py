"""Readers of the IERS Earth orientation files: finals2000A (Bulletin A with its
predictions and the Bulletin B values it carries) and the C04 series.

Each reader returns plain columns, one row per day at 0h UTC: ``mjd`` (UTC),
``ut1_utc`` [s], ``x`` and ``y`` (the pole) [rad], ``dx`` and ``dy`` (the
celestial pole offsets, NaN where the file has none) [rad] and ``predicted``
(bool). Input that does not fit the format is a ValueError naming the line.
"""

from __future__ import annotations

import io
import math

import numpy as np

ARCSEC = math.pi / (180 * 3600)
COLUMNS = ("mjd", "ut1_utc", "x", "y", "dx", "dy", "predicted")


def _text(data) -> str:
    if isinstance(data, (bytes, bytearray, memoryview)):
        try:
            return bytes(data).decode("ascii")
        except UnicodeDecodeError as error:
            raise ValueError(f"an IERS file is ASCII text; byte {error.start} is not") from None
    if not isinstance(data, str):
        raise TypeError(f"IERS data must be str or bytes, not {type(data).__name__}")
    return data


def _number(line: str, number: int, first: int, last: int, name: str) -> float:
    """The field of columns first..last (1-based, inclusive), NaN when blank."""
    field = line[first - 1:last].strip()
    if not field:
        return math.nan
    try:
        value = float(field)
    except ValueError:
        raise ValueError(f"line {number}: {name} {field!r} is not a number") from None
    if not math.isfinite(value):
        raise ValueError(f"line {number}: {name} {field!r} is not a finite number")
    return value


def _checked(rows: list, what: str) -> dict:
    if not rows:
        raise ValueError(f"no {what} records with Earth orientation values")
    columns = {name: np.array([row[i] for row in rows], bool if name == "predicted" else np.float64)
               for i, name in enumerate(COLUMNS)}
    return _checked_columns(columns, what)


def _checked_columns(columns: dict, what: str) -> dict:
    if len(columns["mjd"]) == 0:
        raise ValueError(f"no {what} records with Earth orientation values")
    steps = np.diff(columns["mjd"])
    if len(steps) and not np.all(steps > 0):
        bad = int(np.argmax(steps <= 0)) + 1
        raise ValueError(f"{what}: dates must increase; MJD {columns['mjd'][bad]} follows {columns['mjd'][bad - 1]}")
    if np.any(np.abs(columns["ut1_utc"]) > 1.0) or np.any(np.abs(columns["x"]) > ARCSEC * 10) \
            or np.any(np.abs(columns["y"]) > ARCSEC * 10):
        raise ValueError(f"{what}: UT1 - UTC beyond 1 s or a pole coordinate beyond 10 arcsec")
    return columns


def _fields(lines: list, spans: list) -> np.ndarray:
    """The fixed-column fields `spans` (1-based, inclusive) of equal-length
    ASCII lines as floats, NaN where blank: (lines, fields). A field that is
    not a number raises ValueError."""
    width = max(last for _, last in spans)
    block = np.frombuffer("".join(line.ljust(width)[:width] for line in lines).encode("ascii"), "S1")
    block = block.reshape(len(lines), width)
    out = np.empty((len(lines), len(spans)))
    for j, (first, last) in enumerate(spans):
        text = np.ascontiguousarray(block[:, first - 1:last]).view(f"S{last - first + 1}")[:, 0]
        text = np.char.strip(text)
        blank = text == b""
        out[:, j] = np.where(blank, b"nan", text).astype(np.float64)
        if not np.isfinite(out[~blank, j]).all():
            raise ValueError("a field is not a finite number")
    return out


_FINALS = [(8, 15), (59, 68), (19, 27), (38, 46), (98, 106), (117, 125), (135, 144), (145, 154), (155, 165),
           (166, 175), (176, 185)]


def _read_finals_fast(lines: list) -> dict:
    values = _fields(lines, _FINALS)
    mjd, ut1_a, x, y, dx, dy, x_b, y_b, ut1_b, dx_b, dy_b = values.T
    ends = np.flatnonzero(np.isnan(ut1_a))
    n = ends[0] if len(ends) else len(lines)
    if not (np.all((mjd > 0) & (mjd < 200_000)) and np.isfinite(x[:n]).all() and np.isfinite(y[:n]).all()):
        raise ValueError("a date or a pole coordinate is out of place")

    def pick(b, a):
        return np.where(np.isnan(b), a, b)[:n]

    predicted = np.array([line[57:58] == "P" or line[16:17] == "P" for line in lines[:n]], bool)
    rows = {"mjd": mjd[:n], "ut1_utc": pick(ut1_b, ut1_a), "x": pick(x_b, x) * ARCSEC, "y": pick(y_b, y) * ARCSEC,
            "dx": pick(dx_b, dx) * ARCSEC / 1000, "dy": pick(dy_b, dy) * ARCSEC / 1000, "predicted": predicted}
    return _checked_columns(rows, "finals2000A")


def read_finals(data) -> dict:
    """Columns of a finals2000A file (text or bytes).

    Where a row has Bulletin B values they are taken, else Bulletin A's; rows
    whose UT1 - UTC is blank (the file's dated but empty tail) end the table.
    """
    text = _text(data)
    lines = [line for line in text.splitlines() if line.strip()]
    if lines and min(map(len, lines)) >= 68:
        try:
            return _read_finals_fast(lines)
        except ValueError:
            pass  # read line by line, to say where
    return _read_finals_lines(text)


def _read_finals_lines(text: str) -> dict:
    """read_finals one line at a time: slower, and names the line at fault."""
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        if len(line) < 68:
            raise ValueError(f"line {number}: {len(line)} characters, too short for a finals2000A record")
        mjd = _number(line, number, 8, 15, "MJD")
        if not (math.isfinite(mjd) and 0 < mjd < 200_000):
            raise ValueError(f"line {number}: MJD {line[7:15].strip()!r} is not a date")
        ut1_a = _number(line, number, 59, 68, "UT1-UTC")
        if math.isnan(ut1_a):
            break
        x = _number(line, number, 19, 27, "PM-x")
        y = _number(line, number, 38, 46, "PM-y")
        dx = _number(line, number, 98, 106, "dX")
        dy = _number(line, number, 117, 125, "dY")
        x_b = _number(line, number, 135, 144, "PM-x (B)")
        y_b = _number(line, number, 145, 154, "PM-y (B)")
        ut1_b = _number(line, number, 155, 165, "UT1-UTC (B)")
        dx_b = _number(line, number, 166, 175, "dX (B)")
        dy_b = _number(line, number, 176, 185, "dY (B)")
        if math.isnan(x) or math.isnan(y):
            raise ValueError(f"line {number}: the pole coordinates are blank")
        predicted = line[57:58] == "P" or line[16:17] == "P"

        def pick(b, a):
            return a if math.isnan(b) else b

        rows.append((mjd, pick(ut1_b, ut1_a), pick(x_b, x) * ARCSEC, pick(y_b, y) * ARCSEC,
                     pick(dx_b, dx) * ARCSEC / 1000, pick(dy_b, dy) * ARCSEC / 1000, predicted))
    return _checked(rows, "finals2000A")


def read_c04(data) -> dict:
    """Columns of an IERS C04 series (the 20 C04 layout: year, month, day,
    hour, MJD, x, y [arcsec], UT1 - UTC [s], dX, dY [arcsec], ...), lines
    starting with '#' being comments. Every value is final: none predicted."""
    text = _text(data)
    try:
        values = np.loadtxt(io.StringIO(text), comments="#", usecols=range(4, 10), ndmin=2)
        if len(values) and np.isfinite(values).all() and np.all((values[:, 0] > 0) & (values[:, 0] < 200_000)):
            mjd, x, y, ut1_utc, dx, dy = values.T
            return _checked_columns({"mjd": mjd, "ut1_utc": ut1_utc, "x": x * ARCSEC, "y": y * ARCSEC,
                                     "dx": dx * ARCSEC, "dy": dy * ARCSEC, "predicted": np.zeros(len(mjd), bool)},
                                    "C04")
    except ValueError:
        pass  # read line by line below, to say where
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split()
        if len(fields) < 10:
            raise ValueError(f"line {number}: {len(fields)} fields, a C04 record has at least 10")
        try:
            values = [float(f) for f in fields[4:10]]
        except ValueError:
            raise ValueError(f"line {number}: a value of {' '.join(fields[4:10])!r} is not a number") from None
        if not all(map(math.isfinite, values)):
            raise ValueError(f"line {number}: values must be finite")
        mjd, x, y, ut1_utc, dx, dy = values
        if not 0 < mjd < 200_000:
            raise ValueError(f"line {number}: MJD {fields[4]!r} is not a date")
        rows.append((mjd, ut1_utc, x * ARCSEC, y * ARCSEC, dx * ARCSEC, dy * ARCSEC, False))
    return _checked(rows, "C04")


def read(data) -> dict:
    """Columns of either format, told apart by the content: C04 files are
    whitespace-separated with '#' comments, finals2000A fixed columns."""
    text = _text(data)
    first = next((line for line in text.splitlines() if line.strip()), "")
    if first.startswith("#") or len(first.split()) >= 10 and first[:4].strip().isdigit() and len(first[:4].strip()) == 4:
        return read_c04(text)
    return read_finals(text)
