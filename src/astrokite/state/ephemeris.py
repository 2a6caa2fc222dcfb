"""Ephemerides: states of spacecraft over a span of time."""

from __future__ import annotations

import numpy as np

from astrokite.mathtools.ellipsoid.ellipsoid import WGS84


def _frame(value):
    """The frame TEME, ITRF or GCRF that ``value`` is or names (any case); ValueError for another."""
    from astrokite.frames import frames

    known = {"TEME": frames.TEME, "ITRF": frames.ITRF, "GCRF": frames.GCRF}
    if isinstance(value, str) and value.upper() in known:
        return known[value.upper()]
    if isinstance(value, frames.Frame) and value.name in known:
        return value
    raise ValueError(f"frames are TEME, ITRF or GCRF (or their names), not {value!r}")


class Ephemeris:
    """Base of the ephemerides, states of spacecraft at a series of times."""


class StateVectorEphemeris(Ephemeris):
    """Cartesian positions and velocities of m satellites at n instants.

    Attributes:
        time: the n instants, an array-valued ``Time`` (a scalar ``Time`` for n = 1
            when the ephemeris was made for one instant).
        satnos: int64 array of shape (m,): the catalogue number of each row.
        frame: the frame the vectors are expressed in (``TEME``, ``ITRF`` or ``GCRF``
            of ``astrokite.frames.frames``; given as a name, the frame it names).
        position: float64 array of shape (m, n, 3), metres.
        velocity: float64 array of shape (m, n, 3), metres per second, or None.
        error: int8 array of shape (m, n): 0 for a good sample, else the code of
            the propagator's failure; the position and velocity of a failed
            sample are NaN.

    ``to(frame)`` gives the states in another frame, ``lla()`` geodetic latitude,
    longitude [rad] and altitude [m]; ``SGP4.propagate`` makes them in TEME.
    An ephemeris pickles with its arrays, its frame as the frame itself.

    Example:
        >>> import astrokite as ak
        >>> iss = ak.read_tle("data/iss.tle")[25544]
        >>> states = ak.SGP4(iss).propagate(ak.Time(["2023-03-01T00:00", "2023-03-01T00:10"]))
        >>> states.shape, states.frame is ak.TEME, states.satnos
        ((1, 2), True, array([25544]))
        >>> (states.position[0] / 1e3).round(3)  # km here
        array([[-4881.795,  -995.56 ,  4608.376],
               [-1572.697, -3994.553,  5257.096]])
        >>> (states.velocity[0, 0]).round(3)  # m/s
        array([ 4022.11 , -5796.279,  3003.08 ])
        >>> ak.StateVectorEphemeris(ak.Time(["2023-03-01"]), [[[7e6, 0.0, 0.0]]], frame=ak.GCRF).shape
        (1, 1)
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
        self.frame = _frame(frame) if isinstance(frame, str) else frame
        self.position = position
        self.velocity = velocity
        self.error = error

    @property
    def shape(self) -> tuple[int, int]:
        """(satellites, times)."""
        return self.position.shape[:2]

    def __repr__(self) -> str:
        from astrokite.utils.quantities import count

        m, n = self.shape
        return f"<StateVectorEphemeris {count(m, 'satellite')} x {count(n, 'time')} in {self.frame.name}>"

    def _repr_html_(self) -> str:
        from astrokite.utils.html import render

        return render(self)

    def _counts(self) -> np.ndarray:
        """The n instants as int64 nanoseconds since 1970 (UTC)."""
        return np.atleast_1d(np.asarray(self.time.int64, dtype=np.int64))

    def to(self, frame) -> StateVectorEphemeris:
        """The same states in ``frame`` (``TEME``, ``ITRF`` or ``GCRF``, or its name
        in any case: ``eph.to("itrf")``).

        TEME and ITRF differ by a turn about the pole by the Greenwich mean
        sidereal time of the IAU 1982 model at UT1, then polar motion; ITRF and
        GCRF by ``rot_GCRF_from_ITRF`` (IAU 2006/2000A). Both take UT1 - UTC and
        the pole from the Earth orientation table in force (``astrokite.eop``).
        Velocities carry the Earth's rotation. Failed samples stay NaN.
        """
        from astrokite import eop
        from astrokite.frames import transforms
        from astrokite.frames.rotations import rot_GCRF_from_ITRF

        _frame(self.frame)
        frame = _frame(frame)
        if frame.name == self.frame.name:
            return self
        position, velocity = np.ascontiguousarray(self.position), self.velocity
        if velocity is not None:
            velocity = np.ascontiguousarray(velocity)
        counts = self._counts()
        orientation = eop.orientation(counts) if "TEME" in (self.frame.name, frame.name) else None
        rotations = None
        if "GCRF" in (self.frame.name, frame.name):
            rotations = np.ascontiguousarray(rot_GCRF_from_ITRF(self.time).reshape(-1, 3, 3))
        if self.frame.name == "TEME":
            position, velocity = transforms.teme_itrf(counts, position, velocity, True, orientation)
        elif self.frame.name == "GCRF":
            position, velocity = transforms.itrf_gcrf(rotations, position, velocity, False)
        if frame.name == "TEME":
            position, velocity = transforms.teme_itrf(counts, position, velocity, False, orientation)
        elif frame.name == "GCRF":
            position, velocity = transforms.itrf_gcrf(rotations, position, velocity, True)
        return StateVectorEphemeris(self.time, position, velocity, frame=frame, satnos=self.satnos.copy(),
                                    error=self.error.copy())

    def lla(self, ellipsoid=WGS84) -> np.ndarray:
        """Geodetic latitude and longitude [rad] and altitude [m] on ``ellipsoid``.

        An array of ``LLA_dtype`` of shape (satellites, times); ``ellipsoid`` is
        any ``Ellipsoid``, WGS84 by default. Failed samples give NaN.
        """
        from astrokite import eop
        from astrokite.datamodel.structured import LLA_dtype
        from astrokite.frames import frames
        from astrokite.frames import transforms
        if self.frame.name == "TEME":  # one pass: the turn about the pole is fused in
            counts = self._counts()
            lla = transforms.geodetic(np.ascontiguousarray(self.position), ellipsoid.a, ellipsoid.f, counts,
                                      eop.orientation(counts))
        else:
            itrf = self.to(frames.ITRF).position
            lla = transforms.geodetic(np.ascontiguousarray(itrf), ellipsoid.a, ellipsoid.f)
        return lla.view(LLA_dtype)[..., 0]

    def to_pandas(self):
        """A long table: one row per satellite and time, with ``satno``, ``time``
        (UTC), ``x``, ``y``, ``z`` [m], ``vx``, ``vy``, ``vz`` [m/s] when known,
        and ``error``."""
        import pandas as pd

        m, n = self.shape
        columns = {
            "satno": np.repeat(self.satnos, n),
            "time": np.tile(self._counts().astype("datetime64[ns]"), m),
        }
        for axis, name in enumerate("xyz"):
            columns[name] = self.position[:, :, axis].reshape(-1)
        if self.velocity is not None:
            for axis, name in enumerate("xyz"):
                columns["v" + name] = self.velocity[:, :, axis].reshape(-1)
        columns["error"] = self.error.reshape(-1)
        return pd.DataFrame(columns)


class COEEphemeris(Ephemeris):
    """An ephemeris of classical orbital elements."""


class GeoStateEphemeris(Ephemeris):
    """An ephemeris of geodetic states."""
