// Eclipse search: when satellites enter and leave the Earth's penumbra and
// umbra. Plain C++ with no Python and no propagator: the caller supplies states
// on a common time grid (in any frame the Sun's path is given in), then answers
// rounds of requests (satellite, time) until the search is done, so that every
// propagation runs in batches.
//
// Each shadow edge is a signed angle (shadow.hpp), positive outside, whose
// rate the states give. None is missed between two samples: from the orbit's
// smallest radius, largest speed, radial speed and acceleration (with margins
// for what a theory adds to a Keplerian orbit) follow a bound L on the edges'
// rate and one M on their second derivative (Bounds below). An interval holds
// no zero of an edge whose end values are too far from zero for the rate L to
// reach it and back (|f(a)| + |f(b)| > L h), or whose quadratic envelopes from
// both ends (values, rates, M) stay on one side; it holds exactly one when the
// edge changes sign and its rate provably keeps its sign. Any other interval
// is split (down to `shortest`); a single zero is refined to within 1 ms from
// the cubic matching the ends' values and rates, probing either side of it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "astrokite/common/parallel.hpp"
#include "astrokite/lighting/shadow.hpp"

namespace astrokite::lighting {

inline constexpr double gm_earth = 3.986004418e14;  // m^3/s^2

// The Sun's position at equal steps, linearly interpolated between them: over
// ten minutes the Sun's path bends by some 300 m, a few nanoradians seen from
// the Earth.
struct SunPath {
    int64_t start = 0, step = 1;  // ns, in the search's offsets
    std::vector<double> xyz;      // (points, 3)

    void at(int64_t t, double *out) const {
        const size_t points = xyz.size() / 3;
        double u = double(t - start) / double(step);
        u = std::clamp(u, 0.0, double(points - 1));
        const size_t k = std::min(size_t(u), points >= 2 ? points - 2 : 0);
        const double w = points >= 2 ? u - double(k) : 0.0;
        const double *a = &xyz[3 * k], *b = points >= 2 ? &xyz[3 * k + 3] : a;
        for (int i = 0; i < 3; ++i)
            out[i] = a[i] + w * (b[i] - a[i]);
    }

    // The path of `points` positions (x, y, z interleaved) from `start`, one
    // every `step`; std::invalid_argument unless the step is positive and
    // there is a point or more, all finite.
    static SunPath of(int64_t start, int64_t step, const double *xyz, size_t points) {
        if (step <= 0)
            throw std::invalid_argument("the Sun's step must be positive");
        if (points < 1)
            throw std::invalid_argument("sun must have shape (points, 3) with one point or more");
        SunPath path;
        path.start = start, path.step = step;
        path.xyz.assign(xyz, xyz + 3 * points);
        for (double v : path.xyz)
            if (!std::isfinite(v))
                throw std::invalid_argument("the Sun's positions must be finite");
        return path;
    }
};

enum EclipseFlags : uint8_t {
    entry_before_start = 1,  // in the shadow at the start: `entry` is the start
    exit_after_stop = 2,     // in the shadow at the stop: `exit` is the stop
    samples_failed = 4,      // the propagation failed at `exit`: the search of the satellite ends there
};

struct Eclipse {
    uint32_t satellite;
    bool umbra;
    int64_t entry, exit;  // ns after the start
    uint8_t flags;
};

struct Request {
    uint32_t satellite;
    int64_t t;
};

class EclipseSearch {
public:
    static constexpr int64_t tolerance = 1'000'000;  // 1 ms
    static constexpr size_t most_samples = 100'000;

    EclipseSearch(SunPath sun, size_t satellites, int64_t span, int64_t shortest = 10'000'000)
        : sun_(std::move(sun)), span_(span), shortest_(shortest), first_(satellites), count_(satellites, 0),
          parts_(parallel::cores()), bounds_(satellites), end_(satellites, span) {}

    // The common grid: `n` offsets (ns, increasing, first 0, last the span)
    // and (satellites, n, 3) states with a validity flag per sample.
    void start(const int64_t *times, size_t n, const double *position, const double *velocity,
               const uint8_t *valid) {
        in_blocks(first_.size(), [&](size_t block, size_t first, size_t last) {
            std::vector<Sample> mine;
            for (size_t i = first; i < last; ++i) {
                mine.clear();
                Motion motion;
                for (size_t k = 0; k < n; ++k) {
                    const size_t at = (i * n + k) * 3;
                    const Sample s = evaluate(times[k], position + at, velocity + at, valid[i * n + k], &motion);
                    if (!s.valid) {
                        end_[i] = times[k];
                        break;
                    }
                    mine.push_back(s);
                }
                bounds_[i] = motion.bounds();
                count_[i] = mine.size();
                if (!mine.empty())
                    first_[i] = mine.front();
                for (size_t k = 1; k < mine.size(); ++k)
                    classify(uint32_t(i), mine[k - 1], mine[k], parts_[block]);
            }
        });
        gather();
    }

    // The states wanted next, in the order `supply` takes them; empty when done.
    const std::vector<Request> &requests() {
        pending_.clear();
        for (const Open &o : open_) {
            if (o.kind == split) {
                pending_.push_back({o.satellite, o.a.t + (o.b.t - o.a.t) / 2});
                continue;
            }
            // A sign change: probe either side of the zero of the cubic that
            // matches the edge's values and rates at both ends.
            const int64_t width = o.b.t - o.a.t;
            const double u = hermite_zero(o.a, o.b, o.kind);
            const int64_t margin = std::min<int64_t>(tolerance / 2, width / 4);
            const int64_t guess = std::clamp<int64_t>(o.a.t + int64_t(u * double(width)), o.a.t + margin,
                                                      o.b.t - margin);
            pending_.push_back({o.satellite, std::max(o.a.t + 1, guess - tolerance / 2 + 1)});
            pending_.push_back({o.satellite, std::min(o.b.t - 1, guess + tolerance / 2 - 1)});
        }
        return pending_;
    }

    // States at the requests of the last round. The open intervals are in
    // satellite order, so blocks of whole satellites go through in threads.
    void supply(const double *position, const double *velocity, const uint8_t *valid) {
        std::vector<Open> jobs;
        jobs.swap(open_);
        std::vector<size_t> at(jobs.size() + 1, 0);  // each job's first request
        for (size_t j = 0; j < jobs.size(); ++j)
            at[j + 1] = at[j] + (jobs[j].kind == split ? 1 : 2);
        in_blocks(jobs.size(), [&](size_t block, size_t first, size_t last) {
            // Whole satellites only: a block starts after the satellite the
            // previous one ends in, and ends with the satellite it ends in.
            while (first > 0 && first < jobs.size() && jobs[first].satellite == jobs[first - 1].satellite)
                ++first;
            while (last < jobs.size() && last > 0 && jobs[last].satellite == jobs[last - 1].satellite)
                ++last;
            for (size_t j = first; j < last; ++j) {
                const Open &o = jobs[j];
                const size_t r = at[j];
                const int count = o.kind == split ? 1 : 2;
                Sample points[4] = {o.a, evaluate(pending_[r].t, position + 3 * r, velocity + 3 * r, valid[r], nullptr),
                                    o.b, o.b};
                if (count == 2)
                    points[2] = evaluate(pending_[r + 1].t, position + 3 * (r + 1), velocity + 3 * (r + 1),
                                         valid[r + 1], nullptr);
                process(o, points, count, parts_[block]);
            }
        });
        gather();
    }

    // Every eclipse, by satellite, then penumbra before umbra, then entry.
    std::vector<Eclipse> eclipses() const {
        std::vector<Cross> found = crossings_;
        std::sort(found.begin(), found.end(), [](const Cross &x, const Cross &y) {
            if (x.satellite != y.satellite)
                return x.satellite < y.satellite;
            return x.kind != y.kind ? x.kind < y.kind : x.a.t < y.a.t;
        });
        std::vector<Eclipse> out;
        auto next = found.begin();
        for (uint32_t i = 0; i < first_.size(); ++i)
            for (int kind : {penumbra, umbra}) {
                auto last = next;
                while (last != found.end() && last->satellite == i && last->kind == kind)
                    ++last;
                if (count_[i] > 0)
                    collect(i, kind, next, last, out);
                next = last;
            }
        return out;
    }

    // Where each satellite's propagation failed (ns after the start), or the
    // span for one whose states never failed.
    const std::vector<int64_t> &ends() const { return end_; }

    // A satellite's bounds: on the edges' rate [rad/s], and the second
    // derivative's as `turn` cot^2-free part: M = cot(apart) * turn + rest
    // [rad/s^2], cot taken at its largest over the interval.
    struct Bounds {
        double rate = INFINITY, turn = INFINITY, rest = INFINITY;
    };

    // Bounds of a satellite's motion from the osculating orbits of its grid
    // samples, with 3% margins (and 3% of the speed for the radial speed), the
    // acceleration within 20% of central gravity.
    struct Motion {
        double r_min = INFINITY, v_max = 0, radial_max = 0, e_max = 0;

        void add(const double *r, const double *v) {
            const double radius = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
            const double hx = r[1] * v[2] - r[2] * v[1], hy = r[2] * v[0] - r[0] * v[2];
            const double hz = r[0] * v[1] - r[1] * v[0];
            const double h2 = hx * hx + hy * hy + hz * hz;
            const double energy = 0.5 * (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - gm_earth / radius;
            const double e = std::sqrt(std::max(0.0, 1 + 2 * energy * h2 / (gm_earth * gm_earth)));
            const double perigee = h2 / (gm_earth * (1 + e));
            const double fastest = std::sqrt(h2) / perigee;
            r_min = std::min(r_min, perigee), v_max = std::max(v_max, fastest), e_max = std::max(e_max, e);
            // |dr/dt| = e sqrt(mu / p) |sin(true anomaly)|, p = h^2 / mu
            radial_max = std::max(radial_max, e * gm_earth / std::sqrt(h2));
        }

        // Seen from the satellite, the Earth's direction p = -r/|r| turns at
        // |p'| <= v / r, the Sun's at under (v + 30 km/s) / 1e10 m; the Earth's
        // angular radius asin(Re / r) changes at K1 |r'|, K1 = Re / (r sqrt(r^2 -
        // Re^2)). The angle between the centres has a second derivative within
        // |cot(apart)| |p'|^2 + |p''| across p (|a| / r + 2 |r'| v / r^2); the
        // Earth's radius one within K1 |r''| + K2 r'^2 (K2 = -dK1/dr), with
        // |r''| = |h^2 / r^3 + a.r/r| <= mu / r^2 (e / (1 - e) + 0.25). The
        // Sun's motion adds under 1e-9 rad/s^2. All at the smallest radius.
        Bounds bounds() const {
            Bounds b;
            if (!(r_min < INFINITY))
                return b;
            // A radius below the surface is a decay, which the propagator reports.
            const double r = std::max(0.97 * r_min, 1.001 * earth_radius);
            const double v = 1.03 * v_max, radial = 1.03 * radial_max + 0.03 * v;
            const double re2 = earth_radius * earth_radius, clearance = std::sqrt(r * r - re2);
            const double k1 = earth_radius / (r * clearance);
            const double k2 = earth_radius * (2 * r * r - re2) / (r * r * r * clearance * clearance * clearance);
            const double gravity = gm_earth / (r * r);
            const double e = std::min(1.03 * e_max, 0.97);
            const double radial_acceleration = gravity * (e / (1 - e) + 0.25);
            b.rate = v / r + radial * k1 + (v + 3e4) / 1e10 + 1e-6;
            b.turn = (v / r) * (v / r);
            b.rest = 1.2 * gravity / r + 2 * radial * v / (r * r) + k1 * radial_acceleration + k2 * radial * radial + 1e-9;
            return b;
        }
    };

    // Whether the umbra's edge provably keeps its sign from time ta to tb of
    // one satellite, from its states (r, v) and the Sun (s) at both: the test
    // the search lets a stretch go by, with bounds from the two states' orbits.
    static bool umbra_settled(int64_t ta, const double *ra, const double *va, const double *sa, int64_t tb,
                              const double *rb, const double *vb, const double *sb) {
        const Sample a = sample(ta, ra, va, sa, true), b = sample(tb, rb, vb, sb, true);
        if (!(a.valid && b.valid && tb > ta))
            return false;
        Motion motion;
        motion.add(ra, va);
        motion.add(rb, vb);
        const Bounds bounds = motion.bounds();
        return one_signed(a, b, umbra, bounds.rate, curvature(bounds, a, b), double(tb - ta) * 1e-9);
    }

private:
    enum Kind { penumbra = 0, umbra = 1, split = 2 };

    struct Sample {
        int64_t t = 0;
        double edge[2] = {0, 0};  // penumbra, umbra [rad]
        double rate[2] = {0, 0};  // their rates [rad/s], the Sun taken still
        double apart = 0;         // the angle between the discs' centres [rad]
        bool valid = false;
    };

    struct Cross {
        uint32_t satellite;
        int kind;
        Sample a, b;
    };

    struct Open {
        uint32_t satellite;
        int kind;
        Sample a, b;
    };

    static double value(const Sample &s, int kind) { return s.edge[kind]; }

    // What a round's search leaves: intervals still open, crossings refined.
    struct Found {
        std::vector<Open> open;
        std::vector<Cross> crossings;
    };

    // work(block, first, last) over [0, n) in one block per core, each block
    // writing to parts_[block] (gather() then joins them in order).
    template <typename Work>
    void in_blocks(size_t n, const Work &work) {
        const size_t blocks = parts_.size();
        parallel::split(blocks, 1, unsigned(blocks), [&](size_t first, size_t last) {
            for (size_t b = first; b < last; ++b)
                work(b, n * b / blocks, n * (b + 1) / blocks);
        });
    }

    void gather() {
        for (Found &part : parts_) {
            open_.insert(open_.end(), part.open.begin(), part.open.end());
            crossings_.insert(crossings_.end(), part.crossings.begin(), part.crossings.end());
            part.open.clear(), part.crossings.clear();
        }
    }

    // One answered interval: `points` a, the new state(s), b.
    void process(const Open &o, Sample *points, int count, Found &found) {
        bool failed = false;
        for (int p = 1; p <= count; ++p)
            if (!points[p].valid) {
                end_[o.satellite] = std::min(end_[o.satellite], points[p].t);
                failed = true;
            }
        if (failed || o.a.t >= end_[o.satellite])
            return;
        count_[o.satellite] += count;
        if (o.kind == split) {
            classify(o.satellite, points[0], points[1], found);
            classify(o.satellite, points[1], points[3], found);
            return;
        }
        // Keep refining the one piece that holds this edge's sign change.
        for (int p = 0; p < 3; ++p)
            if ((value(points[p], o.kind) > 0) != (value(points[p + 1], o.kind) > 0)) {
                bracket(o.satellite, o.kind, points[p], points[p + 1], found);
                return;
            }
    }

    // Where in [0, 1] across the interval a b the cubic Hermite interpolant of
    // one edge crosses zero (the ends have opposite signs): Newton's method from
    // the linear estimate, kept inside the interval.
    static double hermite_zero(const Sample &a, const Sample &b, int kind) {
        const double h = double(b.t - a.t) * 1e-9;
        const double f0 = a.edge[kind], f1 = b.edge[kind], d0 = a.rate[kind] * h, d1 = b.rate[kind] * h;
        double u = f0 / (f0 - f1);
        if (!std::isfinite(u))
            return 0.5;
        for (int i = 0; i < 6 && std::isfinite(d0 + d1); ++i) {
            const double u2 = u * u, u3 = u2 * u;
            const double p = (2 * u3 - 3 * u2 + 1) * f0 + (u3 - 2 * u2 + u) * d0 + (-2 * u3 + 3 * u2) * f1 +
                             (u3 - u2) * d1;
            const double dp = (6 * u2 - 6 * u) * f0 + (3 * u2 - 4 * u + 1) * d0 + (-6 * u2 + 6 * u) * f1 +
                              (3 * u2 - 2 * u) * d1;
            const double next = u - p / dp;
            if (!(next > 0 && next < 1))
                break;
            u = next;
        }
        return u;
    }

    static Sample sample(int64_t t, const double *r, const double *v, const double *sun, bool valid) {
        Sample s;
        s.t = t;
        const Discs g = discs(r, sun);
        s.edge[penumbra] = penumbra_edge(g), s.edge[umbra] = umbra_edge(g);
        s.apart = g.apart;
        s.rate[penumbra] = s.rate[umbra] = edge_rate(r, v, sun);
        s.valid = valid && std::isfinite(s.edge[0]) && std::isfinite(s.edge[1]) && std::isfinite(v[0]) &&
                  std::isfinite(v[1]) && std::isfinite(v[2]);
        return s;
    }

    Sample evaluate(int64_t t, const double *r, const double *v, bool valid, Motion *motion) const {
        double sun[3];
        sun_.at(t, sun);
        const Sample s = sample(t, r, v, sun, valid);
        if (s.valid && motion)
            motion->add(r, v);
        return s;
    }

    static void bracket(uint32_t satellite, int kind, const Sample &a, const Sample &b, Found &found) {
        if (b.t - a.t <= tolerance)
            found.crossings.push_back({satellite, kind, a, b});
        else
            found.open.push_back({satellite, kind, a, b});
    }

    // The bound on the edges' second derivative over a b, from the range the
    // angle between the centres can take there (infinite near 0 or pi).
    static double curvature(const Bounds &bounds, const Sample &a, const Sample &b) {
        const double h = double(b.t - a.t) * 1e-9;
        const double low = 0.5 * (a.apart + b.apart - bounds.rate * h);
        const double high = 0.5 * (a.apart + b.apart + bounds.rate * h);
        if (!(low > 0 && high < pi))
            return INFINITY;
        const double cot = std::max(std::fabs(1 / std::tan(low)), std::fabs(1 / std::tan(high)));
        return cot * bounds.turn + bounds.rest;
    }

    // Slack on the rates the states give: a theory's velocities are not the
    // exact derivatives of its positions (by up to some metres per second far
    // out, centimetres per second in low orbits).
    static constexpr double rate_slack = 1e-7;  // rad/s

    // No zero of the edge `kind` in a b: the ends on one side and both
    // quadratic envelopes (from the rate at one end and the curvature bound,
    // each over its half) too, or the rate bound alone keeping it there.
    static bool one_signed(const Sample &a, const Sample &b, int kind, double rate, double m, double h) {
        const double sign = a.edge[kind] > 0 ? 1.0 : -1.0;
        const double fa = sign * a.edge[kind], fb = sign * b.edge[kind];
        if (!(fa > 0 && fb > 0))
            return false;
        if (fa + fb > rate * h)
            return true;
        const double ga = sign * a.rate[kind], gb = sign * b.rate[kind];
        const double dip = m * h * h / 8 + rate_slack * h / 2;
        return fa + ga * h / 2 - dip > 0 && fb - gb * h / 2 - dip > 0;
    }

    // The edge `kind` changes sign once in a b: its rate keeps its sign.
    static bool monotone(const Sample &a, const Sample &b, int kind, double m, double h) {
        const double ga = a.rate[kind], gb = b.rate[kind];
        if ((ga > 0) != (gb > 0))
            return false;
        return std::fabs(ga) + std::fabs(gb) - 2 * rate_slack > m * h;
    }

    void classify(uint32_t satellite, const Sample &a, const Sample &b, Found &found) {
        const Bounds &bounds = bounds_[satellite];
        const double h = double(b.t - a.t) * 1e-9;
        const double m = curvature(bounds, a, b);
        bool split_it = false;
        int changing[2], count = 0;
        for (int kind : {penumbra, umbra}) {
            if ((a.edge[kind] > 0) != (b.edge[kind] > 0)) {
                changing[count++] = kind;
                split_it = split_it || !monotone(a, b, kind, m, h);
            } else {
                split_it = split_it || !one_signed(a, b, kind, bounds.rate, m, h);
            }
        }
        if (split_it && b.t - a.t > shortest_) {
            // A satellite whose motion defeats the bounds (an orbit no theory
            // should give) would split without end: its search ends here.
            if (count_[satellite] > most_samples)
                end_[satellite] = std::min(end_[satellite], a.t);
            else
                found.open.push_back({satellite, split, a, b});
            return;
        }
        for (int j = 0; j < count; ++j)
            bracket(satellite, changing[j], a, b, found);
    }

    using Crossings = std::vector<Cross>::const_iterator;

    // The eclipses of one edge of one satellite from its first sample (the
    // start) and its refined crossings [first, last), in time order.
    void collect(uint32_t satellite, int kind, Crossings first, Crossings last, std::vector<Eclipse> &out) const {
        const int64_t end = end_[satellite];
        bool inside = value(first_[satellite], kind) <= 0;
        Eclipse current{satellite, kind == umbra, 0, 0, uint8_t(inside ? entry_before_start : 0)};
        for (Crossings c = first; c != last && c->a.t < end; ++c) {
            const int64_t t = c->a.t + (c->b.t - c->a.t) / 2;
            const bool entering = value(c->b, kind) <= 0;
            if (entering == inside)
                continue;
            if (entering) {
                current = {satellite, kind == umbra, t, 0, 0};
            } else {
                current.exit = t;
                out.push_back(current);
            }
            inside = entering;
        }
        if (inside) {
            current.exit = std::min(end, span_);
            current.flags |= end < span_ ? samples_failed : exit_after_stop;
            out.push_back(current);
        }
    }

    SunPath sun_;
    int64_t span_, shortest_;
    std::vector<Sample> first_;  // each satellite's state at the start
    std::vector<size_t> count_;  // and how many it has been sampled at
    std::vector<Found> parts_;   // one per core, filled in turn by each round
    std::vector<Bounds> bounds_;
    std::vector<int64_t> end_;  // where each satellite's valid states end
    std::vector<Open> open_;
    std::vector<Cross> crossings_;
    std::vector<Request> pending_;
};

}  // namespace astrokite::lighting
