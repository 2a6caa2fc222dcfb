// What a site sees of its passes: sunlight, the Sun's elevation and the range
// rate at rise, culmination and set, and the part of each pass that can be
// seen. Plain C++ with no Python and no propagator: like the pass search, the
// caller answers rounds of requests (satellite, time) with TEME states.
//
// A satellite is visible while it is sunlit (outside the umbra: any part of
// the Sun's disc seen) and the site's Sun is below a darkness threshold.
// Darkness is the same for every pass: its beginnings and ends over the window
// are found once (`Darkness`), by a bracketing search on the Sun's elevation,
// whose rate the Earth's turn bounds. Each pass is cut there, and between its
// events and cuts darkness holds or not throughout; in the dark stretches
// sunlight's ends are found on the umbra's edge. A stretch where the edge
// changes sign is narrowed to 1 ms (at its middle and by false position beside
// it); one the eclipse search's own test (the rates at the ends, bounds from
// the osculating orbits) cannot settle is halved until it can, or until it is
// shorter than a second (a graze of the shadow's edge shorter than that is
// ignored).
//
// The Sun is the TEME path the eclipse search takes (sampled every ten minutes,
// interpolated: its direction is off by far under a nanoradian), turned
// Earth-fixed with the same Earth orientation as the satellites.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "astrokite/eop/table.hpp"
#include "astrokite/frames/transforms.hpp"
#include "astrokite/lighting/eclipses.hpp"
#include "astrokite/lighting/shadow.hpp"
#include "astrokite/sites/passes.hpp"

namespace astrokite::sites {

inline constexpr int64_t visible_tolerance = 1'000'000;  // ns: the edges of the visible part
inline constexpr int64_t shortest_stretch = 1'000'000'000;  // ns: undecided stretches shorter are let go

// The Sun as a site sees it: its TEME path, the Earth's orientation, the site
// and the Sun's elevation [rad] below which the sky counts as dark.
struct Sky {
    Observer site;
    lighting::SunPath sun;  // TEME [m], at ns since 1970
    eop::DailyTable earth;
    double dark_below;

    // The geometric elevation [rad] of an Earth-fixed point seen from the site.
    double elevation_of(const double *itrf) const {
        const Vec3 d{itrf[0] - site.position.x, itrf[1] - site.position.y, itrf[2] - site.position.z};
        return std::asin(std::clamp(frames::dot(d, site.up) / std::sqrt(frames::dot(d, d)), -1.0, 1.0));
    }

    // The Sun's elevation [rad] at `t` (ns since 1970).
    double sun_elevation(int64_t t) const {
        double teme[3], itrf[3];
        sun.at(t, teme);
        frames::teme_to_itrf(frames::earth_turn(t, earth.at(t)), teme, nullptr, itrf, nullptr);
        return elevation_of(itrf);
    }
};

// The zero of the straight line through (a, fa) and (b, fb) [ns], kept half
// a tolerance inside the stretch.
inline int64_t false_position(int64_t a, double fa, int64_t b, double fb) {
    const int64_t half = visible_tolerance / 2;
    const int64_t guess = a + int64_t(double(b - a) * (fa / (fa - fb)));
    return std::clamp(guess, a + half, std::max(a + half, b - half));
}

// When the site's sky is dark over a window: whether it is at the start, and
// the instants (in order, each the first of the new state to 1 ms) at which
// that changes.
class Darkness {
public:
    // The Sun is sampled every ten minutes; a stretch whose ends' distances
    // from the threshold the elevation's fastest change (the Earth's turn and
    // the Sun's own motion, with a margin) cannot cover holds no change.
    static constexpr int64_t step = 600'000'000'000;
    static constexpr double fastest = 7.35e-5;  // rad/s

    Darkness(const Sky &sky, int64_t start, int64_t stop) {
        std::vector<int64_t> grid;
        for (int64_t t = start; t < stop; t += step)
            grid.push_back(t);
        grid.push_back(stop);
        std::vector<double> light(grid.size());
        for (size_t k = 0; k < grid.size(); ++k)
            light[k] = above(sky, grid[k]);
        at_start_ = light[0] < 0;
        for (size_t k = 1; k < grid.size(); ++k)
            refine(sky, grid[k - 1], light[k - 1], grid[k], light[k]);
        std::sort(changes_.begin(), changes_.end());
    }

    bool dark(int64_t t) const {
        const size_t passed = size_t(std::upper_bound(changes_.begin(), changes_.end(), t) - changes_.begin());
        return at_start_ != (passed % 2 == 1);
    }

    const std::vector<int64_t> &changes() const { return changes_; }

private:
    // The Sun's elevation above the threshold [rad].
    static double above(const Sky &sky, int64_t t) { return sky.sun_elevation(t) - sky.dark_below; }

    // Changes between a and b: cut at the middle, and half a tolerance either
    // side of the straight line's zero where the sign changes.
    void refine(const Sky &sky, int64_t a, double fa, int64_t b, double fb) {
        const int64_t h = b - a;
        const bool turns = (fa > 0) != (fb > 0);
        if (turns && h <= visible_tolerance) {
            changes_.push_back(b);
            return;
        }
        if (!turns && !(std::fabs(fa) + std::fabs(fb) <= fastest * double(h) * 1e-9 && h > shortest_stretch))
            return;
        std::array<std::pair<int64_t, double>, 5> points{{{a, fa}, {b, fb}, {a + h / 2, 0.0}}};
        size_t count = 3;
        if (turns) {
            const int64_t guess = false_position(a, fa, b, fb);
            points[count++] = {guess - visible_tolerance / 2, 0.0};
            points[count++] = {guess + visible_tolerance / 2, 0.0};
        }
        for (size_t k = 2; k < count; ++k)
            points[k].second = above(sky, points[k].first);
        std::stable_sort(points.begin(), points.begin() + count,
                         [](const auto &p, const auto &q) { return p.first < q.first; });
        for (size_t k = 1; k < count; ++k)
            if (points[k].first > points[k - 1].first)
                refine(sky, points[k - 1].first, points[k - 1].second, points[k].first, points[k].second);
    }

    bool at_start_ = false;
    std::vector<int64_t> changes_;
};

// What a pass shows: per event (rise, culmination, set) the sunlit fraction,
// the Sun's elevation [rad] and the range rate [m/s, positive away]; the
// visible part (both edges found, else `visible` false and both the rise);
// the culmination's Earth-fixed satellite and Sun positions [m].
struct Seen {
    double sunlit[3], sun_elevation[3], range_rate[3];
    bool visible;
    int64_t visible_start, visible_stop;
    double culmination_position[3], culmination_sun[3];
};

// The visibility of passes (times in ns since 1970, satellites as the states
// are asked for them), found in rounds of requests.
class VisibilitySearch {
public:
    VisibilitySearch(const Sky &sky, const Darkness &darkness, const Pass *passes, size_t count)
        : sky_(sky), darkness_(darkness), passes_(passes, passes + count), seen_(count), first_(count + 1, 0) {
        // Each pass's events, then its cuts where darkness begins or ends within it.
        for (size_t p = 0; p < count; ++p) {
            const Pass &pass = passes_[p];
            seen_[p].visible_start = never, seen_[p].visible_stop = -never;
            for (const int64_t t : {pass.rise, pass.culmination, pass.set})
                pending_.push_back({pass.satellite, t});
            for (const int64_t change : darkness_.changes())
                if (pass.rise < change && change < pass.set)
                    pending_.push_back({pass.satellite, change});
            first_[p + 1] = pending_.size();
        }
    }

    // The states wanted next, in the order `supply` takes them; empty when done.
    const std::vector<Request> &requests() const { return pending_; }

    // TEME states [m, m/s] at the requests of the last round.
    void supply(const double *position, const double *velocity, const uint8_t *valid) {
        std::vector<Point> points(pending_.size());
        for (size_t k = 0; k < pending_.size(); ++k)
            points[k] = point(pending_[k].t, position + 3 * k, velocity + 3 * k, valid[k] != 0);
        pending_.clear();
        if (!started_) {
            started_ = true;
            for (size_t p = 0; p < passes_.size(); ++p)
                begin(p, &points[first_[p]], first_[p + 1] - first_[p]);
        } else {
            std::vector<Stretch> cut;
            cut.swap(open_);
            size_t at = 0;
            for (const Stretch &s : cut) {
                const size_t taken = s.turns() ? 3 : 1;
                split(s, &points[at], taken);
                at += taken;
            }
        }
        for (const Stretch &s : open_)
            ask(s);
    }

    // The passes' visibility, once requests() is empty.
    std::vector<Seen> seen() const {
        std::vector<Seen> out = seen_;
        for (size_t p = 0; p < out.size(); ++p) {
            Seen &s = out[p];
            s.visible = s.visible_start < never && s.visible_stop > -never;
            if (!s.visible)
                s.visible_start = s.visible_stop = passes_[p].rise;
        }
        return out;
    }

private:
    static constexpr int64_t never = std::numeric_limits<int64_t>::max();

    // A state with the umbra's edge there [rad, positive outside].
    struct Point {
        int64_t t;
        double umbra;
        bool valid;
        double r[3], v[3], sun[3];
    };

    struct Stretch {
        uint32_t pass;
        Point a, b;
        bool turns() const { return (a.umbra > 0) != (b.umbra > 0); }
    };

    Point point(int64_t t, const double *r, const double *v, bool valid) const {
        Point s;
        s.t = t;
        s.valid = valid && std::isfinite(r[0] + r[1] + r[2]) && std::isfinite(v[0] + v[1] + v[2]);
        for (int i = 0; i < 3; ++i)
            s.r[i] = s.valid ? r[i] : NAN, s.v[i] = s.valid ? v[i] : NAN;
        sky_.sun.at(t, s.sun);
        s.umbra = lighting::umbra_edge(lighting::discs(s.r, s.sun));
        return s;
    }

    // The events' columns, the visible part where the events and cuts bound
    // it, and the dark stretches between them to search for sunlight's ends.
    void begin(size_t p, const Point *points, size_t count) {
        const Pass &pass = passes_[p];
        Seen &out = seen_[p];
        for (int e = 0; e < 3; ++e) {
            const Point &s = points[e];
            const frames::EarthTurn turn = frames::earth_turn(s.t, sky_.earth.at(s.t));
            double sun_itrf[3], sat[3], vel[3];
            frames::teme_to_itrf(turn, s.sun, nullptr, sun_itrf, nullptr);
            frames::teme_to_itrf(turn, s.r, s.v, sat, vel);
            lighting::illumination(s.sun, 1, 1, s.r, &out.sunlit[e]);
            out.sun_elevation[e] = sky_.elevation_of(sun_itrf);
            const Vec3 d{sat[0] - sky_.site.position.x, sat[1] - sky_.site.position.y, sat[2] - sky_.site.position.z};
            out.range_rate[e] = (d.x * vel[0] + d.y * vel[1] + d.z * vel[2]) / std::sqrt(frames::dot(d, d));
            if (e == 1)
                for (int i = 0; i < 3; ++i)
                    out.culmination_position[i] = sat[i], out.culmination_sun[i] = sun_itrf[i];
        }
        const auto lit = [](const Point &s) { return s.valid && s.umbra > 0; };
        if (lit(points[0]) && darkness_.dark(pass.rise))
            out.visible_start = pass.rise;
        if (lit(points[2]) && darkness_.dark(pass.set))
            out.visible_stop = pass.set;
        // Darkness beginning with the satellite sunlit begins visibility; where
        // it ends, the last dark millisecond ends it.
        for (size_t k = 3; k < count; ++k)
            if (lit(points[k])) {
                if (darkness_.dark(points[k].t))
                    out.visible_start = std::min(out.visible_start, points[k].t);
                else
                    out.visible_stop = std::max(out.visible_stop, points[k].t - visible_tolerance);
            }
        std::vector<size_t> order(count);
        for (size_t k = 0; k < count; ++k)
            order[k] = k;
        std::stable_sort(order.begin(), order.end(), [&](size_t i, size_t j) { return points[i].t < points[j].t; });
        for (size_t k = 1; k < count; ++k)
            if (darkness_.dark(points[order[k - 1]].t))
                classify({uint32_t(p), points[order[k - 1]], points[order[k]]});
    }

    // A stretch settled (a sunlight edge within it to 1 ms, or none), dropped
    // (a failed state, or too short to matter) or kept open for a cut.
    void classify(const Stretch &s) {
        const int64_t h = s.b.t - s.a.t;
        if (!(s.a.valid && s.b.valid && h > 0))
            return;
        Seen &out = seen_[s.pass];
        const bool lit_a = s.a.umbra > 0, lit_b = s.b.umbra > 0;
        if (lit_a != lit_b) {
            if (h > visible_tolerance)
                open_.push_back(s);
            else if (lit_b)
                out.visible_start = std::min(out.visible_start, s.b.t);
            else
                out.visible_stop = std::max(out.visible_stop, s.a.t);
            return;
        }
        if (h > shortest_stretch &&
            !lighting::EclipseSearch::umbra_settled(s.a.t, s.a.r, s.a.v, s.a.sun, s.b.t, s.b.r, s.b.v, s.b.sun))
            open_.push_back(s);
    }

    // The cuts of an open stretch: its middle; where the edge changes sign,
    // also half a tolerance either side of the straight line's zero, so that
    // the edge is found in a round or two.
    void ask(const Stretch &s) {
        const uint32_t satellite = passes_[s.pass].satellite;
        pending_.push_back({satellite, s.a.t + (s.b.t - s.a.t) / 2});
        if (s.turns()) {
            const int64_t guess = false_position(s.a.t, s.a.umbra, s.b.t, s.b.umbra);
            pending_.push_back({satellite, guess - visible_tolerance / 2});
            pending_.push_back({satellite, guess + visible_tolerance / 2});
        }
    }

    // The stretch cut at its new points: consecutive points in time order
    // bound the new stretches.
    void split(const Stretch &s, const Point *cuts, size_t count) {
        std::array<const Point *, 5> points{&s.a, &s.b};
        for (size_t k = 0; k < count; ++k)
            points[2 + k] = &cuts[k];
        std::stable_sort(points.begin(), points.begin() + 2 + count,
                         [](const Point *p, const Point *q) { return p->t < q->t; });
        for (size_t k = 1; k < 2 + count; ++k)
            classify({s.pass, *points[k - 1], *points[k]});
    }

    const Sky &sky_;
    const Darkness &darkness_;
    std::vector<Pass> passes_;
    std::vector<Seen> seen_;
    std::vector<size_t> first_;  // each pass's first request of the first round
    std::vector<Request> pending_;
    std::vector<Stretch> open_;
    bool started_ = false;
};

}  // namespace astrokite::sites
