// The TLE record shared by the TLE and ELSET bindings of the tle extension.
#pragma once

#include <nanobind/nanobind.h>

#include "astrokite/utils/representable.hpp"

namespace astrokite {

// One two-line element set: both lines normalised to 69 characters, the
// unconverted satellite number field, the epoch (a Time), the six elements
// read from line 2 and the six derived from them, all in SI units.
struct TLE : Representable {
    char line1[70] = {};
    char line2[70] = {};
    char satno[6] = {};
    nanobind::object epoch;  // Time; None once cleared by the garbage collector
    double inc = 0, raa = 0, ecc = 0, mea = 0, arp = 0, mnm = 0;
    double sma = 0, orp = 0, eca = 0, tra = 0, pge = 0, apg = 0;
};

// Register TLE in the tle module, whose attributes Time, Earth and TEME must
// already be bound.
void bind_tle(nanobind::module_ &m);

// A TLE object made from two lines already in the form a TLE stores them (69
// bytes each, normalised): what TLE(line1, line2) makes of the text of those
// lines, with Earth's constants read now.
nanobind::object tle_from_stored_lines(const char *line1, const char *line2);

}  // namespace astrokite
