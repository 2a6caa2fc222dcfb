"""Native SGP4/SDP4 propagation of a table of element sets."""

from collections.abc import Buffer

import numpy
import numpy.typing


def kernels() -> list[str]:
    """Names of the SIMD kernels this CPU runs, widest first."""

def kernel() -> str:
    """Name of the SIMD kernel propagation uses."""

def use_kernel(name: str) -> None:
    """Propagate with the named kernel from now on (to compare kernels)."""

class Table:
    """Element sets from their records, initialised when first propagated."""

    def __init__(self, records: list[Buffer], gravity: str, mode: str, threads: int = 0) -> None: ...

    @property
    def size(self) -> int:
        """Number of element sets."""

    @property
    def satno(self, /) -> numpy.typing.NDArray[numpy.int64]:
        """Catalogue number of each set, int64 (-1 where unreadable)."""

    @property
    def epoch_ns(self, /) -> numpy.typing.NDArray[numpy.int64]:
        """Epoch of each set to the nearest nanosecond, int64 since 1970 (UTC)."""

    def decay_ns(self, sets: numpy.ndarray, threads: int) -> numpy.typing.NDArray[numpy.int64]:
        """
        Instant from which each set's orbit is certainly gone (every later sample fails or means
        nothing), int64 ns since 1970 (UTC); INT64_MAX where none comes.
        """

    def propagate_since(self, sets: numpy.ndarray, minutes: numpy.ndarray, velocity: bool, threads: int, out: tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64] | None, numpy.typing.NDArray[numpy.int8]] | None = None) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64] | None, numpy.typing.NDArray[numpy.int8]]:
        """
        States at minutes since each sample's set epoch: (position m, velocity m/s or None, error int8).
        """

    def propagate(self, sets: numpy.ndarray, instants: numpy.ndarray, velocity: bool, threads: int, output: str = 'TEME', a: float = 0.0, f: float = 0.0, out: tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64] | None, numpy.typing.NDArray[numpy.int8]] | None = None, orientation: numpy.typing.NDArray[numpy.float64] | None = None) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64] | None, numpy.typing.NDArray[numpy.int8]]:
        """
        States at instants (int64 ns since 1970, UTC): (position m, velocity m/s or None, error int8);
        Earth-fixed or geodetic results use the Earth orientation (instants, 3) of each instant.
        """
