// Reading the fixed-column text of a two-line element set: normalisation of a
// line to its 69 stored characters, the columns the TLE type reads, the C
// library's atoi/atof rules done locale-independently, and the optional
// strict check of the lines against the published format.
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "astrokite/elements/record.hpp"
#include "astrokite/time/calendar.hpp"
#include "astrokite/units/units.hpp"

namespace astrokite::tle_lines {

inline constexpr std::size_t line_length = 69;
// One element set as text: line 1 then line 2, each its 69 stored bytes.
inline constexpr std::size_t row_bytes = 2 * line_length;
using LineStore = char[line_length + 1];  // 69 bytes and a terminating zero

namespace detail {

// Whether the line_length bytes at `bytes` hold a zero byte, eight at a time
// (the last word overlaps the one before it).
inline bool has_zero_byte(const char *bytes) {
    constexpr std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    std::uint64_t found = 0;
    for (std::size_t offset : {0, 8, 16, 24, 32, 40, 48, 56, 61}) {
        std::uint64_t word;
        std::memcpy(&word, bytes + offset, sizeof word);
        found |= (word - ones) & ~word & highs;
    }
    return found != 0;
}

}  // namespace detail

// Store a line as its first 69 characters, blank-filled on the right up to 69
// characters, in UTF-8. `utf8` is the UTF-8 form of the line's first 69
// characters (or of all of them, if fewer). Only 69 bytes fit, so a line with
// characters outside ASCII may lose its tail or have its last character cut.
// Copying stops at a zero byte, and the rest of the store stays zero. Gives the
// stored length: the number of bytes before the first zero byte (69 when the
// line has none), which the field readers take so as not to search for it.
inline std::size_t normalise(std::string_view utf8, LineStore &store) {
    // A whole line without zero bytes, the usual case: one copy of fixed size
    // and a word-wise search for a zero byte. The search reads the source, not
    // the copy: reading back bytes just stored in pieces of other sizes stalls.
    if (utf8.size() >= line_length) {
        std::memcpy(store, utf8.data(), line_length);
        store[line_length] = '\0';
        if (!detail::has_zero_byte(utf8.data()))
            return line_length;
    }
    const std::size_t size = utf8.size() < line_length ? utf8.size() : line_length;
    // An empty view may carry a null pointer, which memchr and memcpy must not see.
    const void *zero = size ? std::memchr(utf8.data(), '\0', size) : nullptr;
    const std::size_t copied = zero ? static_cast<std::size_t>(static_cast<const char *>(zero) - utf8.data()) : size;
    if (copied)
        std::memcpy(store, utf8.data(), copied);
    // The padding blanks follow the text unless a zero byte ended the copy.
    const std::size_t filled = zero ? copied : line_length;
    std::memset(store + copied, ' ', filled - copied);
    std::memset(store + filled, '\0', sizeof store - filled);
    return filled;
}

// Where to read the fields of a line that normalise stored from `utf8`,
// `length` being what it gave: the text itself when it was stored whole (the
// store then holds the same 69 bytes), else the store. Fields read back from a
// store just written would each wait for the copy to complete. Field readers
// read no byte beyond the stored length, so the text needs no terminator.
inline const LineStore &text_to_read(std::string_view utf8, const LineStore &store, std::size_t length) {
    if (length == line_length && utf8.size() >= line_length)
        return *reinterpret_cast<const LineStore *>(utf8.data());
    return store;
}

// The stored length of a normalised line: the bytes before its first zero.
inline std::size_t stored_length(const LineStore &line) {
    const void *zero = std::memchr(line, '\0', line_length);
    return zero ? static_cast<std::size_t>(static_cast<const char *>(zero) - line) : line_length;
}

// The field of `width` characters starting at 1-based `column`, up to the first
// zero byte: what a terminated copy of the field would hold. `length` is the
// line's stored length; in a normalised line every byte after the first zero
// is zero too, so a field starting at or beyond it is empty.
inline std::string_view field(const LineStore &line, std::size_t length, std::size_t column, std::size_t width) {
    const std::size_t start = column - 1;
    const std::size_t available = length > start ? length - start : 0;
    return {line + start, width < available ? width : available};
}

inline std::string_view field(const LineStore &line, std::size_t column, std::size_t width) {
    return field(line, stored_length(line), column, width);
}

namespace detail {

inline bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Skip leading white space and take an optional sign, as atoi and atof do.
inline const char *skip_blanks_and_sign(const char *first, const char *last, bool &negative) {
    while (first != last && is_c_space(*first))
        ++first;
    negative = first != last && *first == '-';
    if (first != last && (*first == '-' || *first == '+'))
        ++first;
    return first;
}

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A plain decimal number of at most 15 digits ("15.49811030", "0005204", "7.")
// converted exactly as strtod does: the digits and the power of ten are both
// exact doubles, so one division rounds correctly. Gives false for anything
// else (an exponent, hexadecimal, inf, more digits), which needs the general
// reader.
inline bool read_plain_decimal(const char *first, const char *last, double &value) {
    static constexpr double powers_of_ten[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    // Unsigned arithmetic: a run of more than 19 digits wraps, and is refused below.
    std::uint64_t digits = 0;
    const char *p = first;
    for (; p != last && is_digit(*p); ++p)
        digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    std::size_t count = static_cast<std::size_t>(p - first), decimals = 0;
    if (p != last && *p == '.') {
        const char *fraction = ++p;
        for (; p != last && is_digit(*p); ++p)
            digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
        decimals = static_cast<std::size_t>(p - fraction);
        count += decimals;
    }
    if (count == 0 || count > 15)
        return false;
    if (p != last && (*p == 'e' || *p == 'E' || *p == 'x' || *p == 'X'))
        return false;
    value = static_cast<double>(digits) / powers_of_ten[decimals];
    return true;
}

}  // namespace detail

// atoi: leading white space, an optional sign, the longest run of digits; 0 when
// no digit begins the field. A value beyond int saturates (atoi leaves it
// undefined).
inline int read_int(std::string_view text) {
    bool negative = false;
    const char *last = text.data() + text.size();
    const char *first = detail::skip_blanks_and_sign(text.data(), last, negative);
    unsigned long long magnitude = 0;
    auto [end, error] = std::from_chars(first, last, magnitude);
    (void)end;
    if (error == std::errc::invalid_argument)
        return 0;
    constexpr unsigned long long int_max = std::numeric_limits<int>::max();
    if (error == std::errc::result_out_of_range || magnitude > int_max + (negative ? 1 : 0))
        return negative ? std::numeric_limits<int>::min() : std::numeric_limits<int>::max();
    return negative ? static_cast<int>(-static_cast<long long>(magnitude)) : static_cast<int>(magnitude);
}

// atof: leading white space, an optional sign, then the longest prefix that is
// a decimal or hexadecimal ("0x") floating-point number, an infinity or a NaN;
// 0 when none. Independent of the locale: the decimal separator is always ".".
// Out of range, the result is +-inf for a large magnitude and +-0 for a tiny
// one, as strtod gives (the fields read here are at most a dozen characters, so
// the exponent alone decides which).
inline double read_real(std::string_view text) {
    bool negative = false;
    const char *last = text.data() + text.size();
    const char *first = detail::skip_blanks_and_sign(text.data(), last, negative);
    double value = 0.0;
    if (detail::read_plain_decimal(first, last, value))
        return negative ? -value : value;
    const std::string_view rest(first, static_cast<std::size_t>(last - first));
    if (rest.empty() || rest[0] == '-' || rest[0] == '+')  // from_chars would take a second sign
        return 0.0;
    const bool hex = rest.size() > 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X') &&
                     (detail::is_hex_digit(rest[2]) ||
                      (rest[2] == '.' && rest.size() > 3 && detail::is_hex_digit(rest[3])));

    const auto [end, error] = hex ? std::from_chars(first + 2, last, value, std::chars_format::hex)
                                  : std::from_chars(first, last, value, std::chars_format::general);
    if (error == std::errc::invalid_argument)
        return 0.0;
    if (error == std::errc::result_out_of_range) {
        std::string_view parsed(first, static_cast<std::size_t>(end - first));
        std::size_t mark = parsed.find_first_of(hex ? "pP" : "eE");
        bool tiny = mark != std::string_view::npos && mark + 1 < parsed.size() && parsed[mark + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return negative ? -value : value;
}

namespace detail {

inline constexpr std::uint64_t powers_of_ten_u64[] = {1,           10,           100,           1000,
                                                      10000,       100000,       1000000,       10000000,
                                                      100000000,   1000000000,   10000000000,   100000000000,
                                                      1000000000000, 10000000000000, 100000000000000,
                                                      1000000000000000};

// Four or eight bytes of text as one word, the first in the lowest byte.
template <typename Word>
inline Word load_text(const char *text) {
    static_assert(sizeof(Word) == 4 || sizeof(Word) == 8);
    Word word;
    std::memcpy(&word, text, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        if constexpr (sizeof(Word) == 8)
            word = __builtin_bswap64(word);
        else
            word = __builtin_bswap32(word);
    }
    return word;
}

// The value of eight characters held one a byte in `word`, the first (lowest
// byte) the most significant, as decimal digits; false if one is not a digit.
// All eight convert at once: neighbouring places pair into two-digit values,
// the pairs into four-digit ones, those into the whole.
inline bool eight_digits_value(std::uint64_t word, std::uint64_t &value) {
    constexpr std::uint64_t low_nibbles = 0x0F0F0F0F0F0F0F0F, high_nibbles = 0xF0F0F0F0F0F0F0F0;
    // A digit is 0x30 to 0x39: high nibble 3, and a low nibble that stays
    // below 16 when 6 is added (no byte carries into the next one here).
    const std::uint64_t places = word & low_nibbles;
    const bool all_digits =
        (word & high_nibbles) == 0x3030303030303030 && ((places + 0x0606060606060606) & high_nibbles) == 0;
    const std::uint64_t pairs = (places * 10 + (places >> 8)) & 0x00FF00FF00FF00FF;
    const std::uint64_t quads = (pairs * 100 + (pairs >> 16)) & 0x0000FFFF0000FFFF;
    value = (quads * 10000 + (quads >> 32)) & 0xFFFFFFFF;
    return all_digits;
}

// The value of the `Count` characters at `text` as decimal digits, or false if
// one is not a digit. The counts the fields have: the characters are gathered
// into one word with zeros in front, reading no byte outside them.
template <std::size_t Count>
inline bool digits_value(const char *text, std::uint64_t &value) {
    static_assert(Count == 4 || Count == 7 || Count == 8, "a count the fields have");
    constexpr std::uint64_t zeros = 0x3030303030303030;
    std::uint64_t word;
    if constexpr (Count == 8)
        word = load_text<std::uint64_t>(text);
    else if constexpr (Count == 7)  // two overlapping halves, after one zero
        word = (zeros & 0xFF) | std::uint64_t{load_text<std::uint32_t>(text)} << 8 |
               std::uint64_t{load_text<std::uint32_t>(text + 3)} << 32;
    else
        word = (zeros & 0xFFFFFFFF) | std::uint64_t{load_text<std::uint32_t>(text)} << 32;
    return eight_digits_value(word, value);
}

}  // namespace detail

// A field in the fixed-point layout the published format writes: `Whole`
// places, blank-filled on the left, a point and `Fraction` digits ("  0.0174",
// "15.49811030", "001.26991367"). Read at once when it has that layout, which
// gives exactly what atof gives (the digits as one integer, divided by the
// power of ten of the decimals); any other text goes to the general reader.
template <std::size_t Whole, std::size_t Fraction>
inline double read_fixed_point(std::string_view text) {
    static_assert(Whole + Fraction <= 15, "more digits than a double holds exactly");
    if (text.size() == Whole + 1 + Fraction && text[Whole] == '.') {
        // Leading blanks only: a blank after a digit ends atof's number.
        std::size_t i = 0;
        while (i < Whole && text[i] == ' ')
            ++i;
        std::uint64_t whole = 0, fraction = 0;
        bool all_digits = true;
        for (; i < Whole; ++i) {
            const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(text[i])) - '0';
            all_digits &= digit < 10;
            whole = whole * 10 + digit;
        }
        all_digits &= detail::digits_value<Fraction>(text.data() + Whole + 1, fraction);
        constexpr std::uint64_t scale = detail::powers_of_ten_u64[Fraction];
        if (all_digits)
            return static_cast<double>(whole * scale + fraction) / static_cast<double>(scale);
    }
    return read_real(text);
}

// Two-digit years: 57 to 99 are 1957 to 1999, everything below 57 is 20xx.
inline int epoch_year(int two_digit_year) {
    return two_digit_year < 57 ? two_digit_year + 2000 : two_digit_year + 1900;
}

// The epoch of line 1 as a year and a day of that year (day 1.0 is 1 January
// 00:00).
struct LineEpoch {
    int year;
    double day;
};

// `length` is the line's stored length, as normalise gives it.
inline LineEpoch parse_epoch(const LineStore &line, std::size_t length) {
    return {epoch_year(read_int(field(line, length, 19, 2))), read_fixed_point<3, 8>(field(line, length, 21, 12))};
}

// What line 1 gives: the raw satellite number field and the epoch.
struct Line1Fields {
    char satno[6];
    int year;
    double day;
};

inline Line1Fields parse_line1(const LineStore &line, std::size_t length) {
    Line1Fields fields;
    const std::string_view satno = field(line, length, 3, 5);
    std::memcpy(fields.satno, satno.data(), satno.size());
    std::memset(fields.satno + satno.size(), '\0', sizeof fields.satno - satno.size());
    const LineEpoch epoch = parse_epoch(line, length);
    fields.year = epoch.year;
    fields.day = epoch.day;
    return fields;
}

inline Line1Fields parse_line1(const LineStore &line) { return parse_line1(line, stored_length(line)); }

// The six mean elements of line 2, in SI units.
struct Line2Fields {
    double inc, raa, ecc, arp, mea, mnm;
};

// The eccentricity field has an implied leading decimal point: its value is
// what atof gives for "." followed by the field.
inline double read_eccentricity(std::string_view text) {
    // The common case, digits right after the point and nothing that could
    // extend the number, is the plain decimal reading of ".digits" done in place.
    static constexpr double powers_of_ten[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
    if (std::uint64_t all_seven = 0; text.size() == 7 && detail::digits_value<7>(text.data(), all_seven))
        return static_cast<double>(all_seven) / powers_of_ten[7];
    std::uint64_t digits = 0;
    std::size_t i = 0;
    for (; i < text.size() && i < 7 && detail::is_digit(text[i]); ++i)
        digits = digits * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (i > 0 && (i == text.size() || (text[i] != 'e' && text[i] != 'E' && !detail::is_digit(text[i]))))
        return static_cast<double>(digits) / powers_of_ten[i];
    char ecc_text[16] = {'.'};
    const std::size_t size = text.size() < sizeof ecc_text - 1 ? text.size() : sizeof ecc_text - 1;
    std::memcpy(ecc_text + 1, text.data(), size);
    return read_real(std::string_view(ecc_text, size + 1));
}

inline Line2Fields parse_line2(const LineStore &line, std::size_t length) {
    using namespace astrokite::units;
    Line2Fields fields;
    fields.inc = read_fixed_point<3, 4>(field(line, length, 9, 8)) * deg;
    fields.raa = read_fixed_point<3, 4>(field(line, length, 18, 8)) * deg;
    fields.ecc = read_eccentricity(field(line, length, 27, 7));
    fields.arp = read_fixed_point<3, 4>(field(line, length, 35, 8)) * deg;
    fields.mea = read_fixed_point<3, 4>(field(line, length, 44, 8)) * deg;
    fields.mnm = read_fixed_point<2, 8>(field(line, length, 53, 11)) * rev / day;
    return fields;
}

inline Line2Fields parse_line2(const LineStore &line) { return parse_line2(line, stored_length(line)); }

// A catalogue number field: decimal digits with blanks around them, or the
// alpha-5 form of numbers from 100000 on (a letter A to Z without I and O,
// then four digits: A0000 is 100000, Z9999 is 339999). Nothing for any other
// text.
inline std::optional<std::int32_t> decode_satno(std::string_view field) {
    const std::size_t first = field.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return std::nullopt;
    const std::string_view text = field.substr(first, field.find_last_not_of(' ') + 1 - first);
    std::int32_t value = 0;
    std::size_t start = 0;
    if (text.size() == 5 && text[0] >= 'A' && text[0] <= 'Z' && text[0] != 'I' && text[0] != 'O') {
        // A..H are 10..17, J..N 18..22, P..Z 23..33: I and O are skipped.
        const int letter = text[0] - 'A';
        value = 10 + letter - (text[0] > 'I') - (text[0] > 'O');
        start = 1;
    }
    if (text.size() - start > 9)
        return std::nullopt;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (!detail::is_digit(text[i]))
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// A field with an implied leading decimal point and a power of ten, as the
// drag term and the second derivative of the mean motion are written:
// " 28903-3" is 0.28903e-3. The mantissa (sign and digits) is read as atof reads
// "." followed by its digits, the exponent (the last two characters) as atoi.
inline double read_implied_exponent(std::string_view text) {
    if (text.size() < 3)
        return 0.0;
    const std::string_view mantissa = text.substr(0, text.size() - 2);
    const std::string_view exponent = text.substr(text.size() - 2);
    char digits[16];
    std::size_t size = 0;
    std::size_t i = 0;
    while (i < mantissa.size() && detail::is_c_space(mantissa[i]))
        ++i;
    if (i < mantissa.size() && (mantissa[i] == '-' || mantissa[i] == '+'))
        digits[size++] = mantissa[i++];
    digits[size++] = '.';
    for (; i < mantissa.size() && size < sizeof digits; ++i)
        digits[size++] = mantissa[i];
    const double value = read_real(std::string_view(digits, size));
    if (value == 0.0)
        return value;
    return value * std::pow(10.0, read_int(exponent));
}

// The drag term and the derivatives of the mean motion on line 1.
struct DragTerms {
    double ndot = 0;   // first derivative of the mean motion, rad/s^2 (twice the field)
    double nddot = 0;  // second derivative, rad/s^3 (six times the field)
    double bstar = 0;  // drag term, 1/Earth radii
};

inline DragTerms parse_drag_terms(const LineStore &line1, std::size_t length1) {
    using namespace astrokite::units;
    DragTerms terms;
    terms.ndot = 2.0 * read_real(field(line1, length1, 34, 10)) * rev / (day * day);
    terms.nddot = 6.0 * read_implied_exponent(field(line1, length1, 45, 8)) * rev / (day * day * day);
    terms.bstar = read_implied_exponent(field(line1, length1, 54, 8));
    return terms;
}

// Everything the two lines of one element set carry, in SI units except the
// drag term, which stays in inverse Earth radii as the line writes it.
struct ElementSet {
    std::optional<std::int32_t> satno;  // line 1, columns 3-7; empty if no number
    char classification = ' ';         // column 8
    char intldes[9] = {};               // columns 10-17, as written
    int epoch_year = 0;                 // four digits, from columns 19-20
    double epoch_day = 0;               // columns 21-32: day of the year, 1.0 is 1 January 00:00
    // The epoch exactly as written, in two parts: the start of its calendar day
    // (nanoseconds since 1970-01-01, UTC) and the fraction of that day from the
    // decimal digits of the field.
    std::int64_t epoch_midnight_ns = 0;
    double epoch_fraction = 0;
    double ndot = 0;   // first derivative of the mean motion, rad/s^2 (twice the field)
    double nddot = 0;  // second derivative, rad/s^3 (six times the field)
    double bstar = 0;  // drag term, 1/Earth radii
    int ephtype = 0;   // column 63
    int elnum = 0;     // columns 65-68
    int revnum = 0;    // line 2, columns 64-68
    double inc = 0, raa = 0, ecc = 0, arp = 0, mea = 0, mnm = 0;  // as parse_line2 gives them
};

// The day of the year field split into its whole day and the exact fraction
// of its decimal digits. A field of any other form falls back to the reading
// of atof, split by floor.
// The whole day is kept within +-50,000 days of the year's start, so that the
// day's start in nanoseconds cannot overflow for any two-digit year.
inline constexpr std::int64_t max_epoch_days = 50'000;

inline void split_epoch_day(std::string_view text, std::int64_t &whole, double &fraction) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    std::int64_t days = 0;
    std::size_t start = i;
    for (; i < text.size() && detail::is_digit(text[i]) && i - start < 6; ++i)
        days = days * 10 + (text[i] - '0');
    std::size_t end = text.size();
    while (end > i && text[end - 1] == ' ')
        --end;
    double part = 0;
    if (i > start && i < end && text[i] == '.' &&
        (i + 1 == end || detail::read_plain_decimal(text.data() + i, text.data() + end, part))) {
        whole = std::min(days, max_epoch_days);
        fraction = part;
        return;
    }
    if (i > start && i == end) {
        whole = std::min(days, max_epoch_days);
        fraction = 0;
        return;
    }
    const double day = read_real(text);
    const double floor_day = std::isfinite(day) ? std::floor(day) : 0.0;
    whole = static_cast<std::int64_t>(std::clamp(floor_day, -double(max_epoch_days), double(max_epoch_days)));
    fraction = std::isfinite(day) ? day - floor_day : 0.0;
}

// All fields of a pair of stored lines, read the tolerant way: blank or
// malformed fields read as atoi and atof read them.
inline ElementSet parse_element_set(const LineStore &line1, std::size_t length1, const LineStore &line2,
                                    std::size_t length2) {
    using namespace astrokite::units;
    ElementSet set;
    const Line1Fields first = parse_line1(line1, length1);
    set.satno = decode_satno(first.satno);
    const std::string_view classification = field(line1, length1, 8, 1);
    set.classification = classification.empty() ? ' ' : classification[0];
    const std::string_view intldes = field(line1, length1, 10, 8);
    std::memcpy(set.intldes, intldes.data(), intldes.size());
    set.epoch_year = first.year;
    set.epoch_day = first.day;
    std::int64_t whole_day = 0;
    split_epoch_day(field(line1, length1, 21, 12), whole_day, set.epoch_fraction);
    set.epoch_midnight_ns =
        (time::days_from_civil(first.year, 1, 1) + whole_day - 1) * time::ns_per_day;
    const DragTerms drag = parse_drag_terms(line1, length1);
    set.ndot = drag.ndot;
    set.nddot = drag.nddot;
    set.bstar = drag.bstar;
    set.ephtype = read_int(field(line1, length1, 63, 1));
    set.elnum = read_int(field(line1, length1, 65, 4));
    set.revnum = read_int(field(line2, length2, 64, 5));
    const Line2Fields second = parse_line2(line2, length2);
    set.inc = second.inc;
    set.raa = second.raa;
    set.ecc = second.ecc;
    set.arp = second.arp;
    set.mea = second.mea;
    set.mnm = second.mnm;
    return set;
}

inline ElementSet parse_element_set(const LineStore &line1, const LineStore &line2) {
    return parse_element_set(line1, stored_length(line1), line2, stored_length(line2));
}

// The record of an element set read from TLE text: its values, with the
// epoch split as the line writes it (a day with eight decimals).
inline elements::Record record_of(const ElementSet &set) {
    elements::Record record{};
    record.epoch_midnight_ns = set.epoch_midnight_ns;
    record.epoch_fraction = set.epoch_fraction;
    record.epoch_ps = std::llround(set.epoch_fraction * 86.4e15);
    record.ecc = set.ecc;
    record.inc = set.inc;
    record.raa = set.raa;
    record.arp = set.arp;
    record.mea = set.mea;
    record.mnm = set.mnm;
    record.bstar = set.bstar;
    record.ndot = set.ndot;
    record.nddot = set.nddot;
    record.satno = set.satno ? *set.satno : elements::no_satno;
    record.elnum = set.elnum;
    record.revnum = set.revnum;
    record.extras_row = -1;
    record.epoch_decimals = elements::tle_epoch;
    record.ephtype = static_cast<std::int8_t>(std::clamp(set.ephtype, -128, 127));
    record.classification = set.classification;
    std::memcpy(record.intldes, set.intldes, 8);
    return record;
}

// The record of a row of text (line 1, then line 2, each 69 bytes as stored
// or as given: they are normalised first, as a TLE normalises them).
inline elements::Record record_of_row(const char *row) {
    LineStore line1, line2;
    const std::string_view text1(row, line_length), text2(row + line_length, line_length);
    const std::size_t length1 = normalise(text1, line1);
    const std::size_t length2 = normalise(text2, line2);
    return record_of(parse_element_set(text_to_read(text1, line1, length1), length1,
                                       text_to_read(text2, line2, length2), length2));
}

// The checksum of a line: the digits of columns 1 to 68 summed, each minus sign
// counting 1, modulo 10.
inline int checksum(const LineStore &line) {
    int sum = 0;
    for (std::size_t i = 0; i < line_length - 1; ++i) {
        char c = line[i];
        if (c >= '0' && c <= '9')
            sum += c - '0';
        else if (c == '-')
            sum += 1;
    }
    return sum % 10;
}

namespace detail {

// Quoted text for a message: printable ASCII as itself, any other byte as \xNN.
inline std::string quoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c >= ' ' && c <= '~') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    return out + "'";
}

// One field of the published line layout and the characters each of its
// columns may hold, one pattern letter per column:
//   '#' a digit                      '_' a digit, or a blank before the field's first digit
//   '.' a point                      ' ' a blank
//   's' a blank or a sign            'e' the sign of a power of ten
//   'c' U, C or S (classification)   'i' a digit, a capital letter or a blank
//   'E' a digit or a blank
// The satellite number (checked whole, alpha-5 included), the line number and
// the checksum have checks of their own and no pattern.
struct FieldLayout {
    std::size_t column, width;
    const char *name;
    const char *pattern;
};

inline constexpr FieldLayout line1_layout[] = {
    {8, 1, "classification", "c"},
    {9, 1, "separator", " "},
    {10, 8, "international designator", "iiiiiiii"},
    {18, 1, "separator", " "},
    {19, 2, "epoch year", "##"},
    {21, 12, "epoch day of the year", "___.########"},
    {33, 1, "separator", " "},
    {34, 10, "first derivative of the mean motion", "s.########"},
    {44, 1, "separator", " "},
    {45, 8, "second derivative of the mean motion", "s#####e#"},
    {53, 1, "separator", " "},
    {54, 8, "drag term", "s#####e#"},
    {62, 1, "separator", " "},
    {63, 1, "ephemeris type", "E"},
    {64, 1, "separator", " "},
    {65, 4, "element set number", "___#"},
};

inline constexpr FieldLayout line2_layout[] = {
    {8, 1, "separator", " "},
    {9, 8, "inclination", "___.####"},
    {17, 1, "separator", " "},
    {18, 8, "right ascension of the ascending node", "___.####"},
    {26, 1, "separator", " "},
    {27, 7, "eccentricity", "#######"},
    {34, 1, "separator", " "},
    {35, 8, "argument of perigee", "___.####"},
    {43, 1, "separator", " "},
    {44, 8, "mean anomaly", "___.####"},
    {52, 1, "separator", " "},
    {53, 11, "mean motion", "__.########"},
    {64, 5, "revolution number", "____#"},
};

inline bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

// What a pattern letter asks for, for the message.
inline const char *pattern_meaning(char letter) {
    switch (letter) {
    case '#': return "a digit";
    case '_': return "a digit or a leading blank";
    case '.': return "a point";
    case ' ': return "a blank";
    case 's': return "a blank or a sign";
    case 'e': return "the sign of the power of ten";
    case 'c': return "U, C or S";
    case 'i': return "a digit, a capital letter or a blank";
    default: return "a digit or a blank";
    }
}

// "line 1, columns 34-43 (first derivative of the mean motion)"
inline std::string field_name(int number, std::size_t column, std::size_t width, const char *name) {
    std::string text = "line ";
    text += std::to_string(number);
    text += width > 1 ? ", columns " : ", column ";
    text += std::to_string(column);
    if (width > 1) {
        text += '-';
        text += std::to_string(column + width - 1);
    }
    text += " (";
    text += name;
    text += ')';
    return text;
}

// The first column of a field whose character its pattern does not allow.
inline std::string pattern_fault(const LineStore &line, int number, const FieldLayout &layout) {
    const std::string_view text(line + layout.column - 1, layout.width);
    bool digit_seen = false;
    for (std::size_t i = 0; i < layout.width; ++i) {
        const char c = text[i], letter = layout.pattern[i];
        bool allowed = false;
        switch (letter) {
        case '#': allowed = is_digit(c); break;
        case '_': allowed = is_digit(c) || (c == ' ' && !digit_seen); break;
        case 's': allowed = c == ' ' || c == '+' || c == '-'; break;
        case 'e': allowed = c == '+' || c == '-'; break;
        case 'c': allowed = c == 'U' || c == 'C' || c == 'S'; break;
        case 'i': allowed = is_digit(c) || is_upper(c) || c == ' '; break;
        case 'E': allowed = is_digit(c) || c == ' '; break;
        default: allowed = c == letter; break;
        }
        digit_seen = digit_seen || is_digit(c);
        if (!allowed)
            return field_name(number, layout.column, layout.width, layout.name) + ": " + quoted(text) + " has " +
                   quoted(text.substr(i, 1)) + " in column " + std::to_string(layout.column + i) +
                   " where the format has " + pattern_meaning(letter);
    }
    return {};
}

// The faults of one line by itself, in this order: the line number, the
// length, the characters of each field, the checksum.
template <std::size_t Fields>
inline std::string line_fault(const LineStore &line, int number, std::size_t given_length,
                              const FieldLayout (&layout)[Fields]) {
    const std::string name = "line " + std::to_string(number);
    const char expected[] = {static_cast<char>('0' + number), ' '};
    if (line[0] != expected[0] || line[1] != expected[1])
        return name + " does not begin with '" + std::string(expected, 2) + "': it begins with " +
               quoted(std::string_view(line, 2));
    if (given_length > line_length)
        return name + " is " + std::to_string(given_length) +
               " characters long without its trailing blanks: the format has 69";
    const std::string_view satno = field(line, 3, 5);
    if (!decode_satno(satno))
        return field_name(number, 3, 5, "satellite number") + ": " + quoted(satno) +
               " is neither a number nor a letter and four digits";
    for (const FieldLayout &each : layout)
        if (std::string fault = pattern_fault(line, number, each); !fault.empty())
            return fault;
    const char stored = line[line_length - 1];
    const int computed = checksum(line);
    if (stored != static_cast<char>('0' + computed))
        return name + " fails its checksum: column 69 holds " + quoted(std::string_view(&stored, 1)) +
               ", the digits of columns 1 to 68 give " + std::to_string(computed);
    return {};
}

}  // namespace detail

// The number of characters of a line as given, trailing blanks left out: what
// the length check of find_fault takes.
inline std::size_t trimmed_length(std::string_view text) {
    const std::size_t last = text.find_last_not_of(' ');
    return last == std::string_view::npos ? 0 : last + 1;
}

// The first way in which a pair of stored lines departs from the published
// format, checked in this order: for line 1, then line 2, the line number and
// the blank after it, the length, each field's characters and the checksum in
// column 69; then that both name the same satellite (columns 3 to 7), that the
// epoch day lies within its year (1.0 is 1 January 00:00; a leap year has 366
// days) and that the mean motion is not 0. Empty when the lines pass.
// `given_length1` and `given_length2` are the lengths of the lines as given,
// trailing blanks removed (trimmed_length): the stored lines keep only 69
// characters, so a longer line is seen by these alone.
inline std::string find_fault(const LineStore &line1, const LineStore &line2,
                              std::size_t given_length1 = line_length, std::size_t given_length2 = line_length) {
    if (std::string fault = detail::line_fault(line1, 1, given_length1, detail::line1_layout); !fault.empty())
        return fault;
    if (std::string fault = detail::line_fault(line2, 2, given_length2, detail::line2_layout); !fault.empty())
        return fault;
    std::string_view satno1(line1 + 2, 5), satno2(line2 + 2, 5);
    if (satno1 != satno2)
        return "the satellite numbers differ: line 1 has " + detail::quoted(satno1) + ", line 2 has " +
               detail::quoted(satno2);

    // The fields now have their published form, so they read as plain numbers.
    const LineEpoch first = parse_epoch(line1, line_length);
    const int days_in_year = time::is_leap_year(first.year) ? 366 : 365;
    const std::string_view day_text = field(line1, line_length, 21, 12);
    const std::string day_field = detail::field_name(1, 21, 12, "epoch day of the year");
    if (first.day < 1.0)
        return day_field + ": " + detail::quoted(day_text) + " is before day 1.0, 1 January 00:00";
    if (first.day >= days_in_year + 1.0)
        return day_field + ": " + detail::quoted(day_text) + " is past the end of " + std::to_string(first.year) +
               ", which has " + std::to_string(days_in_year) + " days";
    if (read_real(field(line2, line_length, 53, 11)) == 0.0)
        return detail::field_name(2, 53, 11, "mean motion") + ": the mean motion is 0";
    return {};
}

}  // namespace astrokite::tle_lines
