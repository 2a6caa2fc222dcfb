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
// crossing; any other interval is split until it is decided, however short the
// pass. Crossings are then refined to well under a millisecond, and each
// culmination by a search on elevations alone (the velocities of deep-space
// theories are not exact derivatives of their positions, which would move the
// zero of a rate-based culmination by minutes for a near-stationary satellite).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
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
    double radius;     // |r| [m]
    double radial;     // d|r|/dt [m/s]
    double speed;      // |v| [m/s]
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
    s.radius = radius;
    s.radial = (r[0] * v[0] + r[1] * v[1] + r[2] * v[2]) / radius;
    s.speed = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    s.valid = std::isfinite(s.g) && std::isfinite(s.rate) && range > 0;
    return s;
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
    PassSearch(const Observer &observer, size_t satellites, int64_t span, int64_t root_tolerance = 10'000,
               int64_t shortest = 1'000'000)
        : observer_(observer), span_(span), tolerance_(root_tolerance), shortest_(shortest),
          samples_(satellites), bound_(satellites, 0.0), failed_at_(satellites, no_failure) {}

    // The common grid: `times` offsets (ns, increasing, first 0, last the span)
    // and Earth-fixed (satellites, times, 3) states; `valid` flags per sample.
    void start(const int64_t *times, size_t n, const double *position, const double *velocity,
               const uint8_t *valid) {
        for (size_t i = 0; i < samples_.size(); ++i) {
            auto &mine = samples_[i];
            mine.reserve(n + 64);
            for (size_t k = 0; k < n; ++k) {
                const size_t at = (i * n + k) * 3;
                Sample s = evaluate(observer_, times[k], position + at, velocity + at);
                s.valid = s.valid && valid[i * n + k];
                if (!s.valid) {
                    failed_at_[i] = times[k];
                    break;
                }
                mine.push_back(s);
            }
            bound_[i] = curvature_bound(mine, n > 1 ? times[1] - times[0] : span_);
            for (uint32_t k = 1; k < mine.size(); ++k)
                classify(Job{uint32_t(i), k - 1, k, 0});
        }
    }

    // The states wanted next, in the order `supply` takes them; empty when done.
    const std::vector<Request> &requests() {
        if (open_.empty() && !culminating_) {
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
            for (int64_t t : next_points(open_[j])) {
                pending_.push_back({open_[j].satellite, t});
                targets_.push_back(j);
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
        for (size_t j = 0; j < jobs.size(); ++j) {
            Job job = jobs[j];
            auto &mine = samples_[job.satellite];
            std::vector<uint32_t> points{job.lo};
            bool failed = false;
            for (; at < targets_.size() && targets_[at] == j; ++at) {
                Sample s = evaluate(observer_, pending_[at].t, position + 3 * at, velocity + 3 * at);
                if (!(s.valid && valid[at])) {
                    failed_at_[job.satellite] = std::min(failed_at_[job.satellite], s.t);
                    failed = true;
                    continue;
                }
                points.push_back(uint32_t(mine.size()));
                mine.push_back(s);
            }
            if (failed)
                continue;
            points.push_back(job.hi);
            for (size_t p = 1; p < points.size(); ++p)
                classify(Job{job.satellite, points[p - 1], points[p], job.rounds + 1});
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

    // An open interval between two samples of one satellite, by index.
    struct Job {
        uint32_t satellite, lo, hi;
        int rounds;
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

    // A bound on |g''| over the whole span from the grid: the acceleration in the
    // rotating frame (central gravity with a 20% margin for the perturbations,
    // Coriolis and centrifugal terms) at the smallest radius and largest speed the
    // samples allow between them, plus the curvature of |d| for a minimum
    // elevation above zero.
    double curvature_bound(const std::vector<Sample> &mine, int64_t step) const {
        if (mine.empty())
            return 0.0;
        const double w = frames::earth_rotation_rate, h = 0.5 * double(step) * 1e-9;
        double r_max = 0, v_max = 0, r_grid = std::numeric_limits<double>::infinity();
        for (const Sample &s : mine) {
            r_max = std::max(r_max, s.radius), v_max = std::max(v_max, s.speed);
            r_grid = std::min(r_grid, s.radius);
        }
        double r_min = r_grid, v_top = v_max, a = 0;
        for (int round = 0; round < 4; ++round) {
            a = 1.2 * gm_earth / (r_min * r_min) + 2 * w * v_top + w * w * (r_max + v_top * h);
            double lowest = r_grid;
            for (const Sample &s : mine)
                lowest = std::min(lowest, s.radius - std::fabs(s.radial) * h - 0.5 * a * h * h);
            const double next = std::max(lowest, 0.5 * r_grid);
            v_top = v_max + a * h;
            if (next >= r_min)
                break;
            r_min = next;
        }
        const double site = std::sqrt(frames::dot(observer_.position, observer_.position));
        const double near = std::max(r_min - site, 1e3);
        return a + observer_.sin_min_elevation * (v_top * v_top / near + a);
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
        if (width <= shortest_ || envelope_is_one_signed(a, b, bound_[job.satellite]))
            return;
        open_.push_back(job);
    }

    // Whether g keeps the sign of both ends: each half is bounded by the Taylor
    // parabola from its own end, whose extreme lies at an end of the half.
    static bool envelope_is_one_signed(const Sample &a, const Sample &b, double bound) {
        const double half = 0.5 * double(b.t - a.t) * 1e-9, bend = 0.5 * bound * half * half;
        if (a.g > 0)
            return a.g + a.rate * half - bend > 0 && b.g - b.rate * half - bend > 0;
        return a.g + a.rate * half + bend < 0 && b.g - b.rate * half + bend < 0;
    }

    // Points to evaluate inside an open interval: the midpoint for a stretch
    // being split; for a sign change, a Newton estimate (secant when Newton
    // leaves the bracket) straddled by two points a tolerance apart, so that a
    // good estimate closes the bracket in one round. Bisection after many rounds.
    std::vector<int64_t> next_points(const Job &job) const {
        const auto &mine = samples_[job.satellite];
        const Sample &a = mine[job.lo], &b = mine[job.hi];
        const int64_t width = b.t - a.t;
        const bool sign_change = (a.g > 0) != (b.g > 0);
        if (!sign_change || job.rounds > 30)
            return {a.t + width / 2};
        const Sample &near = std::fabs(a.g) < std::fabs(b.g) ? a : b;
        const double newton = double(near.t - a.t) / double(width) - near.g / near.rate * 1e9 / double(width);
        double estimate = std::isfinite(newton) && newton > 0 && newton < 1 ? newton : a.g / (a.g - b.g);
        if (!(estimate > 0 && estimate < 1))
            estimate = 0.5;
        const int64_t x = a.t + int64_t(std::llround(estimate * double(width)));
        const int64_t step = tolerance_ / 2;
        const int64_t lo = std::max(x - step, a.t + 1), hi = std::min(x + step, b.t - 1);
        if (hi - lo < 1)
            return {a.t + width / 2};
        return {lo, hi};
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
        else if (std::fabs(offset) < 0.5 * double(tolerance_))
            x = (right_wider ? 0.5 : -0.5) * double(tolerance_);
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
        if (peak.hi.t - peak.lo.t > 2 * tolerance_ && peak.rounds < 80 && peak.hi.t - peak.lo.t > 2) {
            peaks_.push_back(peak);
            return;
        }
        // A refined maximum beats a sample of equal height: elevations near a
        // flat maximum (a geostationary satellite) differ by rounding.
        Pass &pass = passes_[peak.pass];
        if (peak.mid.elevation >= pass.max_elevation - 1e-12)
            pass.max_elevation = peak.mid.elevation, pass.culmination = peak.mid.t;
    }

    // Passes from the crossings of each satellite. The highest sample inside a
    // pass is its first culmination; every local maximum of the samples inside
    // (a crossing counting as a sample at the minimum elevation) opens a peak
    // search.
    void find_culminations() {
        const double threshold = std::asin(observer_.sin_min_elevation);
        for (uint32_t i = 0; i < samples_.size(); ++i) {
            std::vector<Sample> mine = samples_[i];
            std::sort(mine.begin(), mine.end(), [](const Sample &p, const Sample &q) { return p.t < q.t; });
            auto &crossings = crossings_[i];
            std::sort(crossings.begin(), crossings.end(), [](const Crossing &p, const Crossing &q) { return p.t < q.t; });
            const size_t first_pass = passes_.size();
            const bool visible_at_start = !mine.empty() && mine[0].g > 0;
            bool visible = visible_at_start;
            int64_t rise = 0;
            for (const Crossing &c : crossings) {
                if (c.rising && !visible)
                    rise = c.t, visible = true;
                else if (!c.rising && visible) {
                    passes_.push_back({i, rise, rise, c.t, -INFINITY, 0});
                    visible = false;
                }
            }
            const int64_t failed = failed_at_[i];
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
                    inside.push_back(Sample{pass.rise, 0, 0, threshold, 0, 0, 0, true});
                for (const Sample &s : mine) {
                    if (s.t < pass.rise || s.t > pass.set || !(s.g > 0))
                        continue;
                    inside.push_back(s);
                    if (s.elevation > pass.max_elevation)
                        pass.max_elevation = s.elevation, pass.culmination = s.t;
                }
                if (!(pass.flags & (sets_after_stop | samples_failed)))
                    inside.push_back(Sample{pass.set, 0, 0, threshold, 0, 0, 0, true});
                for (size_t k = 1; k + 1 < inside.size(); ++k) {
                    const double e = inside[k].elevation;
                    if (e >= inside[k - 1].elevation && e > inside[k + 1].elevation)
                        peaks_.push_back(Peak{i, uint32_t(p), inside[k - 1], inside[k], inside[k + 1], 0});
                }
            }
        }
    }

    Observer observer_;
    int64_t span_, tolerance_, shortest_;
    std::vector<std::vector<Sample>> samples_;
    std::vector<double> bound_;
    std::vector<int64_t> failed_at_;
    std::vector<std::vector<Crossing>> crossings_ = std::vector<std::vector<Crossing>>(samples_.size());
    std::vector<Job> open_;
    std::vector<Request> pending_;
    std::vector<size_t> targets_;
    std::vector<Pass> passes_;
    std::vector<Peak> peaks_;
    bool culminating_ = false;
};

}  // namespace astrokite::sites
