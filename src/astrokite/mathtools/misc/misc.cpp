// Python binding of the small numerical helpers.
#include <nanobind/nanobind.h>

#include "astrokite/common/args.hpp"
#include "astrokite/mathtools/misc/misc.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(misc, m) {
    astrokite::args::LoadOnce once(m);
    m.doc() = "Small numerical helpers.";
    m.def("atan2_asymmetric", &astrokite::misc::atan2_asymmetric, "y"_a, "x"_a,
          "The angle of the point (x, y) in radians, in [0, 2 pi); argument order as for\n"
          "math.atan2. A NaN coordinate gives NaN.");
}
