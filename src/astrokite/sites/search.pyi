"""
Pass search over a site, driven in rounds of batched propagation, or run whole over SGP4 element sets.
"""

from typing import Annotated, Any

import numpy
import numpy.typing
from numpy.typing import NDArray


class PassSearch:
    """
    PassSearch(position, up, sin_min_elevation, satellites, start, span, earth): the search
    for passes of `satellites` over a site (Earth-fixed position [m] and up axis) between
    `start` and `start + span` (ns), TEME turned Earth-fixed with the Earth orientation
    columns `earth` (an EOPTable's, None for UT1 = UTC and no polar motion). Call begin()
    with TEME states on a grid, then requests() / supply() until requests() is empty,
    then passes().
    """

    def __init__(self, position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], up: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], sin_min_elevation: float, satellites: int, start: int, span: int, earth: object | None = None) -> None: ...

    def begin(self, offsets: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], velocity: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], valid: Annotated[NDArray[numpy.uint8], dict(order='C', device='cpu', writable=False)]) -> None:
        """
        TEME states (satellites, times, 3) at the grid offsets [ns from the start].
        """

    def requests(self) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]:
        """(rows, times [ns]) wanted next; empty when the search is done."""

    def supply(self, position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], velocity: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], valid: Annotated[NDArray[numpy.uint8], dict(order='C', device='cpu', writable=False)]) -> None:
        """TEME states (k, 3) at the last requests, in their order."""

    def passes(self) -> dict[str, numpy.typing.NDArray[Any]]:
        """
        Arrays row, rise, culmination, set [ns], max_elevation [rad] and flags, one entry per pass.
        """

def pieces(start: int, stop: int, step: int) -> list[tuple[int, numpy.typing.NDArray[numpy.int64]]]:
    """
    The pieces a window [start, stop] on a grid of `step` (ns) is searched in: (start, grid offsets).
    """

def join_pieces(row: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], rise: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], culmination: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], set: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], max_elevation: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], flags: Annotated[NDArray[numpy.uint8], dict(order='C', device='cpu', writable=False)], stop: int) -> dict:
    """
    The passes of every piece of a window ending at `stop`, joined across the cuts.
    """

def sgp4_passes(records: bytes, sets_per_satellite: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], up: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], sin_min_elevation: float, start: int, stop: int, step: int, threads: int, earth: object | None = None, sun: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)] | None = None, sun_start: int = 0, sun_step: int = 1, dark_below: float = 0.0) -> dict:
    """
    Every pass of element sets (records, satellite after satellite) through SGP4, searched
    over `threads` threads (0: every core) with the Earth orientation columns `earth`; the pass
    columns and each satellite's satno. With the Sun's TEME path `sun` (points, 3) [m], one
    point every `sun_step` ns from `sun_start`, also each pass's visibility columns (those of
    Visibility.seen), the sky dark with the Sun below `dark_below` [rad].
    """

class Visibility:
    """
    Visibility(position, up, dark_below, sun_start, sun_step, sun, start, stop, row, rise,
    culmination, set, earth): what a site (Earth-fixed position [m] and up axis) sees of
    passes found between `start` and `stop` (ns) of the satellites at `row`: the sky dark
    with the Sun below `dark_below` [rad], the Sun's TEME path (points, 3) [m] one point
    every `sun_step` ns from `sun_start`, TEME turned Earth-fixed with the Earth orientation
    columns `earth`. Call requests() / supply() until requests() is empty, then seen().
    """

    def __init__(self, position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], up: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], dark_below: float, sun_start: int, sun_step: int, sun: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], start: int, stop: int, row: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], rise: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], culmination: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], set: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], earth: object | None = None) -> None: ...

    def requests(self) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]:
        """(rows, times [ns]) wanted next; empty when the search is done."""

    def supply(self, position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], velocity: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], valid: Annotated[NDArray[numpy.uint8], dict(order='C', device='cpu', writable=False)]) -> None:
        """TEME states (k, 3) [m, m/s] at the last requests, in their order."""

    def seen(self) -> dict[str, numpy.typing.NDArray[Any]]:
        """
        Per pass: sunlit, sun_elevation [rad] and range_rate [m/s] at rise, culmination and set
        (passes, 3); visible, visible_start and visible_stop [ns] (both the rise when not visible);
        culmination_position and culmination_sun (passes, 3), Earth-fixed [m].
        """
