// Reading the fixed-column text of a two-line element set, all in namespace
// astrokite::tle_lines: the numeric field readers (the C library's atoi/atof
// rules done locale-independently), the stored form of a line and its fields,
// the element set a pair of lines carries, and the optional strict check of
// the lines against the published format.
// Plain C++: no Python in here.
#pragma once

#include "astrokite/elements/tle_element_set.hpp"
#include "astrokite/elements/tle_field_readers.hpp"
#include "astrokite/elements/tle_line_check.hpp"
#include "astrokite/elements/tle_line_form.hpp"
