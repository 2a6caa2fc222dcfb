"""
Satellite: one spacecraft with its time, name, description, state, propagator and ephemeris.
"""

import datetime
from typing import NoReturn, TypeAlias, Union

import numpy

import astrokite.propagators.propagators
import astrokite.state.ephemeris
import astrokite.time.time
import astrokite.typing


DatetimeLike: TypeAlias = Union[astrokite.time.time.Time, str, datetime.datetime, datetime.date, numpy.datetime64, int, numpy.integer, float, numpy.floating, numpy.ndarray, list, tuple]

class Satellite:
    """
    One spacecraft: its time, name and description, and the state,
    propagator and ephemeris it was built with.

    Satellite(time, state, propagator=None, ephemeris=None, name=None,
              description=None)

    time         anything Time accepts, in UTC; always passed through Time.
    state        any object: the satellite's state, kept as given.
    propagator   a Propagator (or an instance of a subclass), or None.
    ephemeris    a StateVectorEphemeris (positions in m, velocities in m/s), or
                 None.
    name, description
                 str (exactly) or None; a given text is kept with the white
                 space around it removed, as the properties store it.

    The arguments are checked in the order propagator, ephemeris, name,
    description; the first wrong one raises TypeError. Writing name or
    description stores str(value).strip(), so None becomes "None". Satellites
    cannot be pickled or copied.

    Example:

    >>> from astrokite.satellite.satellite import Satellite
    >>> iss = Satellite("2024-03-20T03:06:00", None, name="  ISS (ZARYA) ")
    >>> iss.name
    'ISS (ZARYA)'
    >>> iss.time
    Time('2024-03-20T03:06:00.000000000Z')
    >>> iss.description is None
    True
    """

    def __init__(self, time: astrokite.typing.DatetimeLike, state: object, propagator: astrokite.propagators.propagators.Propagator | None = None, ephemeris: astrokite.state.ephemeris.StateVectorEphemeris | None = None, name: str | None = None, description: str | None = None) -> None: ...

    @property
    def time(self, /) -> astrokite.time.time.Time:
        """Satellite.time: Time"""

    @property
    def name(self, /) -> str | None:
        """Satellite.name: str | None"""

    @name.setter
    def name(self, value: str | None, /) -> None: ...

    @property
    def description(self, /) -> str | None:
        """Satellite.description: str | None"""

    @description.setter
    def description(self, value: str | None, /) -> None: ...

    @property
    def state(self, /) -> object:
        """Satellite.state: object"""

    @property
    def propagator(self, /) -> astrokite.propagators.propagators.Propagator | None:
        """Satellite.propagator: Propagator | None"""

    @property
    def ephemeris(self, /) -> astrokite.state.ephemeris.StateVectorEphemeris | None:
        """Satellite.ephemeris: StateVectorEphemeris | None"""

    def __reduce__(self, *args: object, **kwargs: object) -> NoReturn:
        """Refused: these objects cannot be pickled or copied (TypeError)."""

    def __setstate__(self, *args: object, **kwargs: object) -> NoReturn:
        """Refused: these objects cannot be pickled or copied (TypeError)."""
