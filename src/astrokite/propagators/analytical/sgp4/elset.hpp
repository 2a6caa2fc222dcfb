// The ELSET type of the tle extension: the element sets of one satellite,
// sorted by epoch, with one float64 column per orbital element.
#pragma once

#include <nanobind/nanobind.h>

namespace astrokite {

// Register ELSET in the tle module; the TLE type must be bound first.
void bind_elset(nanobind::module_ &m);

}  // namespace astrokite
