// libFuzzer target for the two-line element scanner: any bytes, split into two
// lines at the first newline, are normalised, read field by field and checked
// strictly. Nothing may crash, read out of bounds or overflow; the strict check
// must agree with itself (a fault-free pair has the published layout), and the
// fixed-point reader must give what the general one gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "astrokite/propagators/analytical/sgp4/tle_lines.hpp"

namespace tle = astrokite::tle_lines;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const std::size_t newline = text.find('\n');
    const std::string_view first = text.substr(0, newline);
    const std::string_view second = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);

    tle::LineStore line1, line2;
    const std::size_t length1 = tle::normalise(first, line1);
    const std::size_t length2 = tle::normalise(second, line2);
    if (length1 != tle::stored_length(line1) || length2 != tle::stored_length(line2) || line1[69] || line2[69])
        std::abort();

    const tle::ElementSet set = tle::parse_element_set(line1, length1, line2, length2);
    (void)set;

    const std::string fault =
        tle::find_fault(line1, line2, tle::trimmed_length(first), tle::trimmed_length(second));
    if (fault.empty() && (line1[23] != '.' || line2[54] != '.' || tle::checksum(line1) != line1[68] - '0'))
        std::abort();

    // The fixed-point fields read as the general reader reads them.
    for (std::size_t column : {9, 18, 35, 44}) {
        const std::string_view field = tle::field(line2, length2, column, 8);
        const double fast = tle::read_fixed_point<3, 4>(field), general = tle::read_real(field);
        if (std::memcmp(&fast, &general, sizeof fast) != 0)
            std::abort();
    }
    const std::string_view motion = tle::field(line2, length2, 53, 11);
    const double fast = tle::read_fixed_point<2, 8>(motion), general = tle::read_real(motion);
    if (std::memcmp(&fast, &general, sizeof fast) != 0)
        std::abort();
    return 0;
}
