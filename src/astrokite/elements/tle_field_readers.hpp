// The readers of the numeric fields of the fixed-column TLE text: the C
// library's atoi/atof rules done locale-independently (a decimal point is
// always "."), the fixed-point layout read at once, and the fields with an
// implied leading decimal point, with or without a power of ten.
// Plain C++: no Python in here.
#pragma once

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>

namespace astrokite::tle_lines {

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

}  // namespace astrokite::tle_lines
