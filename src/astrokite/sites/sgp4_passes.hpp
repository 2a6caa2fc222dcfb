// Passes of element sets propagated by SGP4, searched without leaving native
// code: the satellites and the pieces of the window are split into tasks
// across threads, and each task runs its own search, propagating the states
// its rounds ask for. Plain C++: no Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "astrokite/common/parallel.hpp"
#include "astrokite/propagators/analytical/sgp4/sgp4_batch.hpp"
#include "astrokite/propagators/analytical/sgp4/sgp4_run.hpp"
#include "astrokite/sites/passes.hpp"
#include "astrokite/sites/visibility.hpp"

namespace astrokite::sites {

// Satellites and their element sets: an initialised table, and each
// satellite's sets by epoch.
class Fleet {
public:
    // `records` holds every set, satellite after satellite; satellite i has
    // sets_per_satellite[i] of them.
    Fleet(const elements::Record *records, const std::vector<size_t> &sets_per_satellite)
        : first_(sets_per_satellite.size() + 1, 0) {
        for (size_t i = 0; i < sets_per_satellite.size(); ++i)
            first_[i + 1] = first_[i] + sets_per_satellite[i];
        table_ = sgp4::make_table(records, first_.back(), sgp4::Gravity::wgs72, sgp4::Mode::improved);
        by_epoch_.resize(table_.size());
        epochs_.resize(table_.size());
        for (size_t i = 0; i < satellites(); ++i) {
            for (size_t j = first_[i]; j < first_[i + 1]; ++j)
                by_epoch_[j] = int64_t(j);
            std::stable_sort(by_epoch_.begin() + first_[i], by_epoch_.begin() + first_[i + 1],
                             [&](int64_t a, int64_t b) { return epoch_of(a) < epoch_of(b); });
            for (size_t j = first_[i]; j < first_[i + 1]; ++j)
                epochs_[j] = epoch_of(by_epoch_[j]);
        }
    }

    size_t satellites() const { return first_.size() - 1; }
    const sgp4::Table &table() const { return table_; }

    // The catalogue number of a satellite: that of its first set.
    int64_t satno(size_t i) const { return first_[i] < first_[i + 1] ? table_.satno[first_[i]] : -1; }

    // The set in force at `t` (ns since 1970): the latest epoch at or before
    // it, the earliest set before the first epoch, as SGP4 chooses them.
    int64_t set_at(size_t i, int64_t t) const {
        const auto begin = epochs_.begin() + first_[i], end = epochs_.begin() + first_[i + 1];
        const auto after = std::upper_bound(begin, end, t);
        return by_epoch_[first_[i] + size_t(std::max<ptrdiff_t>(after - begin - 1, 0))];
    }

private:
    int64_t epoch_of(int64_t set) const { return table_.epoch_ns[set]; }

    std::vector<size_t> first_;
    sgp4::Table table_;
    std::vector<int64_t> by_epoch_, epochs_;
};

// TEME states of `fleet` at the samples of `request`, with set_of_sample
// filled from the satellites and times given; one thread (the caller's).
struct Propagation {
    std::vector<int64_t> sets, instants;
    std::vector<double> position, velocity;
    std::vector<int8_t> error;
    std::vector<uint8_t> valid;

    void run(const Fleet &fleet, size_t rows, size_t times) {
        position.resize(3 * sets.size()), velocity.resize(3 * sets.size()), error.resize(sets.size());
        sgp4::Request request;
        request.rows = rows, request.times = times;
        request.set_of_sample = sets.data(), request.instants_ns = instants.data();
        request.position = position.data(), request.velocity = velocity.data(), request.error = error.data();
        sgp4::run(fleet.table(), request, sgp4::Results{}, 1, [] { return true; });
        valid.resize(error.size());
        for (size_t i = 0; i < error.size(); ++i)
            valid[i] = error[i] == 0;
    }

    // The states of the requests of a search, each with the set in force then.
    void run(const Fleet &fleet, const std::vector<Request> &wanted, int64_t epoch = 0,
             const std::vector<size_t> *members = nullptr) {
        sets.resize(wanted.size()), instants.resize(wanted.size());
        for (size_t r = 0; r < wanted.size(); ++r) {
            instants[r] = epoch + wanted[r].t;
            sets[r] = fleet.set_at(members ? (*members)[wanted[r].satellite] : wanted[r].satellite, instants[r]);
        }
        run(fleet, 1, wanted.size());
    }
};

// The passes of satellites `first`, `first + stride`, ... (below the fleet's
// size) over piece k of the window, with times in ns since 1970 and satellites
// by fleet index.
inline std::vector<Pass> search_task(const Fleet &fleet, const Observer &observer, const eop::DailyTable &earth,
                                     const Window &window, size_t k, size_t first, size_t stride) {
    std::vector<size_t> members;
    for (size_t i = first; i < fleet.satellites(); i += stride)
        members.push_back(i);
    const int64_t epoch = window.piece_start(k);
    const std::vector<int64_t> offsets = window.offsets(k);
    const size_t n = offsets.size();
    PassSearch search(observer, members.size(), window.piece_stop(k) - epoch, earth);
    Propagation states;
    states.instants.resize(n);
    for (size_t j = 0; j < n; ++j)
        states.instants[j] = epoch + offsets[j];
    states.sets.resize(members.size() * n);
    for (size_t m = 0; m < members.size(); ++m)
        for (size_t j = 0; j < n; ++j)
            states.sets[m * n + j] = fleet.set_at(members[m], states.instants[j]);
    states.run(fleet, members.size(), n);
    search.start_teme(epoch, offsets.data(), n, states.position.data(), states.velocity.data(), states.valid.data());
    for (;;) {
        const std::vector<Request> &wanted = search.requests();
        if (wanted.empty())
            break;
        states.run(fleet, wanted, epoch, &members);
        search.supply_teme(epoch, states.position.data(), states.velocity.data(), states.valid.data());
    }
    std::vector<Pass> found = search.passes();
    for (Pass &p : found) {
        p.satellite = uint32_t(members[p.satellite]);
        p.rise += epoch, p.culmination += epoch, p.set += epoch;
    }
    return found;
}

// Every pass of the fleet over the window, on `threads` threads (0: every
// core). Each task takes every `groups`-th satellite, so that each holds a mix
// of the fleet's orbits; the result does not depend on the split.
inline std::vector<Pass> fleet_passes(const Fleet &fleet, const Observer &observer, const eop::DailyTable &earth,
                                      const Window &window, unsigned threads) {
    constexpr size_t satellites_per_task = 128;
    const size_t groups = std::max<size_t>(1, (fleet.satellites() + satellites_per_task - 1) / satellites_per_task);
    const size_t pieces = window.pieces(), tasks = groups * pieces;
    std::vector<std::vector<Pass>> found(tasks);
    parallel::split(tasks, 1, threads ? threads : parallel::cores(), [&](size_t begin, size_t end) {
        for (size_t task = begin; task < end; ++task)
            found[task] = search_task(fleet, observer, earth, window, task % pieces, task / pieces, groups);
    });
    std::vector<Pass> all;
    for (auto &part : found)
        all.insert(all.end(), part.begin(), part.end());
    return join_pieces(std::move(all), window.stop);
}

// The visibility of `passes` of the fleet (fleet_passes's, by fleet index and
// in ns since 1970) searched between `start` and `stop`, on `threads` threads
// (0: every core): tasks of consecutive passes, each its own search.
inline std::vector<Seen> fleet_visibility(const Fleet &fleet, const Sky &sky, int64_t start, int64_t stop,
                                          const std::vector<Pass> &passes, unsigned threads) {
    constexpr size_t passes_per_task = 256;
    const Darkness darkness(sky, start, stop);
    const size_t tasks = (passes.size() + passes_per_task - 1) / passes_per_task;
    std::vector<Seen> seen(passes.size());
    parallel::split(tasks, 1, threads ? threads : parallel::cores(), [&](size_t begin, size_t end) {
        Propagation states;
        for (size_t task = begin; task < end; ++task) {
            const size_t first = task * passes_per_task, count = std::min(passes_per_task, passes.size() - first);
            VisibilitySearch search(sky, darkness, passes.data() + first, count);
            for (;;) {
                const std::vector<Request> &wanted = search.requests();
                if (wanted.empty())
                    break;
                states.run(fleet, wanted);
                search.supply(states.position.data(), states.velocity.data(), states.valid.data());
            }
            const std::vector<Seen> found = search.seen();
            std::copy(found.begin(), found.end(), seen.begin() + ptrdiff_t(first));
        }
    });
    return seen;
}

}  // namespace astrokite::sites
