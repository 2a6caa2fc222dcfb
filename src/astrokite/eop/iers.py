"""Readers of the IERS Earth orientation files: finals2000A (Bulletin A with its
predictions and the Bulletin B values it carries) and the C04 series.

Each reader returns plain columns, one row per day at 0h UTC: ``mjd`` (UTC),
``ut1_utc`` [s], ``x`` and ``y`` (the pole) [rad], ``dx`` and ``dy`` (the
celestial pole offsets, NaN where the file has none) [rad] and ``predicted``
(bool). Input that does not fit the format is a ValueError naming the line.
"""

from __future__ import annotations

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
    steps = np.diff(columns["mjd"])
    if len(steps) and not np.all(steps > 0):
        bad = int(np.argmax(steps <= 0)) + 1
        raise ValueError(f"{what}: dates must increase; MJD {columns['mjd'][bad]} follows {columns['mjd'][bad - 1]}")
    if np.any(np.abs(columns["ut1_utc"]) > 1.0) or np.any(np.abs(columns["x"]) > ARCSEC * 10) \
            or np.any(np.abs(columns["y"]) > ARCSEC * 10):
        raise ValueError(f"{what}: UT1 - UTC beyond 1 s or a pole coordinate beyond 10 arcsec")
    return columns


def read_finals(data) -> dict:
    """Columns of a finals2000A file (text or bytes).

    Where a row has Bulletin B values they are taken, else Bulletin A's; rows
    whose UT1 - UTC is blank (the file's dated but empty tail) end the table.
    """
    rows = []
    for number, line in enumerate(_text(data).splitlines(), 1):
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
    rows = []
    for number, line in enumerate(_text(data).splitlines(), 1):
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
