// The attributes of TLE: the lines, the satellite number, the epoch and the
// elements kept in the record, and the fields read again from the line text
// when asked for. Plain CPython descriptors, which carry exactly their
// documentation texts.
#include <Python.h>

#include <string>
#include <string_view>

#include "astrokite/common/args.hpp"
#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/propagators/analytical/sgp4/tle_type.hpp"

namespace nb = nanobind;

namespace astrokite::tle_type {
namespace {

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

}  // namespace

PyGetSetDef properties[] = {
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

}  // namespace astrokite::tle_type
