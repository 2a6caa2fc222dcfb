// The reading that collects what an OMM document gives: records, names, the
// other fields of each message (its extras) and the messages rejected, with
// their reasons; and large documents read in parts on every core. The
// scanners of the four forms (omm_xml.hpp, omm_kvn.hpp, omm_json.hpp,
// omm_csv.hpp) only find keys and values and hand each message here.
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "astrokite/catalogue/omm_fields.hpp"
#include "astrokite/common/parallel.hpp"

namespace astrokite::omm {

struct Rejection {
    std::int64_t number;  // the message's line (KVN, CSV) or its place in the document (XML, JSON)
    std::string text;     // the message's text, cut to text_limit bytes
    std::string reason;
};

inline constexpr std::size_t text_limit = 300;

// One field that records lack, across the records: a code per record (-1
// where it lacks the field) into the distinct values, each kept once.
struct ExtraColumn {
    std::vector<std::int32_t> codes;
    std::deque<std::string> values;
    std::unordered_map<std::string_view, std::int32_t> code_of;

    std::int32_t code(std::string_view value) {
        // Most messages repeat the text of the one before.
        if (last >= 0 && values[static_cast<std::size_t>(last)] == value)
            return last;
        return last = lookup(value);
    }

private:
    std::int32_t last = -1;
    std::int32_t lookup(std::string_view value) {
        const auto found = code_of.find(value);
        if (found != code_of.end())
            return found->second;
        const auto code = static_cast<std::int32_t>(values.size());
        code_of.emplace(values.emplace_back(value), code);
        return code;
    }
};

// Messages are taken in batches: the fields of a batch's messages become
// records on every core, then the records, extras, names and rejections are
// kept in reading order. A scanner fills the message start() gives, hands it
// over with take() and calls flush() before the texts its messages view go.
class Reading {
public:
    static constexpr std::size_t batch_size = 4096;

    explicit Reading(unsigned threads = parallel::cores()) : threads_(threads) {
        // Room for a whole batch: messages never move once filled (their
        // values may view their own texts).
        batch_.reserve(batch_size);
        made_.reserve(batch_size);
        numbers_.reserve(batch_size);
        texts_.reserve(batch_size);
        reasons_.reserve(batch_size);
    }

    // The next message to fill, empty. The batch grows to its size as it is
    // first filled, so that a short document costs little.
    Message &start() {
        if (filled_ == batch_.size()) {
            batch_.emplace_back();
            made_.emplace_back();
            numbers_.emplace_back();
            texts_.emplace_back();
            reasons_.emplace_back();
        }
        batch_[filled_].clear();
        return batch_[filled_];
    }

    // The message start() gave is complete: `number` and `text` name it in a rejection.
    void take(std::int64_t number, std::string_view text) {
        batch_[filled_].seal_comments();
        numbers_[filled_] = number;
        texts_[filled_] = text;
        if (++filled_ == batch_size)
            flush();
    }

    // A rejection of the scanner's, kept in its place among the messages taken
    // (it may come while a message is being filled, which stays where it is).
    void reject(std::int64_t number, std::string_view text, std::string reason) {
        pending_.emplace_back(filled_, rejection_of(number, text, std::move(reason)));
    }

    // Every message taken becomes a record or a rejection.
    void flush() {
        const std::size_t n = filled_;
        if (!n) {
            for (auto &[at, pending] : pending_)
                rejections_.push_back(std::move(pending));
            pending_.clear();
            return;
        }
        filled_ = 0;
        std::exception_ptr error;
        std::mutex error_mutex;
        parallel::split(n, 512, threads_, [&](std::size_t first, std::size_t last) {
            try {
                for (std::size_t k = first; k < last; ++k) {
                    reasons_[k].clear();
                    record_of(batch_[k], made_[k], reasons_[k]);
                }
            } catch (...) {  // out of memory: raised again on the calling thread
                const std::lock_guard<std::mutex> lock(error_mutex);
                error = std::current_exception();
            }
        });
        if (error)
            std::rethrow_exception(error);
        auto pending = pending_.begin();
        for (std::size_t k = 0; k <= n; ++k) {
            for (; pending != pending_.end() && pending->first == k; ++pending)
                rejections_.push_back(std::move(pending->second));
            if (k == n)
                break;
            if (!reasons_[k].empty())
                rejections_.push_back(rejection_of(numbers_[k], texts_[k], std::move(reasons_[k])));
            else
                keep(batch_[k], made_[k]);
        }
        pending_.clear();
    }

    // The reading of a later part of the same document, after this one's: its
    // message numbers follow `number_offset` messages.
    void append(Reading &&part, std::int64_t number_offset) {
        flush();
        part.finish();
        for (Rejection &rejection : part.rejections_)
            rejection.number += number_offset;
        if (records_.empty() && rejections_.empty() && names_.empty() && keys_.empty()) {  // taken over, not copied
            records_ = std::move(part.records_);
            rejections_ = std::move(part.rejections_);
            names_ = std::move(part.names_);
            name_index_ = std::move(part.name_index_);
            named_ = SIZE_MAX;
            keys_ = std::move(part.keys_);  // the views of column_index_ go with the texts they view
            columns_ = std::move(part.columns_);
            column_index_ = std::move(part.column_index_);
            recent_.clear();
            return;
        }
        const auto row0 = static_cast<std::int32_t>(records_.size());
        auto column = part.columns_.begin();
        for (const std::string &key : part.keys_) {
            ExtraColumn &mine = column_of(key);
            std::vector<std::int32_t> code_of(column->values.size());
            for (std::size_t j = 0; j < code_of.size(); ++j)
                code_of[j] = mine.code(column->values[j]);
            mine.codes.resize(static_cast<std::size_t>(row0), -1);
            for (const std::int32_t code : column->codes)
                mine.codes.push_back(code < 0 ? -1 : code_of[static_cast<std::size_t>(code)]);
            ++column;
        }
        records_.insert(records_.end(), part.records_.begin(), part.records_.end());
        if (row0 > 0)
            for (std::size_t r = static_cast<std::size_t>(row0); r < records_.size(); ++r)
                if (records_[r].extras_row >= 0)
                    records_[r].extras_row += row0;
        for (const auto &[satno, name] : part.names_)
            give_name(satno, name);
        rejections_.insert(rejections_.end(), std::make_move_iterator(part.rejections_.begin()),
                           std::make_move_iterator(part.rejections_.end()));
    }

    unsigned threads() const { return threads_; }
    // Room for `count` records, so that they are not moved as they come.
    void reserve(std::size_t count) { records_.reserve(count); }

    // Once every message is in: each extra column gets a code for every record.
    void finish() {
        flush();
        for (ExtraColumn &column : columns_)
            column.codes.resize(records_.size(), -1);
    }

    std::vector<elements::Record> &records() { return records_; }
    const std::vector<Rejection> &rejections() const { return rejections_; }
    // (satno, OBJECT_NAME): the last name of each number, in the order of their first names.
    const std::vector<std::pair<std::int32_t, std::string>> &names() const { return names_; }
    const std::deque<std::string> &extra_keys() const { return keys_; }
    std::deque<ExtraColumn> &extra_columns() { return columns_; }

private:
    static Rejection rejection_of(std::int64_t number, std::string_view text, std::string reason) {
        std::size_t end = std::min(text.size(), text_limit);
        while (end < text.size() && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;  // not inside a UTF-8 character
        return {number, std::string(text.substr(0, end)), std::move(reason)};
    }

    void keep(const Message &message, elements::Record &record) {
        const std::size_t row = records_.size();
        if (!message.extras.empty()) {
            record.extras_row = static_cast<std::int32_t>(row);
            // Messages mostly give their extras in the order of the one before.
            if (recent_.size() < message.extras.size())
                recent_.resize(message.extras.size(), no_column);
            for (std::size_t j = 0; j < message.extras.size(); ++j) {
                const auto &[key, value] = message.extras[j];
                if (recent_[j] == no_column || keys_[recent_[j]] != key)
                    recent_[j] = index_of(key);
                ExtraColumn &column = columns_[recent_[j]];
                column.codes.resize(row, -1);
                column.codes.push_back(column.code(stripped(value)));
            }
        }
        records_.push_back(record);
        const std::string_view name = given_value(message, OBJECT_NAME);
        if (!name.empty())
            give_name(record.satno, name);
    }

    // A number's name: its last one replaces any earlier.
    void give_name(std::int32_t satno, std::string_view name) {
        if (named_ >= names_.size() || names_[named_].first != satno) {  // a history in a row needs no lookup
            const auto [at, added] = name_index_.try_emplace(satno, names_.size());
            if (added)
                names_.emplace_back(satno, std::string());
            named_ = at->second;
        }
        if (names_[named_].second != name)
            names_[named_].second.assign(name);
    }

    std::size_t index_of(std::string_view key) {
        const auto found = column_index_.find(key);
        if (found != column_index_.end())
            return found->second;
        column_index_.emplace(keys_.emplace_back(key), columns_.size());
        columns_.emplace_back();
        return columns_.size() - 1;
    }
    ExtraColumn &column_of(std::string_view key) { return columns_[index_of(key)]; }

    unsigned threads_;
    std::vector<Message> batch_;
    std::vector<elements::Record> made_;
    std::vector<std::int64_t> numbers_;
    std::vector<std::string_view> texts_;
    std::vector<std::string> reasons_;
    std::size_t filled_ = 0;
    // The scanner's rejections since the last flush, each after the messages taken before it.
    std::vector<std::pair<std::size_t, Rejection>> pending_;

    std::vector<elements::Record> records_;
    std::vector<Rejection> rejections_;
    std::vector<std::pair<std::int32_t, std::string>> names_;
    std::unordered_map<std::int32_t, std::size_t> name_index_;  // where each number's name is in names_
    std::size_t named_ = SIZE_MAX;                               // ... the last one given
    std::deque<std::string> keys_;
    std::deque<ExtraColumn> columns_;
    std::unordered_map<std::string_view, std::size_t> column_index_;
    // The column of each extra of the last message kept, by its place.
    static constexpr std::size_t no_column = SIZE_MAX;
    std::vector<std::size_t> recent_;
};

// Documents from this size on are read in parts, on every core.
inline constexpr std::size_t parts_from = std::size_t(1) << 22;
// Bytes of a part, about: small enough that a part's working memory stays in
// the caches and is used again by the thread's next part.
inline constexpr std::size_t part_bytes = std::size_t(1) << 23;

// The Scratch of parts that keep nothing from one to the next.
struct NoScratch {};

// A document read in `parts` parts, in runs of parts that follow one another,
// a thread to a run: read_part(scratch, k, reading, before) reads part k into
// the run's own reading, its messages numbered after `before`, and gives the
// numbers it took; `scratch` (a Scratch of the thread's own) is kept from part
// to part. The runs' readings then join in order, each one's numbers after
// those of the runs before and after `first_number`: the first run's reading
// is taken over, the others' added to it, so it makes room for about
// `records` records at once, the others for their share. False, with nothing kept,
// when a part is no document of its own (a DocumentError): the caller then
// reads the document whole.
template <typename Scratch, typename ReadPart>
bool read_in_parts(std::size_t parts, std::int64_t first_number, std::size_t records, Reading &reading,
                   const ReadPart &read_part) {
    const std::size_t runs = std::clamp<std::size_t>(parts, 1, reading.threads());
    std::vector<Reading> readings;
    readings.reserve(runs);
    for (std::size_t r = 0; r < runs; ++r)
        readings.emplace_back(1).reserve(r == 0 ? records : records / runs);
    std::vector<std::int64_t> counts(runs, 0);
    std::atomic<bool> whole{true};
    parallel::split(parts, 1, static_cast<unsigned>(runs), [&](std::size_t first, std::size_t last) {
        std::size_t run = 0;
        while (parts * run / runs != first)  // the run split() gave these parts
            ++run;
        Scratch scratch;
        try {
            for (std::size_t k = first; k < last && whole.load(std::memory_order_relaxed); ++k)
                counts[run] += read_part(scratch, k, readings[run], counts[run]);
        } catch (const DocumentError &) {
            whole.store(false);
        }
    });
    if (!whole.load())
        return false;
    std::int64_t offset = first_number;
    for (std::size_t r = 0; r < runs; ++r) {
        reading.append(std::move(readings[r]), offset);
        offset += counts[r];
    }
    return true;
}

}  // namespace astrokite::omm
