// What the source files of the TLE type share: tle.cpp (its life cycle:
// construction, garbage collection, the refusal to pickle, the binding),
// tle_properties.cpp (its attributes) and tle_text.cpp (its text form).
// Internal to the tle extension.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>

#include "astrokite/propagators/analytical/sgp4/tle.hpp"

namespace astrokite::tle_type {

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
    nanobind::handle time_type;  // Time as the time module exports it
    bool native_time = false;  // ... and it is our own native Time
    nanobind::handle earth, teme;
    nanobind::handle gm, re, jd, utc, repr, name, line1, line2, render;  // interned attribute names
    nanobind::handle create_form, create_frame, format_property;
};
extern Services services;

// The record of a TLE; an instance whose record was never built (one made
// without running the constructor) raises instead of exposing garbage.
inline const TLE *record(PyObject *self) {
    if (!nanobind::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "%.200s object is not initialised", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return nanobind::inst_ptr<TLE>(self);
}

// The instance dictionary, read or replaced through __dict__ (tle.cpp: the
// garbage collector is told first).
PyObject *get_dict(PyObject *self, void *context);
int set_dict(PyObject *self, PyObject *value, void *context);

extern PyGetSetDef properties[];  // tle_properties.cpp
extern PyMethodDef methods[];     // tle_text.cpp

}  // namespace astrokite::tle_type
