// The second stage of reading two-line element sets (see tle_scanner.hpp):
// each pair the first stage found is copied, normalised, into a record and
// turned into values (satellite number, epoch, the checks) independently of
// the others. The pairs come in batches, checked on other cores while the
// first stage goes on pairing the rest of the chunk; the results are taken in
// reading order as the batches are done.
//
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "astrokite/catalogue/tle_pairing.hpp"
#include "astrokite/catalogue/tle_record_store.hpp"
#include "astrokite/common/parallel.hpp"
#include "astrokite/common/spares.hpp"
#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/time/calendar.hpp"

namespace astrokite::catalogue {

// What a reading keeps and checks.
struct Options {
    bool strict = false;                  // checksums, line numbers, matching numbers (tle_lines::find_fault)
    bool select_satnos = false;           // keep only the numbers in `satnos` (sorted)
    std::vector<std::int32_t> satnos;
    bool has_start = false, has_stop = false;  // epoch window [start, stop), counts of Time
    std::int64_t start = 0, stop = 0;
};

namespace detail {

// Position of the first byte that is not printable ASCII, or npos. The test
// over the whole text runs without branches (it vectorises); only text that
// fails it is searched.
inline std::size_t first_unprintable(std::string_view text) {
    unsigned bad = 0;
    for (char c : text)
        bad |= static_cast<unsigned char>(static_cast<unsigned char>(c) - 0x20) > 0x5e;
    if (!bad)
        return std::string_view::npos;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (static_cast<unsigned char>(static_cast<unsigned char>(text[i]) - 0x20) > 0x5e)
            return i;
    return std::string_view::npos;
}

}  // namespace detail

// The second stage of one record: normalise its lines, check them, read its
// catalogue number and epoch, and apply the filters.
inline void check(const Options &options, Pending &pending) {
    const std::size_t bad1 = detail::first_unprintable(pending.line1);
    const std::size_t bad2 = detail::first_unprintable(pending.line2);
    if (bad1 != std::string_view::npos || bad2 != std::string_view::npos) {
        const bool first = bad1 != std::string_view::npos;
        pending.fault = std::string(first ? "line 1" : "line 2") +
                        " holds a byte that is not printable ASCII in column " +
                        std::to_string((first ? bad1 : bad2) + 1);
        return;
    }
    // Both lines are normalised in place: line 2's first byte replaces the
    // zero that ends line 1's store, and the record keeps line 2's zero.
    auto &line1 = *reinterpret_cast<tle_lines::LineStore *>(pending.record->lines);
    const std::size_t length1 = tle_lines::normalise(pending.line1, line1);
    auto &line2 = *reinterpret_cast<tle_lines::LineStore *>(pending.record->lines + tle_lines::line_length);
    tle_lines::normalise(pending.line2, line2);
    const tle_lines::LineStore &text1 = tle_lines::text_to_read(pending.line1, line1, length1);
    if (options.strict)
        if (std::string fault = tle_lines::find_fault(line1, line2, pending.line1.size(), pending.line2.size());
            !fault.empty()) {
            pending.fault = std::move(fault);
            return;
        }
    const std::optional<std::int32_t> satno = tle_lines::decode_satno(tle_lines::field(text1, length1, 3, 5));
    if (!satno) {
        pending.fault = "line 1 holds no catalogue number in columns 3 to 7: " +
                        tle_lines::detail::quoted(tle_lines::field(line1, length1, 3, 5));
        return;
    }
    const tle_lines::LineEpoch fields = tle_lines::parse_epoch(text1, length1);
    std::int64_t epoch = 0;
    if (time::ns_from_jd(time::year_start_jd(fields.year) - 1.0 + fields.day, epoch) != time::Convert::ok) {
        pending.fault = "the epoch in columns 19 to 32 is not a time: " +
                        tle_lines::detail::quoted(tle_lines::field(line1, length1, 19, 14));
        return;
    }
    pending.record->satno = *satno;
    pending.record->epoch = epoch;
    pending.keep = (!options.select_satnos ||
                    std::binary_search(options.satnos.begin(), options.satnos.end(), *satno)) &&
                   (!options.has_start || epoch >= options.start) && (!options.has_stop || epoch < options.stop);
}

// The pairs of a chunk checked into the sets kept: the first stage asks for
// room for each (next_pending()); each full batch gets its records and goes
// to helper threads at once; finish_chunk() checks the rest and closes up the
// records of the sets not kept. Its rejections wait in rejections(), in
// reading order.
class PairChecks {
public:
    PairChecks(Options options, unsigned threads) : options_(std::move(options)), threads_(threads) {
        std::sort(options_.satnos.begin(), options_.satnos.end());
    }

    // Room for the next set the first stage pairs. A full batch gets its
    // records and, when threads are allowed, goes to the helpers to be checked.
    Pending &next_pending() {
        if (batches_used_ == 0 || found_[batches_used_ - 1].size() == batch_size) {
            if (batches_used_ > 0) {
                std::vector<Pending> &full = found_[batches_used_ - 1];
                assign_records(full);
                if (threads_ > 1) {
                    if (!helpers_)
                        helpers_.emplace(
                            threads_ - 1,
                            [this](std::span<Pending> batch) {
                                for (Pending &pending : batch)
                                    check(options_, pending);
                            },
                            [this](std::span<Pending> batch) { take_results(batch); });
                    helpers_->hand_over(full);
                }
            }
            // The batches' storage is kept from chunk to chunk; a batch never
            // grows beyond what it reserves, so its sets never move.
            if (batches_used_ == found_.size())
                found_.push_back(new_batch());
            ++batches_used_;
        }
        return found_[batches_used_ - 1].emplace_back();
    }

    // The end of the second stage for a chunk: the last batch is checked (with
    // those the helpers have not taken yet, or all of them when the chunk was
    // too small for helpers), and the records of the sets not kept are closed
    // up.
    void finish_chunk() {
        std::size_t found = 0;
        if (batches_used_ > 0) {
            std::vector<Pending> &last = found_[batches_used_ - 1];
            assign_records(last);
            if (helpers_) {
                helpers_->hand_over(last);
                helpers_->finish();
                helpers_.reset();
            } else {
                for (std::size_t b = 0; b < batches_used_; ++b) {
                    for (Pending &pending : found_[b])
                        check(options_, pending);
                    take_results(found_[b]);
                }
            }
            for (std::size_t b = 0; b < batches_used_; ++b)
                found += found_[b].size();
        }
        RecordStore &records = kept_.records;
        std::size_t kept = records.size() - found;
        for (std::size_t b = 0; b < batches_used_; ++b)
            for (const Pending &pending : found_[b])
                if (pending.keep) {
                    Record &record = records[kept++];
                    if (&record != pending.record)
                        record = *pending.record;
                }
        records.shrink(kept);
        for (std::size_t b = 0; b < batches_used_; ++b)
            found_[b].clear();
        batches_used_ = 0;
    }

    // The rejections of the current chunk, in reading order.
    std::vector<Rejection> &rejections() { return rejections_; }

    KeptSets &kept() { return kept_; }
    const KeptSets &kept() const { return kept_; }

    // Let go of the sets kept and of the batches' storage (their memory too).
    void release() {
        kept_.release();
        for (std::vector<Pending> &batch : found_) {
            batch.clear();
            if (!SpareBatches::give(batch))
                break;
        }
        std::vector<std::vector<Pending>>().swap(found_);
    }

private:
    // The first stage gathers the sets it pairs in batches of this many: small
    // enough that the helpers start early and end together, large enough that
    // handing one over costs nothing next to checking it.
    static constexpr std::size_t batch_size = 2048;

    // Batch storage is kept from one reading to the next. A reading of a few
    // megabytes takes a dozen batches of a quarter of a megabyte, and fresh
    // memory costs its page faults again for every reading where the
    // allocator hands large blocks back to the system at once (as Dask's
    // workers ask it to, and they read many blocks one after another).
    using SpareBatches = Spares<std::vector<Pending>, 32>;  // some 7 MB

    static std::vector<Pending> new_batch() {
        std::vector<Pending> batch = SpareBatches::take().value_or(std::vector<Pending>());
        batch.reserve(batch_size);
        return batch;
    }

    // Each set of the batch is written straight to a record at the end of the
    // store; the records of the sets not kept are closed up afterwards.
    void assign_records(std::vector<Pending> &batch) {
        RecordStore &records = kept_.records;
        const std::size_t base = records.size();
        records.grow(batch.size());
        for (std::size_t i = 0; i < batch.size(); ++i)
            batch[i].record = &records[base + i];
    }

    // The results of a checked batch, taken batch after batch in reading
    // order: its rejections, and the names and keys of the sets kept.
    void take_results(std::span<Pending> batch) {
        for (Pending &pending : batch) {
            if (!pending.fault.empty()) {
                std::string text = pending.name.empty() ? std::string() : detail::cut(pending.name) + "\n";
                text += detail::cut(pending.line1) + "\n" + detail::cut(pending.line2);
                rejections_.push_back({pending.source, pending.line, std::move(text), std::move(pending.fault), 0});
            } else if (pending.keep) {
                Record &record = *pending.record;
                record.name = pending.named ? kept_.name_index(pending.name) : no_name;
                kept_.keys.push_back({record.epoch, record.satno, record.name});
            }
        }
    }

    Options options_;
    unsigned threads_ = 1;
    std::vector<std::vector<Pending>> found_;  // batches of the current chunk, and spare ones
    std::size_t batches_used_ = 0;              // found_[0, batches_used_) hold this chunk's sets
    KeptSets kept_;
    std::vector<Rejection> rejections_;
    // The helpers of the current chunk, if it has any: last, so that they end
    // before what they write to.
    std::optional<parallel::PiecesHandedOver<std::span<Pending>>> helpers_;
};

}  // namespace astrokite::catalogue
