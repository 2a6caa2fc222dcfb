"""Doppler shifts against the numeric derivative of the range."""

import math

import numpy as np
import pytest
from helpers import SatrecStates, element_sets

from astrokite.frames.frames import GCRF
from astrokite.sites import Site
from astrokite.sites.doppler import SPEED_OF_LIGHT
from astrokite.time.time import Time

PARIS = Site(math.radians(48.8566), math.radians(2.3522), 35.0, name="Paris")


@pytest.fixture(scope="module")
def states():
    pairs = [next((l1, l2) for _, l1, l2 in element_sets(name)) for name in ["iss.tle", "navstar-61.tle"]]
    return SatrecStates(pairs)


def test_range_rate_is_the_derivative_of_the_range_and_the_shift_follows(states):
    counts = Time("2023-01-01T06:00").int64 + np.arange(0, 86400, 97, dtype=np.int64) * 10**9
    h = 50_000_000  # 0.05 s
    frequency = 2.2e9
    got = PARIS.doppler(states.ephemeris(counts).to(GCRF), frequency)
    ranges = [PARIS.look(states.ephemeris(counts + dt))[0]["range"] for dt in (-h, h)]
    numeric = (ranges[1] - ranges[0]) / (2 * h * 1e-9)
    # SGP4's velocities are the theory's own, not exact derivatives of its
    # positions: they differ by up to a centimetre per second.
    np.testing.assert_allclose(got.range_rate, numeric, rtol=0, atol=2e-2)
    # Approaching (range falling) raises the received frequency.
    np.testing.assert_allclose(got.shift, -frequency * numeric / SPEED_OF_LIGHT, rtol=0, atol=0.15)
    np.testing.assert_array_equal(got.received, frequency + got.shift)
    assert (got.shift[got.range_rate < 0] > 0).all() and abs(got.shift[0]).max() > 40e3


def test_bad_frequencies_and_ephemerides_without_velocity(states):
    ephemeris = states.ephemeris(Time("2023-01-01").int64 + np.arange(3, dtype=np.int64))
    for bad in (0.0, -1.0, float("nan")):
        with pytest.raises(ValueError, match="frequency"):
            PARIS.doppler(ephemeris, bad)
    ephemeris.velocity = None
    with pytest.raises(ValueError, match="velocities"):
        PARIS.doppler(ephemeris, 1e9)
