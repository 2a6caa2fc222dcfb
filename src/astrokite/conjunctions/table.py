"""The result of a screen: one row per close approach, and collision probabilities."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from astrokite.time.time import Time

__all__ = ["ConjunctionTable", "Conjunction"]

# Standard deviations (m) of each object's position radially, in-track and
# across track: the fixed shape public screening services assume for element sets.
DEFAULT_SIGMA = (100.0, 300.0, 100.0)


class Conjunction(NamedTuple):
    """One close approach (a row of a ``ConjunctionTable``)."""

    primary: int
    secondary: int
    tca: Time
    miss_distance: float
    relative_speed: float
    radial: float
    in_track: float
    cross_track: float
    at_start: bool
    at_stop: bool


def _ric(position: np.ndarray, velocity: np.ndarray) -> np.ndarray:
    """Unit radial, in-track and cross-track axes of each object, (rows, 3, 3)."""
    radial = position / np.linalg.norm(position, axis=1, keepdims=True)
    cross = np.cross(position, velocity)
    cross /= np.linalg.norm(cross, axis=1, keepdims=True)
    return np.stack([radial, np.cross(cross, radial), cross], axis=1)


class ConjunctionTable:
    """Close approaches, one row each in order of time of closest approach.

    Columns (NumPy arrays, one value per row): ``primary`` and ``secondary``
    (catalogue numbers), ``tca`` (an array ``Time``), ``miss_distance`` (m),
    ``relative_speed`` (m/s), the miss vector of the secondary from the primary
    along the primary's ``radial``, ``in_track`` and ``cross_track`` axes (m),
    ``at_start`` and ``at_stop`` (the minimum lies at the window's edge), and
    ``relative_position`` (m) and ``relative_velocity`` (m/s) of the secondary
    from the primary in TEME, shape (rows, 3).

    ``failed`` lists the satellites that could not be propagated over the
    window (decay, an element set the theory rejects), with the first instant
    without a state: their pairs are screened up to it, and approaches before
    it are found; a pair still closing when the object fails has no minimum and
    no row. An object whose orbit decayed before the window is listed from its
    decay (code 6), the first instant after its set's epoch at which the orbit
    is certainly gone. A table pickles with its columns as arrays.

    >>> table = ak.screen(catalogue, "2024-03-01", "2024-03-02")   # doctest: +SKIP
    >>> for row in table:                                           # doctest: +SKIP
    ...     print(row.primary, row.secondary, row.tca, row.miss_distance)
    """

    def __init__(self, *, primary, secondary, tca, primary_position, primary_velocity, relative_position,
                 relative_velocity, at_start, at_stop, failed):
        self.primary = np.asarray(primary, np.int64)
        self.secondary = np.asarray(secondary, np.int64)
        self.tca = Time(np.asarray(tca, np.int64))
        self._primary_position = np.asarray(primary_position, np.float64).reshape(-1, 3)
        self._primary_velocity = np.asarray(primary_velocity, np.float64).reshape(-1, 3)
        self.relative_position = np.asarray(relative_position, np.float64).reshape(-1, 3)
        self.relative_velocity = np.asarray(relative_velocity, np.float64).reshape(-1, 3)
        self.miss_distance = np.linalg.norm(self.relative_position, axis=1)
        self.relative_speed = np.linalg.norm(self.relative_velocity, axis=1)
        ric = np.einsum("nij,nj->ni", _ric(self._primary_position, self._primary_velocity), self.relative_position)
        self.radial, self.in_track, self.cross_track = ric.T.copy() if len(ric) else (np.empty(0),) * 3
        self.at_start = np.asarray(at_start, bool)
        self.at_stop = np.asarray(at_stop, bool)
        satnos, when, codes = failed
        self._failed = (np.asarray(satnos, np.int64), np.asarray(when, np.int64), np.asarray(codes, np.int8))

    def __len__(self) -> int:
        return len(self.primary)

    def __iter__(self):
        tca = self.tca.int64
        for n in range(len(self)):
            yield Conjunction(int(self.primary[n]), int(self.secondary[n]), Time(int(tca[n])),
                              float(self.miss_distance[n]), float(self.relative_speed[n]), float(self.radial[n]),
                              float(self.in_track[n]), float(self.cross_track[n]), bool(self.at_start[n]),
                              bool(self.at_stop[n]))

    def __repr__(self) -> str:
        from astrokite.utils.quantities import count

        pairs = len({(int(p), int(s)) for p, s in zip(self.primary, self.secondary)})
        return (f"<ConjunctionTable {count(len(self), 'approach', 'approaches')} of {count(pairs, 'pair')}, "
                f"{len(self._failed[0])} failed>")

    def _repr_html_(self) -> str:
        from astrokite.utils.html import render

        return render(self)

    @property
    def failed(self):
        """The satellites that failed to propagate: a DataFrame with ``satno``,
        ``time`` (the first instant without a state, to 1 ms: the last instant
        with one lies at most 1 ms before; the window's start when the
        satellite has none there), ``error`` (SGP4's code at ``time``) and
        ``reason``."""
        import pandas as pd

        from astrokite.propagators.analytical.sgp4.sgp4 import ERRORS

        satnos, when, codes = self._failed
        return pd.DataFrame({
            "satno": satnos,
            "time": pd.to_datetime(when, unit="ns", utc=True),
            "error": codes,
            "reason": [ERRORS.get(int(c), "unknown") for c in codes],
        })

    def to_pandas(self):
        """A DataFrame of the columns; ``tca`` as UTC datetime64[ns], the TEME
        relative state as ``relative_x`` ... ``relative_vz``."""
        import pandas as pd

        frame = pd.DataFrame({
            "primary": self.primary,
            "secondary": self.secondary,
            "tca": pd.to_datetime(np.asarray(self.tca.int64, np.int64), unit="ns", utc=True),
            "miss_distance": self.miss_distance,
            "relative_speed": self.relative_speed,
            "radial": self.radial,
            "in_track": self.in_track,
            "cross_track": self.cross_track,
            "at_start": self.at_start,
            "at_stop": self.at_stop,
        })
        for axis, name in enumerate("xyz"):
            frame[f"relative_{name}"] = self.relative_position[:, axis]
        for axis, name in enumerate("xyz"):
            frame[f"relative_v{name}"] = self.relative_velocity[:, axis]
        return frame

    def _sigma(self, sigma) -> np.ndarray:
        values = np.asarray(sigma, np.float64)
        if values.shape == (3,):
            values = np.broadcast_to(values, (len(self), 2, 3))
        elif values.shape == (2, 3):
            values = np.broadcast_to(values, (len(self), 2, 3))
        elif values.shape != (len(self), 2, 3):
            raise ValueError(f"sigma must have shape (3,), (2, 3) or ({len(self)}, 2, 3), not {values.shape}")
        if not (np.isfinite(values).all() and (values > 0).all()):
            raise ValueError("sigma must hold positive finite standard deviations (m)")
        return np.ascontiguousarray(values)

    def _probability(self, hard_body_radius, sigma, maximum: bool) -> np.ndarray:
        from astrokite.conjunctions._screen import probability

        if isinstance(hard_body_radius, bool) or not isinstance(hard_body_radius, int | float | np.integer |
                                                                np.floating):
            raise TypeError(f"hard_body_radius must be a number of metres, not {type(hard_body_radius).__name__}")
        if not (np.isfinite(hard_body_radius) and hard_body_radius > 0):
            raise ValueError(f"hard_body_radius must be positive and finite, not {hard_body_radius!r}")
        return probability(self._primary_position, self._primary_velocity, self.relative_position,
                           self.relative_velocity, self._sigma(sigma), float(hard_body_radius), maximum)

    def probability(self, hard_body_radius: float, sigma=DEFAULT_SIGMA) -> np.ndarray:
        """Probability of collision of each approach (short-encounter model).

        Each object's position error is Gaussian with standard deviations
        ``sigma`` (m) along its own radial, in-track and cross-track axes: three
        values for both objects, a (2, 3) array for primary and secondary, or a
        (rows, 2, 3) array per approach. The combined covariance is projected
        onto the plane normal to the relative velocity, and its mass over the
        disc of ``hard_body_radius`` (m, the two objects' radii together)
        around the miss vector is the probability. Element sets carry no
        covariance: the default is a fixed shape, not a measured one.

        >>> table.probability(20.0)                          # doctest: +SKIP
        array([3.1e-06, ...])
        """
        return self._probability(hard_body_radius, sigma, False)

    def max_probability(self, hard_body_radius: float, sigma=DEFAULT_SIGMA) -> np.ndarray:
        """The largest probability of each approach over every scaling of the
        covariance (its shape from ``sigma``, as in ``probability``): the worst
        case when the size of the errors is unknown."""
        return self._probability(hard_body_radius, sigma, True)
