// The table behind ELSET: the order of element sets by epoch, the layout of
// the twelve element columns, and the positions that a boolean mask or an
// array of positions selects. Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "astrokite/propagators/analytical/sgp4/tle.hpp"

namespace astrokite::elset_table {

// The element columns, in storage order: column c of a table of n rows starts
// at table + c * n.
inline constexpr std::size_t column_count = 12;
inline constexpr const char *column_names[column_count] = {
    "ecc", "sma", "inc", "raa", "arp", "tra", "mnm", "orp", "eca", "mea", "pge", "apg"};

using Row = std::array<double, column_count>;

// The stored elements of one element set, in column order.
inline Row row_of(const TLE &tle) {
    return {tle.ecc, tle.sma, tle.inc, tle.raa, tle.arp, tle.tra,
            tle.mnm, tle.orp, tle.eca, tle.mea, tle.pge, tle.apg};
}

// Write `row` as row i of a table of n rows.
inline void put_row(double *table, std::size_t n, std::size_t i, const Row &row) {
    for (std::size_t c = 0; c < column_count; ++c)
        table[c * n + i] = row[c];
}

// Put the rows of a table of n rows in the given order: row i becomes what
// row order[i] was. One column at a time, through a buffer of one column.
inline void reorder_rows(double *table, std::size_t n, const std::vector<std::size_t> &order) {
    std::vector<double> column(n);
    for (std::size_t c = 0; c < column_count; ++c) {
        double *values = table + c * n;
        std::copy(values, values + n, column.begin());
        for (std::size_t i = 0; i < n; ++i)
            values[i] = column[order[i]];
    }
}

// Positions 0..n-1 in ascending order of epoch; equal epochs keep their order.
// Sorting (epoch, position) pairs gives that order without a stable sort, and
// compares epochs held in the pairs rather than read through the positions.
inline std::vector<std::size_t> order_by_epoch(const std::int64_t *epochs, std::size_t n) {
    std::vector<std::size_t> order(n);
    if (std::is_sorted(epochs, epochs + n)) {  // histories mostly arrive in order
        std::iota(order.begin(), order.end(), std::size_t{0});
        return order;
    }
    std::vector<std::pair<std::int64_t, std::size_t>> keyed(n);
    for (std::size_t i = 0; i < n; ++i)
        keyed[i] = {epochs[i], i};
    std::sort(keyed.begin(), keyed.end());
    for (std::size_t i = 0; i < n; ++i)
        order[i] = keyed[i].second;
    return order;
}

// The number a satellite-number field holds when it is decimal digits with
// blanks around them, which is what int() makes of its stripped text. Any
// other field (a sign, a letter, no digit at all) gives nothing: the caller
// then asks the object itself.
inline std::optional<std::int32_t> plain_satno(std::string_view field) {
    std::size_t first = field.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return std::nullopt;
    std::size_t last = field.find_last_not_of(' ');
    std::int32_t value = 0;
    for (std::size_t i = first; i <= last; ++i) {
        if (field[i] < '0' || field[i] > '9' || value > 99'999'999)
            return std::nullopt;
        value = value * 10 + (field[i] - '0');
    }
    return value;
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
