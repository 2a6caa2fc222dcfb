// Python bindings of Time: argument dispatch and conversions between Python
// values and counts. The arithmetic lives in calendar.hpp.
#include <Python.h>
#include <datetime.h>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "astrokite/common/args.hpp"
#include "astrokite/time/time.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrokite::time;
using astrokite::args::raise_cannot_convert;
using astrokite::args::raise_incorrect_type;

namespace {

// What a number means; None and "int64" both read integers as counts.
enum class Format { count, jd, mjd, unix_seconds };

// Objects looked up once at import and never released: a static owning
// reference would be dropped after the interpreter has shut down.
struct Globals {
    PyObject *jd, *mjd, *unix, *int64;  // interned format names
    nb::handle ndarray, datetime64, integer, floating;  // NumPy types
    nb::handle int64_dtype, float64_dtype, datetime_data, empty;
};
Globals g;

nb::handle keep(nb::object o) { return o.release(); }

const char *format_name(Format format) {
    switch (format) {
    case Format::jd: return "jd";
    case Format::mjd: return "mjd";
    case Format::unix_seconds: return "unix";
    case Format::count: break;
    }
    return "int64";
}

Format read_format(nb::handle format, bool &given) {
    PyObject *p = format.ptr();
    given = p != Py_None;
    if (p == g.jd)
        return Format::jd;
    if (p == Py_None || p == g.int64)
        return Format::count;
    if (p == g.mjd)
        return Format::mjd;
    if (p == g.unix)
        return Format::unix_seconds;
    if (!PyUnicode_Check(p))
        raise_incorrect_type("format", "str", p);
    for (Format f : {Format::count, Format::jd, Format::mjd, Format::unix_seconds})
        if (PyUnicode_CompareWithASCIIString(p, format_name(f)) == 0)
            return f;
    PyErr_Format(PyExc_ValueError, "format must be None, 'int64', 'jd', 'mjd' or 'unix', not %.200R", p);
    throw nb::python_error();
}

const char *number_name(Format format) {
    switch (format) {
    case Format::jd: return "Julian date";
    case Format::mjd: return "modified Julian date";
    case Format::unix_seconds: return "Unix time";
    case Format::count: break;
    }
    return "count";
}

int64_t ns_from_number(double value, Format format) {
    int64_t ns = 0;
    Convert status = Convert::invalid;
    switch (format) {
    case Format::jd: status = ns_from_jd(value, ns); break;
    case Format::mjd: status = ns_from_mjd(value, ns); break;
    case Format::unix_seconds: status = ns_from_unix(value, ns); break;
    case Format::count: break;
    }
    if (status != Convert::ok)
        raise_number_error(status, number_name(format), value);
    return ns;
}

// The count of a Python or NumPy integer.
int64_t count_from_integer(nb::handle value) {
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid())
        throw nb::python_error();
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow || count < min_ns)
        raise_out_of_range("count", value);
    return count;
}

[[noreturn]] void raise_format_misuse(Format format, const char *type_name) {
    PyErr_Format(PyExc_ValueError, "format '%s' applies to numbers, not to %.200s", format_name(format),
                 type_name);
    throw nb::python_error();
}

[[noreturn]] void raise_float_without_format(const char *type_name) {
    PyErr_Format(PyExc_TypeError, "Time() takes a %.200s only with format 'jd', 'mjd' or 'unix'",
                 type_name);
    throw nb::python_error();
}

[[noreturn]] void raise_not_one_dimensional(nb::handle shape) {
    PyErr_Format(PyExc_ValueError, "Time is scalar or one-dimensional, not of shape %.200R", shape.ptr());
    throw nb::python_error();
}

// The value of a Time (or of a subclass instance), nullptr for other objects.
// An instance whose constructor never ran is refused.
const Time *time_instance(nb::handle value) {
    if (!PyObject_TypeCheck(value.ptr(), time_type()))
        return nullptr;
    if (!nb::inst_ready(value))
        raise_uninitialised(value);
    return nb::inst_ptr<Time>(value);
}

bool is_integer(PyObject *p) {
    return (PyLong_Check(p) && !PyBool_Check(p)) || PyObject_TypeCheck(p, (PyTypeObject *)g.integer.ptr());
}

bool is_float(PyObject *p) {
    return PyFloat_Check(p) || PyObject_TypeCheck(p, (PyTypeObject *)g.floating.ptr());
}

// ---------------------------------------------------------------------------
// Dates and datetime64 values.

int64_t ns_from_datetime64_scalar(nb::handle value);

int64_t ns_from_date(nb::handle value) {
    PyObject *p = value.ptr();
    int64_t nanosecond = 0, ns = 0;
    int hour = 0, minute = 0, second = 0;
    if (PyDateTime_Check(p)) {
        // pandas.Timestamp (and its NaT) carry nanoseconds the datetime fields lack.
        if (!PyDateTime_CheckExact(p) && PyObject_HasAttrString(p, "to_datetime64"))
            return ns_from_datetime64_scalar(value.attr("to_datetime64")());
        hour = PyDateTime_DATE_GET_HOUR(p);
        minute = PyDateTime_DATE_GET_MINUTE(p);
        second = PyDateTime_DATE_GET_SECOND(p);
        nanosecond = PyDateTime_DATE_GET_MICROSECOND(p) * ns_per_us;
        if (PyDateTime_DATE_GET_TZINFO(p) != Py_None) {
            nb::object offset = value.attr("utcoffset")();
            if (!offset.is_none()) {
                PyObject *o = offset.ptr();
                nanosecond -= (static_cast<int64_t>(PyDateTime_DELTA_GET_DAYS(o)) * 86'400 +
                               PyDateTime_DELTA_GET_SECONDS(o)) * ns_per_second +
                              PyDateTime_DELTA_GET_MICROSECONDS(o) * ns_per_us;
            }
        }
    }
    if (ns_from_civil(PyDateTime_GET_YEAR(p), PyDateTime_GET_MONTH(p), PyDateTime_GET_DAY(p), hour, minute,
                      second, nanosecond, ns) != Convert::ok)
        raise_out_of_range("date", value);
    return ns;
}

// The unit of a datetime64 dtype, e.g. ("s", 10) for datetime64[10s].
void read_datetime64_unit(nb::handle value, nb::handle dtype, Datetime64Unit &unit, int64_t &multiplier) {
    nb::object data = g.datetime_data(dtype);
    multiplier = nb::cast<int64_t>(data[1]);
    if (!parse_datetime64_unit(nb::str(data[0]).c_str(), unit)) {
        PyErr_Format(PyExc_ValueError, "%.200U has no time unit", message_repr(value).ptr());
        throw nb::python_error();
    }
}

// Raises the error of a failed datetime64 conversion of `value`.
void check_datetime64(Convert status, nb::handle value) {
    if (status == Convert::invalid) {
        PyErr_Format(PyExc_ValueError, "%.200U is not an instant", message_repr(value).ptr());
        throw nb::python_error();
    }
    if (status == Convert::out_of_range)
        raise_out_of_range("date", value);
}

int64_t ns_from_datetime64_scalar(nb::handle value) {
    nb::object count = value.attr("view")(g.int64_dtype);
    const int64_t steps = nb::cast<int64_t>(nb::int_(count));
    if (steps == datetime64_nat)
        check_datetime64(Convert::invalid, value);
    Datetime64Unit unit;
    int64_t multiplier = 1, ns = 0;
    read_datetime64_unit(value, value.attr("dtype"), unit, multiplier);
    check_datetime64(ns_from_datetime64(steps, unit, multiplier, ns), value);
    return ns;
}

// ---------------------------------------------------------------------------
// One instant from any scalar input.

int64_t scalar_ns(nb::handle value, Format format, bool format_given) {
    PyObject *p = value.ptr();
    const bool integer = is_integer(p);
    if (format != Format::count) {
        if (PyFloat_Check(p))
            return ns_from_number(PyFloat_AS_DOUBLE(p), format);
        if (integer || is_float(p)) {
            const double number = PyFloat_AsDouble(p);
            if (number == -1.0 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError))
                    throw nb::python_error();
                PyErr_Clear();
                raise_out_of_range(number_name(format), value);
            }
            return ns_from_number(number, format);
        }
    } else {
        if (integer)
            return count_from_integer(value);
        if (is_float(p))
            raise_float_without_format(Py_TYPE(p)->tp_name);
    }
    const Time *time = time_instance(value);
    const bool datetime64 = PyObject_TypeCheck(p, (PyTypeObject *)g.datetime64.ptr());
    if (!(time && !time->is_array()) && !PyUnicode_Check(p) && !PyDate_Check(p) && !datetime64)
        raise_cannot_convert(Py_TYPE(p)->tp_name, "Time");
    if (format_given)
        raise_format_misuse(format, Py_TYPE(p)->tp_name);
    if (time)
        return time->scalar();
    if (PyDate_Check(p))
        return ns_from_date(value);
    if (datetime64)
        return ns_from_datetime64_scalar(value);
    Py_ssize_t length = 0;
    const char *text = PyUnicode_AsUTF8AndSize(p, &length);
    if (!text)
        throw nb::python_error();
    int64_t ns = 0;
    const Convert status = parse_iso(std::string_view(text, static_cast<size_t>(length)), ns);
    if (status == Convert::out_of_range)
        raise_out_of_range("date", value);
    if (status != Convert::ok) {
        PyErr_Format(PyExc_ValueError, "%.200R is not an ISO 8601 date", p);
        throw nb::python_error();
    }
    return ns;
}

// ---------------------------------------------------------------------------
// Array-valued inputs.

using Int64View = nb::ndarray<const int64_t, nb::ndim<1>, nb::device::cpu>;
using Float64View = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;

bool is_ndarray(nb::handle value) {
    return PyObject_TypeCheck(value.ptr(), (PyTypeObject *)g.ndarray.ptr());
}

Time time_from_array(nb::handle array, Format format, bool format_given);

// The typed views below read elements aligned to their type at whole-element
// strides. A 1-D array that is not like that (a field of a record array, a
// view at a byte offset into a buffer) is copied into a new, contiguous one.
nb::object addressable(nb::object array) {
    const Py_ssize_t itemsize = nb::cast<Py_ssize_t>(array.attr("itemsize"));
    const Py_ssize_t stride = nb::cast<Py_ssize_t>(array.attr("strides")[0]);
    if (itemsize == 0 || (nb::cast<bool>(array.attr("flags").attr("aligned")) && stride % itemsize == 0))
        return array;
    return array.attr("copy")();
}

Time time_from_sequence(nb::handle sequence, Format format, bool format_given) {
    // A tuple snapshot: converting an item may run Python code (tzinfo) that
    // could otherwise resize a list under us.
    nb::tuple items = nb::tuple(sequence);
    const size_t size = items.size();
    int64_t *data = nullptr;
    nb::object counts = new_counts(size, data);
    for (size_t i = 0; i < size; ++i) {
        nb::handle item = items[i];
        const Time *time = time_instance(item);
        if (is_ndarray(item)) {
            if (nb::cast<int>(item.attr("ndim")) != 0)
                raise_not_one_dimensional(nb::make_tuple(size, item.attr("shape")));
            data[i] = scalar_ns(item[nb::tuple()], format, format_given);
        } else if (PyList_Check(item.ptr()) || PyTuple_Check(item.ptr()) || (time && time->is_array())) {
            raise_not_one_dimensional(nb::make_tuple(size, nb::len(item)));
        } else {
            data[i] = scalar_ns(item, format, format_given);
        }
    }
    return Time(std::move(counts), data, size);
}

Time time_from_array(nb::handle array, Format format, bool format_given) {
    const int ndim = nb::cast<int>(array.attr("ndim"));
    if (ndim == 0)
        return Time(scalar_ns(array[nb::tuple()], format, format_given));
    if (ndim != 1)
        raise_not_one_dimensional(array.attr("shape"));
    nb::object source = nb::borrow(array);
    nb::object dtype = source.attr("dtype");
    if (!nb::cast<bool>(dtype.attr("isnative"))) {
        dtype = dtype.attr("newbyteorder")("=");
        source = source.attr("astype")(dtype);
    }
    const char kind = nb::str(dtype.attr("kind")).c_str()[0];
    if (kind == 'O' || kind == 'U')
        return time_from_sequence(source.attr("tolist")(), format, format_given);
    source = addressable(std::move(source));
    const size_t size = nb::cast<size_t>(source.attr("size"));
    int64_t *data = nullptr;
    nb::object counts = new_counts(size, data);

    if (kind == 'M') {
        if (format_given)
            raise_format_misuse(format, "datetime64 arrays");
        Datetime64Unit unit;
        int64_t multiplier = 1;
        read_datetime64_unit(source, dtype, unit, multiplier);
        Int64View view = nb::cast<Int64View>(source.attr("view")(g.int64_dtype));
        for (size_t i = 0; i < size; ++i)
            if (Convert status = ns_from_datetime64(view(i), unit, multiplier, data[i]); status != Convert::ok)
                check_datetime64(status, source[nb::int_(i)]);
    } else if ((kind == 'i' || kind == 'u') && format == Format::count) {
        if (kind == 'u' && size > 0) {
            nb::object largest = source.attr("max")();
            if (nb::int_(largest) > nb::int_(max_ns))
                raise_out_of_range("count", largest);
        }
        Int64View view = nb::cast<Int64View>(source.attr("astype")(g.int64_dtype, "copy"_a = false));
        const int64_t *first = view.data();
        const int64_t stride = view.stride(0);
        bool has_nat = false;  // the one int64 that is not an instant
        for (size_t i = 0; i < size; ++i) {
            data[i] = first[static_cast<int64_t>(i) * stride];
            has_nat |= data[i] == datetime64_nat;
        }
        if (has_nat)
            raise_out_of_range("count", nb::int_(datetime64_nat));
    } else if (kind == 'i' || kind == 'u' || kind == 'f') {
        if (format == Format::count)
            raise_float_without_format("float array");
        Float64View view = nb::cast<Float64View>(source.attr("astype")(g.float64_dtype, "copy"_a = false));
        for (size_t i = 0; i < size; ++i)
            data[i] = ns_from_number(view(i), format);
    } else {
        PyErr_Format(PyExc_TypeError, "Cannot convert an array of %.200S to Time", dtype.ptr());
        throw nb::python_error();
    }
    return Time(std::move(counts), data, size);
}

// The attribute `name` of `value`, or an invalid object when it has none.
nb::object optional_attr(nb::handle value, const char *name) {
    PyObject *result = nullptr;
    if (PyObject_GetOptionalAttrString(value.ptr(), name, &result) < 0)
        throw nb::python_error();
    return nb::steal(result);
}

// Instants of other libraries, through what they expose, with no import of
// theirs: skyfield's Time its UTC datetimes (aware, to the microsecond);
// astropy's Time the datetime64 values of its UTC scale; pandas' Timestamp,
// DatetimeIndex and Series (any object with a datetime64 dtype) their
// datetime64 values, taken to UTC when they carry a time zone. An invalid
// object for anything else.
nb::object exposed_instants(nb::handle value) {
    if (nb::object utc_datetime = optional_attr(value, "utc_datetime"); utc_datetime.is_valid())
        return utc_datetime();
    if (nb::object utc = optional_attr(value, "utc"); utc.is_valid())
        if (nb::object datetime64 = optional_attr(utc, "datetime64"); datetime64.is_valid())
            return datetime64;
    nb::object dtype = optional_attr(value, "dtype");
    if (!dtype.is_valid() || !nb::hasattr(value, "to_numpy"))
        return {};
    nb::object kind = optional_attr(dtype, "kind");
    if (!kind.is_valid() || !PyUnicode_Check(kind.ptr()) || PyUnicode_CompareWithASCIIString(kind.ptr(), "M") != 0)
        return {};
    nb::object zone = optional_attr(dtype, "tz");
    if (zone.is_valid() && !zone.is_none()) {
        // In a datetime64 dtype of its own unit, a zoned pandas array gives its instants in UTC.
        nb::object unit = dtype.attr("unit");
        return value.attr("to_numpy")("dtype"_a = nb::str("datetime64[{}]").attr("format")(unit));
    }
    return value.attr("to_numpy")();
}

Time make_time(nb::handle value, nb::handle format_name) {
    bool format_given = false;
    const Format format = read_format(format_name, format_given);
    PyObject *p = value.ptr();
    if (const Time *time = time_instance(value)) {
        if (format_given)
            raise_format_misuse(format, "Time");
        return *time;  // immutable, so the counts are shared
    }
    if (PyList_Check(p) || PyTuple_Check(p))
        return time_from_sequence(value, format, format_given);
    if (is_ndarray(value))
        return time_from_array(value, format, format_given);
    // The types Time reads itself come first; others only when they expose instants.
    if (!PyUnicode_Check(p) && !PyDate_Check(p) && !is_integer(p) && !is_float(p) &&
        !PyObject_TypeCheck(p, (PyTypeObject *)g.datetime64.ptr())) {
        if (nb::object exposed = exposed_instants(value); exposed.is_valid()) {
            if (format_given)
                raise_format_misuse(format, Py_TYPE(p)->tp_name);
            if (is_ndarray(exposed))
                return time_from_array(exposed, format, false);
            return Time(scalar_ns(exposed, format, false));
        }
    }
    return Time(scalar_ns(value, format, format_given));
}

// The system clock's instant, to its resolution.
Time now() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return Time(static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count()));
}

// ---------------------------------------------------------------------------
// Output.

std::string iso_text(int64_t ns) {
    char text[32];
    std::string result(text, format_iso(ns, 9, text));
    return result + "Z";
}

// "['2024-01-01T00:00:00.000000000Z', ...]", long arrays summarised as NumPy does.
std::string iso_list(const Time &time) {
    const size_t size = time.size(), edge = 3;
    const bool summarise = size > 1000;
    std::string text = "[";
    for (size_t i = 0; i < size; ++i) {
        if (summarise && i == edge) {
            text += "..., ";
            i = size - edge;
        }
        text += "'" + iso_text(time.data()[i]) + "'";
        if (i + 1 < size)
            text += ", ";
    }
    return text + "]";
}

// A float64 array computed from each count.
template <typename Function> nb::object float_array(const Time &time, Function convert) {
    const size_t size = time.size();
    double *buffer = new double[size ? size : 1];
    nb::capsule owner(buffer, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    for (size_t i = 0; i < size; ++i)
        buffer[i] = convert(time.data()[i]);
    return nb::ndarray<nb::numpy, double, nb::ndim<1>>(buffer, {size}, owner).cast();
}

template <typename Function> nb::object float_attribute(const Time &time, Function convert) {
    if (time.is_array())
        return float_array(time, convert);
    return nb::float_(convert(time.scalar()));
}

// The `utc` value: an instant shown as ISO 8601 text to the microsecond.
struct UTC {
    int64_t ns;
    std::string text() const {
        char buffer[32];
        std::string result(buffer, format_iso(ns, 6, buffer));
        return result + "Z";
    }
};

nb::object make_utc(int64_t ns) { return nb::cast(UTC{ns}); }

// Iterates an array-valued Time, one scalar Time per count.
struct TimeIterator {
    nb::object time;
    size_t index = 0;
};

bool compare_counts(int64_t a, int64_t b, int op) {
    switch (op) {
    case Py_EQ: return a == b;
    case Py_NE: return a != b;
    case Py_LT: return a < b;
    case Py_LE: return a <= b;
    case Py_GT: return a > b;
    default: return a >= b;
    }
}

// Instants compared; array-valued operands elementwise through NumPy.
nb::object compare(const Time &self, nb::handle other, int op) {
    const Time *right = time_instance(other);
    if (!right)
        return nb::borrow(Py_NotImplemented);
    if (!self.is_array() && !right->is_array())
        return nb::bool_(compare_counts(self.scalar(), right->scalar(), op));
    auto operand = [](const Time &t) -> nb::object {
        return t.is_array() ? t.counts() : nb::object(nb::int_(t.scalar()));
    };
    return nb::steal(PyObject_RichCompare(operand(self).ptr(), operand(*right).ptr(), op));
}

const Time &require_array(const Time &self, const char *operation) {
    if (!self.is_array()) {
        PyErr_Format(PyExc_TypeError, "cannot %s a scalar Time", operation);
        throw nb::python_error();
    }
    return self;
}

nb::object item(const Time &self, nb::handle key) {
    require_array(self, "index");
    if (PyLong_Check(key.ptr()) && !PyBool_Check(key.ptr())) {
        Py_ssize_t index = PyLong_AsSsize_t(key.ptr());
        if (index == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            throw nb::index_error("Time index out of range");
        }
        const Py_ssize_t size = static_cast<Py_ssize_t>(self.size());
        if (index < 0)
            index += size;
        if (index < 0 || index >= size)
            throw nb::index_error("Time index out of range");
        return wrap(Time(self.data()[index]));
    }
    // Slices, masks and index arrays: NumPy selects the counts.
    nb::object selected = self.counts()[key];
    if (!is_ndarray(selected))
        return wrap(Time(nb::cast<int64_t>(nb::int_(selected))));
    return wrap(time_from_array(selected, Format::count, false));
}

const char *time_doc = R"(An instant or a one-dimensional array of instants, in UTC.

Stored as int64 nanoseconds since 1970-01-01T00:00:00 UTC with days of
86,400 s (POSIX time, NumPy's datetime64[ns]); the range is what fits in that
count, 1677-09-21 to 2262-04-11 (the smallest count is NumPy's NaT and is
refused). Time objects are immutable.

Time(value, format=None) accepts:

- a Time (a new object for the same instants);
- ISO 8601 text: "2024", "2024-03", "2024-03-05", "2024-03-05T12",
  "2024-03-05T12:00", "2024-03-05T12:00:07.25" ("T" or a blank between date
  and time), in UTC or with a trailing "Z"; a time of day may instead carry
  an offset from UTC, "2024-03-05T13:00+01:00" (also "-05:30", "+0100",
  "+01"); a year alone means January 1, 00:00;
- datetime.datetime (naive taken as UTC, aware converted to UTC) and
  datetime.date;
- numpy.datetime64, scalar or array, any unit;
- an integer (Python or NumPy) or a 1-D integer array: the count itself
  (format None or "int64");
- a number or numeric array with format "jd" (Julian date), "mjd" (modified
  Julian date) or "unix" (seconds), rounded to the nearest nanosecond;
- a list or tuple of any of these scalars, giving an array-valued Time;
- pandas' Timestamp, DatetimeIndex and datetime Series (naive taken as UTC,
  with a time zone converted to UTC), astropy's Time (its UTC scale) and
  skyfield's Time (its UTC, to the microsecond).

NaT and other missing instants raise ValueError. Time.now() is the current
instant.

Text that is not a date and instants out of range raise ValueError; other
types raise TypeError.

Attributes: int64 (the count, ns), jd and mjd (days), unix (s), datetime64,
utc, shape and size. Comparisons order instants (elementwise for arrays);
an array-valued Time supports len(), indexing and iteration.

Example:

>>> from astrokite.time.time import Time
>>> t = Time("2024-03-20T03:06:00")
>>> t.jd                                  # days
2460389.629166667
>>> t.int64                               # ns since 1970
1710903960000000000
>>> Time(2460389.5, format="jd")
Time('2024-03-20T00:00:00.000000000Z')
>>> Time(["2024-03-20", "2024-03-21T12:00"]).mjd
array([60389. , 60390.5])
>>> t < Time("2024-03-21")
True)";

}  // namespace

NB_MODULE(time, m) {
    astrokite::args::LoadOnce once(m);
    m.doc() = "The package's time type: instants as int64 nanoseconds since 1970 in UTC.";
    // nanobind's exit report counts every instance still alive when its state
    // is torn down, including Time objects that third-party state (test
    // parameters, caches) keeps past module teardown; it would cry wolf. Leaks
    // are checked by measuring memory in the test suite instead.
    nb::set_leak_warnings(false);
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw nb::python_error();
    nb::module_ numpy = nb::module_::import_("numpy");
    g.jd = astrokite::args::interned("jd");
    g.mjd = astrokite::args::interned("mjd");
    g.unix = astrokite::args::interned("unix");
    g.int64 = astrokite::args::interned("int64");
    if (!g.jd || !g.mjd || !g.unix || !g.int64)
        throw nb::python_error();
    g.ndarray = keep(numpy.attr("ndarray"));
    g.datetime64 = keep(numpy.attr("datetime64"));
    g.integer = keep(numpy.attr("integer"));
    g.floating = keep(numpy.attr("floating"));
    g.int64_dtype = keep(numpy.attr("dtype")("int64"));
    g.float64_dtype = keep(numpy.attr("dtype")("float64"));
    g.datetime_data = keep(numpy.attr("datetime_data"));
    g.empty = keep(numpy.attr("empty"));

    nb::class_<UTC>(m, "UTC", "An instant in UTC shown as ISO 8601 text to the microsecond, e.g. "
                              "2023-01-01T06:28:40.541088Z.")
        .def("__repr__", &UTC::text)
        .def("__str__", &UTC::text)
        .def("__eq__", [](const UTC &self, const UTC &other) { return self.ns == other.ns; }, nb::is_operator(),
             nb::sig("def __eq__(self, other: object, /) -> bool"))
        .def("__hash__", [](const UTC &self) { return nb::hash(nb::int_(self.ns)); });

    nb::class_<TimeIterator>(m, "TimeIterator", "Iterator over the instants of an array-valued Time.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); }, nb::sig("def __iter__(self) -> TimeIterator"))
        .def("__next__", [](TimeIterator &self) {
            const Time &time = *nb::inst_ptr<Time>(self.time);
            if (self.index >= time.size())
                throw nb::stop_iteration();
            return wrap(Time(time.data()[self.index++]));
        }, nb::sig("def __next__(self) -> Time"));

    nb::class_<Time>(m, "Time", time_doc)
        .def(
            "__init__",
            [](Time *self, nb::handle value, nb::handle format) {
                // Julian dates are the hot path of element-set epochs.
                if (format.ptr() == g.jd && PyFloat_CheckExact(value.ptr())) {
                    new (self) Time(ns_from_number(PyFloat_AS_DOUBLE(value.ptr()), Format::jd));
                    return;
                }
                new (self) Time(make_time(value, format));
            },
            "value"_a, "format"_a = nb::none(),
            nb::sig("def __init__(self, value: astrokite.typing.DatetimeLike, "
                    "format: typing.Literal['int64', 'jd', 'mjd', 'unix'] | None = None) -> None"))
        .def_static("now", &now,
                    "Time.now() -> Time\n\nThe current instant from the system clock (UTC).\n\n"
                    ">>> from astrokite.time.time import Time\n"
                    ">>> Time.now() > Time(\"2024-01-01\")\nTrue")
        .def_prop_ro(
            "int64",
            [](const Time &self) -> nb::object {
                return self.is_array() ? self.counts() : nb::object(nb::int_(self.scalar()));
            },
            nb::sig("def int64(self, /) -> int | numpy.typing.NDArray[numpy.int64]"),
            "Time.int64: int | numpy.ndarray\n\nNanoseconds since 1970-01-01T00:00:00 UTC; for an "
            "array-valued Time the stored read-only int64 array itself (no copy).")
        .def_prop_ro(
            "jd", [](const Time &self) { return float_attribute(self, jd_from_ns); },
            nb::sig("def jd(self, /) -> float | numpy.typing.NDArray[numpy.float64]"),
            "Time.jd: float | numpy.ndarray\n\nJulian date (UTC).")
        .def_prop_ro(
            "mjd", [](const Time &self) { return float_attribute(self, mjd_from_ns); },
            nb::sig("def mjd(self, /) -> float | numpy.typing.NDArray[numpy.float64]"),
            "Time.mjd: float | numpy.ndarray\n\nModified Julian date (UTC), JD - 2400000.5.")
        .def_prop_ro(
            "unix", [](const Time &self) { return float_attribute(self, unix_from_ns); },
            nb::sig("def unix(self, /) -> float | numpy.typing.NDArray[numpy.float64]"),
            "Time.unix: float | numpy.ndarray\n\nSeconds since 1970-01-01T00:00:00 UTC.")
        .def_prop_ro(
            "datetime64",
            [](const Time &self) -> nb::object {
                if (self.is_array())
                    return self.counts().attr("view")("datetime64[ns]");
                return g.datetime64(nb::int_(self.scalar()), "ns");
            },
            nb::sig("def datetime64(self, /) -> numpy.datetime64 | numpy.typing.NDArray[numpy.datetime64]"),
            "Time.datetime64: numpy.datetime64 | numpy.ndarray\n\nThe instants as datetime64[ns] (a "
            "read-only view for an array-valued Time).")
        .def_prop_ro(
            "utc",
            [](const Time &self) -> nb::object {
                if (!self.is_array())
                    return make_utc(self.scalar());
                nb::list values;
                for (size_t i = 0; i < self.size(); ++i)
                    values.append(make_utc(self.data()[i]));
                nb::object array = g.empty(self.size(), "object");
                array[nb::slice(nb::none(), nb::none(), nb::none())] = values;
                return array;
            },
            nb::sig("def utc(self, /) -> UTC | numpy.typing.NDArray[numpy.object_]"),
            "Time.utc: UTC | numpy.ndarray\n\nThe instant as a UTC value whose text is ISO 8601 to the "
            "microsecond with a trailing Z; an object array of them for an array-valued Time.")
        .def_prop_ro(
            "shape",
            [](const Time &self) {
                return self.is_array() ? nb::make_tuple(self.size()) : nb::tuple();
            }, nb::sig("def shape(self, /) -> tuple[()] | tuple[int]"),
            "Time.shape: tuple\n\n() or (n,).")
        .def_prop_ro(
            "size", [](const Time &self) { return self.size(); }, "Time.size: int\n\nNumber of instants.")
        .def("__len__", [](const Time &self) { return require_array(self, "take len() of").size(); })
        .def("__bool__", [](const Time &self) { return self.size() != 0; })
        .def("__getitem__", &item, "key"_a,
             nb::sig("def __getitem__(self, key: int | slice | numpy.typing.NDArray[numpy.bool_] | "
                     "numpy.typing.NDArray[numpy.integer]) -> Time"))
        .def("__iter__",
             [](nb::pointer_and_handle<Time> self) {
                 require_array(*self.p, "iterate over");
                 return TimeIterator{nb::borrow(self.h)};
             })
        .def("__eq__", [](const Time &a, nb::handle b) { return compare(a, b, Py_EQ); }, nb::is_operator())
        .def("__ne__", [](const Time &a, nb::handle b) { return compare(a, b, Py_NE); }, nb::is_operator())
        .def("__lt__", [](const Time &a, nb::handle b) { return compare(a, b, Py_LT); }, nb::is_operator(),
             nb::sig("def __lt__(self, other: Time, /) -> bool | numpy.typing.NDArray[numpy.bool_]"))
        .def("__le__", [](const Time &a, nb::handle b) { return compare(a, b, Py_LE); }, nb::is_operator(),
             nb::sig("def __le__(self, other: Time, /) -> bool | numpy.typing.NDArray[numpy.bool_]"))
        .def("__gt__", [](const Time &a, nb::handle b) { return compare(a, b, Py_GT); }, nb::is_operator(),
             nb::sig("def __gt__(self, other: Time, /) -> bool | numpy.typing.NDArray[numpy.bool_]"))
        .def("__ge__", [](const Time &a, nb::handle b) { return compare(a, b, Py_GE); }, nb::is_operator(),
             nb::sig("def __ge__(self, other: Time, /) -> bool | numpy.typing.NDArray[numpy.bool_]"))
        .def("__hash__",
             [](const Time &self) {
                 if (self.is_array())
                     throw nb::type_error("unhashable type: array-valued Time");
                 return nb::hash(nb::int_(self.scalar()));
             })
        .def("__reduce__",
             [](nb::pointer_and_handle<Time> self) {
                 const Time &time = *self.p;
                 nb::object counts = time.is_array() ? time.counts() : nb::object(nb::int_(time.scalar()));
                 return nb::make_tuple(self.h.type(), nb::make_tuple(counts));
             },
             nb::sig("def __reduce__(self) -> tuple[type[Time], tuple[int | numpy.typing.NDArray[numpy.int64]]]"))
        .def("__repr__", [](const Time &self) {
            if (self.is_array())
                return "Time(" + iso_list(self) + ")";
            return "Time('" + iso_text(self.scalar()) + "')";
        })
        .def("__str__", [](const Time &self) {
            return self.is_array() ? iso_list(self) : iso_text(self.scalar());
        });

    time_type();  // caches the type for the fast paths above
}
