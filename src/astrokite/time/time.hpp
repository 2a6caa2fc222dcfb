// C++ interface of astrokite.time.time.Time for the package's extensions.
//
// Header-only, namespace astrokite::time. Include it, import the Python module
// "astrokite.time.time" when your extension loads (time_type() also imports it
// on first use), then:
//
//   Time                         the C++ class bound as Time: a scalar count or an
//                                owned read-only 1-D int64 NumPy array of counts
//   PyTypeObject *time_type()    the Time type object (looked up once, cached)
//   bool is_time(h)              h is exactly our native Time (not a subclass)
//   const Time &get(h)           the C++ value of a native Time (TypeError if not, or
//                                if its constructor never ran)
//   nb::object as_time(value)    value itself if a native Time, else Time(value)
//   nb::object wrap(Time &&)     a new Python Time holding the value
//   nb::object from_jd(jd)       identical to Time(jd, format="jd")
//   nb::object from_ns(ns)       identical to Time(ns)
//   nb::object from_ns_array(data, n)  an array-valued Time holding a copy
//   int64_t ns(h)                the count of a scalar native Time
//   const int64_t *ns_data(h, n) the counts of a native Time, not copied (a scalar
//                                gives its one count, n = 1); valid while h lives
//   double year_start_jd(year)   == Time(f"{year:04d}").jd exactly (calendar.hpp)
//   ns_from_jd, jd_from_ns, days_from_civil, civil_from_days, ...: the pure
//   conversions of calendar.hpp, usable without Python.
//
// Sharing the type across extensions: nanobind keeps one registry of bound
// types per ABI domain in the interpreter, and every extension of this package
// is built with the same nanobind and flags, so nb::type<Time>() in another
// extension finds the class registered by astrokite.time.time (matched by the
// mangled name of astrokite::time::Time). Never bind Time a second time
// elsewhere. Instances are built with nb::inst_alloc on the cached type object,
// which skips nanobind's per-call type lookup.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "astrokite/common/args.hpp"
#include "astrokite/time/calendar.hpp"

namespace astrokite::time {

namespace nb = nanobind;

class Time {
public:
    explicit Time(int64_t ns) noexcept : scalar_(ns) {}
    // Array-valued: `counts` is an owned, read-only 1-D int64 NumPy array whose
    // contiguous buffer starts at `data` and holds `size` counts.
    Time(nb::object counts, const int64_t *data, size_t size) noexcept
        : counts_(std::move(counts)), data_(data), size_(size) {}

    bool is_array() const noexcept { return counts_.is_valid(); }
    int64_t scalar() const noexcept { return scalar_; }
    const int64_t *data() const noexcept { return is_array() ? data_ : &scalar_; }
    size_t size() const noexcept { return is_array() ? size_ : 1; }
    const nb::object &counts() const noexcept { return counts_; }

private:
    int64_t scalar_ = 0;
    nb::object counts_;
    const int64_t *data_ = nullptr;
    size_t size_ = 0;
};

inline PyTypeObject *time_type() {
    static PyTypeObject *type = nullptr;
    if (!type) {
        nb::handle found = nb::type<Time>();
        if (!found.is_valid()) {
            nb::module_::import_("astrokite.time.time");
            found = nb::type<Time>();
        }
        if (!found.is_valid())
            throw nb::import_error("astrokite.time.time did not register Time");
        type = reinterpret_cast<PyTypeObject *>(found.ptr());
    }
    return type;
}

inline bool is_time(nb::handle value) { return Py_TYPE(value.ptr()) == time_type(); }

// An instance made by Time.__new__ alone holds no value yet; reading it would
// read uninitialised memory.
[[noreturn]] inline void raise_uninitialised(nb::handle value) {
    PyErr_Format(PyExc_TypeError, "%.200s object is not initialised", Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

inline const Time &get(nb::handle value) {
    if (!is_time(value))
        args::raise_cannot_convert(Py_TYPE(value.ptr())->tp_name, "Time");
    if (!nb::inst_ready(value))
        raise_uninitialised(value);
    return *nb::inst_ptr<Time>(value);
}

inline nb::object wrap(Time &&value) {
    nb::object self = nb::inst_alloc(reinterpret_cast<PyObject *>(time_type()));
    new (nb::inst_ptr<Time>(self)) Time(std::move(value));
    nb::inst_mark_ready(self);
    return self;
}

inline nb::object as_time(nb::handle value) {
    if (is_time(value))
        return nb::borrow(value);
    return nb::handle(reinterpret_cast<PyObject *>(time_type()))(value);
}

// "1677-09-21T00:12:43.145224193Z to 2262-04-11T23:47:16.854775807Z"
inline const std::string &range_text() {
    static const std::string text = [] {
        char first[32], last[32];
        std::string result(first, format_iso(min_ns, 9, first));
        result += "Z to ";
        result.append(last, format_iso(max_ns, 9, last));
        return result + "Z";
    }();
    return text;
}

// repr(value) for an error message. NumPy cannot print a datetime64 far
// outside its own range (OverflowError), so a failing repr gives the type's
// name instead of replacing the error being reported.
inline nb::object message_repr(nb::handle value) {
    PyObject *text = PyObject_Repr(value.ptr());
    if (!text) {
        PyErr_Clear();
        text = PyUnicode_FromFormat("<%s>", Py_TYPE(value.ptr())->tp_name);
        if (!text)
            throw nb::python_error();
    }
    return nb::steal(text);
}

// "Julian date 1e+300 is outside the range of Time (... to ...)"
[[noreturn]] inline void raise_out_of_range(const char *what, nb::handle value) {
    PyErr_Format(PyExc_ValueError, "%s %.200U is outside the range of Time (%s)", what,
                 message_repr(value).ptr(), range_text().c_str());
    throw nb::python_error();
}

// The failure of a number-to-count conversion: "Julian date nan is not finite"
// or the range message.
[[noreturn]] inline void raise_number_error(Convert status, const char *what, double value) {
    nb::object number = nb::steal(PyFloat_FromDouble(value));
    if (!number.is_valid())
        throw nb::python_error();
    if (status == Convert::out_of_range)
        raise_out_of_range(what, number);
    PyErr_Format(PyExc_ValueError, "%s %.200R is not finite", what, number.ptr());
    throw nb::python_error();
}

// A new owned, read-only 1-D int64 NumPy array of `size` counts; `data` points
// at its buffer, to be filled before the array is shared.
inline nb::object new_counts(size_t size, int64_t *&data) {
    int64_t *buffer = new int64_t[size ? size : 1];
    nb::capsule owner(buffer, [](void *p) noexcept { delete[] static_cast<int64_t *>(p); });
    data = buffer;
    return nb::ndarray<nb::numpy, const int64_t, nb::ndim<1>>(buffer, {size}, owner).cast();
}

inline nb::object from_jd(double jd) {
    int64_t count = 0;
    const Convert status = ns_from_jd(jd, count);
    if (status != Convert::ok)
        raise_number_error(status, "Julian date", jd);
    return wrap(Time(count));
}

inline nb::object from_ns(int64_t count) {
    if (count < min_ns)
        raise_out_of_range("count", nb::int_(count));
    return wrap(Time(count));
}

inline nb::object from_ns_array(const int64_t *source, size_t size) {
    int64_t *data = nullptr;
    nb::object counts = new_counts(size, data);
    for (size_t i = 0; i < size; ++i) {
        if (source[i] < min_ns)
            raise_out_of_range("count", nb::int_(source[i]));
        data[i] = source[i];
    }
    return wrap(Time(std::move(counts), data, size));
}

inline int64_t ns(nb::handle time) {
    const Time &value = get(time);
    if (value.is_array())
        throw nb::value_error("expected a scalar Time, got an array-valued one");
    return value.scalar();
}

inline const int64_t *ns_data(nb::handle time, size_t &size) {
    const Time &value = get(time);
    size = value.size();
    return value.data();
}

}  // namespace astrokite::time
