"""The Earth's shadow: sunlit fractions and the eclipse search."""

from typing import Annotated, Any

import numpy
import numpy.typing
from numpy.typing import NDArray


def illumination(sun: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> NDArray[numpy.float64]:
    """
    Sunlit fraction (satellites, times) of positions (satellites, times, 3) [m] with the Sun at
    `sun` (times, 3) [m], one frame: 1 in sunlight, 0 in the umbra, the part of the Sun's disc
    seen in the penumbra (a spherical Earth of the WGS 84 equatorial radius).
    """

class EclipseSearch:
    """
    EclipseSearch(sun_start, sun_step, sun, satellites, span): the search for shadow
    crossings of `satellites` over [0, span] ns, the Sun at sun_start + k sun_step [ns]
    given by `sun` (points, 3) [m] in the frame of the states. Call begin() with states
    on a grid, then requests() / supply() until requests() is empty, then eclipses().
    """

    def __init__(self, sun_start: int, sun_step: int, sun: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], satellites: int, span: int) -> None: ...

    def begin(self, offsets: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], velocity: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], valid: Annotated[NDArray[numpy.uint8], dict(order='C', device='cpu', writable=False)]) -> None:
        """
        States (satellites, times, 3) [m, m/s] at the grid offsets [ns from the start].
        """

    def requests(self) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]:
        """(rows, offsets [ns]) wanted next; empty when the search is done."""

    def supply(self, position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], velocity: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], valid: Annotated[NDArray[numpy.uint8], dict(order='C', device='cpu', writable=False)]) -> None:
        """States (k, 3) at the last requests, in their order."""

    def eclipses(self) -> dict[str, numpy.typing.NDArray[Any]]:
        """
        Arrays row, umbra (0 penumbra, 1 umbra), entry, exit [ns from the start] and flags, and
        failed_row, failed_at [ns]: where a satellite's propagation failed.
        """
