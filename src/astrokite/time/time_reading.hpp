// What the reading of Python values into Time (time_reading.cpp) shares with
// the binding (time.cpp): the formats of numbers, the objects looked up at
// import, and the readers the binding calls.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "astrokite/time/time.hpp"

namespace astrokite::time::reading {

namespace nb = nanobind;

// What a number means; None and "int64" both read integers as counts.
enum class Format { count, jd, mjd, unix_seconds };

// Objects looked up once at import and never released: a static owning
// reference would be dropped after the interpreter has shut down.
struct Globals {
    PyObject *jd, *mjd, *unix, *int64;  // interned format names
    nb::handle ndarray, datetime64, integer, floating;  // NumPy types
    nb::handle int64_dtype, float64_dtype, datetime_data, empty;
};
inline Globals g;

inline nb::handle keep(nb::object o) { return o.release(); }

// Load the datetime module's C interface for the readers of dates (each
// source file has its own pointer to it); raises what importing it raised.
void import_datetime();
// A number of `format` as nanoseconds since 1970.
int64_t ns_from_number(double value, Format format);
// The native Time of a value, or null when it is no Time.
const Time *time_instance(nb::handle value);
bool is_ndarray(nb::handle value);
// A Time of the values of an array (of counts when format is count).
Time time_from_array(nb::handle array, Format format, bool format_given);
// Time(value, format): every kind of value Time accepts.
Time make_time(nb::handle value, nb::handle format_name);
// The system clock's instant, to its resolution.
Time now();

}  // namespace astrokite::time::reading
