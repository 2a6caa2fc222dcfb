import math
from fractions import Fraction

import numpy as np
import pytest

from astrokite.state import coe

TWO_PI = 2 * math.pi
c_eca_from_mea = coe.c_eca_from_mea


def solve_all(mean_anomalies, eccentricity):
    return np.array([c_eca_from_mea(float(m), eccentricity) for m in mean_anomalies])


def residual_in_ulps(eca, mea, ecc):
    """|E - e sin E - M| in extended precision, in ulps of max(1, |M|)."""
    eca_l, mea_l = eca.astype(np.longdouble), mea.astype(np.longdouble)
    residual = np.abs(eca_l - np.longdouble(ecc) * np.sin(eca_l) - mea_l)
    return residual / np.spacing(np.maximum(1.0, np.abs(mea)))


MEAN_ANOMALIES = np.concatenate([
    np.linspace(0.0, TWO_PI, 3001, endpoint=False),
    [0.0, 5e-324, 1e-300, 1e-15, 1e-9, 1e-6, 1e-3,
     math.pi, math.nextafter(math.pi, 0), math.nextafter(math.pi, 4),
     math.nextafter(TWO_PI, 0), TWO_PI - 1e-12, TWO_PI - 1e-6],
])
ECCENTRICITIES = np.concatenate([
    np.linspace(0.0, 0.9999999, 41),
    [1e-300, 1e-12, 0.5, 0.9, 0.99, 0.999, 0.9999, 0.99999, 0.999999, 0.9999999],
])


@pytest.mark.parametrize("ecc", ECCENTRICITIES)
def test_residual_within_a_few_ulp_and_same_revolution(ecc):
    eca = solve_all(MEAN_ANOMALIES, float(ecc))
    assert residual_in_ulps(eca, MEAN_ANOMALIES, ecc).max() <= 4
    assert np.all((eca >= 0) & (eca < TWO_PI))


@pytest.mark.parametrize("ecc", [0.1, 0.7, 0.9999999])
def test_other_revolutions_are_not_reduced(ecc):
    mea = np.concatenate([np.linspace(-40.0, 40.0, 2001), [1e6, -1e6, 1e15]])
    eca = solve_all(mea, ecc)
    assert residual_in_ulps(eca, mea, ecc).max() <= 4
    # Kepler's equation maps each turn [2k pi, 2(k+1) pi] onto itself.
    inner = np.abs(mea) < 1e6
    assert np.array_equal(np.floor(eca[inner] / TWO_PI), np.floor(mea[inner] / TWO_PI))


def test_increasing_in_mean_anomaly():
    mea = np.linspace(-7.0, 7.0, 20001)
    for ecc in (0.3, 0.9999999):
        assert np.all(np.diff(solve_all(mea, ecc)) >= 0)


def exact_sin(x: Fraction, terms: int = 40) -> Fraction:
    total, term = Fraction(0), x
    for k in range(terms):
        total += term
        term = -term * x * x / ((2 * k + 2) * (2 * k + 3))
    return total


@pytest.mark.parametrize("ecc", [0.3, 0.9, 0.9999999, 0.9999999999])
@pytest.mark.parametrize("mea", [1e-12, 1e-9, 1e-6, 1e-3, 0.1, 1.0, 3.0])
def test_eccentric_anomaly_within_two_ulp(ecc, mea):
    # The root error is the exact residual over the slope 1 - e cos E. Near
    # M = 0 with e close to 1 the slope is tiny, so this is far stricter than
    # the residual test there.
    eca = c_eca_from_mea(mea, ecc)
    exact_residual = Fraction(eca) - Fraction(ecc) * exact_sin(Fraction(eca)) - Fraction(mea)
    slope = (1 - ecc) + 2 * ecc * math.sin(eca / 2) ** 2
    assert abs(float(exact_residual) / slope) <= 2 * math.ulp(eca)


def test_whole_turns_are_taken_off_and_put_back_rounded_once():
    # 2 pi as hi + lo; each shift by whole turns is one fused multiply-add,
    # whether the solver uses fma or, for one turn, plain sums.
    hi, lo = 6.283185307179586, 2.4492935982947064e-16
    rng = np.random.default_rng(11)
    for mea, ecc in zip(rng.uniform(-20.0, 20.0, 3000), rng.uniform(0.0, 0.99, 3000)):
        mea, ecc = float(mea), float(ecc)
        turns = round(mea / hi)
        reduced = math.fma(-turns, lo, math.fma(-turns, hi, mea))
        expected = math.fma(turns, hi, math.fma(turns, lo, c_eca_from_mea(reduced, ecc)))
        assert c_eca_from_mea(mea, ecc) == expected, (mea, ecc)


@pytest.mark.parametrize("mea", [0.0, -0.0, 1e-300, 1.0, math.pi, 5.5, -3.0, 1e9])
def test_circular_orbit_gives_mean_anomaly_exactly(mea):
    assert c_eca_from_mea(mea, 0.0) == mea


@pytest.mark.parametrize(
    "mea, ecc",
    [
        (1.0, 1.0), (1.0, 1.5), (1.0, -1e-300), (1.0, -0.1),
        (1.0, math.nan), (1.0, math.inf), (math.nan, 0.1),
        (math.inf, 0.1), (-math.inf, 0.5), (math.nan, 0.0),
    ],
)
def test_outside_the_domain_gives_nan(mea, ecc):
    assert math.isnan(c_eca_from_mea(mea, ecc))


def test_accepts_numbers_that_convert_to_float():
    assert c_eca_from_mea(np.float64(1.0), 0) == 1.0
    assert c_eca_from_mea(2, np.float32(0.5)) == c_eca_from_mea(2.0, 0.5)
    with pytest.raises(TypeError):
        c_eca_from_mea("1.0", 0.1)
