// Unit factors as Python floats, the same values the C++ modules compile in.
#include <nanobind/nanobind.h>

#include "astrokite/common/args.hpp"
#include "astrokite/units/units.hpp"

namespace nb = nanobind;

NB_MODULE(units, m) {
    astrokite::args::LoadOnce once(m);
    namespace u = astrokite::units;
    m.doc() = R"(Unit factors: the size of each unit in base units (radian, metre, second,
kilogram), as floats.

Multiply a value by a factor to read it into base units; divide a value in
base units by a factor to show it in that unit.

    angle   rad 1, deg pi/180, rev 2 pi                      [rad]
    length  m 1, km 1000                                     [m]
    mass    kg 1                                             [kg]
    time    s, sec, second 1, minute 60, hour 3600,          [s]
            day 86400, sday 86164.0905 (sidereal day)

Example:

>>> from astrokite.units import units as u
>>> 30 * u.deg                 # rad
0.5235987755982988
>>> 6778137.0 / u.km           # km
6778.137
>>> 15.5 * u.rev / u.day       # a mean motion of 15.5 rev/day in rad/s
0.0011271918085796711)";
    m.attr("rad") = u::rad;
    m.attr("deg") = u::deg;
    m.attr("rev") = u::rev;
    m.attr("m") = u::m;
    m.attr("km") = u::km;
    m.attr("kg") = u::kg;
    m.attr("s") = u::s;
    m.attr("sec") = u::sec;
    m.attr("second") = u::second;
    m.attr("minute") = u::minute;
    m.attr("hour") = u::hour;
    m.attr("day") = u::day;
    m.attr("sday") = u::sday;
}
