// The values of OMM messages read from their text: numbers correctly rounded
// (std::from_chars, whatever the process's locale), integers exactly, epochs
// to the picosecond, and texts quoted for reasons the way Python's repr() does.
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "astrokite/time/calendar.hpp"

namespace astrokite::omm {

inline bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Called for every value, often in functions large enough that the compiler
// would stop inlining: never a call.
[[gnu::always_inline]] inline std::string_view stripped(std::string_view text) {
    if (text.empty() || (!is_blank(text.front()) && !is_blank(text.back())))  // the usual text
        return text;
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// ---------------------------------------------------------------------------- numbers

enum class Number { ok, not_number, not_finite };

// A plain decimal number ("-15.49811030", "0.28903e-3") whose digits make an
// integer of at most 2^53 and whose power of ten is at most 22 either way:
// both are doubles exactly, so one multiplication or division by the power
// gives the correctly rounded value (as any correct reader's). False for any
// other text, which is left to the general reader.
inline bool read_short_number(std::string_view text, double &value) {
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    std::size_t i = 0;
    const bool negative = i < text.size() && text[i] == '-';
    i += negative;
    std::uint64_t digits = 0;
    int count = 0, scale = 0;
    const std::size_t whole_start = i;
    for (; i < text.size() && is_digit(text[i]); ++i, ++count)
        digits = digits * 10 + static_cast<unsigned>(text[i] - '0');
    if (i == whole_start)
        return false;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fraction_start = ++i;
        for (; i < text.size() && is_digit(text[i]); ++i, ++count)
            digits = digits * 10 + static_cast<unsigned>(text[i] - '0');
        if (i == fraction_start)
            return false;
        scale = -static_cast<int>(i - fraction_start);
    }
    if (count > 19)  // the digits may not fit 64 bits
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        const bool negative_exponent = i < text.size() && text[i] == '-';
        i += i < text.size() && (text[i] == '-' || text[i] == '+');
        const std::size_t exponent_start = i;
        int exponent = 0;
        for (; i < text.size() && is_digit(text[i]) && i - exponent_start < 4; ++i)
            exponent = exponent * 10 + (text[i] - '0');
        if (i == exponent_start)
            return false;
        scale += negative_exponent ? -exponent : exponent;
    }
    if (i != text.size() || digits > (std::uint64_t(1) << 53) || scale < -22 || scale > 22)
        return false;
    const double magnitude = scale < 0 ? static_cast<double>(digits) / powers[-scale]
                                       : static_cast<double>(digits) * powers[scale];
    value = negative ? -magnitude : magnitude;
    return true;
}

// A decimal number ("15.4981103", "-1.5e-5", ".5", "+2") correctly rounded to
// the nearest double. Infinities, NaNs and magnitudes beyond the doubles are
// not finite; a magnitude below the smallest subnormal reads as a signed zero.
inline Number read_number(std::string_view text, double &value) {
    text = stripped(text);
    const char *first = text.data(), *last = text.data() + text.size();
    if (first != last && *first == '+' && last - first > 1 && first[1] != '-')
        ++first;
    if (first == last)
        return Number::not_number;
    if (read_short_number(std::string_view(first, static_cast<std::size_t>(last - first)), value))
        return Number::ok;
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (end != last || (error != std::errc() && error != std::errc::result_out_of_range))
        return Number::not_number;
    if (error == std::errc::result_out_of_range) {
        // Which way it left the doubles: by the sign of its power of ten.
        const char *e = first;
        while (e != last && *e != 'e' && *e != 'E')
            ++e;
        if (e == last || e + 1 == last || e[1] != '-')
            return Number::not_finite;
        value = *first == '-' ? -0.0 : 0.0;
        return Number::ok;
    }
    return value - value == 0.0 ? Number::ok : Number::not_finite;
}

enum class Integer { ok, not_number, not_finite, not_integer, too_large };

// A decimal number that is a whole one ("25544", "25544.0", "2.5544e4"), read
// exactly; magnitudes of 10^18 or more are too large.
inline Integer read_integer(std::string_view text, std::int64_t &value) {
    text = stripped(text);
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::uint64_t whole = 0;
    int digits = 0;           // significant digits taken into `whole`
    std::int64_t shift = 0;   // the power of ten `whole` stands for
    bool seen_digit = false, nonzero_dropped = false;
    auto take = [&](char c, bool after_point) {
        seen_digit = true;
        if (digits == 0 && c == '0') {
            shift -= after_point;
            return;
        }
        if (digits < 19) {
            whole = whole * 10 + static_cast<unsigned>(c - '0');
            ++digits;
            shift -= after_point;
        } else {
            // Past 19 digits the number is too large or, after the point, not whole.
            shift += !after_point;
            nonzero_dropped |= after_point && c != '0';
        }
    };
    while (i < text.size() && is_digit(text[i]))
        take(text[i++], false);
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && is_digit(text[i]))
            take(text[i++], true);
    }
    if (seen_digit && i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        bool negative_exponent = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            negative_exponent = text[j++] == '-';
        if (j < text.size() && is_digit(text[j])) {
            std::int64_t exponent = 0;
            while (j < text.size() && is_digit(text[j])) {
                exponent = std::min<std::int64_t>(exponent * 10 + (text[j] - '0'), 1'000'000'000);
                ++j;
            }
            shift += negative_exponent ? -exponent : exponent;
            i = j;
        }
    }
    if (!seen_digit || i != text.size()) {
        double real;
        return read_number(text, real) == Number::not_finite ? Integer::not_finite : Integer::not_number;
    }
    // The digits below the point must be zeros.
    for (; shift < 0 && whole; ++shift) {
        if (whole % 10 != 0)
            return Integer::not_integer;
        whole /= 10;
    }
    if (nonzero_dropped)
        return Integer::not_integer;
    if (whole == 0) {
        value = 0;
        return Integer::ok;
    }
    for (; shift > 0; --shift) {
        if (whole >= 100'000'000'000'000'000ULL)
            return Integer::too_large;
        whole *= 10;
    }
    if (whole >= 1'000'000'000'000'000'000ULL)
        return Integer::too_large;
    value = negative ? -static_cast<std::int64_t>(whole) : static_cast<std::int64_t>(whole);
    return Integer::ok;
}

// ---------------------------------------------------------------------------- epochs

inline constexpr std::int64_t ps_per_second = 1'000'000'000'000;
inline constexpr std::int64_t ps_per_day = 86'400 * ps_per_second;
inline constexpr int max_epoch_decimals = 12;
// The years whose every instant a Time holds (int64 nanoseconds since 1970).
inline constexpr int first_epoch_year = 1678, last_epoch_year = 2261;

struct Epoch {
    std::int64_t midnight_ns;  // start of the UTC day [ns since 1970]
    std::int64_t ps;           // into the day [ps], exact for up to 12 decimals
    double fraction;           // ps / 86.4e15, the nearest double
    int decimals;              // of the seconds as written, at most 12
};

// The nearest double to ps / ps_per_day (0 <= ps <= ps_per_day), by exact
// integer division: the quotient scaled to 53 significant bits, rounded half
// to even on its remainder.
inline double day_fraction(std::int64_t ps) {
    if (ps <= 0)
        return 0.0;
    using int128 = time::int128;
    // ps * 2^k / ps_per_day must land in [2^52, 2^53).
    int k = 52 + (64 - __builtin_clzll(ps_per_day)) - (64 - __builtin_clzll(static_cast<std::uint64_t>(ps)));
    while ((static_cast<int128>(ps) << k) < (static_cast<int128>(ps_per_day) << 52))
        ++k;
    while ((static_cast<int128>(ps) << k) >= (static_cast<int128>(ps_per_day) << 53))
        --k;
    const int128 scaled = static_cast<int128>(ps) << k;
    std::uint64_t quotient = static_cast<std::uint64_t>(scaled / ps_per_day);
    const int128 twice_remainder = 2 * (scaled % ps_per_day);
    if (twice_remainder > ps_per_day || (twice_remainder == ps_per_day && (quotient & 1)))
        ++quotient;
    return std::ldexp(static_cast<double>(quotient), -k);
}

enum class EpochFault { none, not_iso, year_range, month, day, day_of_year, hour, minute, second };

// EPOCH in ISO 8601, UTC: "2023-03-31T01:48:35.660736" (a 'T' or a blank
// between date and time, the seconds or the minutes and seconds optional, any
// number of decimals, an optional "Z"), or the day-of-year form
// "2023-090T01:48:35.66". Decimals past the twelfth round half to even to
// the picosecond, into the next day if need be.
inline EpochFault read_epoch(std::string_view text, Epoch &epoch, int &year) {
    text = stripped(text);
    std::size_t i = 0;
    auto digits = [&](std::size_t count, int &out) {
        if (i + count > text.size())
            return false;
        out = 0;
        for (std::size_t j = 0; j < count; ++j) {
            if (!is_digit(text[i + j]))
                return false;
            out = out * 10 + (text[i + j] - '0');
        }
        i += count;
        return true;
    };
    int month = 0, day = 0, day_of_year = 0, hour = 0, minute = 0, second = 0;
    if (!digits(4, year) || i >= text.size() || text[i++] != '-')
        return EpochFault::not_iso;
    const std::size_t date_start = i;
    if (!(digits(2, month) && i < text.size() && text[i] == '-' && (++i, digits(2, day)))) {
        i = date_start;
        month = 0;
        if (!digits(3, day_of_year))
            return EpochFault::not_iso;
    }
    std::string_view decimals;
    if (i < text.size() && (text[i] == 'T' || text[i] == ' ')) {
        ++i;
        if (!digits(2, hour) || i >= text.size() || text[i++] != ':' || !digits(2, minute))
            return EpochFault::not_iso;
        if (i < text.size() && text[i] == ':') {
            ++i;
            if (!digits(2, second))
                return EpochFault::not_iso;
            if (i < text.size() && text[i] == '.') {
                const std::size_t start = ++i;
                while (i < text.size() && is_digit(text[i]))
                    ++i;
                decimals = std::string_view(text.data() + start, i - start);
                if (decimals.empty())
                    return EpochFault::not_iso;
            }
        }
    }
    if (i < text.size() && text[i] == 'Z')
        ++i;
    if (i != text.size())
        return EpochFault::not_iso;

    if (year < first_epoch_year || year > last_epoch_year)
        return EpochFault::year_range;
    std::int64_t days;
    if (month) {
        if (month < 1 || month > 12)
            return EpochFault::month;
        if (day < 1 || day > time::days_in_month(year, month))
            return EpochFault::day;
        days = time::days_from_civil(year, month, day);
    } else {
        if (day_of_year < 1 || day_of_year > (time::is_leap_year(year) ? 366 : 365))
            return EpochFault::day_of_year;
        days = time::days_from_civil(year, 1, 1) + day_of_year - 1;
    }
    if (hour > 23)
        return EpochFault::hour;
    if (minute > 59)
        return EpochFault::minute;
    if (second > 59)
        return EpochFault::second;

    std::int64_t ps = 0;
    const std::size_t exact = std::min<std::size_t>(decimals.size(), max_epoch_decimals);
    for (std::size_t j = 0; j < max_epoch_decimals; ++j)
        ps = ps * 10 + (j < exact ? decimals[j] - '0' : 0);
    if (decimals.size() > exact) {
        const char next = decimals[exact];
        const bool beyond = decimals.find_first_not_of('0', exact + 1) != std::string_view::npos;
        if (next > '5' || (next == '5' && (beyond || (ps & 1))))
            ++ps;
    }
    ps += ((hour * 60 + minute) * 60 + second) * ps_per_second;
    if (ps == ps_per_day) {  // rounded up to the next midnight
        ps = 0;
        ++days;
    }
    epoch.midnight_ns = days * time::ns_per_day;
    epoch.ps = ps;
    epoch.fraction = day_fraction(ps);
    epoch.decimals = static_cast<int>(exact);
    return EpochFault::none;
}

// ---------------------------------------------------------------------------- texts in reasons

// Texts quoted in reasons are cut to this many bytes.
inline constexpr std::size_t quoted_limit = 100;

// `text` as Python's repr() shows a str ('abc', "it's", '\n' escaped), cut
// after quoted_limit bytes with "...".
inline std::string quoted(std::string_view text) {
    const bool cut = text.size() > quoted_limit;
    if (cut) {
        std::size_t end = quoted_limit;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;  // not inside a UTF-8 character
        text = text.substr(0, end);
    }
    const char quote = text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos ? '"'
                                                                                                             : '\'';
    std::string out(1, quote);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == quote || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            constexpr char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += c;
        }
    }
    out += quote;
    if (cut)
        out += "...";
    return out;
}

}  // namespace astrokite::omm
