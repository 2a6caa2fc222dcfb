// Earth-fixed geometry: sidereal time, TEME <-> ITRF, ITRF <-> GCRF from given
// rotations, geodetic coordinates on any ellipsoid, local east-north-up axes and
// look angles. Plain C++ with no Python; every function works on one sample or
// on contiguous (satellites, times, 3) arrays in metres and metres per second.
//
// Times are counts of nanoseconds since 1970-01-01 UTC (the Time count). The
// Earth's orientation at each time (UT1 - UTC and the pole's coordinates) comes
// from the caller; all zero is the model without data, UT1 = UTC and no polar
// motion.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "astrokite/common/parallel.hpp"
#include "astrokite/eop/table.hpp"

namespace astrokite::frames {

inline constexpr double two_pi = 6.283185307179586476925287;
inline constexpr double seconds_per_day = 86400.0;
inline constexpr int64_t ns_per_day = 86'400'000'000'000;
// The Earth's rotation rate from the rate of the Earth rotation angle, rad/s.
inline constexpr double earth_rotation_rate = 7.292115146706979e-5;

// An angle about the pole and its rate of change [rad, rad/s].
struct Spin {
    double angle;
    double rate;
};

// Greenwich mean sidereal time of the IAU 1982 model (the angle TEME is defined
// with) at a UTC count, with UT1 = UTC. The polynomial gives GMST in seconds of
// time as a function of UT1 Julian centuries t since J2000.0; the time of day is
// added as seconds so that the day count never mixes with its fraction.
inline Spin gmst82(int64_t ns) {
    int64_t days = ns / ns_per_day, rest = ns % ns_per_day;
    if (rest < 0) {
        rest += ns_per_day;
        --days;
    }
    const double day_fraction = double(rest) / double(ns_per_day);
    // J2000.0 (JD 2451545.0) is 10957.5 days after 1970-01-01T00:00.
    const double t = ((double(days) - 10957.5) + day_fraction) / 36525.0;
    constexpr double a = 24110.54841, b = 8640184.812866, c = 0.093104, d = -6.2e-6;
    constexpr double seconds_per_century = 36525.0 * seconds_per_day;
    const double seconds = a + (b + (c + d * t) * t) * t + seconds_per_day * day_fraction;
    double turns = std::fmod(seconds / seconds_per_day, 1.0);
    if (turns < 0)
        turns += 1.0;
    const double rate = two_pi / seconds_per_day * (1.0 + (b + (2 * c + 3 * d * t) * t) / seconds_per_century);
    return {turns * two_pi, rate};
}

struct Vec3 {
    double x, y, z;
};

inline double dot(const Vec3 &u, const Vec3 &v) { return u.x * v.x + u.y * v.y + u.z * v.z; }

using eop::Orientation;

// The turn TEME -> ITRF at one instant: GMST 1982 of UT1 about the pole
// (cosine, sine and rate), then polar motion, W = R1(-yp) R2(-xp) (row-major),
// with `m` the whole rotation W R3(GMST). The pole moves too slowly for its
// rate to matter; the TIO locator s' (under 0.1 mas) is left out, as in the
// usual TEME chain.
struct EarthTurn {
    double c, s, rate;
    double w[9];
    double m[9];
};

// Every per-time Earth rotation of this file comes from here.
inline EarthTurn earth_turn(int64_t ns, const Orientation &o) {
    const Spin spin = gmst82(ns + int64_t(std::llround(o.ut1_utc * 1e9)));
    EarthTurn t;
    t.c = std::cos(spin.angle), t.s = std::sin(spin.angle), t.rate = spin.rate;
    const double cx = std::cos(o.xp), sx = std::sin(o.xp), cy = std::cos(o.yp), sy = std::sin(o.yp);
    const double w[9] = {cx, 0, sx, sx * sy, cy, -sy * cx, -sx * cy, sy, cx * cy};
    const double r[9] = {t.c, t.s, 0, -t.s, t.c, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i) {
        t.w[i] = w[i];
        t.m[i] = w[3 * (i / 3)] * r[i % 3] + w[3 * (i / 3) + 1] * r[3 + i % 3] + w[3 * (i / 3) + 2] * r[6 + i % 3];
    }
    return t;
}

// Bulk conversions run over `threads` threads (1 by default: callers that
// split work themselves, such as the pass search, call them from each of
// theirs). Each thread takes a range of the flat samples of (satellites,
// times) arrays; a sample's value does not depend on the split.
inline constexpr size_t samples_per_thread = 1 << 15;

// fn(row, first, last) over the times [first, last) of each row that the flat
// samples [begin, end) of rows of `times` samples cover.
template <class Fn>
void for_rows(size_t times, size_t begin, size_t end, const Fn &fn) {
    while (begin < end) {
        const size_t row = begin / times, first = begin % times, last = std::min(times, first + (end - begin));
        fn(row, first, last);
        begin += last - first;
    }
}

// The turn of each of `times` instants; `orientation` holds (ut1_utc, xp, yp)
// per time, or is null for the model without data.
inline std::vector<EarthTurn> earth_turns(const int64_t *ns, const double *orientation, size_t times,
                                          unsigned threads = 1) {
    std::vector<EarthTurn> turns(times);
    parallel::split(times, samples_per_thread / 8, threads, [&](size_t first, size_t last) {
        for (size_t k = first; k < last; ++k)
            turns[k] = earth_turn(ns[k], orientation ? Orientation{orientation[3 * k], orientation[3 * k + 1],
                                                                   orientation[3 * k + 2]}
                                                     : Orientation{});
    });
    return turns;
}

// m (row-major 3x3) times (x, y, z), and its transpose times (x, y, z).
inline void rotate(const double *m, double x, double y, double z, double *out) {
    out[0] = m[0] * x + m[1] * y + m[2] * z;
    out[1] = m[3] * x + m[4] * y + m[5] * z;
    out[2] = m[6] * x + m[7] * y + m[8] * z;
}

inline void rotate_back(const double *m, double x, double y, double z, double *out) {
    out[0] = m[0] * x + m[3] * y + m[6] * z;
    out[1] = m[1] * x + m[4] * y + m[7] * z;
    out[2] = m[2] * x + m[5] * y + m[8] * z;
}

// TEME to ITRF at one instant: the turn about the pole; the velocity loses the
// frame's own rotation (v - w x r, w along the pole); then polar motion.
inline void teme_to_itrf(const EarthTurn &t, const double *r, const double *v, double *r_out, double *v_out) {
    const double x = t.c * r[0] + t.s * r[1], y = -t.s * r[0] + t.c * r[1], z = r[2];
    if (v_out)
        rotate(t.w, t.c * v[0] + t.s * v[1] + t.rate * y, -t.s * v[0] + t.c * v[1] - t.rate * x, v[2], v_out);
    rotate(t.w, x, y, z, r_out);
}

inline void itrf_to_teme(const EarthTurn &t, const double *r, const double *v, double *r_out, double *v_out) {
    double p[3];  // W is a rotation: its transpose undoes it
    rotate_back(t.w, r[0], r[1], r[2], p);
    if (v_out) {
        double q[3];
        rotate_back(t.w, v[0], v[1], v[2], q);
        const double vx = q[0] - t.rate * p[1], vy = q[1] + t.rate * p[0];
        v_out[0] = t.c * vx - t.s * vy;
        v_out[1] = t.s * vx + t.c * vy;
        v_out[2] = q[2];
    }
    r_out[0] = t.c * p[0] - t.s * p[1], r_out[1] = t.s * p[0] + t.c * p[1], r_out[2] = p[2];
}

// Between TEME and ITRF for `satellites` rows of `times` samples each
// ((satellites, times, 3) arrays; `velocity` and `velocity_out` may be null,
// `out` may alias the input), with the Earth orientation of each time
// (`orientation`, see earth_turns). `to_itrf` picks the direction.
inline void teme_itrf(const int64_t *ns, const double *orientation, size_t times, size_t satellites,
                      const double *position, const double *velocity, double *position_out, double *velocity_out,
                      bool to_itrf, unsigned threads = 1) {
    const bool with_velocity = velocity && velocity_out;
    const std::vector<EarthTurn> turns = earth_turns(ns, orientation, times, threads);
    parallel::split(satellites * times, samples_per_thread, threads, [&](size_t begin, size_t end) {
        for_rows(times, begin, end, [&](size_t i, size_t first, size_t last) {
            for (size_t k = first; k < last; ++k) {
                const size_t at = (i * times + k) * 3;
                const double *v = with_velocity ? velocity + at : nullptr;
                double *v_out = with_velocity ? velocity_out + at : nullptr;
                if (to_itrf)
                    teme_to_itrf(turns[k], position + at, v, position_out + at, v_out);
                else
                    itrf_to_teme(turns[k], position + at, v, position_out + at, v_out);
            }
        });
    });
}

// Between ITRF and GCRF given the rotation ITRF -> GCRF of each time (row-major
// 3x3 matrices): r_gcrf = R r_itrf, v_gcrf = R (v_itrf + w x r_itrf).
inline void itrf_gcrf_sample(const double *m, const double *r, const double *v, double *ro, double *vo,
                             bool to_gcrf) {
    constexpr double w = earth_rotation_rate;
    if (to_gcrf) {
        const double x = r[0], y = r[1], z = r[2];
        if (v)
            rotate(m, v[0] - w * y, v[1] + w * x, v[2], vo);
        rotate(m, x, y, z, ro);
    } else {
        double p[3];
        rotate_back(m, r[0], r[1], r[2], p);
        if (v) {
            rotate_back(m, v[0], v[1], v[2], vo);
            vo[0] += w * p[1], vo[1] -= w * p[0];
        }
        ro[0] = p[0], ro[1] = p[1], ro[2] = p[2];
    }
}

inline void itrf_gcrf(const double *rotations, size_t times, size_t satellites, const double *position,
                      const double *velocity, double *position_out, double *velocity_out, bool to_gcrf,
                      unsigned threads = 1) {
    const bool with_velocity = velocity && velocity_out;
    parallel::split(satellites * times, samples_per_thread, threads, [&](size_t begin, size_t end) {
        for_rows(times, begin, end, [&](size_t i, size_t first, size_t last) {
            for (size_t k = first; k < last; ++k) {
                const size_t at = (i * times + k) * 3;
                itrf_gcrf_sample(rotations + 9 * k, position + at, with_velocity ? velocity + at : nullptr,
                                 position_out + at, with_velocity ? velocity_out + at : nullptr, to_gcrf);
            }
        });
    });
}

// An ellipsoid of revolution: equatorial radius a [m] and flattening f.
struct Ellipsoid {
    double a, f;
    double b() const { return a * (1 - f); }
    double e2() const { return f * (2 - f); }
};

struct Geodetic {
    double lat, lon, alt;  // rad, rad, m
};

// atan2 written with selects instead of branches, so that loops calling it
// vectorise. The ratio of the smaller to the larger coordinate is moved by the
// nearest of 0, pi/8 and pi/4 to within tan(pi/16) of zero, where eleven terms
// of the arctangent series reach 1e-16. Agrees with std::atan2 to a few ulp;
// atan2(0, 0) is 0 as there, NaN stays NaN.
[[gnu::always_inline]] inline double atan2_select(double y, double x) {
    constexpr double pi = 3.141592653589793238462643;
    constexpr double tan_pi_8 = 0.41421356237309504880, tan_pi_16 = 0.19891236737965800691;
    constexpr double tan_3pi_16 = 0.66817863791929891999;
    const double ax = std::fabs(x), ay = std::fabs(y);
    const bool steep = ay > ax;
    const double big = steep ? ay : ax, small = steep ? ax : ay;
    const double t = big > 0 ? small / big : 0.0;
    const double centre = t < tan_pi_16 ? 0.0 : (t < tan_3pi_16 ? tan_pi_8 : 1.0);
    const double base = t < tan_pi_16 ? 0.0 : (t < tan_3pi_16 ? pi / 8 : pi / 4);
    const double r = (t - centre) / (1.0 + t * centre);
    const double u = r * r;
    double series = 1.0 / 21;
    for (int n = 9; n >= 0; --n)
        series = (n % 2 ? -1.0 : 1.0) / (2 * n + 1) + u * series;
    double angle = base + r * series;
    angle = steep ? pi / 2 - angle : angle;
    angle = x < 0 ? pi - angle : angle;
    return std::copysign(angle, y) + (y != y || x != x ? y + x : 0.0);
}

// Geodetic latitude, longitude and height of an Earth-fixed point. Bowring's
// iteration on the reduced latitude, kept as an unnormalised direction so that
// no trigonometric function is called before the final angles; three rounds
// reach the double-precision limit from the surface to far beyond the Moon.
// The height comes from the foot point's normal, exact at every latitude.
[[gnu::always_inline]] inline Geodetic geodetic(double x, double y, double z, const Ellipsoid &e) {
    const double a = e.a, b = e.b(), e2 = e.e2(), ep2 = e2 / (1 - e2), flat = 1 - e.f;
    const double p = std::sqrt(x * x + y * y);
    double cu = b * p, su = a * z;  // reduced latitude direction, first guess
    double cp = 0, sp = 0;          // geodetic latitude direction
    for (int round = 0; round < 3; ++round) {
        const double n = 1 / std::sqrt(cu * cu + su * su);
        cu *= n, su *= n;
        cp = p - e2 * a * cu * cu * cu;
        sp = z + ep2 * b * su * su * su;
        cu = cp, su = flat * sp;
    }
    const double lat = atan2_select(sp, cp);
    const double n = 1 / std::sqrt(cp * cp + sp * sp);
    cp *= n, sp *= n;
    const double alt = p * cp + z * sp - a * std::sqrt(1 - e2 * sp * sp);
    return {lat, atan2_select(y, x), alt};
}

// Geodetic coordinates (lat, lon, alt interleaved) of the times [first, last)
// of row `row` of (rows, times, 3) points (x, y, z interleaved), first turned
// by the rotation of each time (EarthTurn::m for TEME input, the identity for
// Earth-fixed input), held as nine rows of `times` values (element j of time k
// at turn[j * times + k]), so that the loop over times reads each element
// contiguously. One pass over memory from TEME to geodetic. Compiled for
// AVX-512 and AVX2 beside the baseline, picked at run time; the loop
// vectorises when sqrt need not set errno (-fno-math-errno) and the arrays are
// known not to overlap.
__attribute__((target_clones("avx512f", "avx2", "default")))
inline void geodetic_row(const double *__restrict turn, size_t times, size_t row, size_t first, size_t last,
                         const double *__restrict position, const Ellipsoid e, double *__restrict out) {
    const size_t n = times;
    const double *r = position + 3 * row * times;
    double *o = out + 3 * row * times;
    for (size_t k = first; k < last; ++k) {
        const double *m = turn + k;
        const double x = r[3 * k], y = r[3 * k + 1], z = r[3 * k + 2];
        const Geodetic g = geodetic(m[0] * x + m[n] * y + m[2 * n] * z, m[3 * n] * x + m[4 * n] * y + m[5 * n] * z,
                                    m[6 * n] * x + m[7 * n] * y + m[8 * n] * z, e);
        o[3 * k] = g.lat, o[3 * k + 1] = g.lon, o[3 * k + 2] = g.alt;
    }
}

inline void geodetic_points(const double *turn, size_t times, size_t satellites, const double *position,
                            const Ellipsoid &e, double *out, unsigned threads = 1) {
    parallel::split(satellites * times, samples_per_thread, threads, [&](size_t begin, size_t end) {
        for_rows(times, begin, end, [&](size_t i, size_t first, size_t last) {
            geodetic_row(turn, times, i, first, last, position, e, out);
        });
    });
}

// The rotation TEME -> ITRF of each time, in the nine rows geodetic_points
// takes; `orientation` as for earth_turns.
inline std::vector<double> teme_itrf_matrices(const int64_t *ns, const double *orientation, size_t times,
                                              unsigned threads = 1) {
    const std::vector<EarthTurn> turns = earth_turns(ns, orientation, times, threads);
    std::vector<double> matrices(9 * times);
    for (size_t k = 0; k < times; ++k)
        for (size_t j = 0; j < 9; ++j)
            matrices[j * times + k] = turns[k].m[j];
    return matrices;
}

// Earth-fixed position of a geodetic point.
inline Vec3 cartesian(const Geodetic &g, const Ellipsoid &e) {
    const double sl = std::sin(g.lat), cl = std::cos(g.lat);
    const double n = e.a / std::sqrt(1 - e.e2() * sl * sl);
    return {(n + g.alt) * cl * std::cos(g.lon), (n + g.alt) * cl * std::sin(g.lon),
            (n * (1 - e.e2()) + g.alt) * sl};
}

// Local axes at a geodetic point: east, north and up (the ellipsoid normal).
struct Axes {
    Vec3 east, north, up;
};

inline Axes enu_axes(double lat, double lon) {
    const double sl = std::sin(lat), cl = std::cos(lat), so = std::sin(lon), co = std::cos(lon);
    return {{-so, co, 0.0}, {-sl * co, -sl * so, cl}, {cl * co, cl * so, sl}};
}

// Look angles of a target from a site, both Earth-fixed: azimuth from north
// through east in [0, 2 pi), elevation, range [m] and range rate [m/s] (NaN
// when the velocity is not known).
struct Look {
    double azimuth, elevation, range, range_rate;
};

inline Look look(const Vec3 &site, const Axes &axes, const double *r, const double *v) {
    const Vec3 d{r[0] - site.x, r[1] - site.y, r[2] - site.z};
    const double e = dot(d, axes.east), n = dot(d, axes.north), u = dot(d, axes.up);
    const double range = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    double azimuth = std::atan2(e, n);
    if (azimuth < 0)
        azimuth += two_pi;
    const double range_rate = v ? (d.x * v[0] + d.y * v[1] + d.z * v[2]) / range : NAN;
    return {azimuth, std::atan2(u, std::sqrt(e * e + n * n)), range, range_rate};
}

}  // namespace astrokite::frames
