"""Scenario: the time, bodies, reference ellipsoid and Earth rotation of one simulation."""

from typing import Any, NoReturn

import numpy as numpy
from astrokite.bodies.bodies import Earth, Moon, Sun
from astrokite.frames.rotations import rot_GCRF_from_ITRF as rot_GCRF_from_ITRF
from astrokite.mathtools.ellipsoid.ellipsoid import Ellipsoid
from astrokite.time.time import Time
from astrokite.typing import DatetimeLike as DatetimeLike

class Scenario:
    """The setting of one simulation: its time, the Sun, Earth and Moon at that
    time, the reference ellipsoid, three descriptive texts and the rotation from
    the Earth-fixed frame ITRF to the inertial frame GCRF.

    Scenario(time, ellipsoid=WGS84)

    time       anything Time accepts (ISO 8601 text, datetime, numpy.datetime64,
               a Time, ...), in UTC; always passed through Time.
    ellipsoid  an Ellipsoid (or an instance of a subclass); WGS84 by default.

    The Sun, the Moon and the Earth are built from the scenario's time, in this
    order; their positions are geocentric GCRF in metres. rot_GCRF_from_ITRF is
    the 3x3 rotation matrix taking ITRF vectors to GCRF at the scenario's time,
    computed on first read and then kept (UT1 taken equal to UTC, no polar
    motion). name, author and description take a str or None; an unset one reads
    "None". Scenarios cannot be pickled or copied.

    Example:

    >>> from astrokite.scenario.scenario import Scenario
    >>> scenario = Scenario("2024-03-20T03:06:00")
    >>> scenario.ellipsoid
    Ellipsoid(a=6378137.0, f=0.0033528106647474805)
    >>> import numpy
    >>> round(float(numpy.linalg.norm(scenario.sun.position)) / 1e9, 3)  # Gm
    148.979
    >>> scenario.rot_GCRF_from_ITRF.shape
    (3, 3)
    >>> scenario.name = "March equinox"
    """

    def __init__(self, time: DatetimeLike | Time, ellipsoid: Ellipsoid = ...) -> None: ...
    @property
    def rot_GCRF_from_ITRF(self) -> numpy.ndarray | None:
        """Scenario.rot_GCRF_from_ITRF: numpy.ndarray"""
    @property
    def name(self) -> str:
        """Scenario.name: str"""
    @name.setter
    def name(self, value: str | None) -> None: ...
    @property
    def author(self) -> str:
        """Scenario.author: str"""
    @author.setter
    def author(self, value: str | None) -> None: ...
    @property
    def description(self) -> str:
        """Scenario.description: str"""
    @description.setter
    def description(self, value: str | None) -> None: ...
    @property
    def time(self) -> Time: ...
    @property
    def sun(self) -> Sun: ...
    @property
    def earth(self) -> Earth: ...
    @property
    def moon(self) -> Moon: ...
    @property
    def ellipsoid(self) -> Ellipsoid: ...
    def __reduce__(self, *args: Any, **kwargs: Any) -> NoReturn:
        """Refused: TypeError, as the type cannot be pickled or copied."""
    def __setstate__(self, *args: Any, **kwargs: Any) -> NoReturn:
        """Refused: TypeError, whatever the state."""
