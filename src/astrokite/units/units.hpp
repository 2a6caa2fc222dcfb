// Unit factors: the size of each unit in the package's base units (radian,
// metre, second, kilogram). Reading multiplies by a factor, display divides.
#pragma once

#include <numbers>

namespace astrokite::units {

inline constexpr double rad = 1.0;
inline constexpr double deg = std::numbers::pi / 180.0;
inline constexpr double rev = 2.0 * std::numbers::pi;

inline constexpr double m = 1.0;
inline constexpr double km = 1000.0;

inline constexpr double kg = 1.0;

inline constexpr double s = 1.0;
inline constexpr double sec = 1.0;
inline constexpr double second = 1.0;
inline constexpr double minute = 60.0;
inline constexpr double hour = 3600.0;
inline constexpr double day = 86400.0;
inline constexpr double sday = 86164.0905;  // sidereal day

}  // namespace astrokite::units
