// libFuzzer target: the OMM scanners of omm_read.hpp on any bytes.
//
// The first byte picks the form (XML, KVN, JSON, CSV), the rest is the
// document. Besides memory and undefined-behaviour faults (ASan, UBSan), the
// run stops on a broken property:
//   - a document is read or refused as a whole, with nothing left behind;
//   - every record holds what a record may: a catalogue number of at most
//     nine digits, an epoch within its day and the years a Time holds, an
//     eccentricity in [0, 1), finite values, a terminated designator;
//   - every extra column has a code per record, each naming one of its texts,
//     and a record points at its own row of them or at none;
//   - rejections keep a bounded text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "astrokite/catalogue/omm_read.hpp"
#include "fuzz_support.hpp"

namespace omm = astrokite::omm;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1)
        return 0;
    const auto form = static_cast<omm::Form>(data[0] % 4);
    const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
    omm::Reading reading(1 + data[0] / 4 % 2);
    try {
        omm::read_document(text, form, reading);
    } catch (const omm::DocumentError &) {
        return 0;
    }
    namespace time = astrokite::time;
    // 1678-01-01 to 2262-01-01, where the last instants of 2261 may round to.
    constexpr std::int64_t first_midnight = time::days_from_civil(omm::first_epoch_year, 1, 1) * time::ns_per_day;
    constexpr std::int64_t last_midnight = time::days_from_civil(omm::last_epoch_year + 1, 1, 1) * time::ns_per_day;
    const auto &records = reading.records();
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto &r = records[i];
        require(r.satno >= 0 && r.satno <= astrokite::elements::max_satno, "catalogue number out of range");
        require(r.epoch_ps >= 0 && r.epoch_ps < omm::ps_per_day, "epoch outside its day");
        require(r.epoch_fraction >= 0.0 && r.epoch_fraction < 1.0, "day fraction outside [0, 1)");
        require(r.epoch_decimals >= 0 && r.epoch_decimals <= omm::max_epoch_decimals, "decimals out of range");
        require(r.epoch_midnight_ns % 86'400'000'000'000 == 0, "midnight not at a day's start");
        require(r.epoch_midnight_ns >= first_midnight && r.epoch_midnight_ns <= last_midnight,
                "epoch outside the years a Time holds");
        require(r.ecc >= 0.0 && r.ecc < 1.0, "eccentricity outside [0, 1)");
        for (double value : {r.inc, r.raa, r.arp, r.mea, r.mnm, r.bstar, r.ndot, r.nddot})
            require(std::isfinite(value), "a value that is not finite");
        require(r.intldes[12] == 0, "designator not terminated");
        require(r.extras_row == -1 || r.extras_row == static_cast<std::int32_t>(i), "extras row of another record");
    }
    auto column = reading.extra_columns().begin();
    for (std::size_t k = 0; k < reading.extra_keys().size(); ++k, ++column) {
        require(column->codes.size() == records.size(), "an extra column without a code per record");
        for (std::size_t i = 0; i < records.size(); ++i) {
            const std::int32_t code = column->codes[i];
            require(code >= -1 && code < static_cast<std::int32_t>(column->values.size()), "a code naming no text");
            require(code == -1 || records[i].extras_row == static_cast<std::int32_t>(i),
                    "a record with extras that points at none");
        }
    }
    for (const omm::Rejection &rejection : reading.rejections())
        require(rejection.text.size() <= omm::text_limit && !rejection.reason.empty(), "rejection unbounded or bare");
    return 0;
}
