// Reading catalogues and histories of two-line element sets: 2-line and
// 3-line text (with or without the "0 " before a name), mixed in one stream,
// fed in chunks of any size.
//
// Two stages per chunk. The first walks the bytes once: it cuts lines, tells
// line 1, line 2 and name lines apart and pairs each line 1 with the line 2
// that follows it. The second copies each pair, normalised, into a record and
// turns it into values (satellite number, epoch, the checks) independently of
// the others. It runs on other cores in batches handed over while the first
// stage goes on pairing the rest of the chunk, and the results are taken in
// reading order as the batches are done. Memory stays bounded whatever the
// input: no line is kept beyond `max_line` bytes, and only the accepted
// records grow with the input.
//
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "astrokite/common/parallel.hpp"
#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/time/calendar.hpp"

namespace astrokite::catalogue {

inline constexpr std::size_t row_size = 2 * tle_lines::line_length;  // normalised line 1, then line 2
inline constexpr std::size_t max_line = 4096;                         // longest line kept, in bytes
inline constexpr std::size_t quoted_limit = 160;                      // bytes of a line kept in a rejection
inline constexpr std::uint32_t no_name = UINT32_MAX;

// What a reading keeps and checks.
struct Options {
    bool strict = false;                  // checksums, line numbers, matching numbers (tle_lines::find_fault)
    bool select_satnos = false;           // keep only the numbers in `satnos` (sorted)
    std::vector<std::int32_t> satnos;
    bool has_start = false, has_stop = false;  // epoch window [start, stop), counts of Time
    std::int64_t start = 0, stop = 0;
};

// An element set read: its two normalised lines and what they are kept by.
struct Record {
    char lines[row_size + 1];  // the zero after line 2 is the normalised store's own
    std::int32_t satno = 0;
    std::uint32_t name = no_name;  // index into Scanner::names
    std::int64_t epoch = 0;        // counts of Time: orders the records of a satellite
};

// The records read, in blocks of fixed size: growing never moves or copies
// what is stored, and each page is touched once, by whoever writes the record
// there first (the blocks are not initialised when they are taken). A block
// is one huge page, mapped on its own; once a reading is past its first block,
// the blocks ask for transparent huge pages: a large reading then takes far
// fewer page faults, and gathering the records by satellite afterwards, in an
// order unrelated to where they lie, far fewer TLB misses.
class RecordStore {
public:
    static constexpr std::size_t block_bytes = std::size_t{2} << 20;
    static constexpr std::size_t block_size = block_bytes / sizeof(Record);

    RecordStore() = default;
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;
    RecordStore(RecordStore &&) = default;
    RecordStore &operator=(RecordStore &&) = default;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Record &operator[](std::size_t i) { return blocks_[i / block_size][i % block_size]; }
    const Record &operator[](std::size_t i) const { return blocks_[i / block_size][i % block_size]; }

    // Room for `count` more records at the end, to be written before they are read.
    void grow(std::size_t count) {
        size_ += count;
        while (size_ > blocks_.size() * block_size)
            blocks_.emplace_back(static_cast<Record *>(take_block(!blocks_.empty())));
    }

    // Keep the first `count` records.
    void shrink(std::size_t count) {
        size_ = std::min(size_, count);
        blocks_.resize((size_ + block_size - 1) / block_size);
    }

    void release() { shrink(0); }

private:
    // A block aligned to its size, asking for a huge page when `huge`. The
    // mapping is made twice as large as a block and cut down to an aligned one.
    static void *take_block(bool huge) {
#if defined(__linux__)
        void *mapped = mmap(nullptr, 2 * block_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            throw std::bad_alloc();
        char *start = static_cast<char *>(mapped);
        char *block = start + (block_bytes - reinterpret_cast<std::uintptr_t>(start) % block_bytes) % block_bytes;
        if (block > start)
            munmap(start, static_cast<std::size_t>(block - start));
        if (block + block_bytes < start + 2 * block_bytes)
            munmap(block + block_bytes, static_cast<std::size_t>(start + 2 * block_bytes - (block + block_bytes)));
        if (huge)
            madvise(block, block_bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
        return block;
#else
        (void)huge;
        return ::operator new(block_bytes, std::align_val_t{block_bytes});
#endif
    }

    // Records are aggregates: raw memory holds them once they are written.
    struct Free {
        void operator()(Record *block) const {
#if defined(__linux__)
            munmap(block, block_bytes);
#else
            ::operator delete(block, std::align_val_t{block_bytes});
#endif
        }
    };
    std::vector<std::unique_ptr<Record[], Free>> blocks_;
    std::size_t size_ = 0;
};

// A line or record that was not read, with the reason.
struct Rejection {
    std::uint32_t source = 0;
    std::uint64_t line = 0;  // 1-based line number in its source
    std::string text;        // the lines concerned, joined by "\n", each cut to quoted_limit bytes
    std::string reason;
    // A run of single lines rejected one after the other for the same reason
    // (pages of garbage) is kept as one rejection: the text of its first line
    // and the number of its last. 0 for a rejection of several lines together.
    std::uint64_t last_single = 0;
};

// A record in the order of Scanner::grouped(): its epoch and its position in
// the store. Ordered by epoch, then position.
struct Placed {
    std::int64_t epoch;  // counts of Time
    std::size_t position;
    bool operator<(const Placed &other) const {
        return epoch < other.epoch || (epoch == other.epoch && position < other.position);
    }
};

// The records in the order of Scanner::grouped().
struct Grouping {
    std::size_t size = 0;
    std::unique_ptr<Placed[]> records;  // each written before it is read: no initialisation
};

// One satellite of the result: its records [first, last) in the order of
// Scanner::grouped(), and its name.
struct Satellite {
    std::int32_t satno = 0;
    std::size_t first = 0, last = 0;
    std::uint32_t name = no_name;
};

namespace detail {

enum class Kind { blank, line1, line2, name };

inline std::string_view trim_right(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r'))
        --end;
    return text.substr(0, end);
}

inline constexpr std::string_view byte_order_mark = "\xef\xbb\xbf";

// A byte a blank line may hold: its newline, or what trim_right takes off.
inline bool is_blank_byte(char c) { return c == '\n' || c == ' ' || c == '\t' || c == '\r'; }

inline Kind kind_of(std::string_view line) {
    if (line.empty())
        return Kind::blank;
    if (line.size() >= 2 && line[1] == ' ') {
        if (line[0] == '1')
            return Kind::line1;
        if (line[0] == '2')
            return Kind::line2;
    }
    return Kind::name;
}

// The name a name line gives: without a leading "0 " and without blanks around it.
inline std::string_view name_of(std::string_view line) {
    if (line.size() >= 2 && line[0] == '0' && line[1] == ' ')
        line.remove_prefix(2);
    const std::size_t first = line.find_first_not_of(" \t");
    return first == std::string_view::npos ? std::string_view() : line.substr(first);
}

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

// The text is well-formed UTF-8 with no control character.
inline bool is_clean_utf8(std::string_view text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f)
                return false;
            ++p;
            continue;
        }
        std::size_t extra;
        std::uint32_t code;
        if (c >= 0xc2 && c <= 0xdf)
            extra = 1, code = c & 0x1f;
        else if (c >= 0xe0 && c <= 0xef)
            extra = 2, code = c & 0x0f;
        else if (c >= 0xf0 && c <= 0xf4)
            extra = 3, code = c & 0x07;
        else
            return false;
        if (static_cast<std::size_t>(end - p) <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((p[k] & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (p[k] & 0x3f);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF.
        if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10ffff)) ||
            (code >= 0xd800 && code <= 0xdfff))
            return false;
        p += extra + 1;
    }
    return true;
}

inline std::string cut(std::string_view text) {
    return std::string(text.substr(0, quoted_limit)) + (text.size() > quoted_limit ? "..." : "");
}

}  // namespace detail

class Scanner {
public:
    explicit Scanner(Options options = {}, unsigned threads = 0) : options_(std::move(options)) {
        std::sort(options_.satnos.begin(), options_.satnos.end());
        threads_ = threads ? threads : parallel::cores();
    }

    // Start reading source number `source`; the line count starts again.
    void begin(std::uint32_t source) {
        source_ = source;
        line_number_ = 0;
        carry_.clear();
        overlong_ = false;
    }

    // Read the next bytes of the current source. A line cut by the end of the
    // chunk waits for the next one.
    void feed(const char *data, std::size_t size) {
        std::size_t position = 0;
        std::string joined;  // a line begun in an earlier chunk, completed here
        if (!carry_.empty() || overlong_) {
            const void *newline = std::memchr(data, '\n', size);
            if (!newline) {
                keep_partial(std::string_view(data, size));
                return;
            }
            position = static_cast<std::size_t>(static_cast<const char *>(newline) - data);
            keep_partial(std::string_view(data, position));
            joined.swap(carry_);
            const bool overlong = overlong_;
            overlong_ = false;
            finish_line(joined, overlong);
            ++position;
        }
        while (position < size) {
            if (detail::is_blank_byte(data[position])) {
                position = skip_blank_lines(data, position, size);
                if (position == size)
                    break;
            }
            const void *newline = std::memchr(data + position, '\n', size - position);
            if (!newline)
                break;
            const std::size_t end = static_cast<std::size_t>(static_cast<const char *>(newline) - data);
            const std::string_view line(data + position, end - position);
            finish_line(line.size() > max_line ? line.substr(0, max_line) : line, line.size() > max_line);
            position = end + 1;
        }
        convert();
        keep_held_lines();
        keep_partial(std::string_view(data + position, size - position));
    }

    // The end of the current source: a last line without a newline is read,
    // and lines still waiting for their partner are rejected.
    void end() {
        std::string last;
        last.swap(carry_);
        if (!last.empty() || overlong_) {
            const bool overlong = overlong_;
            overlong_ = false;
            finish_line(last, overlong);
        }
        if (has_line1_)
            reject_held("the text ends after line 1, before its line 2");
        else if (has_name_)
            reject({name_}, "the text ends after a name line, before its element set");
        has_line1_ = has_name_ = false;
        convert();
    }

    // Drop every element set identical in both lines to one read before it.
    void drop_duplicates() {
        std::vector<char> repeated(records_.size(), 0);
        {
            std::unordered_set<std::string_view> seen;
            seen.reserve(records_.size());
            for (std::size_t i = 0; i < records_.size(); ++i)
                repeated[i] = !seen.insert(std::string_view(records_[i].lines, row_size)).second;
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < records_.size(); ++i)
            if (!repeated[i]) {
                keys_[kept] = keys_[i];
                records_[kept++] = records_[i];
            }
        records_.shrink(kept);
        keys_.resize(kept);
    }

    // The records sorted by satellite number, by epoch within a satellite
    // (equal epochs in reading order), and the satellites in ascending
    // number. A satellite's name is that of its last record read with a name.
    // Sorted here, a satellite's sets need no sorting when made into an ELSET.
    Grouping grouped(std::vector<Satellite> &satellites) const {
        const std::size_t n = keys_.size();
        satellites.clear();
        Grouping grouping{n, std::unique_ptr<Placed[]>(new Placed[n])};
        if (n == 0)
            return grouping;
        // A counting sort by catalogue number over the compact keys, stable:
        // reading order within a number. The numbers come from five columns,
        // so they span at most 0 to 339999.
        std::int32_t low = keys_[0].satno, high = low;
        for (const Key &key : keys_) {
            low = std::min(low, key.satno);
            high = std::max(high, key.satno);
        }
        const std::size_t span = static_cast<std::size_t>(high - low) + 1;
        std::vector<std::size_t> start(span + 1, 0);
        std::vector<std::uint32_t> names(span, no_name);
        for (const Key &key : keys_) {
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
                const std::size_t bucket = static_cast<std::size_t>(keys_[i].satno - low) - first_bucket;
                if (bucket < buckets)
                    placed[next[bucket]++] = {keys_[i].epoch, i};
            }
            for (auto satellite = begin; satellite != end; ++satellite) {
                Placed *first = placed + satellite->first, *last = placed + satellite->last;
                if (!std::is_sorted(first, last))
                    std::sort(first, last);
            }
        };
        split_across_threads(n, 65536, work);
        return grouping;
    }

    // Copy the lines of the `n` records `placed` (a stretch of what grouped()
    // gives) one after another into `out`, rows of row_size bytes,
    // split across threads when there are many. The records lie in reading
    // order, far apart, so the cache lines of each are asked for some rows
    // ahead of its copy.
    void copy_rows(const Placed *placed, std::size_t n, char *out) const {
        auto work = [&](std::size_t first, std::size_t last) {
            constexpr std::size_t ahead = 16;
            for (std::size_t i = first; i < last; ++i) {
                if (i + ahead < last) {
                    const char *next = records_[placed[i + ahead].position].lines;
                    __builtin_prefetch(next);
                    __builtin_prefetch(next + 64);
                    __builtin_prefetch(next + row_size - 1);
                }
                std::memcpy(out + i * row_size, records_[placed[i].position].lines, row_size);
            }
        };
        split_across_threads(n, 16384, work);
    }

    // Let go of the records and names read (their memory too); rejections stay.
    void release_records() {
        records_.release();
        std::vector<Key>().swap(keys_);
        std::vector<std::vector<Pending>>().swap(found_);
        std::string().swap(name_bytes_);
        std::vector<std::pair<std::size_t, std::size_t>>().swap(name_spans_);
    }

    const RecordStore &records() const { return records_; }
    std::string_view name(std::uint32_t index) const {
        return std::string_view(name_bytes_).substr(name_spans_[index].first, name_spans_[index].second);
    }
    std::vector<Rejection> &rejections() { return rejections_; }

private:
    // work(first, last) over [0, n), split into one range per thread, each
    // of at least `per_thread` items.
    template <typename Work>
    void split_across_threads(std::size_t n, std::size_t per_thread, const Work &work) const {
        parallel::split(n, per_thread, threads_, work);
    }

    // A line waiting for its partner: a view of its text and its number.
    struct HeldLine {
        std::string_view text;
        std::uint64_t number = 0;
    };

    // A name line (optional), line 1 and line 2 paired by the first stage,
    // views of the chunk; the second stage writes its record and the rest.
    struct Pending {
        std::string_view name, line1, line2;
        std::uint64_t line = 0;    // number of its first line: the name line, else line 1
        bool named = false;        // has a name line with a name
        Record *record = nullptr;  // where the second stage writes it
        bool keep = false;
        std::string fault;  // empty when the set is read
    };

    // The first stage gathers the sets it pairs in batches of this many: small
    // enough that the helpers start early and end together, large enough that
    // handing one over costs nothing next to checking it.
    static constexpr std::size_t batch_size = 2048;

    // The second stage of one chunk's batches: each batch is taken, in order,
    // by one of the helper threads as soon as the first stage hands it over,
    // so that checking overlaps pairing; the thread that feeds the chunk joins
    // in once the chunk is paired. The results of the checked batches are
    // taken in reading order by one thread at a time.
    class Checks {
    public:
        Checks(Scanner &scanner, unsigned helpers) : scanner_(scanner) {
            for (unsigned h = 0; h < helpers; ++h)
                helpers_.emplace_back([this] { work(); });
        }
        Checks(const Checks &) = delete;
        Checks &operator=(const Checks &) = delete;
        ~Checks() { finish(); }

        void hand_over(std::span<Pending> batch) {
            {
                std::lock_guard lock(mutex_);
                batches_.push_back(batch);
                checked_.push_back(false);
            }
            ready_.notify_one();
        }

        // No more batches: check those not yet taken, alongside the helpers,
        // and wait for all to be done.
        void finish() {
            {
                std::lock_guard lock(mutex_);
                closed_ = true;
            }
            ready_.notify_all();
            work();
            for (std::thread &helper : helpers_)
                helper.join();
            helpers_.clear();
        }

    private:
        void work() {
            for (;;) {
                std::size_t index;
                std::span<Pending> batch;
                {
                    std::unique_lock lock(mutex_);
                    ready_.wait(lock, [this] { return taken_ < batches_.size() || closed_; });
                    if (taken_ == batches_.size())
                        return;
                    index = taken_++;
                    batch = batches_[index];
                }
                for (Pending &pending : batch)
                    check(scanner_.options_, pending);
                take_in_order(index);
            }
        }

        // Batch `index` is checked. Whoever finds the next batch to take
        // checked takes it and those after it that are checked too; a batch
        // checked meanwhile by another thread is left to the one taking.
        void take_in_order(std::size_t index) {
            std::unique_lock lock(mutex_);
            checked_[index] = true;
            if (taking_)
                return;
            taking_ = true;
            while (next_to_take_ < batches_.size() && checked_[next_to_take_]) {
                const std::span<Pending> batch = batches_[next_to_take_];
                lock.unlock();
                scanner_.take_results(batch);
                lock.lock();
                ++next_to_take_;
            }
            taking_ = false;
        }

        Scanner &scanner_;
        std::vector<std::thread> helpers_;
        std::mutex mutex_;
        std::condition_variable ready_;
        std::vector<std::span<Pending>> batches_;  // handed over, in reading order
        std::vector<bool> checked_;
        std::size_t taken_ = 0;         // batches_[0, taken_) are taken to be checked
        std::size_t next_to_take_ = 0;  // the results of batches_[0, next_to_take_) are taken
        bool taking_ = false;           // a thread is taking results
        bool closed_ = false;
    };

    // Room for the next set the first stage pairs. A full batch gets its
    // records and, when threads are allowed, goes to the helpers to be checked.
    Pending &next_pending() {
        if (batches_used_ == 0 || found_[batches_used_ - 1].size() == batch_size) {
            if (batches_used_ > 0) {
                std::vector<Pending> &full = found_[batches_used_ - 1];
                assign_records(full);
                if (threads_ > 1) {
                    if (!checks_)
                        checks_ = std::make_unique<Checks>(*this, threads_ - 1);
                    checks_->hand_over(full);
                }
            }
            // The batches' storage is kept from chunk to chunk; a batch never
            // grows beyond what it reserves, so its sets never move.
            if (batches_used_ == found_.size())
                found_.emplace_back().reserve(batch_size);
            ++batches_used_;
        }
        return found_[batches_used_ - 1].emplace_back();
    }

    // Each set of the batch is written straight to a record at the end of the
    // store; the records of the sets not kept are closed up afterwards.
    void assign_records(std::vector<Pending> &batch) {
        const std::size_t base = records_.size();
        records_.grow(batch.size());
        for (std::size_t i = 0; i < batch.size(); ++i)
            batch[i].record = &records_[base + i];
    }

    void keep_partial(std::string_view piece) {
        if (overlong_)
            return;
        const std::size_t room = max_line - std::min(max_line, carry_.size());
        carry_.append(piece.substr(0, room));
        if (piece.size() > room)
            overlong_ = true;
    }

    // The held name and line 1 outlive the chunk they are views of: copy them.
    void keep_held_lines() {
        if (has_name_ && name_.text.data() != name_store_.data()) {
            name_store_.assign(name_.text);
            name_.text = name_store_;
        }
        if (has_line1_ && line1_.text.data() != line1_store_.data()) {
            line1_store_.assign(line1_.text);
            line1_.text = line1_store_;
        }
    }

    void reject(std::initializer_list<HeldLine> lines, std::string reason) {
        const std::uint64_t number = lines.begin()->number;
        if (lines.size() == 1 && !rejections_.empty()) {
            Rejection &last = rejections_.back();
            if (last.last_single && last.source == source_ && last.last_single + 1 == number &&
                last.reason == reason) {
                last.last_single = number;
                return;
            }
        }
        Rejection rejection{source_, number, {}, std::move(reason), lines.size() == 1 ? number : 0};
        for (const HeldLine &line : lines) {
            if (!rejection.text.empty())
                rejection.text += '\n';
            rejection.text += detail::cut(line.text);
        }
        rejections_.push_back(std::move(rejection));
    }

    // Reject the held line 1 (with its name line, if it has one).
    void reject_held(std::string reason) {
        if (has_name_)
            reject({name_, line1_}, std::move(reason));
        else
            reject({line1_}, std::move(reason));
        has_line1_ = has_name_ = false;
    }

    // Something other than a line 2 came: a held line 1 or name line has lost
    // its partner.
    void interrupt(const char *what) {
        if (has_line1_)
            reject_held(std::string("line 1 is followed by ") + what + ", not by its line 2");
        else if (has_name_)
            reject({name_}, std::string("the name line is followed by ") + what + ", not by an element set");
        has_name_ = false;
    }

    // Blank lines (empty, or blanks and carriage returns only) say nothing and
    // hold nothing: a run of them from `position` is counted and passed over
    // at once, up to the newline ending its last line. Gives where the next
    // line starts. Pages of empty lines go eight at a time.
    std::size_t skip_blank_lines(const char *data, std::size_t position, std::size_t size) {
        constexpr std::uint64_t newlines = 0x0a0a0a0a0a0a0a0aULL;
        std::size_t at = position, after_last = position, count = 0;
        while (at < size) {
            std::uint64_t word;
            if (size - at >= sizeof word && (std::memcpy(&word, data + at, sizeof word), word == newlines)) {
                at += sizeof word;
                count += sizeof word;
                after_last = at;
            } else if (data[at] == '\n') {
                ++at;
                ++count;
                after_last = at;
            } else if (detail::is_blank_byte(data[at]) && at - after_last < max_line) {
                ++at;  // a longer line is the normal path's to reject
            } else {
                break;
            }
        }
        line_number_ += count;
        return after_last;
    }

    // First stage for one line: `raw` without its newline, at most max_line
    // bytes; `overlong` when the line went on beyond them.
    void finish_line(std::string_view raw, bool overlong) {
        ++line_number_;
        // A byte-order mark some editors put at the start of UTF-8 text is not part of the line.
        if (line_number_ == 1 && raw.starts_with(detail::byte_order_mark))
            raw.remove_prefix(detail::byte_order_mark.size());
        const std::string_view line = detail::trim_right(raw);
        if (overlong) {
            interrupt("an overlong line");
            reject({{line, line_number_}}, "the line is longer than " + std::to_string(max_line) + " bytes");
            return;
        }
        switch (detail::kind_of(line)) {
        case detail::Kind::blank:
            return;
        case detail::Kind::name:
            if (!detail::is_clean_utf8(line)) {
                interrupt("a line that is not text");
                reject({{line, line_number_}},
                       "the line is neither an element set line nor a name: it holds control characters "
                       "or bytes that are not UTF-8");
                return;
            }
            interrupt("a name line");
            name_ = {detail::name_of(line), line_number_};
            has_name_ = true;
            return;
        case detail::Kind::line1:
            if (has_line1_)
                reject_held("line 1 is followed by another line 1, not by its line 2");
            line1_ = {line, line_number_};
            has_line1_ = true;
            return;
        case detail::Kind::line2:
            if (!has_line1_) {
                if (has_name_)
                    reject({name_, {line, line_number_}}, "line 2 without its line 1");
                else
                    reject({{line, line_number_}}, "line 2 without its line 1");
                has_name_ = false;
                return;
            }
            Pending &pending = next_pending();
            pending.name = has_name_ ? name_.text : std::string_view();
            pending.line1 = line1_.text;
            pending.line2 = line;
            pending.line = has_name_ ? name_.number : line1_.number;
            pending.named = has_name_ && !name_.text.empty();  // the name is taken in convert()
            has_line1_ = has_name_ = false;
            return;
        }
    }

public:
    // Second stage of one record: normalise its lines, check them, read its
    // catalogue number and epoch, and apply the filters.
    static void check(const Options &options, Pending &pending) {
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

private:
    // The end of the second stage for a chunk: the last batch is checked (with
    // those the helpers have not taken yet, or all of them when the chunk was
    // too small for helpers), and the records of the sets not kept are closed
    // up.
    void convert() {
        std::size_t found = 0;
        if (batches_used_ > 0) {
            std::vector<Pending> &last = found_[batches_used_ - 1];
            assign_records(last);
            if (checks_) {
                checks_->hand_over(last);
                checks_->finish();
                checks_.reset();
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
        std::size_t kept = records_.size() - found;
        for (std::size_t b = 0; b < batches_used_; ++b)
            for (const Pending &pending : found_[b])
                if (pending.keep) {
                    Record &record = records_[kept++];
                    if (&record != pending.record)
                        record = *pending.record;
                }
        records_.shrink(kept);
        for (std::size_t b = 0; b < batches_used_; ++b)
            found_[b].clear();
        batches_used_ = 0;
        for (Rejection &rejection : checked_rejections_)
            rejections_.push_back(std::move(rejection));
        checked_rejections_.clear();
        // Rejections of one chunk come from both stages; keep them in line order.
        std::stable_sort(rejections_.begin() + static_cast<std::ptrdiff_t>(sorted_rejections_), rejections_.end(),
                         [](const Rejection &a, const Rejection &b) {
                             return a.source < b.source || (a.source == b.source && a.line < b.line);
                         });
        sorted_rejections_ = rejections_.size();
    }

    // The results of a checked batch, taken batch after batch in reading
    // order: its rejections, and the names and keys of the sets kept.
    void take_results(std::span<Pending> batch) {
        for (Pending &pending : batch) {
            if (!pending.fault.empty()) {
                std::string text = pending.name.empty() ? std::string() : detail::cut(pending.name) + "\n";
                text += detail::cut(pending.line1) + "\n" + detail::cut(pending.line2);
                checked_rejections_.push_back({source_, pending.line, std::move(text), std::move(pending.fault), 0});
            } else if (pending.keep) {
                Record &record = *pending.record;
                record.name = pending.named ? name_index(pending.name) : no_name;
                keys_.push_back({record.epoch, record.satno, record.name});
            }
        }
    }

    // The index of a name among those kept; a name repeated from the record
    // before is not stored again.
    std::uint32_t name_index(std::string_view name) {
        if (!name_spans_.empty() && this->name(static_cast<std::uint32_t>(name_spans_.size() - 1)) == name)
            return static_cast<std::uint32_t>(name_spans_.size() - 1);
        name_spans_.emplace_back(name_bytes_.size(), name.size());
        name_bytes_.append(name);
        return static_cast<std::uint32_t>(name_spans_.size() - 1);
    }

    Options options_;
    unsigned threads_ = 1;
    std::uint32_t source_ = 0;
    std::uint64_t line_number_ = 0;
    std::string carry_;      // the start of a line cut by the end of a chunk
    bool overlong_ = false;  // the line being carried passed max_line bytes
    HeldLine name_, line1_;  // views of the chunk, or of the stores below once it is gone
    bool has_name_ = false, has_line1_ = false;
    std::string name_store_, line1_store_;
    std::vector<std::vector<Pending>> found_;  // batches of the current chunk, and spare ones
    std::size_t batches_used_ = 0;              // found_[0, batches_used_) hold this chunk's sets
    std::unique_ptr<Checks> checks_;            // the helpers of the current chunk, if it has any
    RecordStore records_;
    // What grouping needs of each record, in the same order: read without
    // walking the records themselves, a hundred and sixty bytes apart.
    struct Key {
        std::int64_t epoch;
        std::int32_t satno;
        std::uint32_t name;
    };
    std::vector<Key> keys_;
    std::string name_bytes_;                                     // the names kept, one after another
    std::vector<std::pair<std::size_t, std::size_t>> name_spans_;  // (offset, length) in name_bytes_
    std::vector<Rejection> rejections_;
    std::vector<Rejection> checked_rejections_;  // the second stage's of the current chunk, in reading order
    std::size_t sorted_rejections_ = 0;
};

// The fields of n rows of normalised line pairs, column by column, for tables.
struct RowFields {
    std::vector<std::int64_t> epoch;  // counts of Time
    std::vector<double> ndot, nddot, bstar;
    std::vector<std::int32_t> ephtype, elnum, revnum;
    std::string classification;  // one byte per row
    std::string intldes;         // eight bytes per row
};

inline RowFields row_fields(const char *rows, std::size_t n) {
    RowFields fields;
    fields.epoch.resize(n);
    fields.ndot.resize(n);
    fields.nddot.resize(n);
    fields.bstar.resize(n);
    fields.ephtype.resize(n);
    fields.elnum.resize(n);
    fields.revnum.resize(n);
    fields.classification.resize(n);
    fields.intldes.resize(8 * n);
    for (std::size_t i = 0; i < n; ++i) {
        tle_lines::LineStore line1, line2;
        std::memcpy(line1, rows + i * row_size, tle_lines::line_length);
        std::memcpy(line2, rows + i * row_size + tle_lines::line_length, tle_lines::line_length);
        line1[tle_lines::line_length] = line2[tle_lines::line_length] = '\0';
        const tle_lines::ElementSet set = tle_lines::parse_element_set(line1, line2);
        std::int64_t epoch = 0;
        if (time::ns_from_jd(time::year_start_jd(set.epoch_year) - 1.0 + set.epoch_day, epoch) != time::Convert::ok)
            epoch = time::min_ns - 1;  // not a time
        fields.epoch[i] = epoch;
        fields.ndot[i] = set.ndot;
        fields.nddot[i] = set.nddot;
        fields.bstar[i] = set.bstar;
        fields.ephtype[i] = set.ephtype;
        fields.elnum[i] = set.elnum;
        fields.revnum[i] = set.revnum;
        fields.classification[i] = set.classification;
        std::memcpy(&fields.intldes[8 * i], set.intldes, 8);
    }
    return fields;
}

}  // namespace astrokite::catalogue
