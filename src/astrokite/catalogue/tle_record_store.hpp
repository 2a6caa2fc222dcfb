// The element sets a catalogue reading keeps: each as a record of its two
// normalised lines, in a store that grows without moving what it holds, with
// the few values grouping reads of each and the names, each stored once.
//
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "astrokite/common/spares.hpp"
#include "astrokite/elements/tle_lines.hpp"

namespace astrokite::catalogue {

inline constexpr std::size_t row_size = 2 * tle_lines::line_length;  // normalised line 1, then line 2
inline constexpr std::uint32_t no_name = UINT32_MAX;

// An element set read: its two normalised lines and what they are kept by.
struct Record {
    char lines[row_size + 1];  // the zero after line 2 is the normalised store's own
    std::int32_t satno = 0;
    std::uint32_t name = no_name;  // index into KeptSets' names
    std::int64_t epoch = 0;        // counts of Time: orders the records of a satellite
};

// The records read, in blocks of fixed size: growing never moves or copies
// what is stored, and each page is touched once, by whoever writes the record
// there first (the blocks are not initialised when they are taken). A block
// is one huge page, mapped on its own; once a reading is past its first block,
// the blocks ask for transparent huge pages: a large reading then takes far
// fewer page faults, and gathering the records by satellite afterwards, in an
// order unrelated to where they lie, far fewer TLB misses. The last few
// blocks let go of are kept for the next reading: readings of many small
// files or blocks one after another then do not fault in fresh pages for each.
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

    // Keep the first `count` records. The blocks past them stay mapped for
    // the records that come next: each chunk of a reading takes records for
    // all its sets before closing up those not kept, and mapping the same
    // blocks again for every chunk costs their page faults every time.
    void shrink(std::size_t count) { size_ = std::min(size_, count); }

    // Let go of every record and block.
    void release() {
        blocks_.clear();
        size_ = 0;
    }

private:
    // A block aligned to its size, asking for a huge page when `huge`. The
    // mapping is made twice as large as a block and cut down to an aligned one.
    static void *take_block(bool huge) {
        if (std::optional<Record *> block = SpareBlocks::take())
            return *block;
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

    static void free_block(void *block) {
#if defined(__linux__)
        munmap(block, block_bytes);
#else
        ::operator delete(block, std::align_val_t{block_bytes});
#endif
    }

    // Blocks let go of, kept for the next records.
    using SpareBlocks = Spares<Record *, 4>;

    // Records are aggregates: raw memory holds them once they are written.
    struct Free {
        void operator()(Record *block) const {
            if (!SpareBlocks::give(block))
                free_block(block);
        }
    };
    std::vector<std::unique_ptr<Record[], Free>> blocks_;
    std::size_t size_ = 0;
};

// The sets a reading keeps: their records, what grouping needs of each (in
// the same order, read without walking the records themselves, a hundred and
// sixty bytes apart), and their names.
struct KeptSets {
    struct Key {
        std::int64_t epoch;
        std::int32_t satno;
        std::uint32_t name;
    };

    RecordStore records;
    std::vector<Key> keys;

    // The index of a name among those kept; a name repeated from the record
    // before is not stored again.
    std::uint32_t name_index(std::string_view name) {
        if (!name_spans_.empty() && this->name(static_cast<std::uint32_t>(name_spans_.size() - 1)) == name)
            return static_cast<std::uint32_t>(name_spans_.size() - 1);
        name_spans_.emplace_back(name_bytes_.size(), name.size());
        name_bytes_.append(name);
        return static_cast<std::uint32_t>(name_spans_.size() - 1);
    }

    std::string_view name(std::uint32_t index) const {
        return std::string_view(name_bytes_).substr(name_spans_[index].first, name_spans_[index].second);
    }

    // Let go of the records and names (their memory too).
    void release() {
        records.release();
        std::vector<Key>().swap(keys);
        std::string().swap(name_bytes_);
        std::vector<std::pair<std::size_t, std::size_t>>().swap(name_spans_);
    }

private:
    std::string name_bytes_;                                     // the names kept, one after another
    std::vector<std::pair<std::size_t, std::size_t>> name_spans_;  // (offset, length) in name_bytes_
};

}  // namespace astrokite::catalogue
