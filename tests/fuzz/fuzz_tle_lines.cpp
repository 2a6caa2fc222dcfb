// libFuzzer target: the element-set line scanner of tle_lines.hpp on any bytes.
//
// The input is two lines, split at its first newline (the second line ends at
// the next one). Each line is normalised as the TLE type stores it, every
// field of the pair is read by parse_element_set, and find_fault checks the
// pair. Besides memory and undefined-behaviour faults (ASan, UBSan), the run
// stops on a broken property:
//   - a normalised store holds its text up to the stored length, zeros after;
//   - the field readers give what the C library's atof (strtod) and atoi
//     (strtol, saturated to int) give on fields of up to 16 characters
//     (each field, and the first 160 bytes of the input in pieces);
//   - a pair find_fault passes begins "1 " and "2 ", carries valid
//     checksums and names one satellite.
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

#include "astrokite/propagators/analytical/sgp4/tle_lines.hpp"
#include "astrokite/time/calendar.hpp"

namespace tl = astrokite::tle_lines;

namespace {

void require(bool holds, const char *property, std::string_view text) {
    if (holds)
        return;
    std::fprintf(stderr, "broken: %s, on %s\n", property, tl::detail::quoted(text).c_str());
    std::abort();
}

bool same_double(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

// The readers against the C library, on a terminated copy of `text`. The C
// library runs in the "C" locale here (nothing calls setlocale).
void check_readers(std::string_view text) {
    if (text.size() > 16 || text.find('\0') != std::string_view::npos)
        return;
    const std::string copy(text);
    require(same_double(tl::read_real(text), std::strtod(copy.c_str(), nullptr)), "read_real is atof", text);
    const long integer = std::strtol(copy.c_str(), nullptr, 10);
    const long saturated = integer < INT_MIN ? INT_MIN : integer > INT_MAX ? INT_MAX : integer;
    require(tl::read_int(text) == saturated, "read_int is atoi", text);
    // The implied-point readers build their text from the field; only their
    // memory safety is checked here.
    (void)tl::read_eccentricity(text);
    (void)tl::read_implied_exponent(text);
    (void)tl::decode_satno(text);
    std::int64_t whole = 0;
    double fraction = 0;
    tl::split_epoch_day(text, whole, fraction);
}

void check_store(const tl::LineStore &store, std::size_t length, std::string_view line) {
    require(length == tl::stored_length(store) && length <= tl::line_length, "stored length", line);
    for (std::size_t i = 0; i < sizeof store; ++i)
        require((store[i] != '\0') == (i < length), "text before the stored length, zeros after", line);
    const std::size_t copied = std::min(length, line.size());
    require(std::memcmp(store, line.data(), copied) == 0, "store begins with the line", line);
    for (std::size_t i = copied; i < length; ++i)
        require(store[i] == ' ', "blanks fill the store", line);
}

void check_fault(const tl::LineStore &line1, const tl::LineStore &line2, std::string_view input) {
    if (!tl::find_fault(line1, line2).empty())
        return;
    require(line1[0] == '1' && line1[1] == ' ' && line2[0] == '2' && line2[1] == ' ', "line numbers", input);
    require(tl::checksum(line1) == line1[68] - '0' && tl::checksum(line2) == line2[68] - '0', "checksums",
            input);
    require(std::memcmp(line1 + 2, line2 + 2, 5) == 0, "one satellite", input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const std::size_t end1 = input.find('\n');
    const std::string_view text1 = input.substr(0, end1);
    // Both views point into the input, as a caller's views point into its text.
    const std::string_view rest = input.substr(end1 == std::string_view::npos ? size : end1 + 1);
    const std::string_view text2 = rest.substr(0, rest.find('\n'));

    tl::LineStore line1, line2;
    const std::size_t length1 = tl::normalise(text1, line1);
    const std::size_t length2 = tl::normalise(text2, line2);
    check_store(line1, length1, text1);
    check_store(line2, length2, text2);

    const tl::ElementSet set = tl::parse_element_set(line1, length1, line2, length2);
    // The epoch as the TLE type makes it: the Julian-date route of calendar.hpp.
    std::int64_t ns = 0;
    (void)astrokite::time::ns_from_jd(astrokite::time::year_start_jd(set.epoch_year) - 1.0 + set.epoch_day, ns);
    check_fault(line1, line2, input);

    // Every field the type reads, and the raw input in short pieces.
    for (const auto &[column, width] : {std::pair<std::size_t, std::size_t>{3, 5}, {19, 2}, {21, 12}, {34, 10},
                                        {45, 8}, {54, 8}, {63, 1}, {65, 4}})
        check_readers(tl::field(line1, length1, column, width));
    for (const auto &[column, width] : {std::pair<std::size_t, std::size_t>{9, 8}, {18, 8}, {27, 7}, {35, 8},
                                        {44, 8}, {53, 11}, {64, 5}})
        check_readers(tl::field(line2, length2, column, width));
    for (std::size_t start = 0; start < std::min<std::size_t>(input.size(), 160); start += 16)
        check_readers(input.substr(start, 16));
    return 0;
}
