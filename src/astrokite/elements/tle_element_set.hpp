// Everything a pair of stored TLE lines carries, read the tolerant way into
// an ElementSet, with the epoch split exactly as written; and the element-set
// record of it, or of a row of text.
// Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "astrokite/elements/record.hpp"
#include "astrokite/elements/tle_field_readers.hpp"
#include "astrokite/elements/tle_line_form.hpp"
#include "astrokite/time/calendar.hpp"
#include "astrokite/units/units.hpp"

namespace astrokite::tle_lines {

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

}  // namespace astrokite::tle_lines
