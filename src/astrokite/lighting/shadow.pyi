"""The Earth's shadow: sunlit fractions and the eclipse search."""

import numpy as np
from numpy.typing import NDArray

def illumination(sun: NDArray[np.float64], position: NDArray[np.float64]) -> NDArray[np.float64]:
    """Sunlit fraction (satellites, times) of positions (satellites, times, 3) [m] with the Sun at
    `sun` (times, 3) [m], one frame: 1 in sunlight, 0 in the umbra, the part of the Sun's disc seen
    in the penumbra (a spherical Earth of the WGS 84 equatorial radius)."""

def umbra_edge(sun: NDArray[np.float64], position: NDArray[np.float64]) -> NDArray[np.float64]:
    """The umbra's edge [rad, positive outside] of positions (k, 3) [m] with the Sun at `sun` (k, 3) [m]."""

def umbra_settled(start: NDArray[np.int64], sun_start: NDArray[np.float64], position_start: NDArray[np.float64],
                  velocity_start: NDArray[np.float64], stop: NDArray[np.int64], sun_stop: NDArray[np.float64],
                  position_stop: NDArray[np.float64], velocity_stop: NDArray[np.float64]) -> NDArray[np.uint8]:
    """Whether the umbra's edge provably keeps its sign over each of k stretches, from the times [ns], Sun
    positions and states (k, 3) [m, m/s] at their two ends, one frame: the eclipse search's test."""

class EclipseSearch:
    """The search for shadow crossings of `satellites` over [0, span] ns, the Sun at
    sun_start + k sun_step [ns] given by `sun` (points, 3) [m] in the frame of the states. Call
    begin() with states on a grid, then requests() / supply() until requests() is empty, then
    eclipses()."""

    def __init__(self, sun_start: int, sun_step: int, sun: NDArray[np.float64], satellites: int,
                 span: int) -> None: ...
    def begin(self, offsets: NDArray[np.int64], position: NDArray[np.float64], velocity: NDArray[np.float64],
              valid: NDArray[np.uint8]) -> None:
        """States (satellites, times, 3) [m, m/s] at the grid offsets [ns from the start]."""
    def requests(self) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
        """(rows, offsets [ns]) wanted next; empty when the search is done."""
    def supply(self, position: NDArray[np.float64], velocity: NDArray[np.float64], valid: NDArray[np.uint8]) -> None:
        """States (k, 3) at the last requests, in their order."""
    def eclipses(self) -> dict[str, NDArray]:
        """Arrays row, umbra (0 penumbra, 1 umbra), entry, exit [ns from the start] and flags, and
        failed_row, failed_at [ns]: where a satellite's propagation failed."""
