// One line of a two-line element set as it is stored: normalised to its 69
// characters, its fields by column, what line 1 and line 2 give, the
// catalogue number (alpha-5 included) and the checksum.
// Plain C++: no Python in here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "astrokite/elements/tle_field_readers.hpp"
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

}  // namespace astrokite::tle_lines
