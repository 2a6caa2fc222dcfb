// Small numerical helpers shared by the native modules.
#pragma once

#include <cmath>
#include <numbers>

namespace astrokite::misc {

// The angle of the point (x, y) in radians, in [0, 2 pi); argument order as
// for atan2. A point just clockwise of the positive x axis has an angle whose
// sum with 2 pi rounds up to 2 pi; it gets the largest double below 2 pi
// instead, so the result stays in range and keeps its place at the end of the
// revolution. NaN in gives NaN out.
inline double atan2_asymmetric(double y, double x) {
    constexpr double two_pi = 2.0 * std::numbers::pi;
    double angle = std::atan2(y, x);
    if (angle < 0.0) {
        angle += two_pi;
        if (angle >= two_pi)
            angle = std::nextafter(two_pi, 0.0);
    }
    return angle + 0.0;  // -0.0 (from y = -0.0) becomes +0.0
}

}  // namespace astrokite::misc
