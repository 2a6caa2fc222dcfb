"""Pass search over a site, driven in rounds of batched propagation, or run whole over SGP4 element sets."""

import numpy as np
from numpy.typing import NDArray

class PassSearch:
    """The search for passes of `satellites` over a site (Earth-fixed position [m] and up axis)
    between `start` and `start + span` (ns), TEME turned Earth-fixed with the Earth orientation
    columns `earth` (an EOPTable's, None for UT1 = UTC and no polar motion). Call begin() with
    TEME states on a grid, then requests() / supply() until requests() is empty, then passes()."""

    def __init__(self, position: NDArray[np.float64], up: NDArray[np.float64], sin_min_elevation: float,
                 satellites: int, start: int, span: int, earth: tuple[NDArray[np.float64], ...] | None) -> None: ...
    def begin(self, offsets: NDArray[np.int64], position: NDArray[np.float64], velocity: NDArray[np.float64],
              valid: NDArray[np.uint8]) -> None:
        """TEME states (satellites, times, 3) at the grid offsets [ns from the start]."""
    def requests(self) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
        """(rows, times [ns]) wanted next; empty when the search is done."""
    def supply(self, position: NDArray[np.float64], velocity: NDArray[np.float64], valid: NDArray[np.uint8]) -> None:
        """TEME states (k, 3) at the last requests, in their order."""
    def passes(self) -> dict[str, NDArray]:
        """Arrays row, rise, culmination, set [ns], max_elevation [rad] and flags, one entry per pass."""

def pieces(start: int, stop: int, step: int) -> list[tuple[int, NDArray[np.int64]]]:
    """The pieces a window [start, stop] on a grid of `step` (ns) is searched in: (start, grid offsets)."""

def join_pieces(row: NDArray[np.int64], rise: NDArray[np.int64], culmination: NDArray[np.int64],
                set: NDArray[np.int64], max_elevation: NDArray[np.float64], flags: NDArray[np.uint8],
                stop: int) -> dict[str, NDArray]:
    """The passes of every piece of a window ending at `stop`, joined across the cuts."""

def sgp4_passes(rows: bytes, sets_per_satellite: NDArray[np.int64], position: NDArray[np.float64],
                up: NDArray[np.float64], sin_min_elevation: float, start: int, stop: int, step: int,
                threads: int, earth: tuple[NDArray[np.float64], ...] | None) -> dict[str, NDArray]:
    """Every pass of element sets (line pairs, satellite after satellite) through SGP4, searched
    over `threads` threads (0: every core) with the Earth orientation columns `earth`; the pass
    columns and each satellite's satno."""
