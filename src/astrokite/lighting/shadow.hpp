// The Earth's shadow: how much of the Sun's disc a satellite sees. Plain C++
// with no Python.
//
// The Earth is a sphere of its equatorial radius (WGS 84, 6378.137 km) and the
// Sun a sphere of its nominal radius, seen from the satellite as two discs on
// the sky: the Earth's of angular radius asin(Re / |r|) about the direction
// -r, the Sun's of asin(Rs / |s - r|) about s - r. The satellite is in the
// umbra when the Earth's disc covers the Sun's, in the penumbra while they
// overlap, sunlit otherwise; in the penumbra the sunlit fraction is the part of
// the Sun's disc (a spherical cap, uniformly bright: no limb darkening, no
// atmosphere) outside the Earth's, from the area of two intersecting caps.
// The Sun's position is geometric: the shadow is where the light is stopped.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace astrokite::lighting {

inline constexpr double earth_radius = 6378137.0;  // m, WGS 84
inline constexpr double sun_radius = 6.957e8;      // m, IAU 2015 nominal
inline constexpr double pi = 3.141592653589793238462643;

// The two discs seen from a satellite: angular radii of the Sun and the Earth
// and the angle between their centres [rad].
struct Discs {
    double sun, earth, apart;
};

inline Discs discs(const double *r, const double *s) {
    const double d[3] = {s[0] - r[0], s[1] - r[1], s[2] - r[2]};
    const double rr = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    const double dd = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    // The angle between -r and d, from its sine and cosine: exact near 0 and pi.
    const double cx = r[1] * d[2] - r[2] * d[1], cy = r[2] * d[0] - r[0] * d[2], cz = r[0] * d[1] - r[1] * d[0];
    const double apart = std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), -(r[0] * d[0] + r[1] * d[1] + r[2] * d[2]));
    // Inside the Earth the whole sky is Earth: an angular radius of pi.
    const double earth = rr > earth_radius ? std::asin(earth_radius / rr) : pi;
    return {std::asin(std::min(1.0, sun_radius / dd)), earth, apart};
}

// The shadow's two edges as signed functions of the geometry, positive outside:
// the penumbra's (the discs touch from outside) and the umbra's (the Sun's
// disc just inside the Earth's).
inline double penumbra_edge(const Discs &g) { return g.apart - (g.earth + g.sun); }
inline double umbra_edge(const Discs &g) { return g.apart - (g.earth - g.sun); }

// How fast both edges change for a satellite at r moving at v [rad/s], the
// Sun at s taken still (its direction turns some 1e-7 rad/s as seen from a
// satellite): the rate of the angle between the discs' centres, less that of
// the Earth's angular radius (the Sun's changes some 1e-10 rad/s).
inline double edge_rate(const double *r, const double *v, const double *s) {
    const double d[3] = {s[0] - r[0], s[1] - r[1], s[2] - r[2]};
    const double rr = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    const double dd = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    double a[3], b[3], da[3], db[3];
    const double radial = (r[0] * v[0] + r[1] * v[1] + r[2] * v[2]) / rr;
    for (int i = 0; i < 3; ++i)
        a[i] = -r[i] / rr, b[i] = d[i] / dd;
    const double bv = b[0] * v[0] + b[1] * v[1] + b[2] * v[2];
    for (int i = 0; i < 3; ++i) {
        da[i] = -(v[i] + a[i] * radial) / rr;  // d(-r/|r|)/dt
        db[i] = (-v[i] + b[i] * bv) / dd;      // d(d/|d|)/dt
    }
    const double cx = a[1] * b[2] - a[2] * b[1], cy = a[2] * b[0] - a[0] * b[2], cz = a[0] * b[1] - a[1] * b[0];
    const double sine = std::sqrt(cx * cx + cy * cy + cz * cz);
    const double cosine_rate = da[0] * b[0] + da[1] * b[1] + da[2] * b[2] + a[0] * db[0] + a[1] * db[1] + a[2] * db[2];
    const double apart_rate = -cosine_rate / sine;
    const double earth_rate =
        rr > earth_radius ? -earth_radius * radial / (rr * std::sqrt(rr * rr - earth_radius * earth_radius)) : 0.0;
    return apart_rate - earth_rate;
}

// Area of a spherical cap of angular radius a [sr].
inline double cap(double a) {
    const double h = std::sin(a / 2);
    return 4 * pi * h * h;
}

// Area shared by caps of angular radii a and b whose centres are `d` apart,
// for |a - b| < d < a + b (Gauss-Bonnet on the lens they bound).
inline double lens(double a, double b, double d) {
    const double ca = std::cos(a), cb = std::cos(b), cd = std::cos(d);
    const double sa = std::sin(a), sb = std::sin(b), sd = std::sin(d);
    const auto arc = [](double x) { return std::acos(std::clamp(x, -1.0, 1.0)); };
    return 2 * (pi - arc((cd - ca * cb) / (sa * sb)) - ca * arc((cb - cd * ca) / (sd * sa)) -
                cb * arc((ca - cd * cb) / (sd * sb)));
}

// The fraction of the Sun's disc seen: 1 in sunlight, 0 in the umbra.
inline double sunlit_fraction(const Discs &g) {
    if (g.apart >= g.earth + g.sun)
        return 1.0;
    if (g.apart <= g.earth - g.sun)
        return 0.0;
    if (g.apart <= g.sun - g.earth)  // the Earth's disc wholly on the Sun's (far away)
        return 1.0 - cap(g.earth) / cap(g.sun);
    return std::clamp(1.0 - lens(g.sun, g.earth, g.apart) / cap(g.sun), 0.0, 1.0);
}

// The sunlit fraction of `satellites` rows of `times` positions each ((x, y,
// z) interleaved), the Sun at `sun` per time, into `out` (satellites, times).
// A first loop with no branches (it vectorises) settles sunlight and umbra by
// comparing cosines, with no trigonometric call, and marks the penumbra with
// NaN; a second one computes the fraction there. NaN positions give NaN.
__attribute__((target_clones("avx512f", "avx2", "default")))
inline void illumination_rows(const double *__restrict sun, size_t times, size_t satellites,
                              const double *__restrict position, double *__restrict out) {
    for (size_t i = 0; i < satellites; ++i) {
        const double *r = position + 3 * i * times;
        double *o = out + i * times;
        for (size_t k = 0; k < times; ++k) {
            const double x = r[3 * k], y = r[3 * k + 1], z = r[3 * k + 2];
            const double dx = sun[3 * k] - x, dy = sun[3 * k + 1] - y, dz = sun[3 * k + 2] - z;
            const double r2 = x * x + y * y + z * z, d2 = dx * dx + dy * dy + dz * dz;
            const double inv_r = 1 / std::sqrt(r2), inv_d = 1 / std::sqrt(d2);
            const double cos_apart = -(x * dx + y * dy + z * dz) * inv_r * inv_d;
            const double sin_e = std::min(1.0, earth_radius * inv_r), sin_s = std::min(1.0, sun_radius * inv_d);
            const double cos_e = std::sqrt(1 - sin_e * sin_e), cos_s = std::sqrt(1 - sin_s * sin_s);
            // Sunlit: apart >= earth + sun; umbra: apart <= earth - sun (angles in [0, pi]).
            const double cos_outer = cos_e * cos_s - sin_e * sin_s, cos_inner = cos_e * cos_s + sin_e * sin_s;
            const bool lit = cos_apart <= cos_outer, dark = cos_apart >= cos_inner && sin_e >= sin_s;
            o[k] = lit ? 1.0 : (dark ? 0.0 : NAN);
        }
    }
}

inline void illumination(const double *sun, size_t times, size_t satellites, const double *position,
                         double *out) {
    illumination_rows(sun, times, satellites, position, out);
    for (size_t i = 0; i < satellites; ++i)
        for (size_t k = 0; k < times; ++k)
            if (std::isnan(out[i * times + k])) {
                const double *r = position + 3 * (i * times + k);
                out[i * times + k] = std::isnan(r[0] + r[1] + r[2]) ? NAN : sunlit_fraction(discs(r, sun + 3 * k));
            }
}

}  // namespace astrokite::lighting
