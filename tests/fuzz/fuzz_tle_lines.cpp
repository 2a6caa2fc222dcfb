// libFuzzer target for the two-line element scanner of tle_lines.hpp: any
// bytes, split into two lines at the first newline (the second ends at the
// next one), are normalised, read field by field and checked strictly. Nothing
// may crash, read out of bounds or overflow (ASan, UBSan), and:
//   - a normalised store holds the line's bytes up to the stored length,
//     blank-filled to 69, zeros after;
//   - a pair the strict check passes has the published layout: line numbers,
//     points where the format puts them, valid checksums, one satellite;
//   - the fixed-point reader gives what the general one gives;
//   - the general readers give what the C library's atof (strtod) and atoi
//     (strtol, saturated to int) give, on every field the type reads and on
//     the first 160 bytes of the input in pieces of 16.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/time/calendar.hpp"

namespace tle = astrokite::tle_lines;

namespace {

void require(bool holds, const char *property, std::string_view text) {
    if (holds)
        return;
    std::fprintf(stderr, "broken: %s, on %s\n", property, tle::detail::quoted(text).c_str());
    std::abort();
}

bool same_double(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b); }

// The readers against the C library, on a terminated copy of `text`. The C
// library runs in the "C" locale here (nothing calls setlocale).
void check_readers(std::string_view text) {
    if (text.size() > 16 || text.find('\0') != std::string_view::npos)
        return;
    const std::string copy(text);
    require(same_double(tle::read_real(text), std::strtod(copy.c_str(), nullptr)), "read_real is atof", text);
    const long integer = std::strtol(copy.c_str(), nullptr, 10);
    const long saturated = integer < INT_MIN ? INT_MIN : integer > INT_MAX ? INT_MAX : integer;
    require(tle::read_int(text) == saturated, "read_int is atoi", text);
    // The implied-point readers build their text from the field; their memory
    // safety is what is checked here.
    (void)tle::read_eccentricity(text);
    (void)tle::read_implied_exponent(text);
    (void)tle::decode_satno(text);
    std::int64_t whole = 0;
    double fraction = 0;
    tle::split_epoch_day(text, whole, fraction);
}

void check_store(const tle::LineStore &store, std::size_t length, std::string_view line) {
    require(length == tle::stored_length(store) && length <= tle::line_length, "stored length", line);
    for (std::size_t i = 0; i < sizeof store; ++i)
        require((store[i] != '\0') == (i < length), "text before the stored length, zeros after", line);
    const std::size_t copied = std::min(length, line.size());
    require(line.substr(0, copied) == std::string_view(store, copied), "store begins with the line", line);
    for (std::size_t i = copied; i < length; ++i)
        require(store[i] == ' ', "blanks fill the store", line);
}

template <int Whole, int Fraction> void check_fixed_point(std::string_view field) {
    require(same_double(tle::read_fixed_point<Whole, Fraction>(field), tle::read_real(field)),
            "the fixed-point reader is the general one", field);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string_view first = input.substr(0, newline);
    const std::string_view rest = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
    const std::string_view second = rest.substr(0, rest.find('\n'));

    tle::LineStore line1, line2;
    const std::size_t length1 = tle::normalise(first, line1);
    const std::size_t length2 = tle::normalise(second, line2);
    check_store(line1, length1, first);
    check_store(line2, length2, second);

    const tle::ElementSet set = tle::parse_element_set(line1, length1, line2, length2);
    // The epoch as the TLE type makes it: the Julian-date route of calendar.hpp.
    std::int64_t ns = 0;
    (void)astrokite::time::ns_from_jd(astrokite::time::year_start_jd(set.epoch_year) - 1.0 + set.epoch_day, ns);

    const std::string fault =
        tle::find_fault(line1, line2, tle::trimmed_length(first), tle::trimmed_length(second));
    if (fault.empty()) {
        require(line1[0] == '1' && line1[1] == ' ' && line2[0] == '2' && line2[1] == ' ', "line numbers", input);
        require(line1[23] == '.' && line2[54] == '.', "points of the epoch and the mean motion", input);
        require(tle::checksum(line1) == line1[68] - '0' && tle::checksum(line2) == line2[68] - '0', "checksums",
                input);
        require(std::memcmp(line1 + 2, line2 + 2, 5) == 0, "one satellite", input);
    }

    for (std::size_t column : {9, 18, 35, 44})
        check_fixed_point<3, 4>(tle::field(line2, length2, column, 8));
    check_fixed_point<2, 8>(tle::field(line2, length2, 53, 11));
    check_fixed_point<3, 8>(tle::field(line1, length1, 21, 12));

    for (const auto &[column, width] : {std::pair<std::size_t, std::size_t>{3, 5}, {19, 2}, {21, 12}, {34, 10},
                                        {45, 8}, {54, 8}, {63, 1}, {65, 4}})
        check_readers(tle::field(line1, length1, column, width));
    for (const auto &[column, width] : {std::pair<std::size_t, std::size_t>{9, 8}, {18, 8}, {27, 7}, {35, 8},
                                        {44, 8}, {53, 11}, {64, 5}})
        check_readers(tle::field(line2, length2, column, width));
    for (std::size_t start = 0; start < std::min<std::size_t>(input.size(), 160); start += 16)
        check_readers(input.substr(start, 16));
    return 0;
}
