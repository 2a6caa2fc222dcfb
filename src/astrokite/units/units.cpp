// Unit factors as Python floats, the same values the C++ modules compile in.
#include <nanobind/nanobind.h>

#include "astrokite/common/args.hpp"
#include "astrokite/units/units.hpp"

namespace nb = nanobind;

NB_MODULE(units, m) {
    astrokite::args::LoadOnce once(m);
    namespace u = astrokite::units;
    m.doc() = "Unit factors: the size of each unit in base units (radian, metre, second, kilogram).\n\n"
              "Multiply to read a value into base units (``30 * deg`` is in radians), divide to\n"
              "show it in a unit (``sma / km``).";
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
