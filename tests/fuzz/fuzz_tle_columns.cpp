// libFuzzer target: the line writer of elements/tle_columns.hpp on any values.
//
// The bytes give one element set's values (any doubles, NaN and infinities
// included, any integers, any bytes for the texts that are printable ASCII).
// Besides memory and undefined-behaviour faults (ASan, UBSan), the run stops
// on a broken property: a row written without a fault
//   - passes the strict checks of a line pair (line numbers, checksums,
//     matching catalogue numbers);
//   - reads back to its values, each within half a unit of its column's last
//     digit (the epoch within half of 1e-8 day and the rounding of reading).
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "astrokite/elements/tle_columns.hpp"
#include "fuzz_support.hpp"

namespace cols = astrokite::catalogue::columns;
namespace tl = astrokite::tle_lines;

namespace {

bool close(double read, double written, double half_unit) {
    return std::fabs(read - written) <= half_unit * (1 + 1e-9) + 1e-12 * std::fabs(written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    auto real = [&] {
        // Plausible values as often as odd ones.
        return in.ConsumeBool() ? in.ConsumeFloatingPointInRange(-1.0, 7.0) : in.ConsumeFloatingPoint<double>();
    };
    std::int64_t satno = in.ConsumeIntegralInRange<std::int64_t>(-2, 400'000);
    std::int64_t epoch = in.ConsumeBool() ? in.ConsumeIntegral<std::int64_t>()
                                          : in.ConsumeIntegralInRange<std::int64_t>(-4e17, 2.7e18);
    std::int64_t ephtype = in.ConsumeIntegralInRange<std::int64_t>(-1, 11);
    std::int64_t elnum = in.ConsumeIntegralInRange<std::int64_t>(-1, 10'001);
    std::int64_t revnum = in.ConsumeIntegralInRange<std::int64_t>(-1, 100'001);
    double ecc = real(), inc = real(), raa = real(), arp = real(), mea = real();
    double mnm = in.ConsumeBool() ? in.ConsumeFloatingPointInRange(0.0, 0.008) : real();
    double ndot = in.ConsumeBool() ? in.ConsumeFloatingPointInRange(-1e-9, 1e-9) : real();
    double nddot = in.ConsumeBool() ? in.ConsumeFloatingPointInRange(-1e-13, 1e-13) : real();
    double bstar = in.ConsumeBool() ? in.ConsumeFloatingPointInRange(-1e-2, 1e-2) : real();
    // Texts of the forms the strict checks take (any printable text is written as given).
    const char classification = "UCS"[in.ConsumeIntegralInRange<int>(0, 2)];
    static constexpr const char *designators[] = {"98067A  ", "        ", "23001ABC", "57001B  "};
    char intldes[8];
    std::memcpy(intldes, designators[in.ConsumeIntegralInRange<int>(0, 3)], 8);

    cols::Columns c{1, &satno, &epoch, &ephtype, &elnum, &revnum, &ecc, &inc, &raa, &arp, &mea, &mnm,
                    &ndot, &nddot, &bstar, &classification, intldes};
    char row[2 * tl::line_length];
    if (cols::write_row(c, 0, row) != cols::Fault::none)
        return 0;
    tl::LineStore line1, line2;
    std::memcpy(line1, row, tl::line_length);
    std::memcpy(line2, row + tl::line_length, tl::line_length);
    line1[tl::line_length] = line2[tl::line_length] = '\0';
    // A mean motion of 0 is written (the tolerant reading takes it) but is a fault to the strict checks.
    const bool moving = std::strncmp(line2 + 52, " 0.00000000", 11) != 0;
    require(!moving || tl::find_fault(line1, line2).empty(), "a written row passes the strict checks");

    using namespace astrokite;
    const tl::ElementSet set = tl::parse_element_set(line1, line2);
    require(set.satno && *set.satno == satno, "the catalogue number reads back");
    const double deg = units::deg, rev = units::rev, day = units::day;
    require(close(set.inc / deg, inc / deg, 0.5e-4) && close(set.raa / deg, raa / deg, 0.5e-4) &&
                close(set.arp / deg, arp / deg, 0.5e-4) && close(set.mea / deg, mea / deg, 0.5e-4),
            "the angles read back to their decimals");
    require(close(set.ecc, ecc, 0.5e-7), "the eccentricity reads back");
    require(close(set.mnm * day / rev, mnm * day / rev, 0.5e-8), "the mean motion reads back");
    require(close(set.ndot * day * day / (2 * rev), ndot * day * day / (2 * rev), 0.5e-8), "ndot reads back");
    // Five significant digits, or zero below the column's least value.
    const double b = std::fabs(bstar);
    require(close(set.bstar, bstar, b < 1e-10 ? 1e-10 : 0.5e-4 * b * 1.0000001 + 1e-300), "bstar reads back");
    require(set.ephtype == ephtype && set.elnum == elnum && set.revnum == revnum, "the integers read back");
    const std::int64_t read = set.epoch_midnight_ns + static_cast<std::int64_t>(std::llround(set.epoch_fraction * 86'400e9));
    require(std::llabs(read - epoch) <= 432'000 + 20'000, "the epoch reads back within half of 1e-8 day");
    return 0;
}
