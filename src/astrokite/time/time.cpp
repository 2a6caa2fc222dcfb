// Python bindings of Time: its attributes, comparisons and indexing, and the
// module. Python values are read in time_reading.cpp; the arithmetic lives in
// calendar.hpp.
#include <Python.h>

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

using namespace astrokite::time::reading;

namespace {

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
    import_datetime();
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
