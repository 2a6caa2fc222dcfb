// Python binding of TLE: argument binding, the epoch through Time, the derived
// elements with the constants of Earth, read-only properties and the text body.
// Line scanning lives in tle_lines.hpp, the element conversions in coe.hpp.
//
// Construction is a native tp_new: the record is built in the new object,
// which is marked ready only once it is complete, so a failure leaves nothing
// behind, and the call costs little more than the parsing itself. The objects
// are allocated and freed here rather than by nanobind, so that they stay out
// of its per-instance registry (a TLE is never looked up from its C++ address).
// Properties and the two text methods are plain CPython descriptors, which
// carry exactly their documentation texts.
#include "astrokite/propagators/analytical/sgp4/tle.hpp"

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
#include "astrokite/units/units.hpp"

namespace nb = nanobind;

namespace astrokite {
namespace {

// What construction and rendering look up, bound at import and held for the
// life of the process (static destructors would run after the interpreter).
struct Services {
    PyTypeObject *tle_type = nullptr;
    // The words nanobind writes after the object header of an unready instance
    // (offset of the record and state), copied into each object allocated
    // here, and those of a ready one, copied in once the record is built;
    // zero-sized when nanobind's layout is not the expected one, and nanobind
    // allocates and marks instead. The record lies at record_offset.
    std::size_t header_size = 0;
    unsigned char header[8] = {}, ready_header[8] = {};
    std::size_t record_offset = 0;
    destructor nanobind_dealloc = nullptr;
    nb::handle time_type;  // Time as the time module exports it
    bool native_time = false;  // ... and it is our own native Time
    nb::handle earth, teme;
    nb::handle gm, re, jd, utc, repr, name, line1, line2, render;  // interned attribute names
    nb::handle create_form, create_frame, format_property;
};
Services services;

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

PyObject *get_dict(PyObject *self, void *context) {
    track_before_attributes(self);
    return PyObject_GenericGetDict(self, context);
}

int set_dict(PyObject *self, PyObject *value, void *context) {
    track_before_attributes(self);
    return PyObject_GenericSetDict(self, value, context);
}

// ---------------------------------------------------------------------------
// Properties

// The record of a TLE; an instance whose record was never built (one made
// without running the constructor) raises instead of exposing garbage.
const TLE *record(PyObject *self) {
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "%.200s object is not initialised", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return nb::inst_ptr<TLE>(self);
}

// The stored bytes as text; a character cut by the 69-byte store, or any other
// invalid byte, reads as U+FFFD.
PyObject *decode(const char *bytes, size_t size) {
    return PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(size), "replace");
}

template <tle_lines::LineStore TLE::*Line>
PyObject *get_line(PyObject *self, void *) {
    const TLE *tle = record(self);
    return tle ? decode(tle->*Line, tle_lines::line_length) : nullptr;
}

// The satellite number field, stripped, as an int when int() takes it, else as
// the stripped text.
PyObject *get_satno(PyObject *self, void *) {
    const TLE *tle = record(self);
    if (!tle)
        return nullptr;
    const std::string_view field = satno_field(*tle);
    nb::object text = nb::steal(decode(field.data(), field.size()));
    if (!text.is_valid())
        return nullptr;
    nb::object stripped = nb::steal(PyObject_CallMethod(text.ptr(), "strip", nullptr));
    if (!stripped.is_valid())
        return nullptr;
    PyObject *number = PyLong_FromUnicodeObject(stripped.ptr(), 10);
    if (number || !PyErr_ExceptionMatches(PyExc_ValueError))
        return number;
    PyErr_Clear();
    return stripped.release().ptr();
}

PyObject *get_epoch(PyObject *self, void *) {
    const TLE *tle = record(self);
    if (!tle)
        return nullptr;
    try {
        return epoch_of(*const_cast<TLE *>(tle)).release().ptr();
    } catch (...) {
        args::restore_as_python_error();
        return nullptr;
    }
}

template <double TLE::*Element>
PyObject *get_element(PyObject *self, void *) {
    const TLE *tle = record(self);
    return tle ? PyFloat_FromDouble(tle->*Element) : nullptr;
}

// The fields a TLE keeps only in its line text, read again on each access so
// that the object does not grow: the same tolerant reading as construction.
tle_lines::ElementSet element_set(const TLE &tle) {
    return tle_lines::parse_element_set(tle.line1, tle.line2);
}

template <double tle_lines::ElementSet::*Field>
PyObject *get_line_real(PyObject *self, void *) {
    const TLE *tle = record(self);
    return tle ? PyFloat_FromDouble(element_set(*tle).*Field) : nullptr;
}

template <int tle_lines::ElementSet::*Field>
PyObject *get_line_int(PyObject *self, void *) {
    const TLE *tle = record(self);
    return tle ? PyLong_FromLong(element_set(*tle).*Field) : nullptr;
}

PyObject *get_classification(PyObject *self, void *) {
    const TLE *tle = record(self);
    if (!tle)
        return nullptr;
    const char classification = element_set(*tle).classification;
    return decode(&classification, classification ? 1 : 0);
}

PyObject *get_intldes(PyObject *self, void *) {
    const TLE *tle = record(self);
    if (!tle)
        return nullptr;
    const tle_lines::ElementSet set = element_set(*tle);
    std::string_view text(set.intldes, std::char_traits<char>::length(set.intldes));
    const std::size_t first = text.find_first_not_of(' ');
    text = first == std::string_view::npos ? std::string_view() : text.substr(first, text.find_last_not_of(' ') + 1 - first);
    return decode(text.data(), text.size());
}

PyGetSetDef tle_properties[] = {
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"line1", get_line<&TLE::line1>, nullptr, "TLE.line1: str", nullptr},
    {"line2", get_line<&TLE::line2>, nullptr, "TLE.line2: str", nullptr},
    {"satno", get_satno, nullptr, "TLE.satno: int | str", nullptr},
    {"epoch", get_epoch, nullptr, nullptr, nullptr},
    {"inc", get_element<&TLE::inc>, nullptr, nullptr, nullptr},
    {"raa", get_element<&TLE::raa>, nullptr, nullptr, nullptr},
    {"ecc", get_element<&TLE::ecc>, nullptr, nullptr, nullptr},
    {"mea", get_element<&TLE::mea>, nullptr, nullptr, nullptr},
    {"arp", get_element<&TLE::arp>, nullptr, nullptr, nullptr},
    {"mnm", get_element<&TLE::mnm>, nullptr, nullptr, nullptr},
    {"sma", get_element<&TLE::sma>, nullptr, nullptr, nullptr},
    {"orp", get_element<&TLE::orp>, nullptr, nullptr, nullptr},
    {"eca", get_element<&TLE::eca>, nullptr, nullptr, nullptr},
    {"tra", get_element<&TLE::tra>, nullptr, nullptr, nullptr},
    {"pge", get_element<&TLE::pge>, nullptr, nullptr, nullptr},
    {"apg", get_element<&TLE::apg>, nullptr, nullptr, nullptr},
    {"classification", get_classification, nullptr,
     "TLE.classification: str\n\nSecurity classification, column 8 of line 1 (U for unclassified).", nullptr},
    {"intldes", get_intldes, nullptr,
     "TLE.intldes: str\n\nInternational designator, columns 10-17 of line 1 (launch year, launch number\n"
     "and piece, as in 98067A), blanks at either end removed.", nullptr},
    {"ndot", get_line_real<&tle_lines::ElementSet::ndot>, nullptr,
     "TLE.ndot: float\n\nFirst derivative of the mean motion [rad/s^2]: twice columns 34-43 of line 1,\n"
     "which hold ndot/2 in rev/day^2.", nullptr},
    {"nddot", get_line_real<&tle_lines::ElementSet::nddot>, nullptr,
     "TLE.nddot: float\n\nSecond derivative of the mean motion [rad/s^3]: six times columns 45-52 of\n"
     "line 1, which hold nddot/6 in rev/day^3 with an implied point and a power of ten.", nullptr},
    {"bstar", get_line_real<&tle_lines::ElementSet::bstar>, nullptr,
     "TLE.bstar: float\n\nSGP4 drag term B* [1/Earth radii], columns 54-61 of line 1, with an implied\n"
     "point and a power of ten (\" 28903-3\" is 0.28903e-3).", nullptr},
    {"ephtype", get_line_int<&tle_lines::ElementSet::ephtype>, nullptr,
     "TLE.ephtype: int\n\nEphemeris type, column 63 of line 1 (0 for the element sets SGP4 reads).", nullptr},
    {"elnum", get_line_int<&tle_lines::ElementSet::elnum>, nullptr,
     "TLE.elnum: int\n\nElement set number, columns 65-68 of line 1.", nullptr},
    {"revnum", get_line_int<&tle_lines::ElementSet::revnum>, nullptr,
     "TLE.revnum: int\n\nRevolution number at epoch, columns 64-68 of line 2.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Text form

// Text inserted into the body is filled once more as a template when the box
// is assembled: its braces are doubled so that they print as they stand.
nb::object double_braces(nb::handle text) {
    nb::object result = nb::steal(PyObject_Str(text.ptr()));
    if (!result.is_valid())
        args::throw_pending();
    static nb::handle open = args::interned("{"), open2 = args::interned("{{");
    static nb::handle close = args::interned("}"), close2 = args::interned("}}");
    for (auto [from, to] : {std::pair{open, open2}, std::pair{close, close2}}) {
        result = nb::steal(PyUnicode_Replace(result.ptr(), from.ptr(), to.ptr(), -1));
        if (!result.is_valid())
            args::throw_pending();
    }
    return result;
}

// One cell: the value (divided by the display unit) in fixed point, as
// format(value, ".Nf") writes it, and the unit label.
nb::object cell(double value, int decimals, const char *label) {
    char *digits = PyOS_double_to_string(value, 'f', decimals, 0, nullptr);
    if (!digits)
        args::throw_pending();
    PyObject *text = PyUnicode_FromFormat("%s%s", digits, label);
    PyMem_Free(digits);
    if (!text)
        args::throw_pending();
    return nb::steal(text);
}

struct ElementRow {
    const char *key;
    double TLE::*element;
    int decimals;
    const char *si_label;
    double display_unit;
    const char *display_label;
};

constexpr double rev_per_day = units::rev / units::day;

constexpr ElementRow orbital_rows[] = {
    {"ecc", &TLE::ecc, 5, "", 1.0, ""},
    {"sma", &TLE::sma, 3, " m", units::km, " km"},
    {"inc", &TLE::inc, 3, " rad", units::deg, " deg"},
    {"raa", &TLE::raa, 3, " rad", units::deg, " deg"},
    {"arp", &TLE::arp, 3, " rad", units::deg, " deg"},
    {"tra", &TLE::tra, 3, " rad", units::deg, " deg"},
};

constexpr ElementRow derived_rows[] = {
    {"orp", &TLE::orp, 3, " s", units::hour, " hour"},
    {"mnm", &TLE::mnm, 3, " rad/s", rev_per_day, " rev/day"},
    {"mea", &TLE::mea, 3, " rad", units::deg, " deg"},
    {"eca", &TLE::eca, 3, " rad", units::deg, " deg"},
    {"pge", &TLE::pge, 3, " m", units::km, " km"},
    {"apg", &TLE::apg, 3, " m", units::km, " km"},
};

// {"SI units": {key: cell}, "Op. units": {key: cell}} for one group of rows.
nb::dict element_table(const TLE &tle, const ElementRow (&rows)[6]) {
    nb::dict si, display;
    for (const ElementRow &row : rows) {
        const double value = tle.*row.element;
        si[row.key] = cell(value, row.decimals, row.si_label);
        display[row.key] = cell(value / row.display_unit, row.decimals, row.display_label);
    }
    nb::dict table;
    table["SI units"] = si;
    table["Op. units"] = display;
    return table;
}

nb::object call_on(nb::handle self, nb::handle method, nb::handle argument) {
    return self.attr(method)(argument);
}

PyObject *get_header(PyObject *, PyObject *) { return PyUnicode_FromString("Two-line Elements (TLE)"); }

PyObject *get_body(PyObject *self_ptr, PyObject *) {
    try {
        const TLE *tle = record(self_ptr);
        if (!tle)
            return nullptr;
        nb::handle self(self_ptr);

        nb::object epoch_text = epoch_of(*const_cast<TLE *>(tle)).attr(services.utc).attr(services.repr)();
        nb::dict form_data;
        form_data["epoch"] = double_braces(epoch_text);
        form_data["frame"] = double_braces(services.teme.attr(services.name));
        nb::object form = call_on(self, services.create_form, form_data);
        nb::object frame_coe = call_on(self, services.create_frame, element_table(*tle, orbital_rows));
        nb::object frame_der = call_on(self, services.create_frame, element_table(*tle, derived_rows));
        // The lines through their properties, which a subclass may override.
        nb::object line1 = self.attr(services.line1), line2 = self.attr(services.line2);
        nb::object caption_coe = call_on(self, services.format_property, nb::str("Orbital Elements:"));
        nb::object caption_der = call_on(self, services.format_property, nb::str("Derived Elements:"));

        const nb::str newline("\n"), fence("\n{fence}\n");
        nb::list parts;
        for (const nb::object &part : {double_braces(line1), nb::object(newline), double_braces(line2),
                                       nb::object(fence), nb::object(nb::str(form)), nb::object(fence),
                                       nb::object(nb::str(caption_coe)), nb::object(newline),
                                       nb::object(nb::str(frame_coe)), nb::object(fence),
                                       nb::object(nb::str(caption_der)), nb::object(newline),
                                       nb::object(nb::str(frame_der))})
            parts.append(part);
        return PyUnicode_Join(nb::str("").ptr(), parts.ptr());
    } catch (...) {
        args::restore_as_python_error();
        return nullptr;
    }
}

// The HTML form notebooks show, from astrokite.utils.html, imported on the first
// call (and found in sys.modules afterwards) so that loading tle stays light.
PyObject *repr_html(PyObject *self, PyObject *) {
    nb::object html = nb::steal(PyImport_ImportModule("astrokite.utils.html"));
    if (!html.is_valid())
        return nullptr;
    return PyObject_CallMethodOneArg(html.ptr(), services.render.ptr(), self);
}

PyMethodDef tle_methods[] = {
    {"_get_header", get_header, METH_NOARGS, "TLE._get_header(self) -> str"},
    {"_get_body", get_body, METH_NOARGS, "TLE._get_body(self) -> str"},
    {"_repr_html_", repr_html, METH_NOARGS, "TLE._repr_html_(self) -> str\n\nThe element set as HTML, for notebooks."},
    {nullptr, nullptr, 0, nullptr},
};

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
    {Py_tp_getset, tle_properties},
    {Py_tp_methods, tle_methods},
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
