// Reading catalogues and histories of two-line element sets: 2-line and
// 3-line text (with or without the "0 " before a name), mixed in one stream,
// fed in chunks of any size.
//
// Two stages per chunk. The first (tle_pairing.hpp) walks the bytes once: it
// cuts lines, tells line 1, line 2 and name lines apart and pairs each line 1
// with the line 2 that follows it. The second (tle_checks.hpp) copies each
// pair, normalised, into a record and turns it into values (satellite number,
// epoch, the checks) independently of the others. It runs on other cores in
// batches handed over while the first stage goes on pairing the rest of the
// chunk, and the results are taken in reading order as the batches are done.
// Once read, the sets are grouped by satellite (tle_grouping.hpp). Memory
// stays bounded whatever the input: no line is kept beyond `max_line` bytes,
// and only the accepted records grow with the input (tle_record_store.hpp).
//
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "astrokite/catalogue/tle_checks.hpp"
#include "astrokite/catalogue/tle_grouping.hpp"
#include "astrokite/catalogue/tle_pairing.hpp"
#include "astrokite/catalogue/tle_record_store.hpp"
#include "astrokite/common/parallel.hpp"

namespace astrokite::catalogue {

class Scanner {
public:
    explicit Scanner(Options options = {}, unsigned threads = 0)
        : threads_(threads ? threads : parallel::cores()), checks_(std::move(options), threads_) {}

    // Start reading source number `source`; the line count starts again.
    void begin(std::uint32_t source) { pairing_.begin(source); }

    // Read the next bytes of the current source. A line cut by the end of the
    // chunk waits for the next one.
    void feed(const char *data, std::size_t size) { pairing_.feed(data, size, Handover{*this}); }

    // The end of the current source: a last line without a newline is read,
    // and lines still waiting for their partner are rejected.
    void end() { pairing_.end(Handover{*this}); }

    // Drop every element set identical in both lines to one read before it.
    void drop_duplicates() { catalogue::drop_duplicates(checks_.kept()); }

    // The records grouped by satellite: see catalogue::grouped().
    Grouping grouped(std::vector<Satellite> &satellites) const {
        return catalogue::grouped(checks_.kept(), satellites, threads_);
    }

    // The lines of `n` grouped records into `out`: see catalogue::copy_rows().
    void copy_rows(const Placed *placed, std::size_t n, char *out) const {
        catalogue::copy_rows(checks_.kept().records, placed, n, out, threads_);
    }

    // Let go of the records and names read (their memory too); rejections stay.
    void release_records() { checks_.release(); }

    const RecordStore &records() const { return checks_.kept().records; }
    std::string_view name(std::uint32_t index) const { return checks_.kept().name(index); }
    std::vector<Rejection> &rejections() { return pairing_.rejections(); }

private:
    // Where the first stage's pairs go: to the second stage, which checks a
    // chunk's once it is paired.
    struct Handover {
        Scanner &scanner;
        Pending &next_pending() { return scanner.checks_.next_pending(); }
        void chunk_paired() { scanner.convert(); }
    };

    // The second stage ends for the chunk; the rejections of both stages are
    // kept in line order.
    void convert() {
        checks_.finish_chunk();
        std::vector<Rejection> &rejections = pairing_.rejections();
        for (Rejection &rejection : checks_.rejections())
            rejections.push_back(std::move(rejection));
        checks_.rejections().clear();
        std::stable_sort(rejections.begin() + static_cast<std::ptrdiff_t>(sorted_rejections_), rejections.end(),
                         [](const Rejection &a, const Rejection &b) {
                             return a.source < b.source || (a.source == b.source && a.line < b.line);
                         });
        sorted_rejections_ = rejections.size();
    }

    unsigned threads_ = 1;
    LinePairing pairing_;
    PairChecks checks_;
    std::size_t sorted_rejections_ = 0;
};

}  // namespace astrokite::catalogue
