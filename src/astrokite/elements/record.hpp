// One element set as values: what the columns, the propagator and the writers
// read, whichever text it came from. A TLE line pair and an OMM message both
// become this record; the text of a TLE stays beside it (the 138-byte line
// pair), an OMM's values are kept here at full precision.
// Plain C++: no Python in here.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "astrokite/time/calendar.hpp"
#include "astrokite/units/units.hpp"

namespace astrokite::elements {

// Catalogue numbers run to nine digits; -1 marks a set without a number.
inline constexpr std::int32_t max_satno = 999'999'999;
inline constexpr std::int32_t no_satno = -1;

// epoch_decimals of a record read from a TLE line: its epoch is the year and
// the day with eight decimals, not a time of day.
inline constexpr std::int8_t tle_epoch = -1;

struct Record {
    // The epoch exactly as written, in two parts: the start of its UTC day
    // (nanoseconds since 1970-01-01) and the time into that day. epoch_ps is
    // exact for up to twelve decimals of a second; epoch_fraction is the same
    // instant as a fraction of the day, the nearest double to the exact value.
    std::int64_t epoch_midnight_ns;
    std::int64_t epoch_ps;
    double epoch_fraction;
    double ecc;        // eccentricity
    double inc;        // inclination [rad]
    double raa;        // right ascension of the ascending node [rad]
    double arp;        // argument of perigee [rad]
    double mea;        // mean anomaly [rad]
    double mnm;        // mean motion [rad/s]
    double bstar;      // drag term [1/Earth radii]
    double ndot;       // first derivative of the mean motion [rad/s^2]
    double nddot;      // second derivative [rad/s^3]
    std::int32_t satno;
    std::int32_t elnum;   // element set number
    std::int32_t revnum;  // revolution number at epoch
    std::int32_t extras_row;     // row of the other OMM fields it was given; -1 for none
    std::int8_t epoch_decimals;  // decimals of the seconds as written; tle_epoch for TLE text
    std::int8_t ephtype;         // ephemeris type
    char classification;         // 'U', 'C', 'S' or as written
    char intldes[13];            // international designator as written ("1998-067A", "98067A"), zero-filled
};

// The layout other extensions and NumPy (record_dtype in Python) read.
static_assert(std::is_trivially_copyable_v<Record>);
static_assert(sizeof(Record) == 128);
inline constexpr std::size_t record_bytes = sizeof(Record);

// The epoch to the nearest nanosecond, int64 since 1970 (UTC): from the time
// of day as written for an OMM's epoch, from the day fraction for a TLE's.
// False, with `ns` unset, when the record's epoch lies outside what int64
// nanoseconds hold (no reader makes such a record; bytes from elsewhere may).
inline bool epoch_ns(const Record &record, std::int64_t &ns) {
    time::int128 count = record.epoch_midnight_ns;
    if (record.epoch_decimals == tle_epoch) {
        const double into_day = record.epoch_fraction * 86400e9;
        if (!(std::fabs(into_day) < 1e18))
            return false;
        count += std::llround(into_day);
    } else {
        const std::int64_t whole = record.epoch_ps / 1000, rest = record.epoch_ps % 1000;
        count += whole + (rest > 500 || (rest == 500 && (whole & 1)));
    }
    if (!time::in_range(count))
        return false;
    ns = static_cast<std::int64_t>(count);
    return true;
}

// The units element-set texts write (degrees, revolutions per day, the TLE's
// halved and sixth derivatives) to the record's; TLE and OMM both read through
// these, so a value written alike in either gives the same double.
inline double angle_of_degrees(double degrees) { return degrees * units::deg; }
inline double mean_motion_of_rev_per_day(double rev_per_day) { return rev_per_day * units::rev / units::day; }
// MEAN_MOTION_DOT, the TLE's first-derivative field: half the derivative [rev/day^2].
inline double ndot_of_field(double half_rev_per_day2) {
    return 2.0 * half_rev_per_day2 * units::rev / (units::day * units::day);
}
// MEAN_MOTION_DDOT, the second-derivative field: a sixth of the derivative [rev/day^3].
inline double nddot_of_field(double sixth_rev_per_day3) {
    return 6.0 * sixth_rev_per_day3 * units::rev / (units::day * units::day * units::day);
}

}  // namespace astrokite::elements
