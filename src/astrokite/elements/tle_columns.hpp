// Element-set lines written from columns of values: the inverse of reading a
// line pair's fields. Each value is rounded to the decimals its column holds
// (half to even, as the line's own digits were rounded) and laid out in the
// fixed columns of line 1 and line 2, checksums included. A value that no
// column can hold is reported, never written wrong.
//
// Plain C++: no Python in here.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/time/calendar.hpp"
#include "astrokite/units/units.hpp"

namespace astrokite::catalogue::columns {

inline constexpr std::size_t line_length = tle_lines::line_length;

// The values of n element sets, one array each, in the units ELSET columns use.
struct Columns {
    std::size_t n = 0;
    const std::int64_t *satno, *epoch, *ephtype, *elnum, *revnum;  // epoch: counts of Time
    const double *ecc, *inc, *raa, *arp, *mea;  // radians
    const double *mnm;                           // rad/s
    const double *ndot, *nddot, *bstar;          // rad/s^2, rad/s^3, 1/Earth radii
    const char *classification;                  // one printable ASCII byte a row
    const char *intldes;                         // eight a row
};

// Why a row cannot be written; the binding turns each into a sentence.
enum class Fault : std::uint8_t {
    none, satno, epoch_missing, epoch_years, ndot, nddot, bstar, ephtype, elnum, revnum,
    inc, raa, ecc, arp, mea, mnm,
};

namespace detail {

// `value` (below 10^width) as `width` digits, zero-padded.
inline void digits(char *out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10)
        out[i] = static_cast<char>('0' + value % 10);
}

// `value` right-aligned in `width` columns, blanks in front.
inline void right_aligned(char *out, std::uint64_t value, int width) {
    digits(out, value, width);
    for (int i = 0; i < width - 1 && out[i] == '0'; ++i)
        out[i] = ' ';
}

// 10^k for k in [-20, 20], exact where a double holds it exactly.
inline constexpr auto powers_of_ten = [] {
    std::array<double, 41> table{};
    for (int k = 0; k <= 20; ++k) {
        double power = 1;
        for (int i = 0; i < k; ++i)
            power *= 10;
        table[20 + k] = power;
        table[20 - k] = 1 / power;
    }
    return table;
}();

inline double power_of_ten(long long k) { return powers_of_ten[static_cast<std::size_t>(k + 20)]; }

// The nearest whole number, halves to even, as the default rounding mode
// gives it: adding and taking away 2^52 leaves no fraction (no library call).
inline double round_half_even(double x) {
    if (!(std::fabs(x) < 0x1p52))
        return x;
    const double magic = std::copysign(0x1p52, x);
    return (x + magic) - magic;
}

// The value rounded to `decimals` decimals as a whole count of them, if it
// lies in [0, high) once rounded.
inline bool scaled(double value, int decimals, double high, std::uint64_t &count) {
    const double power = power_of_ten(decimals);
    const double rounded = round_half_even(value * power);
    if (!(rounded >= 0 && rounded < high * power))
        return false;
    count = static_cast<std::uint64_t>(rounded);
    return true;
}

// "ddd.dddd": `whole` columns for the whole part (right-aligned), a point, the decimals.
inline bool fixed(char *out, double value, int whole, int decimals, double high) {
    std::uint64_t count = 0;
    if (!scaled(value, decimals, high, count))
        return false;
    std::uint64_t unit = 1;
    for (int i = 0; i < decimals; ++i)
        unit *= 10;
    right_aligned(out, count / unit, whole);
    out[whole] = '.';
    digits(out + whole + 1, count % unit, decimals);
    return true;
}

// The first-derivative column: a sign (blank or "-"), a point, eight decimals.
inline bool signed_point(char *out, double value) {
    std::uint64_t count = 0;
    if (!scaled(std::fabs(value), 8, 1.0, count))
        return false;
    out[0] = value < 0 && count ? '-' : ' ';
    out[1] = '.';
    digits(out + 2, count, 8);
    return true;
}

// An implied-point column with a power of ten: " 28903-3" is 0.28903e-3.
// Values below what the column holds are written as zero.
inline bool implied_exponent(char *out, double value) {
    if (!std::isfinite(value))
        return false;
    const double size = std::fabs(value);
    long long mantissa = 0, exponent = 0;
    if (size > 0) {
        exponent = static_cast<long long>(std::floor(std::log10(size))) + 1;
        // log10 may be one off near a power of ten: bring the mantissa into [10000, 99999].
        for (int pass = 0; pass < 3; ++pass) {
            if (exponent - 5 < -20 || exponent - 5 > 20)
                break;
            mantissa = static_cast<long long>(round_half_even(size / power_of_ten(exponent - 5)));
            if (mantissa >= 100'000)
                ++exponent;
            else if (mantissa < 10'000)
                --exponent;
            else
                break;
        }
        if (exponent > 9)
            return false;
        if (exponent < -9 || mantissa < 10'000 || mantissa >= 100'000)  // below the column
            mantissa = exponent = 0;
    }
    out[0] = value < 0 && mantissa ? '-' : ' ';
    digits(out + 1, static_cast<std::uint64_t>(mantissa), 5);
    out[6] = exponent > 0 ? '+' : '-';
    out[7] = static_cast<char>('0' + (exponent < 0 ? -exponent : exponent));
    return true;
}

// Columns 3 to 7: the number, with a letter for the ten-thousands from 100000
// on (Alpha-5: A is 10, without I and O).
inline bool satno(char *out, std::int64_t number) {
    static constexpr char alpha5[] = "ABCDEFGHJKLMNPQRSTUVWXYZ";
    if (number < 0 || number > 339'999)
        return false;
    digits(out, static_cast<std::uint64_t>(number % 100'000), 5);
    if (number >= 100'000)
        out[0] = alpha5[number / 10'000 - 10];
    return true;
}

// Columns 19 to 32, "YYDDD.DDDDDDDD", from a count of Time rounded to the
// column's unit of 1e-8 day (864 us).
// a / b rounded down (b > 0): counts before 1970 are negative.
inline std::int64_t floor_divide(std::int64_t a, std::int64_t b) { return a / b - (a % b < 0); }

inline Fault epoch(char *out, std::int64_t count) {
    if (count == time::datetime64_nat)
        return Fault::epoch_missing;
    constexpr std::int64_t half_unit = 432'000, units_per_day = 100'000'000;
    const std::int64_t units = floor_divide(floor_divide(count, half_unit) + 1, 2);  // nearest, halves up
    const std::int64_t days = floor_divide(units, units_per_day), fraction = units - days * units_per_day;
    const std::int64_t year = time::civil_from_days(days).year;
    if (year < 1957 || year > 2056)
        return Fault::epoch_years;
    digits(out, static_cast<std::uint64_t>(year % 100), 2);
    digits(out + 2, static_cast<std::uint64_t>(days - time::days_from_civil(year, 1, 1) + 1), 3);
    out[5] = '.';
    digits(out + 6, static_cast<std::uint64_t>(fraction), 8);
    return Fault::none;
}

inline bool small_integer(char *out, std::int64_t value, int width) {
    std::int64_t limit = 1;
    for (int i = 0; i < width; ++i)
        limit *= 10;
    if (value < 0 || value >= limit)
        return false;
    right_aligned(out, static_cast<std::uint64_t>(value), width);
    return true;
}

}  // namespace detail

// Row i of `columns` as 138 bytes at `row`: line 1, then line 2. On a fault
// the row is left partly written.
inline Fault write_row(const Columns &c, std::size_t i, char *row) {
    constexpr double day_ = units::day, rev_ = units::rev, deg_ = units::deg;
    char *line1 = row, *line2 = row + line_length;
    std::memset(row, ' ', 2 * line_length);
    line1[0] = '1';
    line2[0] = '2';
    if (!detail::satno(line1 + 2, c.satno[i]))
        return Fault::satno;
    std::memcpy(line2 + 2, line1 + 2, 5);
    line1[7] = c.classification[i];
    std::memcpy(line1 + 9, c.intldes + 8 * i, 8);
    if (const Fault fault = detail::epoch(line1 + 18, c.epoch[i]); fault != Fault::none)
        return fault;
    // The line holds ndot / 2 in rev/day^2 and nddot / 6 in rev/day^3.
    if (!detail::signed_point(line1 + 33, c.ndot[i] * (day_ * day_) / (2 * rev_)))
        return Fault::ndot;
    if (!detail::implied_exponent(line1 + 44, c.nddot[i] * (day_ * day_ * day_) / (6 * rev_)))
        return Fault::nddot;
    if (!detail::implied_exponent(line1 + 53, c.bstar[i]))
        return Fault::bstar;
    if (!detail::small_integer(line1 + 62, c.ephtype[i], 1))
        return Fault::ephtype;
    if (!detail::small_integer(line1 + 64, c.elnum[i], 4))
        return Fault::elnum;
    constexpr double circle = 360.00005;  // "360.0000" is the most an angle column holds
    if (!detail::fixed(line2 + 8, c.inc[i] / deg_, 3, 4, 180.00005))
        return Fault::inc;
    if (!detail::fixed(line2 + 17, c.raa[i] / deg_, 3, 4, circle))
        return Fault::raa;
    std::uint64_t ecc = 0;
    if (!detail::scaled(c.ecc[i], 7, 1.0, ecc))
        return Fault::ecc;
    detail::digits(line2 + 26, ecc, 7);
    if (!detail::fixed(line2 + 34, c.arp[i] / deg_, 3, 4, circle))
        return Fault::arp;
    if (!detail::fixed(line2 + 43, c.mea[i] / deg_, 3, 4, circle))
        return Fault::mea;
    if (!detail::fixed(line2 + 52, c.mnm[i] * (day_ / rev_), 2, 8, 100.0))
        return Fault::mnm;
    if (!detail::small_integer(line2 + 63, c.revnum[i], 5))
        return Fault::revnum;
    for (char *line : {line1, line2})
        line[line_length - 1] =
            static_cast<char>('0' + tle_lines::checksum(*reinterpret_cast<const tle_lines::LineStore *>(line)));
    return Fault::none;
}

}  // namespace astrokite::catalogue::columns
