"""
Scenario: the time, bodies, reference ellipsoid and Earth rotation of one simulation.
"""

import datetime
from typing import NoReturn, TypeAlias, Union

import numpy
import numpy.typing

import astrokite.bodies.bodies
from astrokite.frames.rotations import (
    rot_GCRF_from_ITRF as rot_GCRF_from_ITRF
)
import astrokite.mathtools.ellipsoid.ellipsoid
import astrokite.time.time
import astrokite.typing


DatetimeLike: TypeAlias = Union[astrokite.time.time.Time, str, datetime.datetime, datetime.date, numpy.datetime64, int, numpy.integer, float, numpy.floating, numpy.ndarray, list, tuple]

class Scenario:
    """
    The setting of one simulation: its time, the Sun, Earth and Moon at that
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
    >>> scenario.name = "March equinox\"
    """

    def __init__(self, time: astrokite.typing.DatetimeLike, ellipsoid: astrokite.mathtools.ellipsoid.ellipsoid.Ellipsoid = astrokite.mathtools.ellipsoid.ellipsoid.WGS84) -> None: ...

    @property
    def rot_GCRF_from_ITRF(self, /) -> numpy.typing.NDArray[numpy.float64] | None:
        """Scenario.rot_GCRF_from_ITRF: numpy.ndarray"""

    @property
    def name(self, /) -> str:
        """Scenario.name: str"""

    @name.setter
    def name(self, value: str | None, /) -> None: ...

    @property
    def author(self, /) -> str:
        """Scenario.author: str"""

    @author.setter
    def author(self, value: str | None, /) -> None: ...

    @property
    def description(self, /) -> str:
        """Scenario.description: str"""

    @description.setter
    def description(self, value: str | None, /) -> None: ...

    @property
    def time(self, /) -> astrokite.time.time.Time: ...

    @property
    def sun(self, /) -> astrokite.bodies.bodies.Sun: ...

    @property
    def earth(self, /) -> astrokite.bodies.bodies.Earth: ...

    @property
    def moon(self, /) -> astrokite.bodies.bodies.Moon: ...

    @property
    def ellipsoid(self, /) -> astrokite.mathtools.ellipsoid.ellipsoid.Ellipsoid: ...

    def __reduce__(self, *args: object, **kwargs: object) -> NoReturn:
        """Refused: these objects cannot be pickled or copied (TypeError)."""

    def __setstate__(self, *args: object, **kwargs: object) -> NoReturn:
        """Refused: these objects cannot be pickled or copied (TypeError)."""
