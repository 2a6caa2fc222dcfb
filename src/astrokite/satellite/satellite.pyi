"""Satellite: one spacecraft with its time, name, description, state, propagator and ephemeris."""

from typing import Any, Iterable as Iterable, NoReturn

from astrokite.propagators.propagators import Propagator
from astrokite.state.ephemeris import StateVectorEphemeris
from astrokite.time.time import Time
from astrokite.typing import DatetimeLike as DatetimeLike

class Satellite:
    """One spacecraft: its time, name and description, and the state,
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

    def __init__(
        self,
        time: DatetimeLike | Time,
        state: Any,
        propagator: Propagator | None = None,
        ephemeris: StateVectorEphemeris | None = None,
        name: str | None = None,
        description: str | None = None,
    ) -> None: ...
    @property
    def time(self) -> Time:
        """Satellite.time: Time"""
    @property
    def name(self) -> str | None:
        """Satellite.name: str | None"""
    @name.setter
    def name(self, value: str | None) -> None: ...
    @property
    def description(self) -> str | None:
        """Satellite.description: str | None"""
    @description.setter
    def description(self, value: str | None) -> None: ...
    @property
    def state(self) -> Any:
        """Satellite.state: object"""
    @property
    def propagator(self) -> Propagator | None:
        """Satellite.propagator: Propagator | None"""
    @property
    def ephemeris(self) -> StateVectorEphemeris | None:
        """Satellite.ephemeris: StateVectorEphemeris | None"""
    def __reduce__(self, *args: Any, **kwargs: Any) -> NoReturn:
        """Refused: TypeError, as the type cannot be pickled or copied."""
    def __setstate__(self, *args: Any, **kwargs: Any) -> NoReturn:
        """Refused: TypeError, whatever the state."""
