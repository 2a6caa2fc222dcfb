// libFuzzer target: element sets read from fuzzed line pairs, and records of
// any values (what an OMM reader may hand over: any finite doubles), initialised
// in every gravity model and mode and propagated to a few times (fixed ones and
// one taken from the input) through the SIMD kernel, its lanes across times
// and across sets. Each sample must give an error code with NaN
// states, or code 0 with finite states; never a crash or an endless loop.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/propagators/analytical/sgp4/sgp4_lanes_runner.hpp"

namespace sgp4 = astrokite::sgp4;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The first 138 bytes are the two lines (blank-filled when short); the next
    // 8, if present, a time in minutes.
    char rows[astrokite::tle_lines::row_bytes];
    std::memset(rows, ' ', sizeof rows);
    std::memcpy(rows, data, size < sizeof rows ? size : sizeof rows);
    // The set of those lines, and the same bytes taken as a record of values.
    astrokite::elements::Record records[2];
    records[0] = astrokite::tle_lines::record_of_row(rows);
    std::memset(&records[1], 0, sizeof records[1]);
    std::memcpy(&records[1], data, size < sizeof records[1] ? size : sizeof records[1]);
    double fuzzed_minutes = 0.0;
    if (size >= sizeof rows + sizeof fuzzed_minutes)
        std::memcpy(&fuzzed_minutes, data + sizeof rows, sizeof fuzzed_minutes);
    // Times the theory accepts are kept within 70 days, so that the resonance
    // integrator's steps leave the fuzzer its speed; the others test the refusal.
    if (std::fabs(fuzzed_minutes) <= sgp4::max_minutes)
        fuzzed_minutes = std::fmod(fuzzed_minutes, 1e5);
    const double minutes[] = {0.0, -1440.0, 720.5, 1e5, -3e4, fuzzed_minutes};
    for (sgp4::Gravity gravity : {sgp4::Gravity::wgs72, sgp4::Gravity::wgs72old, sgp4::Gravity::wgs84}) {
        for (sgp4::Mode mode : {sgp4::Mode::improved, sgp4::Mode::afspc}) {
          for (const astrokite::elements::Record &record : records) {
            const sgp4::Table table = sgp4::make_table(&record, 1, gravity, mode);
            const sgp4::TableView view{table.satellites.data(), table.epoch_midnight_ns.data(),
                                       table.epoch_fraction.data()};
            // All six times (lanes across times), then the last alone (lanes across sets).
            for (std::size_t first : {std::size_t{0}, std::size_t{5}}) {
                const std::size_t times = 6 - first;
                const std::int64_t set = 0;
                double position[6 * 3], velocity[6 * 3];
                std::int8_t error[6];
                sgp4::Request request;
                request.rows = 1;
                request.times = times;
                request.set_of_row = &set;
                request.minutes = minutes + first;
                request.position = position;
                request.velocity = velocity;
                request.error = error;
                // The kernel of the instruction set this target is compiled for.
                sgp4::lanes::run_range<xsimd::batch<double>>(view, request, 0, times);
                for (std::size_t i = 0; i < times; ++i)
                    for (int k = 0; k < 3; ++k) {
                        const bool finite = std::isfinite(position[3 * i + k]) && std::isfinite(velocity[3 * i + k]);
                        if ((error[i] == 0) != finite)
                            std::abort();
                    }
            }
          }
        }
    }
    return 0;
}
