"""SGP4/SDP4 propagation of two-line element sets.

The theory (near-Earth SGP4, deep-space SDP4 with the lunar-solar terms and the
12-hour and 24-hour resonances) runs natively over every element set and time
of a request, on native threads without the interpreter lock; this module
chooses which element set serves which time.
"""

from __future__ import annotations

import numpy as np

from astrokite import eop
from astrokite.frames.frames import ITRF, TEME, Frame
from astrokite.mathtools.ellipsoid.ellipsoid import WGS84
from astrokite.propagators.analytical.sgp4._sgp4 import Table
from astrokite.elements.sources import Satellites, records_by_satellite
from astrokite.propagators.propagators import Propagator
from astrokite.state.ephemeris import StateVectorEphemeris
from astrokite.time.time import Time

__all__ = ["SGP4", "ERRORS"]

# What each non-zero error code means.
ERRORS = {
    1: "mean eccentricity outside [-0.001, 1)",
    2: "mean motion not positive",
    3: "eccentricity outside [0, 1] after the lunar-solar terms",
    4: "semi-latus rectum negative",
    5: "elements below the Earth's surface at epoch (not raised: code 6 covers it)",
    6: "satellite decayed: radius below the Earth's surface",
    7: "time not finite or more than 2e8 minutes (about 380 years) from the epoch, or elements giving no finite state",
}

_SELECT = ("inforce", "nearest", "each")


def _threads(threads) -> int:
    if threads is None:
        return 0  # one per core
    if isinstance(threads, bool) or not isinstance(threads, int | np.integer):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return int(threads)


def _ephemeris(time, position, velocity, frame, satnos, error) -> StateVectorEphemeris:
    """An ephemeris of arrays made here, of the right types and shapes already:
    the checks and conversions of its constructor would cost a small request
    more than its propagation."""
    ephemeris = StateVectorEphemeris.__new__(StateVectorEphemeris)
    ephemeris.time, ephemeris.frame, ephemeris.satnos = time, frame, satnos
    ephemeris.position, ephemeris.velocity, ephemeris.error = position, velocity, error
    return ephemeris


def _instants_after(epoch: int, minutes: np.ndarray) -> Time | None:
    """The instants `minutes` after `epoch` (int64 ns), or None when one of
    them is not finite or lies outside what ``Time`` holds (int64 ns)."""
    with np.errstate(all="ignore"):
        inside = np.abs(epoch + minutes * 60e9) < 9.2e18
    if not inside.all():
        return None
    return Time(epoch + np.round(minutes * 60e9).astype(np.int64))


def _frame_name(frame, names: tuple[str, ...]) -> str:
    name = frame.name if isinstance(frame, Frame) else frame
    if name not in names:
        raise ValueError(f"frame must be one of {', '.join(names)}, not {frame!r}")
    return name


def _serving(epochs: np.ndarray, after, first, stop, instants: np.ndarray, select: str) -> np.ndarray:
    """Position in ``epochs`` of the set serving each instant, given its
    satellite's sets at positions ``first`` to ``stop`` (epoch order) and where
    the instant goes among them (``after``, past equal epochs)."""
    in_force = np.maximum(after - 1, first)
    if select == "inforce":
        return in_force
    following = np.minimum(after, stop - 1)
    # Nearer to the following epoch: take it; otherwise (ties too) the one in force.
    later = np.abs(epochs[following] - instants) < np.abs(instants - epochs[in_force])
    return np.where(later, following, in_force)


class SGP4(Propagator):
    """The SGP4/SDP4 propagator over element sets, giving TEME states.

    Args:
        source: a ``TLE`` (one satellite, one set), an ``ELSET`` (one satellite,
            its history of sets), a ``Catalogue`` (or any mapping of catalogue
            numbers to ``ELSET``s: one satellite each) or a list of ``TLE``s and
            ``ELSET``s (one satellite each).
        gravity: the Earth model the sets were fitted with: "wgs72" (the
            standard), "wgs72old" or "wgs84".
        mode: "improved" (the default, as ``sgp4.api.Satrec.twoline2rv`` uses:
            IAU sidereal time) or "afspc" (the operational code's sidereal time
            and node reduction).

    Each element set is propagated from its epoch exactly as line 1 writes it.
    A sample that fails carries its code in ``error`` (see ``ERRORS``) and NaN
    position and velocity; the other samples are unaffected. ``propagate`` gives
    every satellite at every time (each time served by the set in force then) as
    a TEME ``StateVectorEphemeris``: positions [m], velocities [m/s]. An SGP4
    pickles compactly: the records of its element sets (128 bytes each), from
    which another process builds the same propagator.

    Example:
        >>> import astrokite as ak
        >>> catalogue = ak.read_tle(["data/iss.tle", "data/hubble.tle"])
        >>> sgp4 = ak.SGP4(catalogue)
        >>> sgp4.satnos.tolist()
        [20580, 25544]
        >>> states = sgp4.propagate(ak.Time(["2023-03-01T00:00", "2023-03-01T00:10"]))
        >>> (states.position[:, 0] / 1e3).round(3)  # both satellites at 00:00, km here
        array([[ 5007.693, -3833.609,  2807.498],
               [-4881.795,  -995.56 ,  4608.376]])
        >>> states.error
        array([[0, 0],
               [0, 0]], dtype=int8)
        >>> ak.SGP4(catalogue[25544][0]).propagate_since([0.0, 90.0]).error  # minutes after its epoch
        array([[0, 0]], dtype=int8)
    """

    def __init__(self, source, *, gravity: str = "wgs72", mode: str = "improved"):
        self._build(records_by_satellite(source, "SGP4 source"), gravity, mode)

    @classmethod
    def _from_groups(cls, satellites: Satellites, gravity: str = "wgs72", mode: str = "improved") -> SGP4:
        """The propagator of the records of several satellites (as ``records_by_satellite``
        gives them)."""
        propagator = cls.__new__(cls)
        propagator._build(satellites, gravity, mode)
        return propagator

    def __reduce__(self):
        """Pickles compactly: the records of its element sets (128 bytes each) with the number of
        each satellite, the gravity model and the mode; the native table is built again."""
        return type(self)._from_groups, (self._satellites, self.gravity, self.mode)

    def _build(self, satellites: Satellites, gravity: str, mode: str) -> None:
        self._table = Table([satellites.records], gravity, mode)
        self._satellites = satellites
        self.gravity = gravity
        self.mode = mode
        epochs = self._table.epoch_ns
        counts = satellites.counts
        # Each satellite's sets as table indices in epoch order (equal epochs keep their order),
        # satellite after satellite, with where each satellite's run starts and ends.
        self._run_start = np.zeros(len(counts) + 1, np.int64)
        np.cumsum(counts, out=self._run_start[1:])
        self._flat = np.arange(len(epochs))
        # Sources give each satellite's sets in epoch order as a rule: sort only when they are not.
        later_start = np.diff(epochs) < 0
        later_start[self._run_start[1:-1] - 1] = False
        if later_start.any():
            self._flat = np.lexsort((epochs, np.repeat(np.arange(len(counts)), counts)))
        self._flat_epochs = epochs[self._flat]
        self._epochs = epochs
        self._satno = self._table.satno
        # When every satellite has one set, that set serves all its times.
        self._only_sets = self._flat if len(self._flat) == len(counts) else None
        # Catalogue numbers of the rows: one per satellite, or one per set (select "each").
        self._row_satnos = self._satno[self._flat[self._run_start[:-1]]]
        self._set_satnos = self._satno[self._flat]
        self._decay = None

    @property
    def size(self) -> int:
        """Number of element sets."""
        return self._table.size

    @property
    def satnos(self) -> np.ndarray:
        """Catalogue number of each satellite (int64, one per row of ``propagate``)."""
        return self._row_satnos.copy()

    def __len__(self) -> int:
        """Number of satellites (rows of ``propagate`` with select "inforce" or "nearest")."""
        return len(self._run_start) - 1

    def __repr__(self) -> str:
        from astrokite.utils.quantities import count

        return f"<SGP4 of {count(len(self), 'satellite')}, {count(self.size, 'element set')}, {self.gravity}, {self.mode}>"

    def propagate(
        self, times, *, velocity: bool = True, select: str = "inforce", frame="TEME", threads: int | None = None,
        out: StateVectorEphemeris | None = None,
    ) -> StateVectorEphemeris:
        """States of every satellite at `times`, in TEME or ITRF.

        Args:
            times: a ``Time`` (scalar or array of n instants) or anything ``Time``
                accepts (a list of instants, a datetime64 array, ...).
            velocity: False leaves ``velocity`` None and skips its arrays.
            select: which element set of a satellite serves each time:
                "inforce" the latest epoch at or before it (the first set for
                times before the first epoch), "nearest" the closest epoch
                (the earlier on a tie), "each" every set (one row per element
                set instead of one per satellite).
            frame: ``TEME`` (the theory's frame) or ``ITRF`` (Earth-fixed: the
                same turn about the pole as ``to(ITRF)``, applied while the
                states are made, so no TEME arrays are written). A frame of
                ``astrokite.frames`` or its name.
            threads: native threads to use at most; None uses every core. Small
                requests run on the calling thread whatever this says.
            out: an ephemeris from an earlier call of the same shape and
                ``velocity``, whose arrays are written over instead of new
                ones (repeated calls then need no fresh memory; a call
                interrupted leaves them partly written).

        Returns:
            A ``StateVectorEphemeris`` with ``position`` (m) and ``velocity``
            (m/s) of shape (rows, n, 3), ``error`` (int8, rows x n) and the
            catalogue number of each row in ``satnos``.

        A long propagation stops at Ctrl-C with KeyboardInterrupt.

        Example:
            >>> from astrokite import SGP4, TLE, Time
            >>> iss = SGP4(TLE("1 25544U 98067A   23001.26991367  .00015968  00000-0  28903-3 0  9993",
            ...                "2 25544  51.6448  75.3411 0005204 209.5406 257.0907 15.49811030375904"))
            >>> eph = iss.propagate(Time("2023-01-01T12:00"), frame="ITRF", velocity=False)
            >>> eph.shape, eph.velocity
            ((1, 1), None)
        """
        name = _frame_name(frame, ("TEME", "ITRF"))
        sets, time, instants = self._grid(times, select)
        arrays = None
        if out is not None:
            if not isinstance(out, StateVectorEphemeris):
                raise TypeError(f"out must be a StateVectorEphemeris, not {type(out).__name__}")
            arrays = (out.position, out.velocity, out.error)
        earth = eop.orientation(instants) if name == "ITRF" else None
        position, velocity_array, error = self._table.propagate(
            sets, instants, bool(velocity), _threads(threads), name, 0.0, 0.0, arrays, earth
        )
        satnos = self._set_satnos if select == "each" else self._row_satnos
        return _ephemeris(time, position, velocity_array, ITRF if name == "ITRF" else TEME, satnos.copy(), error)

    def propagate_lla(
        self, times, *, ellipsoid=WGS84, select: str = "inforce", threads: int | None = None, out=None
    ) -> np.ndarray:
        """Geodetic latitude and longitude [rad] and altitude [m] of every
        satellite at `times`, on ``ellipsoid``.

        The same values as ``propagate(times).lla(ellipsoid)``, bit for bit, but
        made a block of samples at a time while the states are in cache: no
        state arrays are written, which saves most of the memory and time of
        a large request. A failed sample gives NaN (its code is in the
        ``error`` of ``propagate``).

        Args:
            times, select, threads: as in ``propagate``.
            ellipsoid: any ``Ellipsoid``, WGS84 by default.
            out: an array from an earlier call of the same shape, written over
                (partly, by a call interrupted).

        Returns:
            An array of ``LLA_dtype`` (fields lat, lon, alt) of shape (rows, n).

        Example:
            >>> from astrokite import SGP4, TLE, Time
            >>> iss = SGP4(TLE("1 25544U 98067A   23001.26991367  .00015968  00000-0  28903-3 0  9993",
            ...                "2 25544  51.6448  75.3411 0005204 209.5406 257.0907 15.49811030375904"))
            >>> lla = iss.propagate_lla(Time(["2023-01-01T12:00", "2023-01-01T12:01"]))
            >>> lla.shape, lla.dtype.names
            ((1, 2), ('lat', 'lon', 'alt'))
            >>> bool(400e3 < lla["alt"][0, 0] < 430e3)
            True
        """
        from astrokite.datamodel.structured import LLA_dtype

        sets, _, instants = self._grid(times, select)
        arrays = None
        if out is not None:
            if not isinstance(out, np.ndarray) or out.dtype != LLA_dtype or not out.flags.c_contiguous:
                raise TypeError("out must be a C-contiguous LLA_dtype array from an earlier propagate_lla")
            rows = len(sets)
            if out.shape != (rows, len(instants)):
                raise ValueError(f"out has shape {out.shape}, these rows and times need {(rows, len(instants))}")
            arrays = (out.view(np.float64).reshape(rows, len(instants), 3), None,
                      np.empty((rows, len(instants)), np.int8))
        lla, _, _ = self._table.propagate(sets, instants, False, _threads(threads), "geodetic",
                                          float(ellipsoid.a), float(ellipsoid.f), arrays, eop.orientation(instants))
        return out if out is not None else lla.view(LLA_dtype)[..., 0]

    def _grid(self, times, select: str):
        """The element set of each (row, time) of a grid request (one per row
        when a row keeps one set), the ``Time`` and its int64 instants."""
        if select not in _SELECT:
            raise ValueError(f"select must be one of {', '.join(map(repr, _SELECT))}, not {select!r}")
        time = times if type(times) is Time else Time(times)
        counts = time.int64
        instants = np.array([counts], np.int64) if type(counts) is int else counts
        if select == "each":
            return self._flat, time, instants
        if self._only_sets is not None:
            return self._only_sets, time, instants
        rows, n = len(self), len(instants)
        order = np.argsort(instants, kind="stable")
        sorted_instants = instants[order]
        sets = np.empty((rows, n), np.int64)
        # A block of satellites at a time, so that the work arrays stay small beside the result.
        block = max(1, 2**20 // max(n, 1))
        for start in range(0, rows, block):
            stop = min(rows, start + block)
            sets[start:stop] = self._serving_block(start, stop, order, sorted_instants, instants, select)
        return sets, time, instants

    def _serving_block(self, start: int, stop: int, order, sorted_instants, instants, select: str) -> np.ndarray:
        """The set serving each instant for the satellites of rows ``start`` to ``stop``."""
        # For each satellite and instant: how many of its sets have an epoch at or before the instant,
        # counted over the instants in order (where each epoch falls among them, accumulated).
        runs = self._run_start[start:stop + 1]
        width = len(instants) + 1
        falls = np.searchsorted(sorted_instants, self._flat_epochs[runs[0]:runs[-1]], side="left")
        row_of_set = np.repeat(np.arange(stop - start), np.diff(runs))
        counted = np.bincount(row_of_set * width + falls, minlength=(stop - start) * width).reshape(-1, width)
        np.cumsum(counted, axis=1, out=counted)
        first, last = runs[:-1, None], runs[1:, None]
        after = np.empty((stop - start, len(instants)), np.int64)
        after[:, order] = first + counted[:, :-1]
        return self._flat[_serving(self._flat_epochs, after, first, last, instants[None, :], select)]

    def propagate_pairs(
        self, rows, times, *, velocity: bool = True, select: str = "inforce", threads: int | None = None
    ) -> tuple[np.ndarray, np.ndarray | None, np.ndarray]:
        """States of k (satellite, time) pairs, in TEME: satellite ``rows[i]`` at
        ``times[i]``, each pair propagated once.

        Where ``propagate`` gives every satellite at every time, this serves
        callers that need scattered samples (a search refining events of many
        satellites at different instants) without propagating the whole grid.
        Each sample equals, bit for bit, the one ``propagate`` gives for the
        same satellite, time and ``select``.

        Args:
            rows: k satellite rows (integers from 0 to ``len(self) - 1``, the
                rows of ``propagate`` and of ``satnos``), in any order, repeats
                allowed.
            times: k instants, a ``Time`` or anything ``Time`` accepts.
            velocity: False gives None for the velocities and skips them.
            select: which element set of a satellite serves its time:
                "inforce" or "nearest", as in ``propagate``.
            threads: native threads to use; None uses every core.

        Returns:
            ``(position, velocity, error)``: position in m and velocity in m/s,
            float64 of shape (k, 3) (velocity None with ``velocity=False``), and
            the int8 error code of each pair (0 for a good sample, else a key of
            ``ERRORS``, with NaN position and velocity).
        """
        if select not in ("inforce", "nearest"):
            raise ValueError(f"select must be 'inforce' or 'nearest' for pairs, not {select!r}")
        count = _threads(threads)
        rows = np.atleast_1d(np.asarray(rows))
        if rows.dtype.kind not in "iu" and rows.size:
            raise TypeError(f"rows must be integers, not {rows.dtype}")
        time = times if isinstance(times, Time) else Time(times)
        instants = np.atleast_1d(np.asarray(time.int64, dtype=np.int64))
        if rows.ndim != 1 or instants.shape != rows.shape:
            raise ValueError(f"rows and times must both be one-dimensional of one length, "
                             f"not of shapes {rows.shape} and {instants.shape}")
        if len(rows) and (rows.min() < 0 or rows.max() >= len(self)):
            raise IndexError(f"rows must lie in [0, {len(self)}), got {rows.min()} to {rows.max()}")
        sets = self._pair_sets(rows.astype(np.int64), instants, select)
        # In order of set and time the native runs fill whole SIMD lanes with one set and carry a resonant
        # set's integration from one time to the next; each sample's value is the same in any order.
        order = np.lexsort((instants, sets))
        position, velocity_array, error = self._table.propagate(
            sets[order][None, :], instants[order], bool(velocity), count
        )
        back = np.empty_like(order)
        back[order] = np.arange(len(order))
        return position[0][back], None if velocity_array is None else velocity_array[0][back], error[0][back]

    def _pair_sets(self, rows: np.ndarray, instants: np.ndarray, select: str = "inforce") -> np.ndarray:
        """The element set (table index) serving satellite ``rows[i]`` at ``instants[i]`` (int64 ns)."""
        first, stop = self._run_start[rows], self._run_start[rows + 1]
        positions = first.copy()
        history = np.flatnonzero(stop - first > 1)
        if len(history):
            after = self._after(first[history], stop[history], instants[history])
            positions[history] = _serving(self._flat_epochs, after, first[history], stop[history],
                                          instants[history], select)
        return self._flat[positions]

    def _decay_ns(self, threads: int = 0) -> np.ndarray:
        """The instant (int64 ns) from which each element set's orbit is certainly gone,
        every later sample failing or meaning nothing (INT64_MAX: never), in table order;
        worked out once."""
        if self._decay is None:
            self._decay = self._table.decay_ns(np.arange(self.size, dtype=np.int64), threads)
        return self._decay

    def _after(self, first: np.ndarray, stop: np.ndarray, instants: np.ndarray) -> np.ndarray:
        """Where each instant would go among its satellite's epochs (the flat
        positions ``first`` to ``stop``), after any equal epoch: a bisection of
        all pairs together, as many rounds as the longest history needs."""
        low, high = first.copy(), stop.copy()
        open_pairs = np.flatnonzero(low < high)
        while len(open_pairs):
            middle = (low[open_pairs] + high[open_pairs]) // 2
            at_or_before = self._flat_epochs[middle] <= instants[open_pairs]
            low[open_pairs[at_or_before]] = middle[at_or_before] + 1
            high[open_pairs[~at_or_before]] = middle[~at_or_before]
            open_pairs = open_pairs[low[open_pairs] < high[open_pairs]]
        return low

    def propagate_since(
        self, minutes, *, velocity: bool = True, threads: int | None = None
    ) -> StateVectorEphemeris:
        """States of every element set at `minutes` after its own epoch, in TEME.

        Args:
            minutes: float or 1-D float array of n offsets from each set's
                epoch, in minutes (the form of the theory's verification data).
                A NaN or infinite offset gives error code 7 at that sample.
            velocity: False leaves ``velocity`` None.
            threads: native threads to use; None uses every core.

        Returns:
            A ``StateVectorEphemeris`` with one row per element set (in source
            order, each satellite's sets by epoch). Its ``time`` holds the
            instants when all sets share one epoch and every offset is finite
            and within the years ``Time`` spans, else None.
        """
        count = _threads(threads)
        offsets = np.atleast_1d(np.asarray(minutes, dtype=np.float64))
        if offsets.ndim != 1:
            raise ValueError(f"minutes must be a scalar or one-dimensional, not of shape {offsets.shape}")
        offsets = np.ascontiguousarray(offsets)
        sets = self._flat
        position, velocity_array, error = self._table.propagate_since(sets, offsets, bool(velocity), count)
        time = None
        epochs = self._epochs[sets]
        if len(epochs) and (epochs == epochs[0]).all():
            time = _instants_after(epochs[0], offsets)
        return _ephemeris(time, position, velocity_array, TEME, self._set_satnos.copy(), error)
