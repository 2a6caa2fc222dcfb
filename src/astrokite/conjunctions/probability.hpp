// Probability of collision of a close approach in the short-encounter model:
// the relative motion is a straight line through the encounter, the position
// errors are Gaussian and fixed during it, so the probability is the mass of
// the combined covariance, projected onto the plane normal to the relative
// velocity, over the disc of the combined hard-body radius centred on the miss
// vector. Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace astrokite::conjunctions {

using Vector = std::array<double, 3>;
using Matrix = std::array<double, 9>;  // row-major 3 x 3

inline double dot(const Vector &a, const Vector &b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline Vector cross(const Vector &a, const Vector &b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline Vector unit(const Vector &a) {
    const double n = std::sqrt(dot(a, a));
    return {a[0] / n, a[1] / n, a[2] / n};
}

// The covariance of an object's position error in TEME from standard
// deviations along its radial, in-track and cross-track directions.
inline Matrix covariance_from_ric(const Vector &position, const Vector &velocity, const Vector &sigma) {
    const Vector r = unit(position);
    const Vector c = unit(cross(position, velocity));
    const Vector i = cross(c, r);
    const Vector *axes[3] = {&r, &i, &c};
    Matrix m{};
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b)
            for (int k = 0; k < 3; ++k)
                m[a * 3 + b] += (*axes[k])[a] * (*axes[k])[b] * sigma[k] * sigma[k];
    return m;
}

// Mass of the 2-D Gaussian N(0, diag(sx^2, sy^2)) over the disc of radius
// `radius` centred on (x0, y0). The inner integral over y is exact (erf); the
// outer one runs over the part of the disc's x-range where the Gaussian has
// mass, in the angle x = radius sin(t) so that the disc's edge is smooth.
inline double disc_mass(double x0, double y0, double sx, double sy, double radius) {
    // 32-point Gauss-Legendre nodes and weights on [-1, 1], positive half.
    static constexpr double node[16] = {
        0.0483076656877383, 0.1444719615827965, 0.2392873622521371, 0.3318686022821277,
        0.4213512761306353, 0.5068999089322294, 0.5877157572407623, 0.6630442669302152,
        0.7321821187402897, 0.7944837959679424, 0.8493676137325700, 0.8963211557660521,
        0.9349060759377397, 0.9647622555875064, 0.9856115115452684, 0.9972638618494816};
    static constexpr double weight[16] = {
        0.0965400885147277, 0.0956387200792747, 0.0938443990808045, 0.0911738786957638,
        0.0876520930044038, 0.0833119242269467, 0.0781938957870702, 0.0723457941088483,
        0.0658222227763617, 0.0586840934785356, 0.0509980592623761, 0.0428358980222268,
        0.0342738629130218, 0.0253920653092620, 0.0162743947309057, 0.0070186100094705};
    constexpr int panels = 8;
    const double lo = std::max(-radius, x0 - 10.0 * sx), hi = std::min(radius, x0 + 10.0 * sx);
    if (!(lo < hi))
        return 0.0;
    const double t_lo = std::asin(std::clamp(lo / radius, -1.0, 1.0));
    const double t_hi = std::asin(std::clamp(hi / radius, -1.0, 1.0));
    const double panel = (t_hi - t_lo) / panels;
    const double root2 = std::numbers::sqrt2;
    double total = 0.0;
    for (int p = 0; p < panels; ++p) {
        const double centre = t_lo + (p + 0.5) * panel;
        for (int n = 0; n < 32; ++n) {
            const double u = n < 16 ? -node[15 - n] : node[n - 16];
            const double w = n < 16 ? weight[15 - n] : weight[n - 16];
            const double t = centre + 0.5 * panel * u;
            const double x = radius * std::sin(t);
            const double half = radius * std::cos(t);
            const double dx = (x - x0) / sx;
            const double strip = 0.5 * (std::erf((half - y0) / (root2 * sy)) - std::erf((-half - y0) / (root2 * sy)));
            total += w * 0.5 * panel * radius * std::cos(t) * std::exp(-0.5 * dx * dx) * strip;
        }
    }
    return total / (std::sqrt(2.0 * std::numbers::pi) * sx);
}

// Probability of one approach: relative position and velocity of the
// secondary from the primary (m, m/s), the combined position covariance (m^2)
// and the hard-body radius (m). NaN without relative motion, where the
// short-encounter model has no plane.
inline double collision_probability(const Vector &position, const Vector &velocity, const Matrix &covariance,
                                    double radius) {
    if (!(dot(velocity, velocity) > 0.0) || !(radius >= 0.0))
        return NAN;
    const Vector along = unit(velocity);
    Vector miss = position;
    const double a = dot(miss, along);
    for (int d = 0; d < 3; ++d)
        miss[d] -= a * along[d];
    // Encounter-plane axes: towards the miss, and across it.
    Vector x = dot(miss, miss) > 0.0 ? unit(miss) : unit(cross(along, std::abs(along[0]) < 0.9 ? Vector{1, 0, 0}
                                                                                                  : Vector{0, 1, 0}));
    const Vector y = cross(along, x);
    auto project = [&](const Vector &u, const Vector &v) {
        double s = 0.0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                s += u[i] * covariance[i * 3 + j] * v[j];
        return s;
    };
    const double cxx = project(x, x), cyy = project(y, y), cxy = project(x, y);
    // Principal axes of the projected covariance.
    const double angle = 0.5 * std::atan2(2.0 * cxy, cxx - cyy);
    const double c = std::cos(angle), s = std::sin(angle);
    const double var1 = c * c * cxx + 2 * c * s * cxy + s * s * cyy;
    const double var2 = s * s * cxx - 2 * c * s * cxy + c * c * cyy;
    if (!(var1 > 0.0) || !(var2 > 0.0))
        return NAN;
    const double m = std::sqrt(dot(miss, miss));
    return disc_mass(m * c, -m * s, std::sqrt(var1), std::sqrt(var2), radius);
}

// The largest probability over scalings k^2 * covariance of the combined
// covariance: a coarse scan of k over eight decades, then a golden-section
// search around the best.
inline double max_collision_probability(const Vector &position, const Vector &velocity, const Matrix &covariance,
                                        double radius) {
    auto at = [&](double log_k) {
        Matrix scaled = covariance;
        const double k2 = std::exp(2.0 * log_k);
        for (double &v : scaled)
            v *= k2;
        return collision_probability(position, velocity, scaled, radius);
    };
    constexpr int steps = 81;
    const double lo = std::log(1e-4), hi = std::log(1e4), step = (hi - lo) / (steps - 1);
    int best = 0;
    double best_value = -1.0;
    for (int n = 0; n < steps; ++n) {
        const double v = at(lo + n * step);
        if (std::isnan(v))
            return NAN;
        if (v > best_value) {
            best_value = v;
            best = n;
        }
    }
    double a = lo + std::max(0, best - 1) * step, b = lo + std::min(steps - 1, best + 1) * step;
    const double g = (std::sqrt(5.0) - 1.0) / 2.0;
    double c1 = b - g * (b - a), c2 = a + g * (b - a), f1 = at(c1), f2 = at(c2);
    for (int n = 0; n < 60; ++n) {
        if (f1 > f2) {
            b = c2, c2 = c1, f2 = f1, c1 = b - g * (b - a), f1 = at(c1);
        } else {
            a = c1, c1 = c2, f1 = f2, c2 = a + g * (b - a), f2 = at(c2);
        }
    }
    return std::max({best_value, f1, f2});
}

}  // namespace astrokite::conjunctions
