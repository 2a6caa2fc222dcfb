import dataclasses
import math

import pytest

from astrokite.mathtools.ellipsoid.ellipsoid import GRS80, WGS72, WGS84, Ellipsoid


@pytest.mark.parametrize(
    "ellipsoid, a, inverse_f, b",
    [
        # Polar radii as published with each ellipsoid's defining constants.
        (WGS84, 6378137.0, 298.257223563, 6356752.314245),
        (GRS80, 6378137.0, 298.257222101, 6356752.314140),
        (WGS72, 6378135.0, 298.26, 6356750.520016),
    ],
)
def test_defining_and_derived_constants(ellipsoid, a, inverse_f, b):
    assert isinstance(ellipsoid, Ellipsoid)
    assert ellipsoid.a == a
    assert ellipsoid.f == 1 / inverse_f
    assert ellipsoid.b == pytest.approx(b, abs=1e-6)
    # e^2 = (a^2 - b^2) / a^2
    assert ellipsoid.e2 == pytest.approx((a**2 - ellipsoid.b**2) / a**2, rel=1e-12)


def test_wgs84_first_eccentricity_squared():
    assert WGS84.e2 == pytest.approx(6.69437999014e-3, rel=1e-11)


@pytest.mark.parametrize("a, f", [(0.0, 0.003), (-1.0, 0.003), (math.inf, 0.0), (math.nan, 0.0),
                                  (6378137.0, -0.1), (6378137.0, 1.0), (6378137.0, math.nan)])
def test_invalid_constants_are_refused(a, f):
    with pytest.raises(ValueError):
        Ellipsoid(a, f)


def test_constants_cannot_be_changed():
    with pytest.raises(dataclasses.FrozenInstanceError):
        WGS84.a = 1.0
