"""Scenario: the time, bodies, reference ellipsoid and Earth rotation of one simulation."""

from typing import Any, NoReturn

import numpy as numpy
from astrokite.bodies.bodies import Earth, Moon, Sun
from astrokite.frames.rotations import rot_GCRF_from_ITRF as rot_GCRF_from_ITRF
from astrokite.mathtools.ellipsoid.ellipsoid import Ellipsoid
from astrokite.time.time import Time
from astrokite.typing import DatetimeLike as DatetimeLike

class Scenario:
    """The setting of one simulation: its time, the Sun, Earth and Moon at that time,
    the reference ellipsoid, descriptive texts and the ITRF to GCRF rotation."""

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
