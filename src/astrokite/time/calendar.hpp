// Calendar arithmetic of astrokite's Time, in plain C++ (no Python).
//
// An instant is a signed 64-bit count of nanoseconds since 1970-01-01T00:00:00
// UTC with days of 86,400 s (POSIX time, NumPy's datetime64[ns]). The smallest
// count, INT64_MIN, is NumPy's "not a time" and is never an instant here, so
// every count converts to a valid datetime64[ns].
//
// Every conversion into a count checks for overflow and reports it through
// `Convert` instead of wrapping around.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <utility>

namespace astrokite::time {

__extension__ typedef __int128 int128;

inline constexpr int64_t ns_per_us = 1'000;
inline constexpr int64_t ns_per_second = 1'000'000'000;
inline constexpr int64_t ns_per_day = 86'400 * ns_per_second;
inline constexpr int64_t min_ns = std::numeric_limits<int64_t>::min() + 1;
inline constexpr int64_t max_ns = std::numeric_limits<int64_t>::max();
inline constexpr double unix_epoch_jd = 2440587.5;   // Julian date of 1970-01-01T00:00
inline constexpr double unix_epoch_mjd = 40587.0;    // modified Julian date of the same

// Outcome of a conversion into a count.
enum class Convert { ok, invalid, out_of_range };

inline constexpr bool in_range(int128 ns) { return ns >= min_ns && ns <= max_ns; }

// ---------------------------------------------------------------------------
// Proleptic Gregorian calendar (H. Hinnant's days-from-civil algorithms).

struct CivilDate {
    int64_t year;
    int month;  // 1..12
    int day;    // 1..31
};

inline constexpr bool is_leap_year(int64_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

inline constexpr int days_in_month(int64_t year, int month) {
    constexpr int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : lengths[month - 1];
}

// Days since 1970-01-01 of a valid date; `year` must lie within +-2^40.
inline constexpr int64_t days_from_civil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

inline constexpr CivilDate civil_from_days(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t shifted_month = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    const int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    return {year_of_era + era * 400 + (month <= 2), month, day};
}

// Count of a calendar date and time of day (all fields already validated;
// `nanosecond` may exceed a second, e.g. after rounding a fraction).
inline Convert ns_from_civil(int64_t year, int month, int day, int hour, int minute, int second,
                             int64_t nanosecond, int64_t &ns) {
    if (year < -1'000'000 || year > 1'000'000)
        return Convert::out_of_range;
    const int128 seconds = static_cast<int128>(days_from_civil(year, month, day)) * 86'400 +
                           hour * 3'600 + minute * 60 + second;
    const int128 total = seconds * ns_per_second + nanosecond;
    if (!in_range(total))
        return Convert::out_of_range;
    ns = static_cast<int64_t>(total);
    return Convert::ok;
}

// ---------------------------------------------------------------------------
// Julian dates, modified Julian dates and Unix seconds.

// std::floor without a library call on baseline x86-64 (no SSE4.1): doubles
// of magnitude 2^52 or more are whole already.
inline double floor_double(double x) {
    if (!(std::fabs(x) < 0x1p52))
        return x;
    const double truncated = static_cast<double>(static_cast<int64_t>(x));
    return truncated > x ? truncated - 1.0 : truncated;
}

// a * b as an unevaluated sum product + error, exactly (Dekker's product with
// Veltkamp's splitting; no fused multiply-add needed).
inline double product_error(double a, double b, double product) {
    auto split = [](double x, double &high, double &low) {
        const double scaled = 134217729.0 * x;  // 2^27 + 1
        high = scaled - (scaled - x);
        low = x - high;
    };
    double a_high, a_low, b_high, b_low;
    split(a, a_high, a_low);
    split(b, b_high, b_low);
    return ((a_high * b_high - product) + a_high * b_low + a_low * b_high) + a_low * b_low;
}

// The count nearest to (value - epoch) * unit_ns, rounded once: the difference
// and the product are carried exactly (two-sum and two-product error terms),
// so a Julian date of any era maps to its nearest nanosecond.
inline Convert ns_from_scaled(double value, double epoch, double unit_ns, int64_t &ns) {
    if (!std::isfinite(value))
        return Convert::invalid;
    const double difference = value - epoch;
    const double difference_back = difference - value;
    const double difference_error =
        (value - (difference - difference_back)) + (-epoch - difference_back);
    const double product = difference * unit_ns;
    const double whole = floor_double(product);
    if (!(std::fabs(whole) <= 0x1p63))
        return Convert::out_of_range;
    const double rest = (product - whole) +
                        (product_error(difference, unit_ns, product) + difference_error * unit_ns);
    // |rest| stays below 2^11, so the sum cannot leave 128 bits.
    const int128 total = (std::fabs(whole) < 0x1p62 ? static_cast<int128>(static_cast<int64_t>(whole))
                                                     : static_cast<int128>(whole)) +
                         static_cast<int64_t>(floor_double(rest + 0.5));
    if (!in_range(total))
        return Convert::out_of_range;
    ns = static_cast<int64_t>(total);
    return Convert::ok;
}

inline Convert ns_from_jd(double jd, int64_t &ns) {
    return ns_from_scaled(jd, unix_epoch_jd, static_cast<double>(ns_per_day), ns);
}
inline Convert ns_from_mjd(double mjd, int64_t &ns) {
    return ns_from_scaled(mjd, unix_epoch_mjd, static_cast<double>(ns_per_day), ns);
}
inline Convert ns_from_unix(double seconds, int64_t &ns) {
    return ns_from_scaled(seconds, 0.0, static_cast<double>(ns_per_second), ns);
}

inline double jd_from_ns(int64_t ns) {
    return static_cast<double>(ns) / static_cast<double>(ns_per_day) + unix_epoch_jd;
}
inline double mjd_from_ns(int64_t ns) {
    return static_cast<double>(ns) / static_cast<double>(ns_per_day) + unix_epoch_mjd;
}
inline double unix_from_ns(int64_t ns) {
    return static_cast<double>(ns) / static_cast<double>(ns_per_second);
}

// Julian date of January 1, 00:00 UTC of `year`: within the range of Time it is
// computed exactly as Time(f"{year:04d}").jd is; outside it, the exact value.
inline double year_start_jd(int year) {
    int64_t ns = 0;
    if (ns_from_civil(year, 1, 1, 0, 0, 0, 0, ns) == Convert::ok)
        return jd_from_ns(ns);
    return static_cast<double>(days_from_civil(year, 1, 1)) + unix_epoch_jd;
}

// ---------------------------------------------------------------------------
// NumPy datetime64 counts: a unit code and a multiplier, e.g. datetime64[10s].

enum class Datetime64Unit { year, month, week, day, hour, minute, second, ms, us, ns, ps, fs, as };

inline bool parse_datetime64_unit(std::string_view code, Datetime64Unit &unit) {
    static constexpr std::pair<std::string_view, Datetime64Unit> codes[] = {
        {"Y", Datetime64Unit::year},   {"M", Datetime64Unit::month},   {"W", Datetime64Unit::week},
        {"D", Datetime64Unit::day},    {"h", Datetime64Unit::hour},    {"m", Datetime64Unit::minute},
        {"s", Datetime64Unit::second}, {"ms", Datetime64Unit::ms},     {"us", Datetime64Unit::us},
        {"ns", Datetime64Unit::ns},    {"ps", Datetime64Unit::ps},     {"fs", Datetime64Unit::fs},
        {"as", Datetime64Unit::as},
    };
    for (const auto &[name, value] : codes)
        if (name == code) {
            unit = value;
            return true;
        }
    return false;
}

inline constexpr int64_t datetime64_nat = std::numeric_limits<int64_t>::min();

// Count of a datetime64 value `count` in `multiplier` x `unit`. Units finer than
// a nanosecond are floored, as NumPy's cast to datetime64[ns] does; NaT is
// invalid.
inline Convert ns_from_datetime64(int64_t count, Datetime64Unit unit, int64_t multiplier, int64_t &ns) {
    if (count == datetime64_nat)
        return Convert::invalid;
    const int128 steps = static_cast<int128>(count) * multiplier;
    // A step of a nanosecond or more: more steps than the range has
    // nanoseconds is out of it, and fewer keep every product below 2^113, well
    // inside 128 bits.
    if (unit < Datetime64Unit::ps && (steps > max_ns || steps < min_ns))
        return Convert::out_of_range;
    auto floor_div = [](int128 a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); };
    int128 total = 0;
    switch (unit) {
    case Datetime64Unit::year:
    case Datetime64Unit::month: {
        // Calendar units: years or months since 1970-01.
        const int128 months = unit == Datetime64Unit::year ? steps * 12 : steps;
        if (months < -12'000'000 || months > 12'000'000)
            return Convert::out_of_range;
        const int64_t month_index = static_cast<int64_t>(months);
        const int64_t year = 1970 + (month_index >= 0 ? month_index / 12 : -((11 - month_index) / 12));
        const int month = static_cast<int>(month_index - (year - 1970) * 12) + 1;
        return ns_from_civil(year, month, 1, 0, 0, 0, 0, ns);
    }
    case Datetime64Unit::week: total = steps * (7 * ns_per_day); break;
    case Datetime64Unit::day: total = steps * ns_per_day; break;
    case Datetime64Unit::hour: total = steps * (3'600 * ns_per_second); break;
    case Datetime64Unit::minute: total = steps * (60 * ns_per_second); break;
    case Datetime64Unit::second: total = steps * ns_per_second; break;
    case Datetime64Unit::ms: total = steps * 1'000'000; break;
    case Datetime64Unit::us: total = steps * ns_per_us; break;
    case Datetime64Unit::ns: total = steps; break;
    case Datetime64Unit::ps: total = floor_div(steps, 1'000); break;
    case Datetime64Unit::fs: total = floor_div(steps, 1'000'000); break;
    case Datetime64Unit::as: total = floor_div(steps, 1'000'000'000); break;
    }
    if (!in_range(total))
        return Convert::out_of_range;
    ns = static_cast<int64_t>(total);
    return Convert::ok;
}

// ---------------------------------------------------------------------------
// ISO 8601 text.

// Reads "YYYY", "YYYY-MM", "YYYY-MM-DD", then optionally "T" or a blank and
// "hh", "hh:mm", "hh:mm:ss" or "hh:mm:ss.fff..." (any number of digits,
// rounded to the nearest nanosecond), then an optional "Z" or, after a time
// of day, an offset from UTC ("+hh:mm", "-hhmm", "+hh"): the local time is
// taken back to UTC. Without either, the text is UTC.
inline Convert parse_iso(std::string_view text, int64_t &ns) {
    size_t pos = 0;
    auto digits = [&](size_t count, int &value) {
        if (text.size() - pos < count)
            return false;
        value = 0;
        for (size_t i = 0; i < count; ++i) {
            const char c = text[pos + i];
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + (c - '0');
        }
        pos += count;
        return true;
    };
    auto accept = [&](char c) {
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    };
    const bool zulu = !text.empty() && text.back() == 'Z';
    if (zulu)
        text.remove_suffix(1);

    int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    int64_t nanosecond = 0;
    bool timed = false;
    if (!digits(4, year))
        return Convert::invalid;
    if (accept('-')) {
        if (!digits(2, month) || month < 1 || month > 12)
            return Convert::invalid;
        if (accept('-')) {
            if (!digits(2, day) || day < 1 || day > days_in_month(year, month))
                return Convert::invalid;
            if (accept('T') || accept(' ')) {
                if (!digits(2, hour) || hour > 23)
                    return Convert::invalid;
                timed = true;
                if (accept(':')) {
                    if (!digits(2, minute) || minute > 59)
                        return Convert::invalid;
                    if (accept(':')) {
                        if (!digits(2, second) || second > 59)
                            return Convert::invalid;
                        if (accept('.')) {
                            const size_t first = pos;
                            int64_t scale = ns_per_second;
                            for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
                                const int digit = text[pos] - '0';
                                if (scale > 1) {
                                    scale /= 10;
                                    nanosecond += digit * scale;
                                } else if (pos == first + 9 && digit >= 5) {
                                    ++nanosecond;  // round half up at the tenth digit
                                }
                            }
                            if (pos == first)
                                return Convert::invalid;
                        }
                    }
                }
            }
        }
    }
    if (timed && !zulu && pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int64_t sign = text[pos++] == '-' ? -1 : 1;
        int offset_hours = 0, offset_minutes = 0;
        if (!digits(2, offset_hours) || offset_hours > 23)
            return Convert::invalid;
        if ((accept(':') || pos < text.size()) && (!digits(2, offset_minutes) || offset_minutes > 59))
            return Convert::invalid;
        nanosecond -= sign * (offset_hours * 3'600 + offset_minutes * 60) * ns_per_second;
    }
    if (pos != text.size())
        return Convert::invalid;
    return ns_from_civil(year, month, day, hour, minute, second, nanosecond, ns);
}

// Writes "YYYY-MM-DDThh:mm:ss" and, for `fraction_digits` 1..9, a point and
// that many digits of the second (rounded to nearest). Returns the length
// written into `out`, which needs room for 30 characters.
inline size_t format_iso(int64_t ns, int fraction_digits, char *out) {
    int64_t days = ns / ns_per_day;
    int64_t of_day = ns % ns_per_day;
    if (of_day < 0) {
        of_day += ns_per_day;
        --days;
    }
    int64_t unit = 1;
    for (int i = fraction_digits; i < 9; ++i)
        unit *= 10;
    of_day = (of_day + unit / 2) / unit * unit;
    if (of_day == ns_per_day) {
        of_day = 0;
        ++days;
    }
    const CivilDate date = civil_from_days(days);
    char *p = out;
    auto put = [&p](int64_t value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10)
            p[i] = static_cast<char>('0' + value % 10);
        p += width;
    };
    const int64_t seconds = of_day / ns_per_second;
    put(date.year, 4);
    *p++ = '-';
    put(date.month, 2);
    *p++ = '-';
    put(date.day, 2);
    *p++ = 'T';
    put(seconds / 3600, 2);
    *p++ = ':';
    put(seconds / 60 % 60, 2);
    *p++ = ':';
    put(seconds % 60, 2);
    if (fraction_digits > 0) {
        *p++ = '.';
        put(of_day % ns_per_second / unit, fraction_digits);
    }
    return static_cast<size_t>(p - out);
}

}  // namespace astrokite::time
