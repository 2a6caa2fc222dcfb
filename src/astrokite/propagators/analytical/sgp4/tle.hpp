// The TLE record shared by the TLE and ELSET bindings of the tle extension.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/time/time.hpp"
#include "astrokite/utils/representable.hpp"

namespace astrokite {

// One two-line element set: both lines normalised to 69 characters, the
// epoch, the six elements read from line 2 and the six derived from them, all
// in SI units. The epoch is kept as its count of nanoseconds; its Time object
// is made when first asked for and kept, so that every read gives the same one.
struct TLE : Representable {
    tle_lines::LineStore line1 = {};
    tle_lines::LineStore line2 = {};
    std::int64_t epoch_ns = 0;
    // The epoch Time once made (invalid until then); None once cleared by the
    // garbage collector. Made at construction when the Time type is not our own.
    nanobind::object epoch;
    double inc = 0, raa = 0, ecc = 0, mea = 0, arp = 0, mnm = 0;
    double sma = 0, orp = 0, eca = 0, tra = 0, pge = 0, apg = 0;
};

// The unconverted satellite number field, columns 3-7 of line 1, up to the
// first zero byte (every byte after it in a stored line is zero too).
inline std::string_view satno_field(const TLE &tle) {
    return {tle.line1 + 2, strnlen(tle.line1 + 2, 5)};
}

// The epoch count of a TLE whose epoch is, or will be made as, a scalar of our
// own Time; empty when its epoch is something else (None once cleared).
inline std::optional<std::int64_t> native_epoch_ns(const TLE &tle) {
    if (!tle.epoch.is_valid())
        return tle.epoch_ns;
    if (time::is_time(tle.epoch) && !time::get(tle.epoch).is_array())
        return time::get(tle.epoch).scalar();
    return std::nullopt;
}

// Register TLE in the tle module, whose attributes Time, Earth and TEME must
// already be bound.
void bind_tle(nanobind::module_ &m);

// The epoch Time of a TLE, made now if it has not been yet (None once the
// garbage collector cleared it).
nanobind::object epoch_of(TLE &tle);

// A TLE object made from two lines already in the form a TLE stores them (69
// bytes each, normalised): what TLE(line1, line2) makes of the text of those
// lines, with Earth's constants read now.
nanobind::object tle_from_stored_lines(const char *line1, const char *line2);

}  // namespace astrokite
