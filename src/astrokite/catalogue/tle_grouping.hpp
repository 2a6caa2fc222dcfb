// The sets a catalogue reading kept, grouped by satellite: repeats dropped,
// the records sorted by satellite and epoch, and their lines copied out in
// that order.
//
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "astrokite/catalogue/tle_record_store.hpp"
#include "astrokite/common/parallel.hpp"

namespace astrokite::catalogue {

// A record in the order of grouped(): its epoch and its position in the
// store. Ordered by epoch, then position.
struct Placed {
    std::int64_t epoch;  // counts of Time
    std::size_t position;
    bool operator<(const Placed &other) const {
        return epoch < other.epoch || (epoch == other.epoch && position < other.position);
    }
};

// The records in the order of grouped().
struct Grouping {
    std::size_t size = 0;
    std::unique_ptr<Placed[]> records;  // each written before it is read: no initialisation
};

// One satellite of the result: its records [first, last) in the order of
// grouped(), and its name.
struct Satellite {
    std::int32_t satno = 0;
    std::size_t first = 0, last = 0;
    std::uint32_t name = no_name;
};

// Drop every element set identical in both lines to one read before it.
inline void drop_duplicates(KeptSets &kept) {
    RecordStore &records = kept.records;
    std::vector<char> repeated(records.size(), 0);
    {
        std::unordered_set<std::string_view> seen;
        seen.reserve(records.size());
        for (std::size_t i = 0; i < records.size(); ++i)
            repeated[i] = !seen.insert(std::string_view(records[i].lines, row_size)).second;
    }
    std::size_t count = 0;
    for (std::size_t i = 0; i < records.size(); ++i)
        if (!repeated[i]) {
            kept.keys[count] = kept.keys[i];
            records[count++] = records[i];
        }
    records.shrink(count);
    kept.keys.resize(count);
}

// The records sorted by satellite number, by epoch within a satellite
// (equal epochs in reading order), and the satellites in ascending
// number, over up to `threads` threads. A satellite's name is that of its
// last record read with a name. Sorted here, a satellite's sets need no
// sorting when made into an ELSET.
inline Grouping grouped(const KeptSets &kept, std::vector<Satellite> &satellites, unsigned threads) {
    const std::vector<KeptSets::Key> &keys = kept.keys;
    const std::size_t n = keys.size();
    satellites.clear();
    Grouping grouping{n, std::unique_ptr<Placed[]>(new Placed[n])};
    if (n == 0)
        return grouping;
    // A counting sort by catalogue number over the compact keys, stable:
    // reading order within a number. The numbers come from five columns,
    // so they span at most 0 to 339999.
    std::int32_t low = keys[0].satno, high = low;
    for (const KeptSets::Key &key : keys) {
        low = std::min(low, key.satno);
        high = std::max(high, key.satno);
    }
    const std::size_t span = static_cast<std::size_t>(high - low) + 1;
    std::vector<std::size_t> start(span + 1, 0);
    std::vector<std::uint32_t> names(span, no_name);
    for (const KeptSets::Key &key : keys) {
        const std::size_t bucket = static_cast<std::size_t>(key.satno - low);
        ++start[bucket + 1];
        if (key.name != no_name)
            names[bucket] = key.name;
    }
    for (std::size_t k = 1; k <= span; ++k)
        start[k] += start[k - 1];
    for (std::size_t k = 0; k < span; ++k)
        if (start[k + 1] != start[k])
            satellites.push_back({low + static_cast<std::int32_t>(k), start[k], start[k + 1], names[k]});
    // Each thread takes the satellites whose first row lies in its share of
    // the rows: it places their records, taken in reading order so that
    // positions break ties between equal epochs, then sorts each
    // satellite's by epoch.
    Placed *placed = grouping.records.get();
    auto work = [&](std::size_t first_row, std::size_t end_row) {
        const auto before = [](const Satellite &s, std::size_t row) { return s.first < row; };
        const auto begin = std::lower_bound(satellites.begin(), satellites.end(), first_row, before);
        const auto end = std::lower_bound(begin, satellites.end(), end_row, before);
        if (begin == end)
            return;
        const auto first_bucket = static_cast<std::size_t>(begin->satno - low);
        const auto buckets = static_cast<std::size_t>((end - 1)->satno - low) + 1 - first_bucket;
        std::vector<std::size_t> next(start.begin() + static_cast<std::ptrdiff_t>(first_bucket),
                                      start.begin() + static_cast<std::ptrdiff_t>(first_bucket + buckets));
        for (std::size_t i = 0; i < n; ++i) {
            // Wraps around for the numbers below this thread's.
            const std::size_t bucket = static_cast<std::size_t>(keys[i].satno - low) - first_bucket;
            if (bucket < buckets)
                placed[next[bucket]++] = {keys[i].epoch, i};
        }
        for (auto satellite = begin; satellite != end; ++satellite) {
            Placed *first = placed + satellite->first, *last = placed + satellite->last;
            if (!std::is_sorted(first, last))
                std::sort(first, last);
        }
    };
    parallel::split(n, 65536, threads, work);
    return grouping;
}

// Copy the lines of the `n` records `placed` (a stretch of what grouped()
// gives) one after another into `out`, rows of row_size bytes, split
// across up to `threads` threads when there are many. The records lie in
// reading order, far apart, so the cache lines of each are asked for some
// rows ahead of its copy.
inline void copy_rows(const RecordStore &records, const Placed *placed, std::size_t n, char *out,
                      unsigned threads) {
    auto work = [&](std::size_t first, std::size_t last) {
        constexpr std::size_t ahead = 16;
        for (std::size_t i = first; i < last; ++i) {
            if (i + ahead < last) {
                const char *next = records[placed[i + ahead].position].lines;
                __builtin_prefetch(next);
                __builtin_prefetch(next + 64);
                __builtin_prefetch(next + row_size - 1);
            }
            std::memcpy(out + i * row_size, records[placed[i].position].lines, row_size);
        }
    };
    parallel::split(n, 16384, threads, work);
}

}  // namespace astrokite::catalogue
