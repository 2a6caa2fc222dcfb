"""Satellite: one spacecraft with its time, name, description, state, propagator and ephemeris."""

from typing import Any, Iterable as Iterable, NoReturn

from astrokite.propagators.propagators import Propagator
from astrokite.state.ephemeris import StateVectorEphemeris
from astrokite.time.time import Time
from astrokite.typing import DatetimeLike as DatetimeLike

class Satellite:
    """One spacecraft: its time, name and description, and the state, propagator
    and ephemeris it was built with."""

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
