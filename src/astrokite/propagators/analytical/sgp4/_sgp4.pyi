"""Native SGP4/SDP4 propagation of a table of element sets."""

import numpy

def kernels() -> list[str]:
    """Names of the SIMD kernels this CPU runs, widest first."""

def kernel() -> str:
    """Name of the SIMD kernel propagation uses."""

def use_kernel(name: str) -> None:
    """Propagate with the named kernel from now on (to compare kernels)."""

class Table:
    """Element sets, read from rows of two 69-byte lines, initialised when first propagated."""

    def __init__(self, rows: list[bytes], gravity: str, mode: str, threads: int = 0) -> None:
        """Read the rows (138 bytes each, in pieces of whole rows) on up to ``threads`` threads (0: every core)."""
    @property
    def size(self) -> int:
        """Number of element sets."""
    @property
    def satno(self) -> numpy.ndarray:
        """Catalogue number of each set, int64 (-1 where unreadable)."""
    @property
    def epoch_ns(self) -> numpy.ndarray:
        """Epoch of each set to the nearest nanosecond, int64 since 1970 (UTC)."""
    def propagate_since(
        self,
        sets: numpy.ndarray,
        minutes: numpy.ndarray,
        velocity: bool,
        threads: int,
        out: tuple[numpy.ndarray, numpy.ndarray | None, numpy.ndarray] | None = None,
    ) -> tuple[numpy.ndarray, numpy.ndarray | None, numpy.ndarray]:
        """States at minutes since each sample's set epoch: (position m, velocity m/s or None, error int8).

        ``sets`` (int64 table indices) is one set per row, shape (rows,), or one
        per sample, shape (rows, times); the results have shape (rows, times, 3)
        and (rows, times), written into ``out`` when given. ``threads`` is the
        most to use (0: every core); small requests run on the calling thread.
        KeyboardInterrupt (or another signal's exception) stops a long run.
        """
    def propagate(
        self,
        sets: numpy.ndarray,
        instants: numpy.ndarray,
        velocity: bool,
        threads: int,
        output: str = "TEME",
        a: float = 0.0,
        f: float = 0.0,
        out: tuple[numpy.ndarray, numpy.ndarray | None, numpy.ndarray] | None = None,
        orientation: numpy.ndarray | None = None,
    ) -> tuple[numpy.ndarray, numpy.ndarray | None, numpy.ndarray]:
        """States at instants (int64 ns since 1970, UTC): (position m, velocity m/s or None, error int8).

        ``sets``, ``threads`` and ``out`` as in ``propagate_since``. ``output``
        "TEME", "ITRF" (Earth-fixed states), or "geodetic": latitude,
        longitude [rad] and height [m] on the ellipsoid (``a`` m, ``f``) in
        place of the position, without velocity. Earth-fixed and geodetic
        results turn TEME with the Earth orientation ``orientation``
        (instants, 3: UT1 - UTC [s], xp, yp [rad]); None: UT1 = UTC and no
        polar motion.
        """
