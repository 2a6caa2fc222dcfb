// Python values read into Time: formats, numbers, dates, NumPy datetime64,
// sequences and arrays. The arithmetic lives in calendar.hpp.
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
#include "astrokite/time/time_reading.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace astrokite::time;
using astrokite::args::raise_cannot_convert;
using astrokite::args::raise_incorrect_type;

namespace astrokite::time::reading {

static const char *format_name(Format format) {
    switch (format) {
    case Format::jd: return "jd";
    case Format::mjd: return "mjd";
    case Format::unix_seconds: return "unix";
    case Format::count: break;
    }
    return "int64";
}

static Format read_format(nb::handle format, bool &given) {
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

static const char *number_name(Format format) {
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
static int64_t count_from_integer(nb::handle value) {
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

static bool is_integer(PyObject *p) {
    return (PyLong_Check(p) && !PyBool_Check(p)) || PyObject_TypeCheck(p, (PyTypeObject *)g.integer.ptr());
}

static bool is_float(PyObject *p) {
    return PyFloat_Check(p) || PyObject_TypeCheck(p, (PyTypeObject *)g.floating.ptr());
}

// ---------------------------------------------------------------------------
// Dates and datetime64 values.

static int64_t ns_from_datetime64_scalar(nb::handle value);

static int64_t ns_from_date(nb::handle value) {
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
static void read_datetime64_unit(nb::handle value, nb::handle dtype, Datetime64Unit &unit, int64_t &multiplier) {
    nb::object data = g.datetime_data(dtype);
    multiplier = nb::cast<int64_t>(data[1]);
    if (!parse_datetime64_unit(nb::str(data[0]).c_str(), unit)) {
        PyErr_Format(PyExc_ValueError, "%.200U has no time unit", message_repr(value).ptr());
        throw nb::python_error();
    }
}

// Raises the error of a failed datetime64 conversion of `value`.
static void check_datetime64(Convert status, nb::handle value) {
    if (status == Convert::invalid) {
        PyErr_Format(PyExc_ValueError, "%.200U is not an instant", message_repr(value).ptr());
        throw nb::python_error();
    }
    if (status == Convert::out_of_range)
        raise_out_of_range("date", value);
}

static int64_t ns_from_datetime64_scalar(nb::handle value) {
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

static int64_t scalar_ns(nb::handle value, Format format, bool format_given) {
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
static nb::object addressable(nb::object array) {
    const Py_ssize_t itemsize = nb::cast<Py_ssize_t>(array.attr("itemsize"));
    const Py_ssize_t stride = nb::cast<Py_ssize_t>(array.attr("strides")[0]);
    if (itemsize == 0 || (nb::cast<bool>(array.attr("flags").attr("aligned")) && stride % itemsize == 0))
        return array;
    return array.attr("copy")();
}

static Time time_from_sequence(nb::handle sequence, Format format, bool format_given) {
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
static nb::object optional_attr(nb::handle value, const char *name) {
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
static nb::object exposed_instants(nb::handle value) {
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

void import_datetime() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw nb::python_error();
}

// The system clock's instant, to its resolution.
Time now() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return Time(static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count()));
}

}  // namespace astrokite::time::reading
