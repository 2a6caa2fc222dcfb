// The optional strict check of a pair of stored TLE lines against the
// published format: the first fault found, as a message naming the line, the
// columns and the field.
// Plain C++: no Python in here.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "astrokite/elements/tle_field_readers.hpp"
#include "astrokite/elements/tle_line_form.hpp"
#include "astrokite/time/calendar.hpp"

namespace astrokite::tle_lines {

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
