// Python binding of the Kepler solver; the element conversions stay C++ only.
#include <nanobind/nanobind.h>

#include "astrokite/common/args.hpp"
#include "astrokite/state/coe.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(coe, m) {
    astrokite::args::LoadOnce once(m);
    m.doc() = "Classical orbital elements.";
    m.def("c_eca_from_mea", &astrokite::coe::c_eca_from_mea, "mea"_a, "ecc"_a,
          "Eccentric anomaly E [rad] from mean anomaly M [rad] and eccentricity e: the\n"
          "solution of Kepler's equation E - e sin E = M, to within a few ulp. E lies in\n"
          "the same revolution as M (no reduction to [0, 2 pi)); e = 0 gives M itself.\n"
          "An eccentricity outside [0, 1) or a non-finite input gives NaN.");
}
