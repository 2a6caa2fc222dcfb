// The text forms of TLE: the header and body of its box (which str and repr
// show through Representable) and its HTML form for notebooks.
#include <Python.h>

#include <utility>

#include "astrokite/common/args.hpp"
#include "astrokite/propagators/analytical/sgp4/tle_type.hpp"
#include "astrokite/units/units.hpp"

namespace nb = nanobind;

namespace astrokite::tle_type {
namespace {

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

}  // namespace

PyMethodDef methods[] = {
    {"_get_header", get_header, METH_NOARGS, "TLE._get_header(self) -> str"},
    {"_get_body", get_body, METH_NOARGS, "TLE._get_body(self) -> str"},
    {"_repr_html_", repr_html, METH_NOARGS, "TLE._repr_html_(self) -> str\n\nThe element set as HTML, for notebooks."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace astrokite::tle_type
