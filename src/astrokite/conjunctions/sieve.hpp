// The sieve of close-approach screening: from exact positions of every object
// on a time grid, the (pair, interval) candidates in which the two objects may
// come within the threshold. Plain C++: no Python in here.
//
// Why nothing is missed. Over an interval of length h an object's path stays
// within a*h^2/8 of the chord between its two sampled positions, where a bounds
// its acceleration (the error of linear interpolation). So the relative path of
// two objects stays within (a_i + a_j)*h^2/8 of the relative chord, and a pair
// whose relative chord keeps farther than threshold + that margin from the
// origin cannot come within the threshold in the interval. A pair that passes
// has, at one parameter u in [-1, 1], points mid_i + u half_i and mid_j +
// u half_j of the two chords within threshold + margin of each other, so along
// each axis the chords' extents, widened by half the threshold and the
// object's own margin each, overlap: each object's box is its chord's
// axis-aligned bounding box so widened (and by a metre more, for rounding). Their
// distances from the Earth's centre must also come within the threshold at
// some instant, so the ranges of radius their paths sweep (widened by half the
// threshold each) overlap too. A hash of the cells (three axes and the radius)
// that each object's box and range cover finds every such pair; pairs of
// different altitude shells never share a cell.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "astrokite/common/parallel.hpp"

namespace astrokite::conjunctions {

// Earth's gravitational parameter (m^3/s^2) and equatorial radius (m), WGS-72:
// the constants of the element sets.
inline constexpr double earth_mu = 398600.8e9;
inline constexpr double earth_radius = 6378135.0;
// The acceleration bound is the point-mass gravity at the lowest radius with
// this factor: it covers J2 (0.2 % of gravity), the theory's short-period terms
// and drag with a wide margin.
inline constexpr double acceleration_factor = 1.1;
// How far below its lowest sampled radius an object may pass between samples:
// the chord's dip (L^2/8r, a few km at most for grid steps of a minute) and
// the path's distance from its chord, with a wide margin.
inline constexpr double radius_dip = 50e3;

// Screens of at most this many primaries test each against every object.
inline constexpr std::size_t few_primaries = 16;

// Who may pair with whom: a primary with an object of the other group.
enum Group : std::uint8_t { primary = 1, against = 2 };

inline bool eligible(std::uint8_t a, std::uint8_t b) {
    return ((a & primary) && (b & against)) || ((b & primary) && (a & against));
}

struct Candidate {
    std::int32_t first, second;  // object rows, first < second
    std::int32_t interval;       // grid interval [t_k, t_k+1]
};

// The grid: `objects` x `samples` positions, as the propagator gives them
// (sample k of object i at (i * samples + k) * 3), NaN where an object has no
// state.
struct Grid {
    const double *position;
    std::size_t objects, samples;
    const double *step;           // samples - 1 interval lengths, s
    const std::uint8_t *group;    // Group flags per object
    double threshold;             // m
};

// Acceleration bound (m/s^2) of each object over the grid, from its lowest
// sampled radius (never below the Earth's surface: lower states are decays).
inline std::vector<double> acceleration_bounds(const Grid &grid) {
    std::vector<double> bound(grid.objects);
    for (std::size_t i = 0; i < grid.objects; ++i) {
        double lowest2 = INFINITY;  // of the squared radius: one root per object
        for (std::size_t k = 0; k < grid.samples; ++k) {
            const double *p = grid.position + (i * grid.samples + k) * 3;
            const double r2 = p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
            if (r2 < lowest2)  // NaN never compares lower
                lowest2 = r2;
        }
        const double radius = std::max(earth_radius, std::sqrt(lowest2) - radius_dip);
        bound[i] = acceleration_factor * earth_mu / (radius * radius);
    }
    return bound;
}

namespace detail {

struct Chord {
    double mid[3], half[3];
    double reach;  // half chord length + a*h^2/8
};

// An object's box (its chord's extent, widened by threshold/2 + a*h^2/8 and a
// metre) and the radius its path sweeps (widened by threshold/2), rounded
// outwards to single precision: a box only grows, and half the size lets more
// of them stay in cache. (A box past that precision's range has an infinite
// top radius: its object is tested against every other.)
struct Box {
    float lo[3], hi[3];
    float low, high;
};

// Single precision below and above x: rounding to the nearest float moves a
// value by at most 2^-24 of it, less than these steps (the tiny one covers
// values near zero).
inline float rounded_down(double x) { return static_cast<float>(x - (std::abs(x) * 0x1p-22 + 1e-30)); }

inline float rounded_up(double x) { return static_cast<float>(x + (std::abs(x) * 0x1p-22 + 1e-30)); }

// One cell (x, y, z and radius) an object's box and radial range overlap, and
// the cell's hash.
struct Entry {
    std::int32_t cell[4];
    std::int32_t object;
    std::uint32_t hash;
};

// An entry of a bucket with its object's box beside it: the members of a
// bucket are paired from this copy, each box fetched once from its scattered
// place rather than once per pair.
struct Member {
    Box box;
    std::int32_t cell[4];
    std::int32_t object;
};

inline std::uint32_t cell_hash(const std::int32_t c[4]) {
    std::uint64_t h = static_cast<std::uint32_t>(c[0]) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<std::uint32_t>(c[1]) * 0xC2B2AE3D27D4EB4Full;
    h ^= static_cast<std::uint32_t>(c[2]) * 0x165667B19E3779F9ull;
    h ^= static_cast<std::uint32_t>(c[3]) * 0xD6E8FEB86659FD93ull;
    return static_cast<std::uint32_t>((h ^ (h >> 32)) * 0x9E3779B1u);
}

// The cell of a coordinate, given the inverse of the cell size: the floor of
// their product (its magnitude is bounded by the caller), without a call to floor.
inline std::int32_t cell_of(double x, double per_cell) {
    const double scaled = x * per_cell;
    const auto truncated = static_cast<std::int32_t>(scaled);
    return truncated - (scaled < static_cast<double>(truncated));
}

// Scratch reused from interval to interval.
struct Scratch {
    std::vector<Chord> chords;
    std::vector<Box> boxes;
    std::vector<std::int32_t> live, large;
    std::vector<Entry> entries, sorted;
    std::vector<Member> members;
    std::vector<std::uint32_t> start;
};

// Candidates of one interval, appended to `out`. With `hashed`, each live
// object's box goes into every cell it overlaps; two objects within reach of
// each other have overlapping boxes and so share a cell, and the pair is
// examined in one of them only: the one that holds the low corner of the boxes'
// intersection. Without, the few primaries are tested against every object.
inline void sieve_interval(const Grid &grid, const std::vector<double> &acceleration, std::size_t k, bool hashed,
                           Scratch &s, std::vector<Candidate> &out) {
    const double h = grid.step[k];
    s.live.clear();
    double extents = 0.0;
    for (std::size_t i = 0; i < grid.objects; ++i) {
        const double *a = grid.position + (i * grid.samples + k) * 3, *b = a + 3;
        Chord &c = s.chords[i];
        Box &box = s.boxes[i];
        double length2 = 0.0;
        for (int d = 0; d < 3; ++d) {
            c.mid[d] = 0.5 * (a[d] + b[d]);
            c.half[d] = 0.5 * (b[d] - a[d]);
            length2 += c.half[d] * c.half[d];
        }
        if (!std::isfinite(length2) || !std::isfinite(c.mid[0] + c.mid[1] + c.mid[2]))
            continue;  // no state at an end: the pair is not screened in this interval
        const double margin = acceleration[i] * h * h / 8.0;
        c.reach = std::sqrt(length2) + margin;
        s.live.push_back(static_cast<std::int32_t>(i));
        if (!hashed)
            continue;
        for (int d = 0; d < 3; ++d) {
            const double extent = std::abs(c.half[d]) + margin + 0.5 * grid.threshold + 1.0;
            box.lo[d] = rounded_down(c.mid[d] - extent);
            box.hi[d] = rounded_up(c.mid[d] + extent);
            extents += extent;
        }
        // The chord's nearest point to the Earth's centre, and its far end.
        double ac = 0.0, r0 = 0.0, r1 = 0.0;
        for (int d = 0; d < 3; ++d) {
            ac += a[d] * c.half[d];
            r0 += a[d] * a[d];
            r1 += b[d] * b[d];
        }
        const double u = length2 > 0.0 ? std::clamp(-ac / (2.0 * length2), 0.0, 1.0) : 0.0;
        double nearest = 0.0;
        for (int d = 0; d < 3; ++d) {
            const double x = a[d] + 2.0 * u * c.half[d];
            nearest += x * x;
        }
        box.low = rounded_down(std::sqrt(nearest) - margin - 0.5 * grid.threshold);
        box.high = rounded_up(std::sqrt(std::max(r0, r1)) + margin + 0.5 * grid.threshold);
    }
    if (s.live.size() < 2)
        return;
    // Cells ten typical box widths wide: most boxes overlap one cell along
    // each axis, some two (narrower cells give each box more cells to hash and
    // fetch than they save in pairs to test, which the sweep below keeps few).
    // The rare box wider than four cells (an object far out, or fast at
    // perigee) would fill many: such objects are tested against every other
    // object instead.
    const double typical = extents / (3.0 * static_cast<double>(s.live.size()));
    const double cell = 20.0 * typical;
    // Radial cells: a few times the threshold, so that an object of a circular
    // orbit covers one or two.
    const double shell = std::max(4.0 * grid.threshold, 20e3);
    const double per_cell = 1.0 / cell, per_shell = 1.0 / shell;
    const double threshold = grid.threshold;
    auto test = [&](std::int32_t i, std::int32_t j) {
        if (j < i)
            std::swap(i, j);
        if (!eligible(grid.group[i], grid.group[j]))
            return;
        const Chord &ci = s.chords[i], &cj = s.chords[j];
        double mm = 0.0, mv = 0.0, vv = 0.0;
        for (int d = 0; d < 3; ++d) {
            const double m = cj.mid[d] - ci.mid[d], v = cj.half[d] - ci.half[d];
            mm += m * m;
            mv += m * v;
            vv += v * v;
        }
        const double reach = threshold + ci.reach + cj.reach;
        if (mm > reach * reach)
            return;
        // Closest point of the relative chord m + u v, u in [-1, 1].
        const double u = vv > 0.0 ? std::clamp(-mv / vv, -1.0, 1.0) : 0.0;
        const double closest2 = mm + 2.0 * u * mv + u * u * vv;
        const double limit = threshold + (acceleration[i] + acceleration[j]) * h * h / 8.0;
        if (closest2 <= limit * limit)
            out.push_back({i, j, static_cast<std::int32_t>(k)});
    };
    if (!hashed) {
        s.large.clear();
        for (std::int32_t i : s.live)
            if (grid.group[i] & primary)
                s.large.push_back(i);
        for (std::size_t n = 0; n < s.large.size(); ++n)
            for (std::int32_t j : s.live)
                if (j != s.large[n] && !(std::find(s.large.begin(), s.large.begin() + n, j) != s.large.begin() + n))
                    test(s.large[n], j);
        return;
    }
    s.entries.clear();
    s.large.clear();
    for (std::int32_t i : s.live) {
        const Chord &c = s.chords[i];
        const Box &box = s.boxes[i];
        if (std::max({box.hi[0] - box.lo[0], box.hi[1] - box.lo[1], box.hi[2] - box.lo[2]}) > 4.0 * cell ||
            box.high - box.low > 64.0 * shell ||
            !(std::abs(c.mid[0]) + std::abs(c.mid[1]) + std::abs(c.mid[2]) + box.high < 1e3 * (cell + shell))) {
            s.large.push_back(i);
            continue;
        }
        std::int32_t lo[4], hi[4];
        for (int d = 0; d < 3; ++d) {
            lo[d] = cell_of(box.lo[d], per_cell);
            hi[d] = cell_of(box.hi[d], per_cell);
        }
        lo[3] = cell_of(box.low, per_shell);
        hi[3] = cell_of(box.high, per_shell);
        for (std::int32_t x = lo[0]; x <= hi[0]; ++x)
            for (std::int32_t y = lo[1]; y <= hi[1]; ++y)
                for (std::int32_t z = lo[2]; z <= hi[2]; ++z)
                    for (std::int32_t r = lo[3]; r <= hi[3]; ++r) {
                        Entry e{{x, y, z, r}, i, 0};
                        e.hash = cell_hash(e.cell);
                        s.entries.push_back(e);
                    }
    }
    for (std::size_t n = 0; n < s.large.size(); ++n)
        for (std::int32_t j : s.live)
            if (j != s.large[n] && !(std::find(s.large.begin(), s.large.begin() + n, j) != s.large.begin() + n))
                test(s.large[n], j);
    std::size_t buckets = 64;
    while (buckets < 2 * s.entries.size())
        buckets *= 2;
    const std::uint32_t mask = static_cast<std::uint32_t>(buckets - 1);
    s.start.assign(buckets + 1, 0);
    for (const Entry &e : s.entries)
        ++s.start[(e.hash & mask) + 1];
    for (std::size_t b = 0; b < buckets; ++b)
        s.start[b + 1] += s.start[b];
    s.sorted.resize(s.entries.size());
    for (const Entry &e : s.entries)
        s.sorted[s.start[e.hash & mask]++] = e;  // each bucket's start moves to its end
    // A pair of members of one bucket is tested in the cell that holds the low
    // corner of their boxes' intersection, which both boxes overlap.
    auto meet = [&](const Member &mi, const Member &mj) {
        if (mi.cell[0] != mj.cell[0] || mi.cell[1] != mj.cell[1] || mi.cell[2] != mj.cell[2] ||
            mi.cell[3] != mj.cell[3])
            return;  // another cell in the same bucket
        const Box &bi = mi.box, &bj = mj.box;
        if (bi.low > bj.high || bj.low > bi.high || bi.lo[0] > bj.hi[0] || bj.lo[0] > bi.hi[0] ||
            bi.lo[1] > bj.hi[1] || bj.lo[1] > bi.hi[1] || bi.lo[2] > bj.hi[2] || bj.lo[2] > bi.hi[2])
            return;
        bool elsewhere = cell_of(std::max(bi.low, bj.low), per_shell) != mi.cell[3];
        for (int d = 0; d < 3; ++d)
            elsewhere = elsewhere || cell_of(std::max(bi.lo[d], bj.lo[d]), per_cell) != mi.cell[d];
        if (!elsewhere)
            test(mi.object, mj.object);
    };
    std::uint32_t first = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::uint32_t last = s.start[b];
        if (last - first > 1) {
            s.members.clear();
            for (std::uint32_t x = first; x < last; ++x) {
                const Entry &e = s.sorted[x];
                s.members.push_back({s.boxes[e.object], {e.cell[0], e.cell[1], e.cell[2], e.cell[3]}, e.object});
            }
            const std::size_t n = s.members.size();
            if (n <= 8) {  // a few: every pair
                for (std::size_t x = 0; x + 1 < n; ++x)
                    for (std::size_t y = x + 1; y < n; ++y)
                        meet(s.members[x], s.members[y]);
            } else {
                // Along x in order of the boxes' low edges: the first member
                // whose box starts past this one's end, and all after it, miss
                // it (a crowded cell of a dense shell holds dozens).
                std::sort(s.members.begin(), s.members.end(),
                          [](const Member &p, const Member &q) { return p.box.lo[0] < q.box.lo[0]; });
                for (std::size_t x = 0; x + 1 < n; ++x)
                    for (std::size_t y = x + 1; y < n && s.members[y].box.lo[0] <= s.members[x].box.hi[0]; ++y)
                        meet(s.members[x], s.members[y]);
            }
        }
        first = last;
    }
}

}  // namespace detail

// Every (pair, interval) of the grid that the bound cannot rule out, over
// `threads` native threads (0: one per core), in order of interval.
inline std::vector<Candidate> sieve(const Grid &grid, unsigned threads) {
    const std::vector<double> acceleration = acceleration_bounds(grid);
    // A few primaries against many others: each primary is tested against
    // every object, which costs less than hashing them all.
    const auto primaries = std::count_if(grid.group, grid.group + grid.objects,
                                         [](std::uint8_t g) { return (g & primary) != 0; });
    const bool hashed = static_cast<std::size_t>(primaries) > few_primaries;
    const std::size_t intervals = grid.samples > 1 ? grid.samples - 1 : 0;
    if (threads == 0)
        threads = parallel::cores();
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, intervals));
    std::vector<std::vector<Candidate>> found(parts);
    parallel::split(intervals, 1, static_cast<unsigned>(parts), [&](std::size_t first, std::size_t last) {
        std::size_t part = 0;  // the range's place among the split's ranges
        while (part + 1 < parts && intervals * (part + 1) / parts <= first)
            ++part;
        detail::Scratch scratch;
        scratch.chords.resize(grid.objects);
        scratch.boxes.resize(grid.objects);
        for (std::size_t k = first; k < last; ++k)
            detail::sieve_interval(grid, acceleration, k, hashed, scratch, found[part]);
    });
    std::vector<Candidate> all;
    std::size_t total = 0;
    for (const auto &part : found)
        total += part.size();
    all.reserve(total);
    for (const auto &part : found)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace astrokite::conjunctions
