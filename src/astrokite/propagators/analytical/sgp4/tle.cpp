// The life cycle of TLE objects: construction (argument binding, the epoch
// through Time, the derived elements with the constants of Earth), garbage
// collection, deallocation and the binding of the type, which refuses to be
// pickled. Its attributes are in tle_properties.cpp, its text form in
// tle_text.cpp; line scanning lives in tle_lines.hpp, the element conversions
// in coe.hpp.
//
// Construction is a native tp_new: the record is built in the new object,
// which is marked ready only once it is complete, so a failure leaves nothing
// behind, and the call costs little more than the parsing itself. The objects
// are allocated and freed here rather than by nanobind, so that they stay out
// of its per-instance registry (a TLE is never looked up from its C++ address).
#include "astrokite/propagators/analytical/sgp4/tle.hpp"
#include "astrokite/propagators/analytical/sgp4/tle_type.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "astrokite/common/args.hpp"
#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/state/coe.hpp"
#include "astrokite/time/time.hpp"

namespace nb = nanobind;

namespace astrokite {

tle_type::Services tle_type::services;
using tle_type::services;

namespace {

// ---------------------------------------------------------------------------
// Construction

// The UTF-8 form of the first 69 characters of a line, which normalisation
// stores (a lone surrogate among them raises UnicodeEncodeError, as
// str.encode does). `holder` keeps a cut copy of a longer line alive.
std::string_view line_utf8(nb::handle line, nb::object &holder) {
    PyObject *text = line.ptr();
    if (text == Py_None) {
        PyErr_SetString(PyExc_TypeError, "descriptor 'ljust' for 'str' objects doesn't apply to a 'NoneType' object");
        args::throw_pending();
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text), kept = tle_lines::line_length;
    if (PyUnicode_IS_ASCII(text))
        return {static_cast<const char *>(PyUnicode_DATA(text)), static_cast<size_t>(std::min(length, kept))};
    if (length > kept) {
        holder = nb::steal(PyUnicode_Substring(text, 0, kept));
        if (!holder.is_valid())
            args::throw_pending();
        text = holder.ptr();
    }
    Py_ssize_t size = 0;
    const char *bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (!bytes)
        args::throw_pending();
    return {bytes, static_cast<size_t>(size)};
}

// The number of characters of a line, trailing blanks left out: the stored
// line keeps 69 of them, so strict validation learns of a longer one here.
std::size_t trimmed_length(nb::handle line) {
    PyObject *text = line.ptr();
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    while (length > 0 && PyUnicode_READ(kind, data, length - 1) == ' ')
        --length;
    return static_cast<std::size_t>(length);
}

double to_double(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr()))
        return PyFloat_AS_DOUBLE(value.ptr());
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred())
        args::throw_pending();
    return result;
}

// A float found on the Earth class, and the class's version tag then.
struct FoundConstant {
    unsigned int version_tag = 0;
    double value = 0;
};
FoundConstant found_gm, found_re;

// Earth.GM or Earth.Re, read anew on every use. When Earth is a class whose
// metaclass is type itself, type.__getattribute__ finds nothing on type or
// object under these names and returns what Earth's own MRO holds, through
// the interpreter's type cache; a float found there is the value. The
// interpreter gives the class a new version tag whenever an attribute of it
// or of a base changes, so while the tag is the one under which the float was
// found, the lookup would find that float again. Anything else (another
// metaclass, a descriptor, a number of another type) takes the general
// attribute lookup. The check of the tag is inlined where the constants are
// used; the lookups are not.
[[gnu::noinline]] double look_up_earth_constant(nb::handle name, FoundConstant &found) {
    PyObject *earth = services.earth.ptr();
    if (Py_IS_TYPE(earth, &PyType_Type)) {
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(earth);
        PyObject *value = _PyType_Lookup(type, name.ptr());
        if (value && PyFloat_CheckExact(value)) {
            found = {type->tp_version_tag, PyFloat_AS_DOUBLE(value)};
            return found.value;
        }
    }
    return to_double(services.earth.attr(name));
}

inline double earth_constant(nb::handle name, FoundConstant &found) {
    PyObject *earth = services.earth.ptr();
    if (Py_IS_TYPE(earth, &PyType_Type)) {
        const unsigned int tag = reinterpret_cast<PyTypeObject *>(earth)->tp_version_tag;
        if (tag != 0 && tag == found.version_tag)
            return found.value;
    }
    return look_up_earth_constant(name, found);
}

// The epoch: the Julian date of 1 January of `year`, minus 1, plus `day`. With
// our native Time, its count, with the arithmetic and errors of
// Time(jd, format="jd"); the Time itself is made on first read.
// Julian dates of 1 January of the years a two-digit year names, 1957 to
// 2056, made once: they cost a calendar conversion and a division each.
constexpr int first_line_year = 1957;

double line_year_start_jd(int year) {
    static const std::array<double, 100> starts = [] {
        std::array<double, 100> jds{};
        for (int i = 0; i < 100; ++i)
            jds[i] = time::year_start_jd(first_line_year + i);
        return jds;
    }();
    const unsigned index = static_cast<unsigned>(year - first_line_year);
    return index < starts.size() ? starts[index] : time::year_start_jd(year);
}

void set_epoch(TLE &tle, int year, double day) {
    const double jd = line_year_start_jd(year) - 1.0 + day;
    const time::Convert status = time::ns_from_jd(jd, tle.epoch_ns);
    if (status != time::Convert::ok)
        time::raise_number_error(status, "Julian date", jd);
}

// Any other Time type gets the Python calls, at construction.
nb::object make_python_epoch(int year, double day) {
    char year_text[16];
    std::snprintf(year_text, sizeof year_text, "%d", year);
    nb::object year_start = services.time_type(nb::str(year_text)).attr(services.jd);
    nb::object jd = year_start - nb::float_(1.0) + nb::float_(day);
    return services.time_type(jd, nb::arg("format") = "jd");
}

void read_stored_lines(TLE &tle, const tle_lines::LineStore &text1, std::size_t length1,
                       const tle_lines::LineStore &text2, std::size_t length2);

void build(TLE &tle, nb::handle line1, nb::handle line2, nb::handle strict_validation) {
    const int strict = PyObject_IsTrue(strict_validation.ptr());
    if (strict < 0)
        args::throw_pending();
    args::require_exact_type(line1, &PyUnicode_Type, "line1", true);
    args::require_exact_type(line2, &PyUnicode_Type, "line2", true);

    nb::object holder1, holder2;
    const std::string_view utf8_1 = line_utf8(line1, holder1), utf8_2 = line_utf8(line2, holder2);
    const std::size_t length1 = tle_lines::normalise(utf8_1, tle.line1);
    const std::size_t length2 = tle_lines::normalise(utf8_2, tle.line2);
    if (strict) {
        const std::string fault =
            tle_lines::find_fault(tle.line1, tle.line2, trimmed_length(line1), trimmed_length(line2));
        if (!fault.empty()) {
            PyErr_SetString(PyExc_ValueError, fault.c_str());
            args::throw_pending();
        }
    }

    read_stored_lines(tle, tle_lines::text_to_read(utf8_1, tle.line1, length1), length1,
                      tle_lines::text_to_read(utf8_2, tle.line2, length2), length2);
}

// Everything after the lines are stored: the epoch and the elements, read
// from `text1` and `text2`, the stored lines or the same text elsewhere (see
// tle_lines::text_to_read).
void read_stored_lines(TLE &tle, const tle_lines::LineStore &text1, std::size_t length1,
                       const tle_lines::LineStore &text2, std::size_t length2) {
    const tle_lines::LineEpoch first = tle_lines::parse_epoch(text1, length1);
    if (services.native_time)
        set_epoch(tle, first.year, first.day);
    else
        tle.epoch = make_python_epoch(first.year, first.day);

    const tle_lines::Line2Fields second = tle_lines::parse_line2(text2, length2);
    tle.inc = second.inc;
    tle.raa = second.raa;
    tle.ecc = second.ecc;
    tle.arp = second.arp;
    tle.mea = second.mea;
    tle.mnm = second.mnm;

    tle.sma = coe::c_sma_from_mnm(tle.mnm, earth_constant(services.gm, found_gm));
    tle.orp = coe::c_orp_from_sma(tle.sma, earth_constant(services.gm, found_gm));
    tle.eca = coe::c_eca_from_mea(tle.mea, tle.ecc);
    tle.tra = coe::c_tra_from_eca(tle.eca, tle.ecc);
    tle.pge = coe::c_pge_from_sma_ecc(tle.sma, tle.ecc, earth_constant(services.re, found_re));
    tle.apg = coe::c_apg_from_sma_ecc(tle.sma, tle.ecc, earth_constant(services.re, found_re));
}

constexpr const char *constructor_name = "__cinit__";

PyObject **dict_slot(PyObject *self) {
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + Py_TYPE(self)->tp_dictoffset);
}

// A new, unready instance of `type`. One of exactly TLE starts untracked by
// the garbage collector: until it is given an attribute or an epoch of another
// Time type, it refers to nothing that could lead back to it (see
// track_before_attributes). Python subclasses are always tracked: they may
// hold references of their own.
nb::object allocate(PyTypeObject *type) {
    if (!services.header_size) {
        nb::object self = nb::inst_alloc(reinterpret_cast<PyObject *>(type));
        if (self.is_valid() && type == services.tle_type)
            PyObject_GC_UnTrack(self.ptr());
        return self;
    }
    PyObject *self;
    if (type == services.tle_type) {
        self = PyObject_GC_New(PyObject, type);
        if (self)
            *dict_slot(self) = nullptr;
    } else {
        self = type->tp_alloc(type, 0);
    }
    if (self)
        std::memcpy(reinterpret_cast<char *>(self) + sizeof(PyObject), services.header, sizeof services.header);
    return nb::steal(self);
}

// Build the record in place, by `fill`, and mark the object ready only when
// it is complete: a failure destroys the record and drops the object unready,
// so nothing is left.
template <typename Fill>
nb::object construct_with(PyTypeObject *type, Fill &&fill) {
    nb::object self = allocate(type);
    if (!self.is_valid())
        args::throw_pending();
    char *object = reinterpret_cast<char *>(self.ptr());
    TLE *tle = new (services.header_size ? object + services.record_offset : nb::inst_ptr<void>(self)) TLE();
    try {
        fill(*tle);
    } catch (...) {
        tle->~TLE();
        throw;
    }
    if (services.header_size)
        std::memcpy(object + sizeof(PyObject), services.ready_header, sizeof services.ready_header);
    else
        nb::inst_mark_ready(self);
    // An epoch of another Time type may lead anywhere: the collector follows it.
    if (tle->epoch.is_valid() && !PyObject_GC_IsTracked(self.ptr()))
        PyObject_GC_Track(self.ptr());
    return self;
}

// Frees what allocate() made: the instance dictionary, the record when it was
// built, the memory, and the reference to the type every instance holds.
// Python subclasses reach it from their own deallocator.
void tle_dealloc(PyObject *self) {
    if (!services.header_size)
        return services.nanobind_dealloc(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(*dict_slot(self));
    if (nb::inst_ready(self))
        nb::inst_ptr<TLE>(self)->~TLE();
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject *construct(PyTypeObject *type, nb::handle line1, nb::handle line2, nb::handle strict_validation) {
    return construct_with(type, [&](TLE &tle) { build(tle, line1, line2, strict_validation); }).release().ptr();
}

PyObject *tle_new(PyTypeObject *type, PyObject *call_args, PyObject *kwargs) {
    try {
        static const char *const names[] = {"line1", "line2", "strict_validation"};
        nb::object values[] = {nb::none(), nb::none(), nb::bool_(false)};
        args::bind_arguments(constructor_name, nb::borrow<nb::args>(call_args),
                             kwargs ? nb::borrow<nb::kwargs>(kwargs) : nb::kwargs(), names, 2, values);
        return construct(type, values[0], values[1], values[2]);
    } catch (...) {
        args::restore_as_python_error();
        return nullptr;
    }
}

// Calls of TLE itself (not of a Python subclass) come here without a tuple of
// arguments being built; keywords take the general route of tp_new.
PyObject *tle_vectorcall(PyObject *type, PyObject *const *call_args, size_t nargsf, PyObject *kwnames) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (kwnames || given < 2 || given > 3) {
        nb::object positional = nb::steal(PyTuple_New(given));
        if (!positional.is_valid())
            return nullptr;
        for (Py_ssize_t i = 0; i < given; ++i)
            PyTuple_SET_ITEM(positional.ptr(), i, Py_NewRef(call_args[i]));
        nb::object keywords;
        if (kwnames) {
            keywords = nb::steal(PyDict_New());
            if (!keywords.is_valid())
                return nullptr;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
                if (PyDict_SetItem(keywords.ptr(), PyTuple_GET_ITEM(kwnames, i), call_args[given + i]) < 0)
                    return nullptr;
        }
        return tle_new(reinterpret_cast<PyTypeObject *>(type), positional.ptr(), keywords.ptr());
    }
    try {
        return construct(reinterpret_cast<PyTypeObject *>(type), call_args[0], call_args[1],
                         given == 3 ? nb::handle(call_args[2]) : nb::handle(Py_False));
    } catch (...) {
        args::restore_as_python_error();
        return nullptr;
    }
}

// All the work is done in tp_new; __init__ accepts whatever reached it, so that
// a subclass may call super().__init__(line1, line2).
int tle_init(PyObject *, PyObject *, PyObject *) { return 0; }

// ---------------------------------------------------------------------------
// Garbage collection: the base part (instance dictionary), then the epoch.

int tle_traverse(PyObject *self, visitproc visit, void *arg) {
    if (int status = representable_traverse(self, visit, arg))
        return status;
    if (nb::inst_ready(self))
        Py_VISIT(nb::inst_ptr<TLE>(self)->epoch.ptr());
    return 0;
}

int tle_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        nb::object old = std::move(nb::inst_ptr<TLE>(self)->epoch);  // released after the field reads None
        nb::inst_ptr<TLE>(self)->epoch = nb::none();
    }
    return representable_clear(self);
}

// The instance dictionary is the one way a TLE comes to hold arbitrary
// objects, so the collector takes it up again before one is made or changed:
// through attribute assignment and through __dict__. (Python subclasses are
// never untracked: they may hold references of their own.)
void track_before_attributes(PyObject *self) {
    if (!PyObject_GC_IsTracked(self))
        PyObject_GC_Track(self);
}

int tle_setattro(PyObject *self, PyObject *name, PyObject *value) {
    track_before_attributes(self);
    return PyObject_GenericSetAttr(self, name, value);
}

}  // namespace

PyObject *tle_type::get_dict(PyObject *self, void *context) {
    track_before_attributes(self);
    return PyObject_GenericGetDict(self, context);
}

int tle_type::set_dict(PyObject *self, PyObject *value, void *context) {
    track_before_attributes(self);
    return PyObject_GenericSetDict(self, value, context);
}

namespace {

// ---------------------------------------------------------------------------
// The type

// Type slot 82 is Py_tp_vectorcall from Python 3.14 on; nanobind accepts it on
// every version and installs the function as the type's vectorcall.
#ifndef Py_tp_vectorcall
#define Py_tp_vectorcall 82
#endif

PyType_Slot tle_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(tle_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(tle_dealloc)},
    {Py_tp_vectorcall, reinterpret_cast<void *>(tle_vectorcall)},
    {Py_tp_init, reinterpret_cast<void *>(tle_init)},
    {Py_tp_traverse, reinterpret_cast<void *>(tle_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(tle_clear)},
    {Py_tp_setattro, reinterpret_cast<void *>(tle_setattro)},
    {Py_tp_getset, tle_type::properties},
    {Py_tp_methods, tle_type::methods},
    {0, nullptr},
};

constexpr const char *tle_doc =
    "TLE(line1, line2, strict_validation=False)\n"
    "\n"
    "One two-line element set of an Earth satellite, read once at construction\n"
    "and immutable afterwards (attributes of your own may be added).\n"
    "\n"
    "Both lines are stored as their first 69 characters, blank-filled when\n"
    "shorter; line1 and line2 give them back. Fields are read by column as the C\n"
    "library's atoi and atof read them, so a blank or non-numeric field reads as\n"
    "0 and nothing is checked. With strict_validation true, lines that depart\n"
    "from the published format (line numbers, lengths, the characters of each\n"
    "field, checksums, differing satellite numbers, an epoch day outside its\n"
    "year, a mean motion of 0) raise ValueError naming the line, the columns and\n"
    "the problem.\n"
    "\n"
    "Line 1 gives satno (int, or the text when it is not a decimal number) and\n"
    "epoch, a Time (UTC) made from the year and day of the year through their\n"
    "Julian date: within about 20 us of the instant the text writes.\n"
    "\n"
    "Elements, in SI units:\n"
    "    inc, raa, arp, mea  inclination, right ascension of the ascending node,\n"
    "                        argument of perigee, mean anomaly [rad]\n"
    "    ecc                 eccentricity\n"
    "    mnm                 mean motion [rad/s]\n"
    "    sma                 semi-major axis [m], from mnm and Earth.GM\n"
    "    orp                 orbital period [s]\n"
    "    eca, tra            eccentric and true anomaly [rad]\n"
    "    pge, apg            perigee and apogee altitude above Earth.Re [m]\n"
    "The rest of the line, read from the stored text when asked for:\n"
    "classification, intldes, ndot [rad/s^2], nddot [rad/s^3], bstar\n"
    "[1/Earth radii], ephtype, elnum, revnum.\n"
    "\n"
    "Example:\n"
    "    >>> tle = TLE(\"1 25544U 98067A   23001.26991367  .00015968  00000-0  28903-3 0  9993\",\n"
    "    ...           \"2 25544  51.6448  75.3411 0005204 209.5406 257.0907 15.49811030375904\")\n"
    "    >>> tle.satno, tle.intldes, round(tle.sma / 1000.0, 3)\n"
    "    (25544, '98067A', 6795.415)\n"
    "    >>> tle.epoch.utc\n"
    "    2023-01-01T06:28:40.541100Z";

// Learn the header nanobind writes into an unready instance, from one it
// allocates (and frees, while tle_dealloc still hands objects to nanobind),
// and keep it only if nanobind reads it as expected: the record right after
// the header, not ready. The ready header is what marking that instance ready
// (the record to be destroyed with it) writes; it is unmarked before it goes.
void learn_instance_header(PyTypeObject *type) {
    constexpr std::size_t header_size = sizeof services.header;
    const std::size_t record_offset = (sizeof(PyObject) + header_size + alignof(TLE) - 1) / alignof(TLE) * alignof(TLE);
    bool expected = false;
    {
        nb::object probe = nb::inst_alloc(reinterpret_cast<PyObject *>(type));
        expected = type->tp_basicsize >= static_cast<Py_ssize_t>(record_offset + sizeof(TLE)) &&
                   type->tp_dictoffset > 0 &&
                   nb::inst_ptr<void>(probe) == reinterpret_cast<char *>(probe.ptr()) + record_offset &&
                   !nb::inst_ready(probe);
        std::memcpy(services.header, reinterpret_cast<char *>(probe.ptr()) + sizeof(PyObject), header_size);
        nb::inst_mark_ready(probe);
        expected = expected && nb::inst_ready(probe);
        std::memcpy(services.ready_header, reinterpret_cast<char *>(probe.ptr()) + sizeof(PyObject), header_size);
        nb::inst_set_state(probe, false, false);
    }
    if (expected) {
        services.header_size = header_size;
        services.record_offset = record_offset;
    }
}

}  // namespace

nb::object epoch_of(TLE &tle) {
    if (!tle.epoch.is_valid())
        tle.epoch = time::wrap(time::Time(tle.epoch_ns));
    return tle.epoch;
}

nb::object tle_from_stored_lines(const char *line1, const char *line2) {
    return construct_with(services.tle_type, [&](TLE &tle) {
        std::memcpy(tle.line1, line1, tle_lines::line_length);
        std::memcpy(tle.line2, line2, tle_lines::line_length);
        // The fields are read from the sources, which hold the bytes just copied.
        const std::size_t length1 = tle_lines::stored_length(tle.line1), length2 = tle_lines::stored_length(tle.line2);
        read_stored_lines(tle, tle_lines::text_to_read({line1, tle_lines::line_length}, tle.line1, length1), length1,
                          tle_lines::text_to_read({line2, tle_lines::line_length}, tle.line2, length2), length2);
    });
}

void bind_tle(nb::module_ &m) {
    services.time_type = nb::object(m.attr("Time")).release();
    services.native_time = services.time_type.ptr() == reinterpret_cast<PyObject *>(time::time_type());
    services.earth = nb::object(m.attr("Earth")).release();
    services.teme = nb::object(m.attr("TEME")).release();
    services.gm = args::interned("GM");
    services.re = args::interned("Re");
    services.jd = args::interned("jd");
    services.utc = args::interned("utc");
    services.repr = args::interned("__repr__");
    services.name = args::interned("name");
    services.line1 = args::interned("line1");
    services.line2 = args::interned("line2");
    services.render = args::interned("render");
    services.create_form = args::interned("_create_formatted_form");
    services.create_frame = args::interned("_create_formatted_frame");
    services.format_property = args::interned("_format_as_property");

    services.nanobind_dealloc = reinterpret_cast<PyTypeObject *>(representable_type().ptr())->tp_dealloc;
    nb::class_<TLE, Representable> cls(m, "TLE", tle_doc, nb::dynamic_attr(), nb::type_slots(tle_slots));
    services.tle_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    learn_instance_header(services.tle_type);
    args::refuse_pickle(cls);
}

}  // namespace astrokite
