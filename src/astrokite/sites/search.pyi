"""Pass search over a site, driven in rounds of batched propagation."""

import numpy as np
from numpy.typing import NDArray

class PassSearch:
    """The search for passes of `satellites` over a site (Earth-fixed position [m] and up axis)
    between `start` and `start + span` (ns). Call begin() with TEME states on a grid, then
    requests() / supply() until requests() is empty, then passes()."""

    def __init__(self, position: NDArray[np.float64], up: NDArray[np.float64], sin_min_elevation: float,
                 satellites: int, start: int, span: int) -> None: ...
    def begin(self, offsets: NDArray[np.int64], position: NDArray[np.float64], velocity: NDArray[np.float64],
              valid: NDArray[np.uint8], orientation: NDArray[np.float64]) -> None:
        """TEME states (satellites, times, 3) at the grid offsets [ns from the start], with the Earth
        orientation (times, 3) of each time (UT1 - UTC [s], xp, yp [rad])."""
    def requests(self) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
        """(rows, times [ns]) wanted next; empty when the search is done."""
    def supply(self, position: NDArray[np.float64], velocity: NDArray[np.float64], valid: NDArray[np.uint8],
               orientation: NDArray[np.float64]) -> None:
        """TEME states (k, 3) at the last requests, in their order, with their Earth orientation (k, 3)."""
    def passes(self) -> dict[str, NDArray]:
        """Arrays row, rise, culmination, set [ns], max_elevation [rad] and flags, one entry per pass."""
