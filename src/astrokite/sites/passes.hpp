// Pass search: when satellites rise above, culminate and set below a minimum
// elevation over a site. Plain C++ with no Python and no propagator: the caller
// supplies Earth-fixed states on a common time grid, then answers rounds of
// requests (satellite, time) until the search is done, so that every
// propagation runs in batches.
//
// Visibility is the sign of the clearance g = d.up - sin(min_elevation) |d|
// (d the site-to-satellite vector), which is positive exactly when the
// elevation exceeds the minimum. No pass is missed between two samples: g has a
// bounded second derivative B (from the orbit's smallest radius and largest
// speed, with margins for the perturbations), so with the exact rates at both
// ends an interval whose quadratic envelope stays one-signed cannot hold a
// crossing. Far from the site a second test decides long intervals: the
// satellite's direction turns at a bounded rate and must come within a cone
// about the site's up axis to be seen. Any other interval is split until it is
// decided, however short the pass (down to a millisecond). Crossings are then
// refined to 10 us, and each culmination by a search on elevations alone to
// 0.1 ms (the velocities of deep-space theories are not exact derivatives of
// their positions, which would move the zero of a rate-based culmination by
// minutes for a near-stationary satellite).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "astrokite/frames/transforms.hpp"

namespace astrokite::sites {

using frames::Vec3;

inline constexpr double gm_earth = 3.986004418e14;  // m^3/s^2

// Where and how high: the site's Earth-fixed position, its up axis, the sine
// of the minimum elevation.
struct Observer {
    Vec3 position;
    Vec3 up;
    double sin_min_elevation;
};

// One evaluated state of a satellite at `t` ns after the start.
struct Sample {
    int64_t t;
    double g;          // clearance [m]
    double rate;       // dg/dt [m/s]
    double elevation;  // [rad]
    double zenith;     // angle between the satellite's direction and the site's up axis [rad]
    bool valid;
};

inline Sample evaluate(const Observer &o, int64_t t, const double *r, const double *v) {
    const Vec3 d{r[0] - o.position.x, r[1] - o.position.y, r[2] - o.position.z};
    const double range = std::sqrt(frames::dot(d, d));
    const double du = frames::dot(d, o.up);
    const double vu = v[0] * o.up.x + v[1] * o.up.y + v[2] * o.up.z;
    const double dv = d.x * v[0] + d.y * v[1] + d.z * v[2];
    const double radius = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    Sample s;
    s.t = t;
    s.g = du - o.sin_min_elevation * range;
    s.rate = vu - o.sin_min_elevation * dv / range;
    s.elevation = std::asin(std::clamp(du / range, -1.0, 1.0));
    s.zenith = std::acos(std::clamp(frames::dot(Vec3{r[0], r[1], r[2]}, o.up) / radius, -1.0, 1.0));
    s.valid = std::isfinite(s.g) && std::isfinite(s.rate) && range > 0;
    return s;
}

// The extent of the osculating orbit of an Earth-fixed state, from the inertial
// velocity (the Earth's turn added back): perigee and apogee radii [m] (the
// apogee infinite when unbound) and the inertial speed at perigee [m/s].
struct Extent {
    double perigee, apogee, fastest;
};

inline Extent osculating_extent(const double *r, const double *v) {
    const double radius = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    const double w = frames::earth_rotation_rate;
    const double vi[3] = {v[0] - w * r[1], v[1] + w * r[0], v[2]};
    const double hx = r[1] * vi[2] - r[2] * vi[1], hy = r[2] * vi[0] - r[0] * vi[2];
    const double hz = r[0] * vi[1] - r[1] * vi[0];
    const double h2 = hx * hx + hy * hy + hz * hz;
    const double energy = 0.5 * (vi[0] * vi[0] + vi[1] * vi[1] + vi[2] * vi[2]) - gm_earth / radius;
    const double e = std::sqrt(std::max(0.0, 1 + 2 * energy * h2 / (gm_earth * gm_earth)));
    Extent x;
    x.perigee = h2 / (gm_earth * (1 + e));
    x.apogee = e < 1 ? h2 / (gm_earth * (1 - e)) : INFINITY;
    x.fastest = std::sqrt(h2) / x.perigee;
    return x;
}

enum PassFlags : uint8_t {
    rises_before_start = 1,  // under way at the start: `rise` is the start
    sets_after_stop = 2,     // under way at the stop: `set` is the stop
    samples_failed = 4,      // the propagation failed at `set` (or at `rise` for a row with no pass)
};

struct Pass {
    uint32_t satellite;
    int64_t rise, culmination, set;  // ns after the start
    double max_elevation;            // rad, NaN for a failure row
    uint8_t flags;
};

// A request for the state of `satellite` at `t` ns after the start.
struct Request {
    uint32_t satellite;
    int64_t t;
};

class PassSearch {
public:
    // `root_tolerance` and `shortest` in ns: crossings are refined to within the
    // first; one-signed stretches shorter than the second are not split further
    // (a pass or a gap shorter than it is not resolved).
    // `earth` gives the Earth orientation of each instant the TEME states are
    // turned Earth-fixed at (no days: UT1 = UTC, no polar motion).
    PassSearch(const Observer &observer, size_t satellites, int64_t span, const eop::DailyTable &earth = {},
               int64_t root_tolerance = 10'000, int64_t shortest = 1'000'000)
        : observer_(observer), earth_(earth), span_(span), tolerance_(root_tolerance), shortest_(shortest),
          samples_(satellites), bounds_(satellites), failed_at_(satellites, no_failure) {}

    // The common grid: `times` offsets (ns, increasing, first 0, last the span)
    // and Earth-fixed (satellites, times, 3) states; `valid` flags per sample.
    // A satellite's grid ends at its first failed sample.
    void start(const int64_t *times, size_t n, const double *position, const double *velocity,
               const uint8_t *valid) {
        for (size_t i = 0; i < samples_.size(); ++i) {
            auto &mine = samples_[i];
            mine.reserve(n + 64);
            Extent widest{INFINITY, 0, 0};
            for (size_t k = 0; k < n; ++k) {
                const size_t at = (i * n + k) * 3;
                Sample s = evaluate(observer_, times[k], position + at, velocity + at);
                if (!(s.valid && valid[i * n + k])) {
                    fail(uint32_t(i), times[k], mine.empty() ? no_sample : uint32_t(mine.size() - 1));
                    break;
                }
                mine.push_back(s);
                const Extent x = osculating_extent(position + at, velocity + at);
                widest = {std::min(widest.perigee, x.perigee), std::max(widest.apogee, x.apogee),
                          std::max(widest.fastest, x.fastest)};
            }
            if (!mine.empty())
                bounds_[i] = motion_bounds(widest);
            for (uint32_t k = 1; k < mine.size(); ++k)
                classify(Job{uint32_t(i), k - 1, k, 0});
        }
    }

    // start() and supply() from TEME states: `epoch` is the count (ns since
    // 1970, UTC) that the offsets count from.
    void start_teme(int64_t epoch, const int64_t *times, size_t n, const double *position,
                    const double *velocity, const uint8_t *valid) {
        std::vector<int64_t> ns(n);
        for (size_t k = 0; k < n; ++k)
            ns[k] = epoch + times[k];
        std::vector<double> orientation(3 * n);
        for (size_t k = 0; k < n; ++k) {
            const eop::Orientation o = earth_.at(ns[k]);
            orientation[3 * k] = o.ut1_utc, orientation[3 * k + 1] = o.xp, orientation[3 * k + 2] = o.yp;
        }
        std::vector<double> r(3 * n * samples_.size()), v(r.size());
        frames::teme_itrf(ns.data(), orientation.data(), n, samples_.size(), position, velocity, r.data(), v.data(),
                          true);
        start(times, n, r.data(), v.data(), valid);
    }

    void supply_teme(int64_t epoch, const double *position, const double *velocity, const uint8_t *valid) {
        std::vector<double> r(3 * pending_.size()), v(r.size());
        for (size_t i = 0; i < pending_.size(); ++i) {
            const int64_t ns = epoch + pending_[i].t;
            frames::teme_to_itrf(frames::earth_turn(ns, earth_.at(ns)), position + 3 * i, velocity + 3 * i, &r[3 * i],
                                 &v[3 * i]);
        }
        supply(r.data(), v.data(), valid);
    }

    // The states wanted next, in the order `supply` takes them; empty when done.
    const std::vector<Request> &requests() {
        // Nothing after a failure is searched.
        if (failures_moved_)
            std::erase_if(open_, [&](const Job &job) {
                return samples_[job.satellite][job.lo].t >= failed_at_[job.satellite];
            });
        failures_moved_ = false;
        std::sort(edges_.begin(), edges_.end());
        edges_.erase(std::unique(edges_.begin(), edges_.end()), edges_.end());
        std::erase_if(edges_, [&](uint32_t i) { return !edge_open(i); });
        if (open_.empty() && edges_.empty() && !culminating_) {
            culminating_ = true;
            find_culminations();
        }
        pending_.clear();
        targets_.clear();
        if (culminating_) {
            for (size_t j = 0; j < peaks_.size(); ++j) {
                pending_.push_back({peaks_[j].satellite, next_point(peaks_[j])});
                targets_.push_back(j);
            }
            return pending_;
        }
        for (size_t j = 0; j < open_.size(); ++j) {
            const Points next = next_points(open_[j]);
            for (int p = 0; p < next.count; ++p) {
                pending_.push_back({open_[j].satellite, next.t[p]});
                targets_.push_back(j);
            }
        }
        // Where a failure starts: quarters of the stretch between the last good
        // sample and the first failed one.
        for (size_t e = 0; e < edges_.size(); ++e) {
            const uint32_t i = edges_[e];
            const int64_t lo = samples_[i][edge_lo_[i]].t, width = failed_at_[i] - lo;
            for (int q = 1; q <= 3; ++q) {
                pending_.push_back({i, lo + width * q / 4});
                targets_.push_back(open_.size() + e);
            }
        }
        return pending_;
    }

    // Earth-fixed states at the requests of the last round.
    void supply(const double *position, const double *velocity, const uint8_t *valid) {
        if (culminating_) {
            std::vector<Peak> peaks;
            peaks.swap(peaks_);
            for (size_t j = 0; j < peaks.size(); ++j) {
                Sample s = evaluate(observer_, pending_[j].t, position + 3 * j, velocity + 3 * j);
                if (s.valid && valid[j])
                    narrow(peaks[j], s);
            }
            return;
        }
        std::vector<Job> jobs;
        jobs.swap(open_);
        size_t at = 0;
        // Each interval's new samples split it, up to the first that fails:
        // from there on nothing is searched, and the stretch between the last
        // good sample and the failure is narrowed down instead.
        auto split = [&](uint32_t i, uint32_t lo, uint32_t hi, int64_t width, size_t target) {
            auto &mine = samples_[i];
            uint32_t last = lo;
            bool failed = false;
            for (; at < targets_.size() && targets_[at] == target; ++at) {
                if (failed)
                    continue;
                Sample s = evaluate(observer_, pending_[at].t, position + 3 * at, velocity + 3 * at);
                if (!(s.valid && valid[at])) {
                    fail(i, s.t, last);
                    failed = true;
                    continue;
                }
                mine.push_back(s);
                classify(Job{i, last, uint32_t(mine.size() - 1), width});
                last = uint32_t(mine.size() - 1);
            }
            if (!failed && hi != no_sample)
                classify(Job{i, last, hi, width});
            return failed ? no_sample : last;
        };
        for (size_t j = 0; j < jobs.size(); ++j) {
            const Job &job = jobs[j];
            const auto &mine = samples_[job.satellite];
            split(job.satellite, job.lo, job.hi, mine[job.hi].t - mine[job.lo].t, j);
            // A satellite whose motion defeats the bounds (an orbit no theory
            // should give) would split without end: its search stops here and
            // it gets a failure row instead.
            if (mine.size() > most_samples)
                fail(job.satellite, mine[job.lo].t, no_sample);
        }
        std::vector<uint32_t> edges(edges_);
        for (size_t e = 0; e < edges.size(); ++e) {
            const uint32_t i = edges[e];
            // A failure found earlier in this round moved the edge: these samples lie past it.
            const size_t target = jobs.size() + e;
            if (pending_[at].t >= failed_at_[i])
                while (at < targets_.size() && targets_[at] == target)
                    ++at;
            else if (const uint32_t last = split(i, edge_lo_[i], no_sample, failed_at_[i] - samples_[i][edge_lo_[i]].t,
                                                 target);
                     last != no_sample)
                edge_lo_[i] = last;
        }
    }

    // Every pass found, by satellite and then time, with a failure row for a
    // satellite whose states failed outside a pass.
    std::vector<Pass> passes() const {
        std::vector<Pass> out = passes_;
        std::sort(out.begin(), out.end(), [](const Pass &a, const Pass &b) {
            return a.satellite != b.satellite ? a.satellite < b.satellite : a.rise < b.rise;
        });
        return out;
    }

private:
    static constexpr int64_t no_failure = std::numeric_limits<int64_t>::max();
    static constexpr uint32_t no_sample = std::numeric_limits<uint32_t>::max();

    // Satellite `i` failed at `t`; `good` is its last good sample before that,
    // from which the start of the failure is narrowed down (no_sample: none).
    void fail(uint32_t i, int64_t t, uint32_t good) {
        if (t >= failed_at_[i])
            return;
        failed_at_[i] = t;
        failures_moved_ = true;
        edge_lo_[i] = good;
        if (edge_open(i))
            edges_.push_back(i);
    }

    bool edge_open(uint32_t i) const {
        return edge_lo_[i] != no_sample && failed_at_[i] - samples_[i][edge_lo_[i]].t > tolerance_;
    }
    // Culminations to within 0.1 ms: the elevation is flat there, so a tighter
    // bracket buys rounds, not accuracy.
    static constexpr int64_t peak_tolerance = 100'000;
    static constexpr size_t most_samples = 100'000;

    // An open interval between two samples of one satellite, by index.
    struct Job {
        uint32_t satellite, lo, hi;
        int64_t parent_width;  // of the interval this one was split from, 0 for none
    };

    // A bracket of a pass's highest point: elevation at `mid` at least that at
    // `lo` and `hi`.
    struct Peak {
        uint32_t satellite, pass;
        Sample lo, mid, hi;
        int rounds;
    };

    struct Crossing {
        int64_t t;
        bool rising;
    };

    // Bounds of a satellite's motion over the span, from the osculating orbits
    // of its grid samples with 3% margins for what the theory adds to a
    // Keplerian orbit (short-period terms, drag): the radius stays within
    // [r_min, r_max] and the Earth-fixed speed under v_max. From them, a bound B
    // on |g''| (the acceleration in the rotating frame: central gravity with a
    // 20% margin, Coriolis and centrifugal terms; plus the curvature of |d| for
    // a minimum elevation above zero), the widest angle `cone` between the
    // site's up axis and a satellite direction that can be visible, and the
    // fastest turn `spin` of that direction.
    struct Bounds {
        double curvature = 0, cone = 0, spin = 0;
    };

    Bounds motion_bounds(const Extent &widest) const {
        Bounds b;
        const double w = frames::earth_rotation_rate;
        double r_min = widest.perigee * 0.97, r_max = widest.apogee * 1.03, v_max = widest.fastest;
        const double v_top = 1.03 * v_max + w * std::min(r_max, 1e12);
        const double site = std::sqrt(frames::dot(observer_.position, observer_.position));
        const double sm = observer_.sin_min_elevation;
        const double a = 1.2 * gm_earth / (r_min * r_min) + 2 * w * v_top + w * w * std::min(r_max, 1e12);
        const double near = std::max(r_min - site, 1e3);
        b.curvature = a + std::fabs(sm) * (v_top * v_top / near + a);
        // Visible needs r.up >= S.up + |d| sin(min elevation), with |d| <= r + |S|.
        const double plane = frames::dot(observer_.position, observer_.up);
        const double reach = std::min(sm, 0.0) * (r_max + site);
        b.cone = std::isfinite(r_max) ? std::acos(std::clamp((plane + reach) / r_max, -1.0, 1.0)) : frames::two_pi / 2;
        if (plane + reach < 0)  // the lowest visible point may lie below the horizontal plane
            b.cone = frames::two_pi / 2;
        b.spin = v_top / r_min;
        return b;
    }

    void classify(Job job) {
        const auto &mine = samples_[job.satellite];
        const Sample &a = mine[job.lo], &b = mine[job.hi];
        const int64_t width = b.t - a.t;
        const bool above_a = a.g > 0, above_b = b.g > 0;
        if (above_a != above_b) {
            if (width <= tolerance_)
                crossings_[job.satellite].push_back({a.t + width / 2, above_b});
            else
                open_.push_back(job);
            return;
        }
        if (width <= shortest_ || envelope_is_one_signed(a, b, bounds_[job.satellite]))
            return;
        open_.push_back(job);
    }

    // Whether g keeps the sign of both ends: each half is bounded by the Taylor
    // parabola from its own end, whose extreme lies at an end of the half. Below
    // the horizon, also when the satellite's direction cannot turn into the
    // visible cone from either end within the interval.
    static bool envelope_is_one_signed(const Sample &a, const Sample &b, const Bounds &bounds) {
        const double width = double(b.t - a.t) * 1e-9, half = 0.5 * width;
        const double bend = 0.5 * bounds.curvature * half * half;
        if (a.g > 0)
            return a.g + a.rate * half - bend > 0 && b.g - b.rate * half - bend > 0;
        if (a.zenith + b.zenith - bounds.spin * width > 2 * bounds.cone)
            return true;
        return a.g + a.rate * half + bend < 0 && b.g - b.rate * half + bend < 0;
    }

    // Points to evaluate inside an open interval: the midpoint for a stretch
    // being split (quarters, to save rounds); for a sign change, a Newton or
    // secant estimate straddled by two points a tolerance apart, so that a good
    // estimate closes the bracket in one round.
    // Up to three times to evaluate inside an interval, in increasing order.
    struct Points {
        static constexpr int most = 3;
        int count;
        int64_t t[most];
    };

    Points next_points(const Job &job) const {
        const auto &mine = samples_[job.satellite];
        const Sample &a = mine[job.lo], &b = mine[job.hi];
        const int64_t width = b.t - a.t;
        const bool sign_change = (a.g > 0) != (b.g > 0);
        // Bisect when the last estimate did not halve the bracket (an estimate
        // that keeps landing on one side), so that the width at least halves
        // every second round.
        if (sign_change && job.parent_width > 0 && 2 * width > job.parent_width)
            return {1, {a.t + width / 2}};
        if (!sign_change)  // quarters: fewer rounds for a few more states
            return {3, {a.t + width / 4, a.t + width / 2, b.t - width / 4}};
        // The root of the cubic through both ends' values and rates; the secant
        // when the rates give none. Rates of some theories are not exact
        // derivatives: a poor estimate costs a round, no more.
        double estimate = hermite_root(a, b, width);
        if (!(estimate > 0 && estimate < 1))
            estimate = a.g / (a.g - b.g);
        if (!(estimate > 0 && estimate < 1))
            estimate = 0.5;
        const int64_t x = a.t + int64_t(std::llround(estimate * double(width)));
        const int64_t step = tolerance_ / 2;
        const int64_t lo = std::max(x - step, a.t + 1), hi = std::min(x + step, b.t - 1);
        if (hi - lo < 1)
            return {1, {a.t + width / 2}};
        return {2, {lo, hi}};
    }

    // Where in [0, 1] the cubic Hermite interpolant of g over an interval with
    // a sign change crosses zero, by bisection of the cubic down to a fraction
    // of the root tolerance; NaN when the rates are not finite.
    double hermite_root(const Sample &a, const Sample &b, int64_t width) const {
        const double seconds = double(width) * 1e-9;
        const double p0 = a.g, p1 = b.g, m0 = a.rate * seconds, m1 = b.rate * seconds;
        if (!(std::isfinite(m0) && std::isfinite(m1)))
            return NAN;
        auto cubic = [&](double u) {
            const double v = 1 - u;
            return v * v * ((1 + 2 * u) * p0 + u * m0) + u * u * ((3 - 2 * u) * p1 - v * m1);
        };
        const bool above_lo = p0 > 0;
        double lo = 0, hi = 1;
        for (int64_t span = width; span > tolerance_ / 8 && hi - lo > 1e-15; span /= 2) {
            const double mid = 0.5 * (lo + hi);
            ((cubic(mid) > 0) == above_lo ? lo : hi) = mid;
        }
        return 0.5 * (lo + hi);
    }

    // The next point of a peak search: the vertex of the parabola through the
    // three samples; a step of half a tolerance beside the middle when the
    // vertex is that close (so that the far bound moves in), and a golden
    // section of the wider side when the vertex is useless or progress slow.
    int64_t next_point(const Peak &peak) const {
        const Sample &a = peak.lo, &m = peak.mid, &b = peak.hi;
        const double ta = double(a.t - m.t), tb = double(b.t - m.t);
        const double fa = a.elevation - m.elevation, fb = b.elevation - m.elevation;
        const double offset = 0.5 * (ta * ta * fb - tb * tb * fa) / (ta * fb - tb * fa);
        const bool right_wider = b.t - m.t > m.t - a.t;
        double x;
        if (peak.rounds > 40 || !std::isfinite(offset) || !(offset > ta && offset < tb))
            x = right_wider ? 0.381966 * tb : 0.381966 * ta;
        else if (std::fabs(offset) < 0.5 * double(peak_tolerance))
            x = (right_wider ? 0.5 : -0.5) * double(peak_tolerance);
        else
            x = offset;
        int64_t t = m.t + std::llround(x);
        t = std::clamp(t, a.t + 1, b.t - 1);
        if (t == m.t)
            t = right_wider ? m.t + 1 : m.t - 1;
        return t;
    }

    void narrow(Peak peak, const Sample &s) {
        if (s.elevation >= peak.mid.elevation) {
            if (s.t < peak.mid.t)
                peak.hi = peak.mid;
            else
                peak.lo = peak.mid;
            peak.mid = s;
        } else if (s.t < peak.mid.t) {
            peak.lo = s;
        } else {
            peak.hi = s;
        }
        ++peak.rounds;
        if (peak.hi.t - peak.lo.t > 2 * peak_tolerance && peak.rounds < 80 && peak.hi.t - peak.lo.t > 2) {
            peaks_.push_back(peak);
            return;
        }
        // A refined maximum beats a sample of equal height: elevations near a
        // flat maximum (a geostationary satellite) differ by rounding.
        Pass &pass = passes_[peak.pass];
        if (peak.mid.elevation >= pass.max_elevation - 1e-12)
            pass.max_elevation = peak.mid.elevation, pass.culmination = peak.mid.t;
    }

    // Sorted by time through (time, index) pairs: cheaper to move than samples.
    static void in_time_order(std::vector<Sample> &samples) {
        std::vector<std::pair<int64_t, uint32_t>> order(samples.size());
        for (uint32_t k = 0; k < samples.size(); ++k)
            order[k] = {samples[k].t, k};
        std::sort(order.begin(), order.end());
        std::vector<Sample> sorted(samples.size());
        for (size_t k = 0; k < order.size(); ++k)
            sorted[k] = samples[order[k].second];
        samples.swap(sorted);
    }

    // Passes from the crossings of each satellite. The highest sample inside a
    // pass is its first culmination; every local maximum of the samples inside
    // (a crossing counting as a sample at the minimum elevation) opens a peak
    // search.
    void find_culminations() {
        const double threshold = std::asin(observer_.sin_min_elevation);
        for (uint32_t i = 0; i < samples_.size(); ++i) {
            // No interval refers to the samples by index any more: they are put in time order in place.
            std::vector<Sample> &mine = samples_[i];
            in_time_order(mine);
            auto &crossings = crossings_[i];
            std::sort(crossings.begin(), crossings.end(),
                      [](const Crossing &p, const Crossing &q) { return p.t < q.t; });
            const size_t first_pass = passes_.size();
            const bool visible_at_start = !mine.empty() && mine[0].g > 0;
            bool visible = visible_at_start;
            int64_t rise = 0;
            const int64_t failed = failed_at_[i];
            for (const Crossing &c : crossings) {
                if (c.t >= failed)  // nothing after a failure is trusted
                    break;
                if (c.rising && !visible)
                    rise = c.t, visible = true;
                else if (!c.rising && visible) {
                    passes_.push_back({i, rise, rise, c.t, -INFINITY, 0});
                    visible = false;
                }
            }
            if (visible)
                passes_.push_back({i, rise, rise, failed == no_failure ? span_ : failed, -INFINITY,
                                   uint8_t(failed == no_failure ? sets_after_stop : samples_failed)});
            else if (failed != no_failure)
                passes_.push_back({i, failed, failed, failed, NAN, samples_failed});
            if (visible_at_start && passes_.size() > first_pass)
                passes_[first_pass].flags |= rises_before_start;
            for (size_t p = first_pass; p < passes_.size(); ++p) {
                Pass &pass = passes_[p];
                if (std::isnan(pass.max_elevation))
                    continue;
                std::vector<Sample> inside;
                if (!(pass.flags & rises_before_start))
                    inside.push_back(Sample{pass.rise, 0, 0, threshold, 0, true});
                auto first = std::lower_bound(mine.begin(), mine.end(), pass.rise,
                                              [](const Sample &p, int64_t t) { return p.t < t; });
                for (auto s = first; s != mine.end() && s->t <= pass.set; ++s) {
                    if (!(s->g > 0))
                        continue;
                    inside.push_back(*s);
                    if (s->elevation > pass.max_elevation)
                        pass.max_elevation = s->elevation, pass.culmination = s->t;
                }
                if (!(pass.flags & (sets_after_stop | samples_failed)))
                    inside.push_back(Sample{pass.set, 0, 0, threshold, 0, true});
                for (size_t k = 1; k + 1 < inside.size(); ++k) {
                    const double e = inside[k].elevation;
                    if (e >= inside[k - 1].elevation && e > inside[k + 1].elevation)
                        peaks_.push_back(Peak{i, uint32_t(p), inside[k - 1], inside[k], inside[k + 1], 0});
                }
                // A pass cut by the start or the stop may peak between its end
                // sample and the next one although that end is higher: search
                // there too, from the end as the provisional top.
                const size_t last = inside.size() - 1;
                if (inside.size() >= 2 && (pass.flags & rises_before_start) &&
                    inside[0].elevation > inside[1].elevation)
                    peaks_.push_back(Peak{i, uint32_t(p), inside[0], inside[0], inside[1], 0});
                if (inside.size() >= 2 && (pass.flags & (sets_after_stop | samples_failed)) &&
                    inside[last].elevation > inside[last - 1].elevation)
                    peaks_.push_back(Peak{i, uint32_t(p), inside[last - 1], inside[last], inside[last], 0});
            }
        }
    }

    Observer observer_;
    eop::DailyTable earth_;
    int64_t span_, tolerance_, shortest_;
    std::vector<std::vector<Sample>> samples_;
    std::vector<Bounds> bounds_;
    std::vector<int64_t> failed_at_;
    std::vector<uint32_t> edge_lo_ = std::vector<uint32_t>(samples_.size(), no_sample);
    std::vector<uint32_t> edges_;  // satellites whose failure start is being narrowed down
    std::vector<std::vector<Crossing>> crossings_ = std::vector<std::vector<Crossing>>(samples_.size());
    std::vector<Job> open_;
    std::vector<Request> pending_;
    std::vector<size_t> targets_;
    std::vector<Pass> passes_;
    std::vector<Peak> peaks_;
    bool culminating_ = false;
    bool failures_moved_ = false;  // since the last round of requests
};

// A search window on a grid of `step` ns from `start`, with `stop` the last
// point, cut into pieces of at most `steps_per_piece` steps: each piece is
// searched on its own, which bounds the samples a search holds however long
// the window.
struct Window {
    static constexpr int64_t steps_per_piece = 512;
    int64_t start, stop, step;

    int64_t steps() const { return (stop - start + step - 1) / step; }
    size_t pieces() const { return size_t((steps() + steps_per_piece - 1) / steps_per_piece); }
    int64_t piece_start(size_t k) const { return start + int64_t(k) * steps_per_piece * step; }
    int64_t piece_stop(size_t k) const { return k + 1 < pieces() ? piece_start(k + 1) : stop; }

    // The grid of piece k as offsets from its start, the piece's end last.
    std::vector<int64_t> offsets(size_t k) const {
        const int64_t span = piece_stop(k) - piece_start(k);
        std::vector<int64_t> out;
        for (int64_t t = 0; t < span; t += step)
            out.push_back(t);
        out.push_back(span);
        return out;
    }
};

// The passes of a search cut into pieces of time, joined into those of the
// whole window: `found` holds every piece's passes with times in ns since 1970
// (not after the piece's start), `stop` is the end of the window. A pass under
// way at a cut continues in the next piece's first pass; a satellite's failure
// ends its search, so nothing of it after the first failure is kept.
inline std::vector<Pass> join_pieces(std::vector<Pass> found, int64_t stop) {
    std::sort(found.begin(), found.end(), [](const Pass &a, const Pass &b) {
        if (a.satellite != b.satellite)
            return a.satellite < b.satellite;
        return a.rise != b.rise ? a.rise < b.rise : a.set < b.set;
    });
    std::vector<Pass> out;
    for (const Pass &p : found) {
        Pass *last = out.empty() || out.back().satellite != p.satellite ? nullptr : &out.back();
        if (last && (last->flags & samples_failed))
            continue;
        const bool cut = last && (last->flags & sets_after_stop) && last->set < stop && last->set == p.rise;
        if (cut && std::isnan(p.max_elevation)) {  // failed from the cut on: the pass ends there
            last->flags = uint8_t((last->flags & ~sets_after_stop) | samples_failed);
        } else if (cut && (p.flags & rises_before_start)) {
            if (p.max_elevation > last->max_elevation)
                last->max_elevation = p.max_elevation, last->culmination = p.culmination;
            last->set = p.set;
            last->flags = uint8_t((last->flags & rises_before_start) | (p.flags & ~rises_before_start));
        } else {
            out.push_back(p);
        }
    }
    return out;
}

}  // namespace astrokite::sites
