"""Ephemerides: states of spacecraft over a span of time."""

from __future__ import annotations

import numpy as np


class Ephemeris:
    """Base of the ephemerides, states of spacecraft at a series of times."""


class StateVectorEphemeris(Ephemeris):
    """Cartesian positions and velocities of m satellites at n instants.

    Attributes:
        time: the n instants, an array-valued ``Time`` (a scalar ``Time`` for n = 1
            when the ephemeris was made for one instant).
        satnos: int64 array of shape (m,): the catalogue number of each row.
        frame: the frame the vectors are expressed in (``TEME``, ``ITRF`` or ``GCRF``
            of ``astrokite.frames.frames``).
        position: float64 array of shape (m, n, 3), metres.
        velocity: float64 array of shape (m, n, 3), metres per second, or None.
        error: int8 array of shape (m, n): 0 for a good sample, else the code of
            the propagator's failure; the position and velocity of a failed
            sample are NaN.
    """

    def __init__(self, time, position, velocity=None, *, frame, satnos=None, error=None):
        position = np.asarray(position, dtype=np.float64)
        if position.ndim != 3 or position.shape[2] != 3:
            raise ValueError(f"position must have shape (satellites, times, 3), not {position.shape}")
        shape = position.shape[:2]
        if velocity is not None:
            velocity = np.asarray(velocity, dtype=np.float64)
            if velocity.shape != position.shape:
                raise ValueError(f"velocity has shape {velocity.shape}, position {position.shape}")
        satnos = np.zeros(shape[0], np.int64) if satnos is None else np.asarray(satnos, dtype=np.int64)
        if satnos.shape != (shape[0],):
            raise ValueError(f"satnos must have shape ({shape[0]},), not {satnos.shape}")
        error = np.zeros(shape, np.int8) if error is None else np.asarray(error, dtype=np.int8)
        if error.shape != shape:
            raise ValueError(f"error must have shape {shape}, not {error.shape}")
        self.time = time
        self.satnos = satnos
        self.frame = frame
        self.position = position
        self.velocity = velocity
        self.error = error

    @property
    def shape(self) -> tuple[int, int]:
        """(satellites, times)."""
        return self.position.shape[:2]

    def __repr__(self) -> str:
        m, n = self.shape
        return f"<StateVectorEphemeris {m} satellites x {n} times in {self.frame.name}>"


class COEEphemeris(Ephemeris):
    """An ephemeris of classical orbital elements."""


class GeoStateEphemeris(Ephemeris):
    """An ephemeris of geodetic states."""
