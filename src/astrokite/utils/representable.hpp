// C++ side of the Representable base type (astrokite.utils.representable),
// for native types of other extensions that derive from it (TLE, ELSET).
//
// Representable has no C++ fields. Its one piece of state, the instance
// attribute dictionary, is nanobind's per-instance __dict__: the base is bound
// with nb::dynamic_attr(), so every derived type inherits the dictionary and
// the garbage-collector support that visits and clears it.
//
// What a native derived type in another extension does:
//
//   struct Mine : astrokite::Representable { nb::object held; ... };
//
//   NB_MODULE(mine, m) {
//       // Registers the base with nanobind (shared between extensions built
//       // with the same nanobind); importing it first is required.
//       nb::module_::import_("astrokite.utils.representable");
//       nb::class_<Mine, astrokite::Representable>(m, "Mine", nb::dynamic_attr(),
//                                                  nb::type_slots(mine_slots))
//           .def("_get_header", ...)   // -> str, the header line
//           .def("_get_body", ...);    // -> str, the body (literal braces doubled)
//   }
//
// - __str__ and __repr__ are inherited: do not define them.
// - The inherited __reduce__ refuses types with C++ state (TypeError); refuse
//   __setstate__ too with astrokite::args::refuse_pickle(cls).
// - A type that holds no Python references needs no slots: it inherits the
//   base's tp_traverse/tp_clear, which handle the dictionary.
// - A type that holds Python references (like Mine::held) must give both
//   Py_tp_traverse and Py_tp_clear in nb::type_slots, and these must chain to
//   the base part, which visits/clears the dictionary and visits the type:
//
//     int mine_traverse(PyObject *self, visitproc visit, void *arg) {
//         if (nb::inst_ready(self))   // C++ object may not be constructed yet
//             Py_VISIT(nb::inst_ptr<Mine>(self)->held.ptr());
//         return astrokite::representable_traverse(self, visit, arg);
//     }
//     int mine_clear(PyObject *self) {
//         if (nb::inst_ready(self))
//             nb::inst_ptr<Mine>(self)->held = nb::none();
//         return astrokite::representable_clear(self);
//     }
//     PyType_Slot mine_slots[] = {{Py_tp_traverse, (void *) mine_traverse},
//                                 {Py_tp_clear, (void *) mine_clear},
//                                 {0, nullptr}};
//
//   Do not visit Py_TYPE(self) yourself; representable_traverse does it.
// - The static helpers are reached through attribute lookup on the base type,
//   e.g. astrokite::representable_type().attr("_format_as_property")(text).
//   They are _format_as_property(text), _create_formatted_form(data, order=None,
//   min_gap=4, uppercase=False, capitalise=False, capitalize=False) and
//   _create_formatted_frame(data, columns=None, sort_values_by=None,
//   alignment=None, index=True, index_offset=1, max_colwidth=50, max_rows=30).
//   Look the callable up once per rendering, not once per use.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

namespace astrokite {

struct Representable {};

// The Python type object of Representable; the module must have been imported.
inline nanobind::handle representable_type() {
    static PyObject *type = nullptr;  // nanobind types are immortal: safe to keep
    if (!type)
        type = nanobind::type<Representable>().ptr();
    return type;
}

// Base part of a derived type's tp_traverse: the instance dictionary and the type.
inline int representable_traverse(PyObject *self, visitproc visit, void *arg) {
    return ((PyTypeObject *) representable_type().ptr())->tp_traverse(self, visit, arg);
}

// Base part of a derived type's tp_clear: drops the instance dictionary.
inline int representable_clear(PyObject *self) {
    return ((PyTypeObject *) representable_type().ptr())->tp_clear(self);
}

}  // namespace astrokite
