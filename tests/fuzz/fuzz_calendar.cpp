// libFuzzer target: the calendar arithmetic and ISO 8601 reader of
// time/calendar.hpp on any bytes.
//
// The input is read whole as ISO text, and the same bytes give the numbers of
// the other conversions. Besides memory and undefined-behaviour faults (ASan,
// UBSan), the run stops on a broken property:
//   - text parse_iso accepts comes back to the same count through format_iso
//     and parse_iso;
//   - every count formats to 19 characters plus the fraction asked for;
//   - a Julian date, modified Julian date or Unix time maps to a count whose
//     value in that scale is the input to within rounding;
//   - a datetime64 count of nanoseconds or coarser units is the exact product;
//   - dates come back through days_from_civil and civil_from_days.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "astrokite/time/calendar.hpp"
#include "fuzz_support.hpp"

namespace cal = astrokite::time;

namespace {

void check_iso(std::string_view text) {
    std::int64_t ns = 0;
    if (cal::parse_iso(text, ns) != cal::Convert::ok)
        return;
    char formatted[32];
    const std::size_t length = cal::format_iso(ns, 9, formatted);
    require(length == 29, "format_iso writes 29 characters with nine digits");
    std::int64_t again = 0;
    require(cal::parse_iso(std::string_view(formatted, length), again) == cal::Convert::ok && again == ns,
            "formatted text reads back as the same count");
}

void check_number(double value, cal::Convert (*convert)(double, std::int64_t &), double (*back)(std::int64_t),
                  double epoch, const char *property) {
    std::int64_t ns = 0;
    const cal::Convert status = convert(value, ns);
    if (!std::isfinite(value)) {
        require(status == cal::Convert::invalid, property);
        return;
    }
    if (status != cal::Convert::ok)
        return;
    require(ns != INT64_MIN, property);
    // The count is the nearest nanosecond; converting back rounds once more.
    const double scale = std::fmax(std::fabs(value), std::fabs(epoch));
    const double unit = epoch == 0.0 ? 1e-9 : 1.0 / 86'400e9;  // one nanosecond in the scale's unit
    require(std::fabs(back(ns) - value) <= 4 * (std::nextafter(scale, INFINITY) - scale) + unit, property);
}

void check_datetime64(std::int64_t count, cal::Datetime64Unit unit, std::int64_t multiplier) {
    std::int64_t ns = 0;
    const cal::Convert status = cal::ns_from_datetime64(count, unit, multiplier, ns);
    if (count == cal::datetime64_nat) {
        require(status == cal::Convert::invalid, "NaT is no instant");
        return;
    }
    if (status != cal::Convert::ok || unit != cal::Datetime64Unit::ns)
        return;
    require(static_cast<cal::int128>(count) * multiplier == ns, "nanoseconds are the count itself");
}

void check_civil(std::int64_t year, int month, int day) {
    const cal::CivilDate date = cal::civil_from_days(cal::days_from_civil(year, month, day));
    require(date.year == year && date.month == month && date.day == day, "dates come back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    check_iso(std::string_view(reinterpret_cast<const char *>(data), size));

    FuzzedDataProvider numbers(data, size);
    const double value = numbers.ConsumeFloatingPoint<double>();
    check_number(value, cal::ns_from_jd, cal::jd_from_ns, cal::unix_epoch_jd, "Julian date to count and back");
    check_number(value, cal::ns_from_mjd, cal::mjd_from_ns, cal::unix_epoch_mjd, "MJD to count and back");
    check_number(value, cal::ns_from_unix, cal::unix_from_ns, 0.0, "Unix time to count and back");

    // NumPy's datetime64 multipliers are positive 32-bit integers.
    const std::int64_t count = numbers.ConsumeIntegral<std::int64_t>();
    const auto unit = static_cast<cal::Datetime64Unit>(numbers.ConsumeIntegralInRange<int>(0, 12));
    const std::int64_t multiplier = numbers.ConsumeIntegralInRange<std::int64_t>(1, INT32_MAX);
    check_datetime64(count, unit, multiplier);

    const std::int64_t ns = numbers.ConsumeIntegralInRange<std::int64_t>(cal::min_ns, cal::max_ns);
    char formatted[32];
    const int digits = numbers.ConsumeIntegralInRange<int>(0, 9);
    require(cal::format_iso(ns, digits, formatted) == 19 + static_cast<std::size_t>(digits ? digits + 1 : 0),
            "format_iso length");
    check_iso(std::string_view(formatted, 19));

    const std::int64_t year = numbers.ConsumeIntegralInRange<std::int64_t>(-1'000'000, 1'000'000);
    const int month = numbers.ConsumeIntegralInRange<int>(1, 12);
    check_civil(year, month, numbers.ConsumeIntegralInRange<int>(1, cal::days_in_month(year, month)));
    (void)cal::year_start_jd(numbers.ConsumeIntegral<int>());
    return 0;
}
