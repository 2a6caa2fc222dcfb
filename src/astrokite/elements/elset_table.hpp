// The table behind ELSET: the order of element sets by epoch, the layout of
// the element columns, the values of one element set read from its stored
// lines, and the positions that a boolean mask or an array of positions
// selects. Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "astrokite/common/parallel.hpp"
#include "astrokite/elements/record.hpp"
#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/state/coe.hpp"
#include "astrokite/time/calendar.hpp"

namespace astrokite::elset_table {

// The element columns, in storage order: column c of a table of n rows starts
// at table + c * n. The first twelve are the elements a TLE stores; the drag
// term and the mean-motion derivatives are read from its lines.
inline constexpr std::size_t column_count = 15;
inline constexpr const char *column_names[column_count] = {
    "ecc", "sma", "inc", "raa", "arp", "tra", "mnm", "orp", "eca", "mea", "pge", "apg", "bstar", "ndot", "nddot"};

using Row = std::array<double, column_count>;

using tle_lines::row_bytes;

// The drag term and the mean-motion derivatives of two stored lines.
inline void put_drag_terms(const tle_lines::DragTerms &terms, Row &row) {
    row[12] = terms.bstar;
    row[13] = terms.ndot;
    row[14] = terms.nddot;
}

inline constexpr std::size_t first_drag_column = 12;

// The columns of the anomalies.
inline constexpr std::size_t tra_column = 5, eca_column = 8;

// Rows of 138 bytes and their epoch counts held by another extension (the
// catalogue reader's scanner), handed over in a capsule named
// row_source_capsule, so that ELSETs are built from them with no copy of all
// rows in between. Each function copies `count` rows (or epochs) from row
// `first` on; there are `rows` of them. Both may be called from several
// threads at once.
inline constexpr const char *row_source_capsule = "astrokite.elset_rows";
struct RowSource {
    const void *context;
    std::size_t rows;
    void (*copy_rows)(const void *context, std::size_t first, std::size_t count, char *out);
    void (*copy_epochs)(const void *context, std::size_t first, std::size_t count, std::int64_t *out);
};

// One element set read from a row of stored lines, with the values a TLE made
// from those lines holds: the mean elements of line 2, the derived elements
// with Earth's gm [m^3/s^2] and re [m], and the epoch by the Julian-date route;
// all but the anomalies, eca and tra (NaN here), which fill_anomalies derives
// from the lines when they are first asked for: Kepler's equation is the
// dearest part of reading a row.
struct LinesRow {
    tle_lines::LineStore line1, line2;  // normalised as a TLE stores them
    Row row;
    std::optional<std::int32_t> satno;  // empty when the field is no catalogue number
    double epoch_jd;                    // the epoch as a Julian date (0 when the count was given)
    time::Convert epoch_status;         // of the epoch count: ok unless out of range
    std::int64_t epoch = 0;             // nanoseconds since 1970, when ok
};

// `known_epoch`, when not null, is the epoch count these lines gave when they
// were read before: the epoch fields are then not read again.
inline void read_row(const char *bytes, double gm, double re, LinesRow &result,
                     const std::int64_t *known_epoch = nullptr) {
    const std::string_view source1(bytes, tle_lines::line_length), source2(bytes + tle_lines::line_length, tle_lines::line_length);
    const std::size_t length1 = tle_lines::normalise(source1, result.line1);
    const std::size_t length2 = tle_lines::normalise(source2, result.line2);
    const tle_lines::LineStore &line1 = tle_lines::text_to_read(source1, result.line1, length1);
    const tle_lines::LineStore &line2 = tle_lines::text_to_read(source2, result.line2, length2);
    // Only the fields the table holds are read, each as parse_element_set reads it.
    const tle_lines::Line2Fields set = tle_lines::parse_line2(line2, length2);
    const tle_lines::DragTerms drag = tle_lines::parse_drag_terms(line1, length1);
    const double sma = coe::c_sma_from_mnm(set.mnm, gm);
    constexpr double later = std::numeric_limits<double>::quiet_NaN();
    result.row = {set.ecc, sma, set.inc, set.raa, set.arp, later,
                  set.mnm, coe::c_orp_from_sma(sma, gm), later, set.mea,
                  coe::c_pge_from_sma_ecc(sma, set.ecc, re), coe::c_apg_from_sma_ecc(sma, set.ecc, re)};
    put_drag_terms(drag, result.row);
    if (known_epoch) {
        result.satno = tle_lines::decode_satno(tle_lines::field(line1, length1, 3, 5));
        result.epoch_jd = 0;
        result.epoch_status = time::Convert::ok;
        result.epoch = *known_epoch;
        return;
    }
    const tle_lines::Line1Fields first = tle_lines::parse_line1(line1, length1);
    result.satno = tle_lines::decode_satno(first.satno);
    result.epoch_jd = time::year_start_jd(first.year) - 1.0 + first.day;
    result.epoch_status = time::ns_from_jd(result.epoch_jd, result.epoch);
}

// The catalogue number and epoch of a record, as read_record gives them.
inline void read_record_epoch(const elements::Record &record, LinesRow &result) {
    result.satno = record.satno == elements::no_satno ? std::nullopt : std::optional<std::int32_t>(record.satno);
    result.epoch_status = elements::epoch_ns(record, result.epoch) ? time::Convert::ok : time::Convert::out_of_range;
    // What the refusal of an epoch out of range names.
    result.epoch_jd = time::unix_epoch_jd + static_cast<double>(record.epoch_midnight_ns) / 86400e9 + record.epoch_fraction;
}

// One element set read from its record, with the values read_row gives for
// one read from lines; the anomalies likewise left for fill_anomalies.
inline void read_record(const elements::Record &record, double gm, double re, LinesRow &result) {
    const double sma = coe::c_sma_from_mnm(record.mnm, gm);
    constexpr double later = std::numeric_limits<double>::quiet_NaN();
    result.row = {record.ecc, sma, record.inc, record.raa, record.arp, later,
                  record.mnm, coe::c_orp_from_sma(sma, gm), later, record.mea,
                  coe::c_pge_from_sma_ecc(sma, record.ecc, re), coe::c_apg_from_sma_ecc(sma, record.ecc, re),
                  record.bstar, record.ndot, record.nddot};
    read_record_epoch(record, result);
}

// Put the rows of `count` bytes each in the given order: row i becomes what
// row order[i] was.
inline void reorder_bytes(char *rows, std::size_t count, const std::vector<std::size_t> &order) {
    const std::size_t n = order.size();
    std::vector<char> copy(rows, rows + n * count);
    for (std::size_t i = 0; i < n; ++i)
        std::memcpy(rows + i * count, copy.data() + order[i] * count, count);
}

// Write the first `columns` values of `row` as row i of a table of n rows.
inline void put_row(double *table, std::size_t n, std::size_t i, const Row &row,
                    std::size_t columns = column_count) {
    for (std::size_t c = 0; c < columns; ++c)
        table[c * n + i] = row[c];
}

// Put the rows of the first `columns` columns of a table of n rows in the
// given order: row i becomes what row order[i] was. One column at a time,
// through a buffer of one column.
inline void reorder_rows(double *table, std::size_t n, const std::vector<std::size_t> &order,
                         std::size_t columns = column_count) {
    std::vector<double> column(n);
    for (std::size_t c = 0; c < columns; ++c) {
        double *values = table + c * n;
        std::copy(values, values + n, column.begin());
        for (std::size_t i = 0; i < n; ++i)
            values[i] = column[order[i]];
    }
}

// What reading rows of lines found besides their values.
struct RowsRead {
    std::size_t failed;                   // the first row whose epoch is out of range; n if none
    LinesRow failed_row;                  // ... and what was read of it
    std::vector<std::size_t> unnumbered;  // rows whose number field is no catalogue number
    std::optional<std::int32_t> satno;    // the number of the first numbered row
    bool differ = false;                  // some numbered row has another number
};

// Read element sets [first, last) of n, each by read_one(i, row), as rows of
// the table (n rows; none when null) and their epochs. Stops at the first
// whose epoch is out of range.
template <typename ReadOne>
RowsRead read_each(std::size_t first, std::size_t last, std::size_t n, double *table, std::int64_t *epochs,
                   const ReadOne &read_one) {
    RowsRead read{n, {}, {}, {}, false};
    LinesRow row;
    for (std::size_t i = first; i < last; ++i) {
        read_one(i, row);
        if (row.epoch_status != time::Convert::ok) {
            read.failed = i;
            read.failed_row = row;
            break;
        }
        if (table)
            put_row(table, n, i, row.row);
        epochs[i] = row.epoch;
        if (!row.satno)
            read.unnumbered.push_back(i);
        else if (!read.satno)
            read.satno = row.satno;
        else
            read.differ |= *read.satno != *row.satno;
    }
    return read;
}

// Read rows [first, last) of n rows of `source`: write their normalised lines
// to the same rows of `lines` (which may be `source` itself), their values as
// rows of the table (n rows) and their epochs. `known_epochs`, when not null,
// holds the epoch counts of the n rows as an earlier reading of them gave (see
// read_row).
inline RowsRead read_rows(const char *source, char *lines, std::size_t first, std::size_t last, std::size_t n,
                          double gm, double re, double *table, std::int64_t *epochs,
                          const std::int64_t *known_epochs = nullptr) {
    return read_each(first, last, n, table, epochs, [&](std::size_t i, LinesRow &row) {
        read_row(source + i * row_bytes, gm, re, row, known_epochs ? known_epochs + i : nullptr);
        std::memcpy(lines + i * row_bytes, row.line1, tle_lines::line_length);
        std::memcpy(lines + i * row_bytes + tle_lines::line_length, row.line2, tle_lines::line_length);
    });
}

// Rows a thread takes at least, when rows are read on several.
inline constexpr std::size_t rows_per_thread = 20'000;

// read_rows over all n rows, split into one run per core when there are many.
inline RowsRead read_all_rows(const char *source, char *lines, std::size_t n, double gm, double re, double *table,
                              std::int64_t *epochs) {
    std::mutex parts_lock;
    std::map<std::size_t, RowsRead> parts;  // by first row
    parallel::split(n, rows_per_thread, parallel::cores(), [&](std::size_t first, std::size_t last) {
        RowsRead part = read_rows(source, lines, first, last, n, gm, re, table, epochs);
        const std::lock_guard<std::mutex> hold(parts_lock);
        parts.emplace(first, std::move(part));
    });
    RowsRead all = std::move(parts.begin()->second);
    for (auto at = std::next(parts.begin()); at != parts.end() && all.failed == n; ++at) {
        RowsRead &part = at->second;
        if (part.failed != n) {
            all.failed = part.failed;
            all.failed_row = part.failed_row;
        }
        all.unnumbered.insert(all.unnumbered.end(), part.unnumbered.begin(), part.unnumbered.end());
        if (part.satno) {
            all.differ |= part.differ || (all.satno && *all.satno != *part.satno);
            if (!all.satno)
                all.satno = part.satno;
        }
    }
    return all;
}

// The mean anomaly and eccentricity of the element set in a row of text
// (138 bytes), as a TLE of those lines reads them.
inline std::pair<double, double> anomaly_of_row(const char *row) {
    const std::string_view source(row + tle_lines::line_length, tle_lines::line_length);
    tle_lines::LineStore line2;
    const std::size_t length = tle_lines::normalise(source, line2);
    const tle_lines::Line2Fields set = tle_lines::parse_line2(tle_lines::text_to_read(source, line2, length), length);
    return {set.mea, set.ecc};
}

// The anomaly columns of a table of n rows derived from each set's own mean
// anomaly and eccentricity (`anomaly_of(i)`: from its lines or its record), as
// a TLE derives its own; not from the other columns, which a caller may have
// written into. On every core when there are many rows.
template <typename AnomalyOf>
void fill_anomalies(double *table, std::size_t n, const AnomalyOf &anomaly_of) {
    double *eca = table + eca_column * n, *tra = table + tra_column * n;
    auto fill = [=, &anomaly_of](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            const auto [mea, ecc] = anomaly_of(i);
            eca[i] = coe::c_eca_from_mea(mea, ecc);
            tra[i] = coe::c_tra_from_eca(eca[i], ecc);
        }
    };
    parallel::split(n, rows_per_thread, parallel::cores(), fill);
}

// Positions 0..n-1 in ascending order of epoch; equal epochs keep their order.
// Few epochs are sorted as (epoch, position) pairs, which needs no stable
// sort; many by a stable radix sort of their offsets from the earliest,
// sixteen bits a pass, a pass skipped where all epochs share its digit.
inline std::vector<std::size_t> order_by_epoch(const std::int64_t *epochs, std::size_t n) {
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (std::is_sorted(epochs, epochs + n))  // histories mostly arrive in order
        return order;
    constexpr std::size_t few = 4096;
    if (n < few) {
        std::vector<std::pair<std::int64_t, std::size_t>> keyed(n);
        for (std::size_t i = 0; i < n; ++i)
            keyed[i] = {epochs[i], i};
        std::sort(keyed.begin(), keyed.end());
        for (std::size_t i = 0; i < n; ++i)
            order[i] = keyed[i].second;
        return order;
    }
    const std::uint64_t earliest = static_cast<std::uint64_t>(*std::min_element(epochs, epochs + n));
    std::vector<std::uint64_t> keys(n), moved_keys(n);
    std::uint64_t span = 0;
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = static_cast<std::uint64_t>(epochs[i]) - earliest;  // modulo 2^64: exact
        span |= keys[i];
    }
    constexpr unsigned digit_bits = 16;
    constexpr std::size_t buckets = std::size_t{1} << digit_bits;
    std::vector<std::size_t> moved(n), starts(buckets);
    for (unsigned shift = 0; shift < 64 && (span >> shift) != 0; shift += digit_bits) {
        std::fill(starts.begin(), starts.end(), std::size_t{0});
        for (std::size_t i = 0; i < n; ++i)
            ++starts[(keys[i] >> shift) & (buckets - 1)];
        if (starts[(keys[0] >> shift) & (buckets - 1)] == n)
            continue;
        std::size_t start = 0;
        for (std::size_t &bucket : starts)
            start += std::exchange(bucket, start);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t to = starts[(keys[i] >> shift) & (buckets - 1)]++;
            moved_keys[to] = keys[i];
            moved[to] = order[i];
        }
        keys.swap(moved_keys);
        order.swap(moved);
    }
    return order;
}

// Positions of the set flags of a mask of `count` one-byte flags, `stride`
// bytes apart: any non-zero byte is set.
inline std::vector<std::size_t> mask_positions(const std::uint8_t *mask, std::ptrdiff_t stride, std::size_t count) {
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < count; ++i)
        if (mask[static_cast<std::ptrdiff_t>(i) * stride])
            positions.push_back(i);
    return positions;
}

// Positions named by `count` indices, `stride` entries apart, into a table of
// n rows: a negative index counts from the end. An index outside [-n, n)
// stops the reading and is returned as `outside`.
template <typename Index>
bool index_positions(const Index *indices, std::ptrdiff_t stride, std::size_t count, std::size_t n,
                     std::vector<std::size_t> &positions, long long &outside) {
    const long long rows = static_cast<long long>(n);
    positions.clear();
    positions.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const long long index = static_cast<long long>(indices[static_cast<std::ptrdiff_t>(i) * stride]);
        if (index < -rows || index >= rows) {
            outside = index;
            return false;
        }
        positions.push_back(static_cast<std::size_t>(index < 0 ? index + rows : index));
    }
    return true;
}

}  // namespace astrokite::elset_table
