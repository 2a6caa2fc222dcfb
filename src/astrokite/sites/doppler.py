"""Doppler shift of a radio carrier from a satellite, as a ground site receives it."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

#: The speed of light [m/s].
SPEED_OF_LIGHT = 299_792_458.0


class Doppler(NamedTuple):
    """Per sample, shape (satellites, times): ``range_rate`` [m/s], positive
    when the satellite moves away; ``received`` frequency and ``shift`` (the
    received minus the transmitted frequency) [Hz], positive while it comes
    closer."""

    range_rate: np.ndarray
    received: np.ndarray
    shift: np.ndarray


def doppler(site, ephemeris, frequency: float) -> Doppler:
    """The Doppler shift at ``site`` of a carrier of ``frequency`` [Hz] sent by
    the satellites of a ``StateVectorEphemeris`` (any frame, with velocities).

    The range rate is that of the Earth-fixed states seen from the fixed site.
    ``received = frequency * (1 - range_rate / c)``: first order in v/c, whose
    next terms stay below 1e-9 of the frequency for an Earth satellite (some
    2 Hz at 2 GHz; the light time is not modelled). Failed samples give NaN.

    >>> import astrokite as ak
    >>> site = ak.Site(0.8527, 0.0410, 35.0)                      # doctest: +SKIP
    >>> site.doppler(ephemeris, 437.8e6).shift.max()              # doctest: +SKIP
    10231.6...
    """
    _checked(frequency)
    if ephemeris.velocity is None:
        raise ValueError("the Doppler shift needs an ephemeris with velocities")
    _, range_rate = site.look(ephemeris)
    return of_range_rate(range_rate, frequency)


def _checked(frequency) -> float:
    frequency = float(frequency)
    if not (np.isfinite(frequency) and frequency > 0):
        raise ValueError(f"frequency must be a positive number of Hz, got {frequency!r}")
    return frequency


def of_range_rate(range_rate: np.ndarray, frequency: float) -> Doppler:
    """The ``Doppler`` of a carrier of ``frequency`` [Hz] for range rates [m/s,
    positive away]: ``received = frequency * (1 - range_rate / c)``."""
    frequency = _checked(frequency)
    range_rate = np.asarray(range_rate, np.float64)
    shift = -frequency * range_rate / SPEED_OF_LIGHT
    return Doppler(range_rate, frequency + shift, shift)
