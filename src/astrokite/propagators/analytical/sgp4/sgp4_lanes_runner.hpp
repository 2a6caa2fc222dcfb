// Samples of a request laid out in SIMD lanes and run through the theory of
// sgp4_lanes.hpp: lanes across times (one element set, consecutive times)
// or, for requests with fewer times than lanes, across element sets. A
// lane's result depends only on its element set and time. Templates over the
// batch type B, like the theory, for the same reason. Plain C++: no Python.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include <xsimd/xsimd.hpp>

#include "astrokite/propagators/analytical/sgp4/sgp4_batch.hpp"
#include "astrokite/propagators/analytical/sgp4/sgp4_lanes.hpp"

namespace astrokite::sgp4::lanes {

// Element sets in lanes: their coefficients one lane each, and what all of
// them share (the gravity model, the mode and the kind of orbit).
template <class B> struct SatelliteLanes {
    GravityConstants g;
    Mode mode;
    bool deep_space, simple, finite;
    int irez;
    Coefficients<B> k;
};

// The sets of `lanes` (all of one kind) gathered into lanes.
template <class B> SatelliteLanes<B> gather(const Satellite *const (&lanes)[B::size]) {
    constexpr std::size_t count = sizeof(Coefficients<double>) / sizeof(double);
    static_assert(sizeof(Coefficients<double>) == count * sizeof(double));
    static_assert(sizeof(Coefficients<B>) == count * sizeof(B));
    alignas(64) double columns[count][B::size];
    for (std::size_t lane = 0; lane < B::size; ++lane) {
        double values[count];
        std::memcpy(values, &lanes[lane]->k, sizeof values);
        for (std::size_t i = 0; i < count; ++i)
            columns[i][lane] = values[i];
    }
    const Satellite &first = *lanes[0];
    SatelliteLanes<B> out{first.g, first.mode, first.deep_space, first.simple, first.finite, first.irez, {}};
    B loaded[count];
    for (std::size_t i = 0; i < count; ++i)
        loaded[i] = B::load_aligned(columns[i]);
    std::memcpy(static_cast<void *>(&out.k), loaded, sizeof loaded);
    return out;
}

// Nanoseconds from an element set's epoch midnight to the time of a column.
// They fit in 64 bits unless the two are nearly three centuries apart;
// converting them from 64 bits gives the same double as from 128 and spares
// the slow 128-bit conversion.
inline double since_midnight_ns(const TableView &table, const Request &request, std::size_t column, std::size_t set) {
    std::int64_t since;
    return __builtin_sub_overflow(request.instants_ns[column], table.epoch_midnight_ns[set], &since)
               ? static_cast<double>(static_cast<time::int128>(request.instants_ns[column]) -
                                     table.epoch_midnight_ns[set])
               : static_cast<double>(since);
}

// Minutes from the epoch of each lane's element set to its time: lane `lane`
// of the first `count` takes column `column_of(lane)` and set `set_of(lane)`;
// the other lanes hold 0 (0 / 60e9 - 0). The division is done across the lanes.
template <class B, class ColumnOf, class SetOf>
B minutes_of(const TableView &table, const Request &request, std::size_t count, ColumnOf column_of, SetOf set_of) {
    alignas(64) double values[B::size], fractions[B::size];
    for (std::size_t lane = 0; lane < B::size; ++lane) {
        const bool used = lane < count;
        if (request.minutes) {
            values[lane] = used ? request.minutes[column_of(lane)] : 0.0;
            continue;
        }
        values[lane] = used ? since_midnight_ns(table, request, column_of(lane), set_of(lane)) : 0.0;
        fractions[lane] = used ? table.epoch_fraction[set_of(lane)] : 0.0;
    }
    if (request.minutes)
        return B::load_aligned(values);
    // One rounding for the day fraction's minutes and their subtraction where
    // the CPU fuses them, as the compiler fuses the same expression in scalar code.
    return xsimd::fnma(B::load_aligned(fractions), B(1440.0), B::load_aligned(values) / 60e9);
}

template <class B> std::size_t set_of(const Request &request, std::size_t flat) {
    return static_cast<std::size_t>(request.set_of_sample ? request.set_of_sample[flat]
                                                           : request.set_of_row[flat / request.times]);
}

// Write the first `filled` lanes of a state to their samples (`sample(lane)`
// gives the index of each): metres and metres per second, NaN where the code
// is not 0. The scaling and the NaNs are applied across the lanes; the lanes
// are then copied out one by one.
template <class B, class SampleOf>
void store(const StateLanes<B> &state, std::size_t filled, const Request &request, SampleOf sample) {
    constexpr std::size_t width = B::size;
    const B nan(std::numeric_limits<double>::quiet_NaN());
    const Mask<B> good = state.code == B(0.0);
    alignas(64) double r[3][width], v[3][width], code[width];
    for (int k = 0; k < 3; ++k) {
        where(good, state.r[k] * 1000.0, nan).store_aligned(r[k]);
        where(good, state.v[k] * 1000.0, nan).store_aligned(v[k]);
    }
    state.code.store_aligned(code);
    for (std::size_t lane = 0; lane < filled; ++lane) {
        const std::size_t flat = sample(lane);
        request.error[flat] = static_cast<std::int8_t>(code[lane]);
        for (int k = 0; k < 3; ++k)
            request.position[3 * flat + k] = r[k][lane];
        if (request.velocity)
            for (int k = 0; k < 3; ++k)
                request.velocity[3 * flat + k] = v[k][lane];
    }
}

// Where a resonant row's integrator starts: its state at the row's first
// time. Each row's own batches would step all their lanes alike from the
// epoch, row after row; here the rows of a block are stepped together, one
// row per lane, and each row starts from its lane's state (which is the
// state the row's batches would reach: every operation acts lane by lane).
struct ResonanceStart {
    bool started = false;
    double atime, xli, xni, xndt, xldot, xnddt;
};

template <class B>
void start_resonances(const TableView &table, const Request &request, std::size_t first, std::size_t first_row,
                      std::size_t rows, ResonanceStart *starts) {
    constexpr std::size_t width = B::size;
    for (int irez = 1; irez <= 2; ++irez) {
        std::size_t pending[width];
        std::size_t count = 0;
        auto step_together = [&]() {
            const Satellite *lanes[width];
            for (std::size_t lane = 0; lane < width; ++lane)
                lanes[lane] = &table.satellites[request.set_of_row[pending[lane < count ? lane : 0]]];
            // A row's first time: its first column, or where the range starts within it.
            const B minutes = minutes_of<B>(
                table, request, count,
                [&](std::size_t lane) { return pending[lane] == first / request.times ? first % request.times : 0; },
                [&](std::size_t lane) { return static_cast<std::size_t>(request.set_of_row[pending[lane]]); });
            const Mask<B> usable = xsimd::abs(minutes) <= B(max_minutes);  // as propagate takes them
            Resonance<B> r;
            integrate_resonance(gather<B>(lanes), where(usable, minutes, B(0.0)), r);
            alignas(64) double columns[6][width], use[width];
            r.atime.store_aligned(columns[0]);
            r.xli.store_aligned(columns[1]);
            r.xni.store_aligned(columns[2]);
            r.xndt.store_aligned(columns[3]);
            r.xldot.store_aligned(columns[4]);
            r.xnddt.store_aligned(columns[5]);
            where(usable, B(1.0), B(0.0)).store_aligned(use);
            for (std::size_t lane = 0; lane < count; ++lane)
                starts[pending[lane] - first_row] = {use[lane] != 0.0,    columns[0][lane], columns[1][lane],
                                                     columns[2][lane],    columns[3][lane], columns[4][lane],
                                                     columns[5][lane]};
            count = 0;
        };
        for (std::size_t row = first_row; row < first_row + rows; ++row) {
            const Satellite &s = table.satellites[request.set_of_row[row]];
            if (s.finite && s.irez == irez) {
                pending[count++] = row;
                if (count == width)
                    step_together();
            }
        }
        if (count)
            step_together();
    }
}

// Lanes across times: each run of consecutive samples of one row with the
// same element set fills the lanes with consecutive times (a run's last
// batch leaves lanes at time 0, whose results are dropped), and the resonance
// integrator carries on from one batch of times to the next while the set
// stays the same.
template <class B>
void run_times(const TableView &table, const Request &request, std::size_t first, std::size_t last) {
    constexpr std::size_t width = B::size;
    Resonance<B> resonance;
    std::size_t current = 0;
    // Rows of one set each have their resonant integrators started a block at a time.
    constexpr std::size_t block_rows = 256;
    ResonanceStart starts[block_rows];
    std::size_t block_first = 0, block_end = 0;
    std::size_t flat = first, row = first / request.times, column = first % request.times;
    while (flat < last) {
        const std::size_t row_end = std::min(last, (row + 1) * request.times);
        std::size_t end = row_end;
        std::size_t set;
        if (request.set_of_sample) {
            set = static_cast<std::size_t>(request.set_of_sample[flat]);
            end = flat + 1;
            while (end < row_end && static_cast<std::size_t>(request.set_of_sample[end]) == set)
                ++end;
        } else {
            set = static_cast<std::size_t>(request.set_of_row[row]);
            if (row >= block_end) {
                block_first = row;
                block_end = std::min(row + block_rows, (last - 1) / request.times + 1);
                for (std::size_t i = 0; i < block_end - block_first; ++i)
                    starts[i].started = false;
                start_resonances<B>(table, request, first, block_first, block_end - block_first, starts);
            }
        }
        if (flat == first || set != current) {
            // The integrator's state belongs to one element set.
            resonance = Resonance<B>{};
            current = set;
            if (!request.set_of_sample && starts[row - block_first].started) {
                const ResonanceStart &start = starts[row - block_first];
                resonance.atime = B(start.atime);
                resonance.xli = B(start.xli);
                resonance.xni = B(start.xni);
                resonance.xndt = B(start.xndt);
                resonance.xldot = B(start.xldot);
                resonance.xnddt = B(start.xnddt);
                resonance.started = true;
            }
        }
        const Satellite &satellite = table.satellites[set];
        // N batches of the run through the theory together (their Kepler iterations side by side).
        auto run_batches = [&]<std::size_t N>() {
            B minutes[N];
            std::size_t filled[N];
            for (std::size_t n = 0; n < N; ++n) {
                const std::size_t start = column + n * width;
                filled[n] = std::min(width, end - flat - n * width);
                minutes[n] = minutes_of<B>(
                    table, request, filled[n], [start](std::size_t lane) { return start + lane; },
                    [set](std::size_t) { return set; });
            }
            StateLanes<B> states[N];
            propagate(satellite, minutes, resonance, states);
            for (std::size_t n = 0; n < N; ++n) {
                const std::size_t at = flat;
                store(states[n], filled[n], request, [at](std::size_t lane) { return at + lane; });
                flat += filled[n];
                column += filled[n];
            }
        };
        while (flat < end) {
            const std::size_t left = end - flat;
            if (left > 3 * width)
                run_batches.template operator()<4>();
            else if (left > width)
                run_batches.template operator()<2>();
            else
                run_batches.template operator()<1>();
        }
        flat = end;
        column = flat - row * request.times;
        if (flat == row_end) {
            ++row;
            column = 0;
        }
    }
}

// Lanes across element sets, for requests with fewer times than lanes (a
// catalogue at one instant): the samples are grouped by orbit kind, and each
// batch gathers the coefficients of its lanes' sets.
template <class B>
void run_sets(const TableView &table, const Request &request, std::size_t first, std::size_t last) {
    constexpr std::size_t width = B::size;
    const std::size_t count = last - first;
    // The orbit kind decides the theory's branches: the lanes of one batch share it.
    constexpr int orbit_kinds = 6;
    auto kind_of = [&](std::size_t flat) {
        const Satellite &s = table.satellites[set_of<B>(request, flat)];
        return !s.finite ? 0 : !s.deep_space ? 1 + s.simple : 3 + s.irez;
    };
    // Counting sort of the samples by kind, in their order within a kind.
    std::size_t start[orbit_kinds + 1] = {};
    for (std::size_t flat = first; flat < last; ++flat)
        ++start[kind_of(flat) + 1];
    for (int kind = 0; kind < orbit_kinds; ++kind)
        start[kind + 1] += start[kind];
    std::size_t *order = new std::size_t[count];
    std::size_t next[orbit_kinds];
    std::memcpy(next, start, sizeof next);
    for (std::size_t flat = first; flat < last; ++flat)
        order[next[kind_of(flat)]++] = flat;

    for (int kind = 0; kind < orbit_kinds; ++kind) {
        for (std::size_t begin = start[kind]; begin < start[kind + 1]; begin += width) {
            const std::size_t filled = start[kind + 1] - begin < width ? start[kind + 1] - begin : width;
            const std::size_t *samples = order + begin;
            const Satellite *lanes[width];
            // Unused lanes repeat the first sample's set at time 0.
            for (std::size_t lane = 0; lane < width; ++lane)
                lanes[lane] = &table.satellites[set_of<B>(request, samples[lane < filled ? lane : 0])];
            const B minutes = minutes_of<B>(
                table, request, filled, [&](std::size_t lane) { return samples[lane] % request.times; },
                [&](std::size_t lane) { return set_of<B>(request, samples[lane]); });
            Resonance<B> resonance;
            store(propagate(gather<B>(lanes), minutes, resonance), filled, request,
                  [samples](std::size_t lane) { return samples[lane]; });
        }
    }
    delete[] order;
}

// Samples [first, last) of a request, in row-major order. A lane's result
// depends only on its element set and time, not on the lanes beside it nor on
// how the samples were laid out in lanes.
template <class B>
void run_range(const TableView &table, const Request &request, std::size_t first, std::size_t last) {
    if (request.times < B::size)
        run_sets<B>(table, request, first, last);
    else
        run_times<B>(table, request, first, last);
}

}  // namespace astrokite::sgp4::lanes
