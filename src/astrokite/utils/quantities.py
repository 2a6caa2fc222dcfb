"""What tables and plots show of element sets: element labels, display units, summaries.

Element sets store SI values (metres, radians, seconds); tables and plots show them in the
units people read orbits in (km, degrees, rev/day, minutes). ``DISPLAY[name]`` gives the
label, the unit's text and the size of one display unit in SI, so that
``value_si / DISPLAY[name].scale`` is the number shown.
"""

from __future__ import annotations

import math
from typing import NamedTuple


class Display(NamedTuple):
    """How one element is shown: its label, its display unit and that unit's size in SI."""

    label: str
    unit: str
    scale: float  # one display unit in SI
    digits: int | None  # decimals worth showing: what an element set's text carries


_DAY = 86400.0
_REV = 2 * math.pi
_DEG = math.pi / 180

DISPLAY: dict[str, Display] = {
    "ecc": Display("eccentricity", "", 1.0, 7),
    "sma": Display("semi-major axis", "km", 1e3, 3),
    "inc": Display("inclination", "deg", _DEG, 4),
    "raa": Display("right ascension of the ascending node", "deg", _DEG, 4),
    "arp": Display("argument of perigee", "deg", _DEG, 4),
    "tra": Display("true anomaly", "deg", _DEG, 4),
    "mea": Display("mean anomaly", "deg", _DEG, 4),
    "eca": Display("eccentric anomaly", "deg", _DEG, 4),
    "mnm": Display("mean motion", "rev/day", _REV / _DAY, 8),
    "orp": Display("orbital period", "min", 60.0, 4),
    "pge": Display("perigee altitude", "km", 1e3, 3),
    "apg": Display("apogee altitude", "km", 1e3, 3),
    "bstar": Display("drag term B*", "1/Earth radii", 1.0, None),
    "ndot": Display("mean motion rate", "rev/day\N{SUPERSCRIPT TWO}", _REV / _DAY**2, None),
    "nddot": Display("mean motion second derivative", "rev/day\N{SUPERSCRIPT THREE}", _REV / _DAY**3, None),
}

# The elements of a TLE in the order its tables show them, then the drag terms of line 1.
ELEMENTS = ("ecc", "sma", "inc", "raa", "arp", "tra", "mea", "eca", "mnm", "orp", "pge", "apg")
DRAG = ("bstar", "ndot", "nddot")


def count(number: int, noun: str, plural: str | None = None) -> str:
    """A number and its noun, in the singular for one: "1 satellite", "2,000 satellites", "3 passes".

    >>> count(1, "pass", "passes"), count(3, "pass", "passes")
    ('1 pass', '3 passes')
    """
    return f"{number:,} {noun if number == 1 else plural or noun + 's'}"


def heading(name: str) -> str:
    """Short column heading of an element: its name and display unit, e.g. "pge [km]"."""
    unit = DISPLAY[name].unit
    return f"{name} [{unit}]" if unit else name


def shown(name: str, value_si):
    """The value (a float or an array) of an element in its display unit."""
    return value_si / DISPLAY[name].scale


def text(name: str, value_si) -> str:
    """A scalar element as text in its display unit, to the decimals its element set carries."""
    display = DISPLAY[name]
    value = value_si / display.scale
    return f"{value:.{display.digits}f}" if display.digits is not None else f"{value:.5e}"


class Summary(NamedTuple):
    """One satellite's history at a glance; altitudes in metres, epochs as scalar ``Time``."""

    satno: int
    name: str | None
    sets: int
    first: object
    last: object
    perigee: float
    apogee: float


def summary(elset) -> Summary:
    """The summary of an ELSET: its size, first and last epoch, latest perigee and apogee."""
    epoch = elset.epoch
    return Summary(elset.satno, elset.satname, elset.size, epoch[0], epoch[-1],
                   float(elset.pge[-1]), float(elset.apg[-1]))
