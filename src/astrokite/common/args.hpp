// Argument checks shared by every extension of the package. Each standard
// message is written here once; bindings call these helpers instead of
// formatting their own.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>

namespace astrokite::args {

namespace nb = nanobind;

// Raise the pending Python error as a C++ exception nanobind understands.
[[noreturn]] inline void throw_pending() { throw nb::python_error(); }

// "Argument 'x' has incorrect type (expected str, got bytes)"
[[noreturn]] inline void raise_incorrect_type(const char *argument, const char *expected,
                                              PyObject *got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argument, expected, Py_TYPE(got)->tp_name);
    throw_pending();
}

// Accept exactly `type` (no subclass), or None when `none_ok`.
inline void require_exact_type(nb::handle value, PyTypeObject *type, const char *argument,
                               bool none_ok = false) {
    if (Py_IS_TYPE(value.ptr(), type) || (none_ok && value.is_none()))
        return;
    raise_incorrect_type(argument, type->tp_name, value.ptr());
}

// Accept `type` or a subclass of it.
inline void require_instance(nb::handle value, PyTypeObject *type, const char *argument) {
    int ok = PyObject_TypeCheck(value.ptr(), type);
    if (!ok)
        raise_incorrect_type(argument, type->tp_name, value.ptr());
}

// "f() takes at least 2 positional arguments (1 given)"; `bound` is "exactly",
// "at least" or "at most".
[[noreturn]] inline void raise_positional_count(const char *function, const char *bound,
                                                Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function, bound, expected, expected == 1 ? "" : "s", given);
    throw_pending();
}

// Check a positional count against [at_least, at_most].
inline void check_positional_count(const char *function, Py_ssize_t given, Py_ssize_t at_least,
                                   Py_ssize_t at_most) {
    if (given < at_least)
        raise_positional_count(function, at_least == at_most ? "exactly" : "at least", at_least, given);
    if (given > at_most)
        raise_positional_count(function, at_least == at_most ? "exactly" : "at most", at_most, given);
}

// "Cannot convert numpy.float64 to numpy.ndarray"
[[noreturn]] inline void raise_cannot_convert(const char *from, const char *to) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", from, to);
    throw_pending();
}

inline constexpr const char *pickle_refused_message =
    "no default __reduce__ due to non-trivial __cinit__";

// Refuse pickling and copying: both protocol entry points raise TypeError.
template <typename Class> void refuse_pickle(Class &cls) {
    cls.def("__reduce__", [](nb::handle) -> nb::object {
        throw nb::type_error(pickle_refused_message);
    });
    cls.def("__setstate__", [](nb::handle, nb::handle) -> nb::object {
        throw nb::type_error(pickle_refused_message);
    });
}

}  // namespace astrokite::args
