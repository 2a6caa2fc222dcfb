// The instant from which an element set's orbit is certainly gone: the first
// time after its epoch at which every sample would fail, read off the secular
// terms alone. Past a decay the theory's secular terms are polynomials in the
// time that turn back (1 - C1 t - D2 t^2 ... squared, the eccentricity's drag
// term), and samples some hours later come out without an error but from no
// orbit at all; a caller that treats a set as gone from this instant on never
// meets them. Plain C++: no Python in here.
//
// Each rule holds only where the theory fails at the instant whatever the
// satellite's place in its orbit, so a set is never cut while it still gives
// states on its way from the epoch: the mean eccentricity certainly outside
// [-0.001, 1) (code 1), or the whole osculating orbit, with room for the
// lunar-solar, long-period and short-period terms, inside the Earth (code 6).
// Resonant deep-space sets (12 and 24-hour orbits), whose mean motion comes
// from an integration, are judged by their eccentricity alone.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "astrokite/propagators/analytical/sgp4/sgp4_theory.hpp"

namespace astrokite::sgp4 {

namespace decay_detail {

inline constexpr double never = std::numeric_limits<double>::infinity();
// The theory's floor under the mean eccentricity, and the lowest it accepts.
inline constexpr double eccentricity_floor = 1.0e-6;
inline constexpr double lowest_eccentricity = -0.001;

// 1 - C1 t - D2 t^2 - D3 t^3 - D4 t^4, the square of which scales the
// semi-major axis.
inline double tempa(const Satellite &s, double t) {
    if (s.simple)
        return 1.0 - s.k.cc1 * t;
    return 1.0 - t * (s.k.cc1 + t * (s.k.d2 + t * (s.k.d3 + t * s.k.d4)));
}

// The mean eccentricity's secular rate (drag, and the lunar-solar terms in
// deep space) and the range of its periodic drag term (the sine of the mean
// anomaly), about e0 + rate t.
struct EccentricityTrend {
    double rate, low, high;
};

inline EccentricityTrend eccentricity_trend(const Satellite &s) {
    EccentricityTrend trend{-s.k.bstar * s.k.cc4 + (s.deep_space ? s.k.dedt : 0.0), 0.0, 0.0};
    if (!s.simple) {
        const double a = s.k.bstar * s.k.cc5;  // em gets -a (sin M - sin M0)
        trend.low = a * s.k.sinmao - std::fabs(a);
        trend.high = a * s.k.sinmao + std::fabs(a);
    }
    return trend;
}

// The first minute t >= 0 at which the mean eccentricity is certainly
// outside [-0.001, 1), or never.
inline double eccentricity_gone(const Satellite &s, const EccentricityTrend &trend) {
    const double high = s.k.ecco + trend.high, low = s.k.ecco + trend.low;
    auto gone = [&](double t) { return high + trend.rate * t < lowest_eccentricity || low + trend.rate * t >= 1.0; };
    double t = never;
    if (trend.rate < 0.0)
        t = std::max(0.0, (lowest_eccentricity - high) / trend.rate);
    else if (trend.rate > 0.0)
        t = std::max(0.0, (1.0 - low) / trend.rate);
    if (!(t < max_minutes))
        return gone(0.0) ? 0.0 : never;
    // The quotient rounded below the crossing: step on until it holds.
    for (int k = 0; k < 64 && !gone(t); ++k)
        t = t * (1.0 + 0x1p-50) + 0x1p-40;
    return gone(t) ? t : never;
}

// Whether at minute t the whole osculating orbit lies inside the Earth
// (radius 1): its largest radius, bounded through the mean elements, the
// lunar-solar eccentricity terms, the long-period J3 term and the
// short-period J2 terms, is below 1.
inline bool orbit_inside(const Satellite &s, const EccentricityTrend &trend, double lunar_solar, double t) {
    const double a_factor = tempa(s, t);
    if (!(a_factor > 0.0))
        return false;
    const double am = s.k.ao * a_factor * a_factor;
    const double em = std::max(s.k.ecco + trend.rate * t + trend.high, eccentricity_floor);
    const double ep = em + lunar_solar;
    if (!(ep < 0.5))
        return false;
    // The J3 term adds at most |J3/J2| / 2 over the semi-latus rectum to the eccentricity vector.
    const double el = ep + 0.5 * std::fabs(s.g.j3oj2) / (am * (1.0 - ep * ep));
    if (!(el < 0.5))
        return false;
    const double pl = am * (1.0 - el * el);
    const double largest = am * (1.0 + el) * (1.0 + 0.75 * s.g.j2 / (pl * pl)) + 0.25 * s.g.j2 / pl;
    return largest < 1.0;
}

// The first minute at which the whole orbit is certainly inside the Earth,
// or never: a scan in steps over which the semi-major axis and the
// eccentricity change little (and that grow with the time where they change
// slowly), then a bisection to the first instant of the scan's last step.
inline double orbit_gone(const Satellite &s, const EccentricityTrend &trend) {
    if (s.irez != 0)
        return never;
    double lunar_solar = 0.0;
    if (s.deep_space)  // each of the Sun's and the Moon's terms: coefficients times factors of at most 1/4
        lunar_solar = 0.25 * (std::fabs(s.k.se2) + std::fabs(s.k.se3) + std::fabs(s.k.ee2) + std::fabs(s.k.e3));
    auto inside = [&](double t) { return orbit_inside(s, trend, lunar_solar, t); };
    if (inside(0.0))
        return 0.0;
    double t = 0.0;
    while (t < max_minutes) {
        double step = 0.25 * (t + 1440.0);
        if (trend.rate != 0.0)
            step = std::min(step, 0.005 / std::fabs(trend.rate));
        // The axis's factor, a polynomial, changes by at most 2 % over a step.
        const double now = tempa(s, t);
        while (step > 1.0e-3 && !(std::fabs(tempa(s, t + step) - now) <= 0.02 * now))
            step *= 0.5;
        const double next = std::min(max_minutes, t + step);
        if (inside(next)) {
            double low = t, high = next;
            for (int k = 0; k < 60 && high - low > 1.0e-7; ++k) {
                const double middle = 0.5 * (low + high);
                (inside(middle) ? high : low) = middle;
            }
            return high;
        }
        if (!(tempa(s, next) > 0.0))
            return never;  // past the axis's fall to zero without a certain instant: none claimed
        t = next;
    }
    return never;
}

}  // namespace decay_detail

// Minutes after the epoch from which the set's orbit is certainly gone
// (every later sample fails or means nothing); infinity when no such instant
// comes within the theory's reach. Times before the epoch are not judged.
inline double decay_minutes(const Satellite &s) {
    if (!s.finite)
        return decay_detail::never;
    const decay_detail::EccentricityTrend trend = decay_detail::eccentricity_trend(s);
    return std::min(decay_detail::eccentricity_gone(s, trend), decay_detail::orbit_gone(s, trend));
}

}  // namespace astrokite::sgp4
