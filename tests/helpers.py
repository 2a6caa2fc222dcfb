"""Data and helpers shared by the test files, imported as `helpers` (pytest's `pythonpath`
option in pyproject.toml puts tests/ on the path). Fixtures and hooks are in conftest.py."""

import ctypes
import json
import os
import re
from pathlib import Path

import numpy as np

from astrokite.propagators.analytical.sgp4.tle import TLE
from astrokite.utils import representable
from astrokite.utils.representable import Representable

# The project root, and the real element sets the tests, examples and docs share.
ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "data"

# The first ISS element set of data/iss.tle.
ISS1 = "1 25544U 98067A   23001.26991367  .00015968  00000-0  28903-3 0  9993"
ISS2 = "2 25544  51.6448  75.3411 0005204 209.5406 257.0907 15.49811030375904"

PICKLE_REFUSED = "no default __reduce__ due to non-trivial __cinit__"
SGR = re.compile(r"\x1b\[\d+m")

LIBC = ctypes.CDLL(None)
LIBC.atof.restype, LIBC.atof.argtypes = ctypes.c_double, [ctypes.c_char_p]
LIBC.atoi.restype, LIBC.atoi.argtypes = ctypes.c_int, [ctypes.c_char_p]


def element_sets(pattern="*.tle"):
    """(file name, line 1, line 2) of the bundled element sets, file by file, as published."""
    for path in sorted(DATA.glob(pattern)):
        lines = path.read_text().splitlines()
        for i in range(0, len(lines), 2):
            yield path.name, lines[i], lines[i + 1]


def history(name):
    """The element sets of one bundled file as TLE objects, as published."""
    return [TLE(line1, line2) for _, line1, line2 in element_sets(name)]


def put(line, column, text):
    """The line with `text` written from 1-based `column` on."""
    line = line.ljust(column - 1 + len(text))
    return line[: column - 1] + text + line[column - 1 + len(text) :]


def with_checksum(line):
    digits = sum(int(c) if c.isdigit() else c == "-" for c in line[:68])
    return line[:68] + str(digits % 10)


def made(day, satno="25544"):
    """The first ISS element set with the epoch day of 2023 and the satellite number replaced."""
    line1 = ISS1[:2] + satno + ISS1[7:18] + f"23{day:012.8f}" + ISS1[32:]
    return TLE(line1, ISS2[:2] + satno + ISS2[7:])


def stored(line):
    """The bytes a line is kept as: its first 69 characters, blank-filled, in UTF-8, cut at 69 bytes and at NUL."""
    return line.ljust(69)[:69].encode("utf-8")[:69].split(b"\0")[0]


def normalised(line):
    """The text a line reads back as: its stored bytes NUL-filled to 69, a cut character read as U+FFFD."""
    return stored(line).ljust(69, b"\0").decode(errors="replace")


class Box(Representable):
    """A Representable whose header and body are given."""

    def __init__(self, header, body):
        super().__init__()
        self.header, self.body = header, body

    def _get_header(self):
        return self.header

    def _get_body(self):
        return self.body


class Marker:
    """An object whose death a weak reference can watch."""


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


# ---------------------------------------------------------------------------
# The settings file of the renderer

SETTINGS_FILE = Path(representable.__file__).parent / "settings.json"

# No styling, one-character rules: the box text is exact.
PLAIN = {
    "wall_char": "=", "wall_color": False, "wall_bold": False,
    "fence_char": "-", "fence_color": None, "fence_bold": False,
    "header_color": "", "header_bold": 0, "header_alignment": "left",
    "properties_color": False, "properties_bold": False,
}


class Settings:
    """Writes settings.json beside the module, replacing the file whole."""

    def write_bytes(self, data):
        # A name of this process's own: two runs never write one temporary file.
        temporary = SETTINGS_FILE.with_name(f"settings.json.test-tmp-{os.getpid()}")
        temporary.write_bytes(data)
        os.replace(temporary, SETTINGS_FILE)  # readers never see half a file

    def write_text(self, text):
        self.write_bytes(text.encode("utf-8"))

    def use(self, without=(), **changes):
        options = {key: value for key, value in {**PLAIN, **changes}.items() if key not in without}
        self.write_text(json.dumps(options, ensure_ascii=False))


class SatrecStates:
    """TEME states [m, m/s] of element sets from the sgp4 package, in the form the
    pass search takes (``grid`` and ``at``); one Satrec per satellite."""

    def __init__(self, pairs):
        from sgp4.api import Satrec, SatrecArray

        self.satrecs = [Satrec.twoline2rv(line1, line2) for line1, line2 in pairs]
        self.satnos = np.array([s.satnum for s in self.satrecs], np.int64)
        self._array = SatrecArray

    @staticmethod
    def _jd(times):
        days, rest = np.divmod(np.asarray(times, np.int64), 86_400 * 10**9)
        return 2440587.5 + days.astype(np.float64), rest / 86400e9

    def grid(self, rows, times):
        error, r, v = self._array(self.satrecs[rows]).sgp4(*self._jd(times))
        return r * 1e3, v * 1e3, error == 0

    def at(self, rows, times):
        jd, fr = self._jd(times)
        r, v, valid = np.empty((len(rows), 3)), np.empty((len(rows), 3)), np.empty(len(rows), bool)
        order = np.argsort(rows, kind="stable")
        for mine in np.split(order, np.flatnonzero(np.diff(rows[order])) + 1):
            error, r[mine], v[mine] = self.satrecs[rows[mine[0]]].sgp4_array(jd[mine], fr[mine])
            valid[mine] = error == 0
        return r * 1e3, v * 1e3, valid

    def ephemeris(self, times):
        """All satellites at ``times`` (int64 ns) as a TEME StateVectorEphemeris."""
        from astrokite.frames.frames import TEME
        from astrokite.state.ephemeris import StateVectorEphemeris
        from astrokite.time.time import Time

        r, v, valid = self.grid(slice(None), times)
        return StateVectorEphemeris(Time(np.asarray(times, np.int64)), r, v, frame=TEME, satnos=self.satnos,
                                    error=np.where(valid, 0, 1).astype(np.int8))
