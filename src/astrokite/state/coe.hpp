// Classical orbital elements: closed-form conversions between them and the
// solution of Kepler's equation. Plain functions of doubles, SI units (rad, m,
// s); nothing here raises, allocates or keeps state.
#pragma once

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>

#include "astrokite/mathtools/misc/misc.hpp"

namespace astrokite::coe {

// Semi-major axis [m] from mean motion n [rad/s]: a = cbrt(GM / n^2).
inline double c_sma_from_mnm(double mnm, double gm) { return std::cbrt((gm / mnm) / mnm); }

// Orbital period [s] from semi-major axis a [m]: T = 2 pi sqrt(a^3 / GM).
inline double c_orp_from_sma(double sma, double gm) {
    return (6.283185307179586 * sma) * std::sqrt(sma / gm);
}

// True anomaly [rad], in [0, 2 pi), from eccentric anomaly E [rad].
inline double c_tra_from_eca(double eca, double ecc) {
    return misc::atan2_asymmetric(std::sqrt(-ecc * ecc + 1.0) * std::sin(eca), std::cos(eca) - ecc);
}

// Perigee and apogee altitudes [m] above the reference radius Re [m].
inline double c_pge_from_sma_ecc(double sma, double ecc, double re) { return sma * (1.0 - ecc) - re; }
inline double c_apg_from_sma_ecc(double sma, double ecc, double re) { return sma * (1.0 + ecc) - re; }

namespace detail {

// 2 pi as an unevaluated sum hi + lo, for reducing large angles accurately.
inline constexpr double two_pi_hi = 6.283185307179586;
inline constexpr double two_pi_lo = 2.4492935982947064e-16;

// turns * part + x, rounded once. For one turn either way (a mean anomaly
// between pi and 3 pi in magnitude, as most are) the product is exact, so the
// plain sum rounds the same; fma is a library call on baseline x86-64.
inline double add_turns(double turns, double part, double x) {
    if (std::fabs(turns) == 1.0)
        return turns * part + x;
    return std::fma(turns, part, x);
}

// E - sin E without cancellation for |E| < 1: the Taylor series from E^3/3!
// on, nested, truncated where the next term is below 2^-62 of the sum.
inline double e_minus_sin_e_small(double eca) {
    const double e2 = eca * eca;
    double series = 1.0;
    for (double denominator : {342.0, 272.0, 210.0, 156.0, 110.0, 72.0, 42.0, 20.0})
        series = 1.0 - e2 / denominator * series;
    return eca * e2 / 6.0 * series;
}

// Kepler's function E - e sin E - M and its derivative 1 - e cos E at E.
// Near E = 0 with e close to 1 both are tiny differences of numbers close to
// each other; written as (1 - e) E + e (E - sin E) and (1 - e) + 2 e
// sin^2(E/2) they keep full relative accuracy there (1 - e is exact for
// e >= 1/2). Away from 0, sin E and cos E sit side by side so that the
// compiler makes them one sincos call, with the same values.
struct KeplerPoint {
    double residual, slope;
};

inline KeplerPoint kepler_at(double eca, double mea, double ecc) {
    if (std::fabs(eca) < 1.0) {
        const double half_sin = std::sin(0.5 * eca);
        const double slope = (1.0 - ecc) + 2.0 * ecc * half_sin * half_sin;
        if (ecc >= 0.5)
            return {((1.0 - ecc) * eca + ecc * e_minus_sin_e_small(eca)) - mea, slope};
        return {(eca - ecc * std::sin(eca)) - mea, slope};
    }
    const double sin_e = std::sin(eca), cos_e = std::cos(eca);
    return {(eca - ecc * sin_e) - mea, 1.0 - ecc * cos_e};
}

// Solve E - e sin E = M for M in [0, about pi] and 0 < e < 1.
//
// Start: the root of the cubic (1 - e) E + e E^3 / 6 = M, which replaces
// E - sin E by its leading term. It is exact to leading order near E = 0, the
// hard case for e close to 1, and a lower bound of the root (E - sin E <=
// E^3 / 6), raised to M where that bound is better. Kepler's function is
// increasing and convex on [0, pi], so Newton steps from there overshoot at
// most once and then converge monotonically from above. The bracket
// [M - e, M + e] holds the root for every M; steps are clamped to it and the
// iteration count is bounded, so no input can loop for long.
inline double eca_from_reduced_mea(double mea, double ecc) {
    if (mea == 0.0)
        return 0.0;
    double lower = mea - ecc, upper = mea + ecc;

    // Cubic E^3 + p E = q, solved as q / (A^2 + p/3 + (p/(3A))^2) to avoid the
    // cancellation of Cardano's A - p/(3A) when p is large (small e).
    const double p3 = 2.0 * (1.0 - ecc) / ecc;  // p / 3
    const double q2 = 3.0 * mea / ecc;          // q / 2
    const double a = std::cbrt(q2 + std::sqrt(q2 * q2 + p3 * p3 * p3));
    const double b = p3 / a;
    double eca = (2.0 * q2) / (a * a + p3 + b * b);
    if (!(eca >= mea && eca < upper))  // also catches overflow for tiny e
        eca = mea;

    constexpr int max_iterations = 50;  // 3 to 6 are the rule
    for (int i = 0; i < max_iterations; ++i) {
        const auto [residual, slope] = kepler_at(eca, mea, ecc);
        if (residual == 0.0)
            return eca;
        if (residual < 0.0)
            lower = eca;
        else
            upper = eca;
        const double step = residual / slope;
        if (std::fabs(step) <= 0x1p-50 * std::fabs(eca))
            return eca - step;
        eca = std::clamp(eca - step, lower, upper);
    }
    return eca;
}

}  // namespace detail

// Eccentric anomaly E [rad] from mean anomaly M [rad] and eccentricity e:
// the solution of Kepler's equation E - e sin E = M, to within a few ulp.
// E lies in the same revolution as M (no reduction to [0, 2 pi)); e = 0 gives
// M itself. An eccentricity outside [0, 1) or a non-finite input gives NaN.
inline double c_eca_from_mea(double mea, double ecc) {
    if (!(ecc >= 0.0 && ecc < 1.0) || !std::isfinite(mea))
        return std::numeric_limits<double>::quiet_NaN();
    if (ecc == 0.0)
        return mea;
    // From 2^53 on, e sin E (at most 1) is below half an ulp of M.
    if (std::fabs(mea) >= 0x1p53)
        return mea;

    // Solve on the revolution centred on 0, where the function is odd, and
    // shift back by the same whole number of turns.
    const double turns = std::nearbyint(mea / detail::two_pi_hi);
    double reduced = mea;
    if (turns != 0.0)
        reduced = detail::add_turns(-turns, detail::two_pi_lo, detail::add_turns(-turns, detail::two_pi_hi, mea));
    const double eca = std::copysign(detail::eca_from_reduced_mea(std::fabs(reduced), ecc), reduced);
    if (turns == 0.0)
        return eca;
    return detail::add_turns(turns, detail::two_pi_hi, detail::add_turns(turns, detail::two_pi_lo, eca));
}

}  // namespace astrokite::coe
