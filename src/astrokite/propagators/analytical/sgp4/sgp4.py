"""SGP4/SDP4 propagation of two-line element sets.

The theory (near-Earth SGP4, deep-space SDP4 with the lunar-solar terms and the
12-hour and 24-hour resonances) runs natively over every element set and time
of a request, on native threads without the interpreter lock; this module
chooses which element set serves which time.
"""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np

from astrokite.frames.frames import TEME
from astrokite.propagators.analytical.sgp4._sgp4 import Table
from astrokite.propagators.analytical.sgp4.tle import ELSET, TLE
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


def _line_pair(line1: str, line2: str) -> bytes:
    """One 138-byte row: each line's first 69 bytes, blank-filled."""
    return line1.encode()[:69].ljust(69) + line2.encode()[:69].ljust(69)


def _groups(source) -> list[bytes]:
    """The rows of each satellite of a source: a TLE, an ELSET, a mapping of
    catalogue numbers to ELSETs (a Catalogue), or a list of TLEs and ELSETs."""
    if isinstance(source, TLE):
        return [_line_pair(source.line1, source.line2)]
    if isinstance(source, ELSET):
        return [source._lines()]
    if isinstance(source, Mapping):
        items = list(source.values())
        what = "a Catalogue value"
    elif isinstance(source, list | tuple):
        items = list(source)
        what = "a list item"
    else:
        raise TypeError(
            f"SGP4 source must be a TLE, an ELSET, a Catalogue or a list of TLEs and ELSETs, "
            f"not {type(source).__name__}"
        )
    groups = []
    for item in items:
        if isinstance(item, TLE):
            groups.append(_line_pair(item.line1, item.line2))
        elif isinstance(item, ELSET):
            groups.append(item._lines())
        else:
            raise TypeError(f"{what} must be a TLE or an ELSET, not {type(item).__name__}")
    return groups


def _threads(threads) -> int:
    if threads is None:
        return 0  # one per core
    if isinstance(threads, bool) or not isinstance(threads, int | np.integer):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return int(threads)


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
    a TEME ``StateVectorEphemeris``: positions [m], velocities [m/s].

    Example:
        >>> import astrokite as ak
        >>> catalogue = ak.read_tle(["tests/data/iss.tle", "tests/data/hubble.tle"])
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
        groups = _groups(source)
        self._table = Table(b"".join(groups), gravity, mode)
        self.gravity = gravity
        self.mode = mode
        epochs = self._table.epoch_ns
        # Each satellite's sets as table indices in epoch order (equal epochs keep their order).
        self._sets = []
        start = 0
        for rows in groups:
            indices = np.arange(start, start + len(rows) // 138)
            self._sets.append(indices[np.argsort(epochs[indices], kind="stable")])
            start += len(indices)
        self._epochs = epochs
        self._satno = self._table.satno
        # The same sets flattened (satellite after satellite), with where each satellite's run starts and
        # ends, for choosing sets of many (satellite, time) pairs at once.
        self._flat = np.concatenate(self._sets) if self._sets else np.empty(0, np.int64)
        self._flat_epochs = epochs[self._flat]
        self._run_start = np.concatenate([[0], np.cumsum([len(indices) for indices in self._sets])]).astype(np.int64)
        # When every satellite has one set, that set serves all its times.
        self._only_sets = (
            np.array([indices[0] for indices in self._sets], dtype=np.int64)
            if all(len(indices) == 1 for indices in self._sets)
            else None
        )

    @property
    def size(self) -> int:
        """Number of element sets."""
        return self._table.size

    @property
    def satnos(self) -> np.ndarray:
        """Catalogue number of each satellite (int64, one per row of ``propagate``)."""
        return self._satno[self._run_start[:-1]]

    def __len__(self) -> int:
        """Number of satellites (rows of ``propagate`` with select "inforce" or "nearest")."""
        return len(self._sets)

    def __repr__(self) -> str:
        from astrokite.utils.quantities import count

        return f"<SGP4 of {count(len(self._sets), 'satellite')}, {count(self.size, 'element set')}, {self.gravity}, {self.mode}>"

    def propagate(
        self, times, *, velocity: bool = True, select: str = "inforce", threads: int | None = None
    ) -> StateVectorEphemeris:
        """States of every satellite at `times`, in TEME.

        Args:
            times: a ``Time`` (scalar or array of n instants) or anything ``Time``
                accepts (a list of instants, a datetime64 array, ...).
            velocity: False leaves ``velocity`` None and skips its arrays.
            select: which element set of a satellite serves each time:
                "inforce" the latest epoch at or before it (the first set for
                times before the first epoch), "nearest" the closest epoch
                (the earlier on a tie), "each" every set (one row per element
                set instead of one per satellite).
            threads: native threads to use; None uses every core.

        Returns:
            A ``StateVectorEphemeris`` with ``position`` (m) and ``velocity``
            (m/s) of shape (rows, n, 3), ``error`` (int8, rows x n) and the
            catalogue number of each row in ``satnos``.
        """
        if select not in _SELECT:
            raise ValueError(f"select must be one of {', '.join(map(repr, _SELECT))}, not {select!r}")
        count = _threads(threads)
        time = times if isinstance(times, Time) else Time(times)
        instants = np.atleast_1d(np.asarray(time.int64, dtype=np.int64))
        if select == "each":
            sets = self._flat
        elif self._only_sets is not None:
            sets = self._only_sets
        else:
            sets = np.empty((len(self._sets), len(instants)), dtype=np.int64)
            for row, indices in enumerate(self._sets):
                epochs = self._epochs[indices]
                after = np.searchsorted(epochs, instants, side="right")
                sets[row] = indices[_serving(epochs, after, 0, len(indices), instants, select)]
        position, velocity_array, error = self._table.propagate(
            np.ascontiguousarray(sets), instants, bool(velocity), count
        )
        satnos = self._satno[sets if sets.ndim == 1 else sets[:, 0]] if len(sets) else np.empty(0, np.int64)
        return StateVectorEphemeris(time, position, velocity_array, frame=TEME, satnos=satnos, error=error)

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
        if len(rows) and (rows.min() < 0 or rows.max() >= len(self._sets)):
            raise IndexError(f"rows must lie in [0, {len(self._sets)}), got {rows.min()} to {rows.max()}")
        rows = rows.astype(np.int64)
        first, stop = self._run_start[rows], self._run_start[rows + 1]
        positions = first.copy()
        history = np.flatnonzero(stop - first > 1)
        if len(history):
            after = self._after(first[history], stop[history], instants[history])
            positions[history] = _serving(self._flat_epochs, after, first[history], stop[history],
                                          instants[history], select)
        sets = self._flat[positions]
        # In order of set and time the native runs fill whole SIMD lanes with one set and carry a resonant
        # set's integration from one time to the next; each sample's value is the same in any order.
        order = np.lexsort((instants, sets))
        position, velocity_array, error = self._table.propagate(
            sets[order][None, :], instants[order], bool(velocity), count
        )
        back = np.empty_like(order)
        back[order] = np.arange(len(order))
        return position[0][back], None if velocity_array is None else velocity_array[0][back], error[0][back]

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
            instants when all sets share one epoch, else None.
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
        if len(epochs) and (epochs == epochs[0]).all() and np.isfinite(offsets).all():
            time = Time(epochs[0] + np.round(offsets * 60e9).astype(np.int64))
        return StateVectorEphemeris(
            time, position, velocity_array, frame=TEME, satnos=self._satno[sets], error=error
        )
