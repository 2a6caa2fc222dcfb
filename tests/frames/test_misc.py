import math

import numpy as np
import pytest

from astrokite.mathtools.misc.misc import atan2_asymmetric

TWO_PI = 2 * math.pi


@pytest.mark.parametrize(
    "y, x, angle",
    [
        (0.0, 1.0, 0.0),
        (1.0, 0.0, math.pi / 2),
        (0.0, -1.0, math.pi),
        (-0.0, -1.0, math.pi),
        (-1.0, 0.0, 3 * math.pi / 2),
        (-1.0, 1.0, 7 * math.pi / 4),
        (1.0, -1.0, 3 * math.pi / 4),
    ],
)
def test_quadrants(y, x, angle):
    assert atan2_asymmetric(y, x) == pytest.approx(angle, abs=1e-15)


@pytest.mark.parametrize("y", [-1e-300, -1e-20, -1e-17, -1e-16, -5e-324])
def test_tiny_negative_angle_stays_below_two_pi(y):
    # atan2 gives a tiny negative angle whose sum with 2 pi rounds to 2 pi.
    angle = atan2_asymmetric(y, 1.0)
    assert 0.0 <= angle < TWO_PI
    assert angle == pytest.approx(TWO_PI, abs=2e-15)


def test_negative_zero_gives_positive_zero():
    assert math.copysign(1.0, atan2_asymmetric(-0.0, 1.0)) == 1.0


def test_range_over_the_circle():
    rng = np.random.default_rng(7)
    points = np.concatenate([rng.normal(size=(2000, 2)), rng.normal(size=(200, 2)) * 1e-300])
    for y, x in points:
        angle = atan2_asymmetric(float(y), float(x))
        assert 0.0 <= angle < TWO_PI
        assert math.cos(angle) * math.hypot(x, y) == pytest.approx(x, rel=1e-12, abs=1e-310)


@pytest.mark.parametrize("y, x", [(math.nan, 1.0), (1.0, math.nan)])
def test_nan_gives_nan(y, x):
    assert math.isnan(atan2_asymmetric(y, x))
