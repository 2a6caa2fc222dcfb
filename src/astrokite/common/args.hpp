// Binding helpers shared by every extension of the package: argument checks,
// imports at load, the refusal to pickle and cycle-collection slots. Each
// standard message is written here once; bindings call these helpers instead
// of formatting their own.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace astrokite::args {

namespace nb = nanobind;

// Raise the pending Python error as a C++ exception nanobind understands.
[[noreturn]] inline void throw_pending() { throw nb::python_error(); }

// The bytes of a buffer-protocol object (C-contiguous), released when it goes.
struct BufferView {
    Py_buffer view;
    explicit BufferView(nb::handle buffer) {
        if (PyObject_GetBuffer(buffer.ptr(), &view, PyBUF_C_CONTIGUOUS) < 0)
            throw_pending();
    }
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView() { PyBuffer_Release(&view); }
    const char *data() const { return static_cast<const char *>(view.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view.len); }
};

// Refuses a second initialisation of an extension in one process. An
// extension's bound types and module-level bindings exist once per process, so
// a second module object made from the same file (importlib loading it again
// after the first was dropped from sys.modules) would register its types a
// second time and leave the first module's objects without them. Declared
// first in the module's initialisation:
//
//   NB_MODULE(name, m) { args::LoadOnce once(m); ... }
//
// Every module object of one extension shares its module definition, which
// identifies the extension. It counts as loaded once an initialisation has
// returned normally; one that failed (a sibling module missing, say) may be
// tried again.
class LoadOnce {
public:
    explicit LoadOnce(nb::handle module)
        : definition_(PyModule_GetDef(module.ptr())), exceptions_(std::uncaught_exceptions()) {
        const std::vector<const PyModuleDef *> &done = loaded();
        if (std::find(done.begin(), done.end(), definition_) == done.end())
            return;
        const char *name = PyModule_GetName(module.ptr());
        if (!name)
            throw_pending();
        // nanobind raises a C++ import_error as this very ImportError, where a
        // pending Python error would be chained under a generic one.
        throw nb::import_error((std::string(name) + " cannot be initialised twice in one process").c_str());
    }
    ~LoadOnce() {
        if (std::uncaught_exceptions() == exceptions_)
            loaded().push_back(definition_);
    }
    LoadOnce(const LoadOnce &) = delete;
    LoadOnce &operator=(const LoadOnce &) = delete;

private:
    static std::vector<const PyModuleDef *> &loaded() {
        static std::vector<const PyModuleDef *> definitions;
        return definitions;
    }
    const PyModuleDef *definition_;
    int exceptions_;
};

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

// Accept `type` or a subclass of it, or None when `none_ok`. The expected type
// is named in full ("package.module.Name"), also when it is a Python class.
inline void require_instance(nb::handle value, PyTypeObject *type, const char *argument,
                             bool none_ok = false) {
    if (PyObject_TypeCheck(value.ptr(), type) || (none_ok && value.is_none()))
        return;
    nb::object full_name = nb::steal(PyType_GetFullyQualifiedName(type));
    if (!full_name.is_valid())
        throw_pending();
    raise_incorrect_type(argument, PyUnicode_AsUTF8(full_name.ptr()), value.ptr());
}

// An integer argument that also takes any other number, converted as int()
// converts it (a fraction truncated toward zero); text and other objects that
// are not numbers are refused with the standard message.
inline long long integer_argument(nb::handle value, const char *argument) {
    PyNumberMethods *number = Py_TYPE(value.ptr())->tp_as_number;
    if (!PyLong_Check(value.ptr()) && !(number && (number->nb_index || number->nb_int)))
        raise_incorrect_type(argument, "int", value.ptr());
    nb::object integer = nb::steal(PyNumber_Long(value.ptr()));
    if (!integer.is_valid())
        throw_pending();
    long long result = PyLong_AsLongLong(integer.ptr());
    if (result == -1 && PyErr_Occurred())
        throw_pending();
    return result;
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

// Bind a call's positional and keyword arguments to the parameters `names` as a
// Python function would. The first `required` parameters must be given; the
// others keep the defaults already in `values`. A wrong count gets the standard
// message (a missing required parameter counts as too few positional
// arguments), keyword faults the interpreter's wording.
template <std::size_t N>
void bind_arguments(const char *function, const nb::args &args, const nb::kwargs &kwargs,
                    const char *const (&names)[N], std::size_t required, nb::object (&values)[N]) {
    const Py_ssize_t given = static_cast<Py_ssize_t>(args.size());
    const Py_ssize_t at_most = static_cast<Py_ssize_t>(N), at_least = static_cast<Py_ssize_t>(required);
    if (given > at_most)
        raise_positional_count(function, at_least == at_most ? "exactly" : "at most", at_most, given);
    bool bound[N] = {};
    for (Py_ssize_t i = 0; i < given; ++i) {
        values[i] = args[i];
        bound[i] = true;
    }
    for (auto [key, value] : kwargs) {
        std::size_t i = 0;
        while (i < N && PyUnicode_CompareWithASCIIString(key.ptr(), names[i]) != 0)
            ++i;
        if (i == N) {
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%S'", function,
                         key.ptr());
            throw_pending();
        }
        if (bound[i]) {
            PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for argument '%s'", function,
                         names[i]);
            throw_pending();
        }
        values[i] = nb::borrow(value);
        bound[i] = true;
    }
    for (std::size_t i = 0; i < required; ++i)
        if (!bound[i])
            raise_positional_count(function, at_least == at_most ? "exactly" : "at least", at_least, given);
}

// Make the writable property `name` of `cls` refuse deletion with
// NotImplementedError "__del__", keeping its getter, setter and docstring.
inline void refuse_delete(nb::handle cls, const char *name) {
    nb::object refuse = nb::cpp_function([](nb::handle) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        throw_pending();
    });
    nb::object property = cls.attr("__dict__")[name];
    nb::setattr(cls, name, property.attr("deleter")(refuse));
}

// Turn a C++ exception escaping a CPython slot (call it in a catch (...)
// block) into the pending Python error.
inline void restore_as_python_error() {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
}

// An interned string kept for the life of the process, for attribute names
// looked up on hot paths.
inline PyObject *interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw_pending();
    return name;
}

// `from module import name`: a missing module or name fails with ImportError.
inline nb::object import_name(const char *module, const char *name) {
    nb::module_ source = nb::module_::import_(module);
    PyObject *value = PyObject_GetAttrString(source.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw_pending();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        throw_pending();
    }
    return nb::steal(value);
}

// A type bound at import by module and attribute name; a missing name or one
// that is not a type fails the import with ImportError.
inline nb::object import_type(const char *module, const char *name) {
    nb::object type = import_name(module, name);
    if (!PyType_Check(type.ptr())) {
        PyErr_Format(PyExc_ImportError, "%s.%s is not a type", module, name);
        throw_pending();
    }
    return type;
}

// import_name and import_type for module-level bindings kept for the life of
// the process: static destructors run after the interpreter is gone, so these
// references are never released.
inline nb::handle import_name_for_process(const char *module, const char *name) {
    return import_name(module, name).release();
}
inline PyTypeObject *import_type_for_process(const char *module, const char *name) {
    return reinterpret_cast<PyTypeObject *>(import_type(module, name).release().ptr());
}

// "Cannot convert numpy.float64 to numpy.ndarray"
[[noreturn]] inline void raise_cannot_convert(const char *from, const char *to) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", from, to);
    throw_pending();
}

inline constexpr const char *pickle_refused_message =
    "no default __reduce__ due to non-trivial __cinit__";

// Refuse pickling and copying: both protocol entry points raise TypeError,
// whatever they are called with (None and no state included), so that no call
// of them can get past the refusal with another error.
template <typename Class> void refuse_pickle(Class &cls) {
    auto refuse = [](nb::handle, const nb::args &, const nb::kwargs &) -> nb::object {
        throw nb::type_error(pickle_refused_message);
    };
    constexpr const char *doc = "Refused: these objects cannot be pickled or copied (TypeError).";
    cls.def("__reduce__", refuse, doc, nb::sig("def __reduce__(self, *args: object, **kwargs: object) -> typing.NoReturn"));
    cls.def("__setstate__", refuse, doc,
            nb::sig("def __setstate__(self, *args: object, **kwargs: object) -> typing.NoReturn"));
}

// Type slots of a native type `T` that holds Python objects only, with the
// members `Members` able to form reference cycles.
//
// __new__ makes the instance complete, every member in its default state
// (None), so that one made without __init__ (by __new__ alone, or by a
// subclass whose __init__ skips the base one) reads None rather than failing;
// __init__ then fills the members.
//
// Cycle collection: traversal visits the heap type and the members; clearing
// sets each member to None and releases the old value only then, so code run
// by that release never sees a dangling member.
template <typename T> PyObject *new_with_defaults(PyTypeObject *type, PyObject *, PyObject *) {
    try {
        nb::object self = nb::inst_alloc(reinterpret_cast<PyObject *>(type));
        new (nb::inst_ptr<T>(self)) T();
        nb::inst_mark_ready(self);
        return self.release().ptr();
    } catch (...) {
        restore_as_python_error();
        return nullptr;
    }
}

// The C++ part of the receiver of a method bound with an untyped `self`, as
// an __init__ that fills a complete instance must be (nanobind would take a
// typed one for a constructor of an unbuilt instance). Anything but an instance
// of `T` is refused, as CPython refuses a method descriptor of another type.
template <typename T> T &receiver(nb::handle self, const char *method) {
    if (!nb::isinstance<T>(self) || !nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%.200s' requires a '%.200s' object but received a '%.200s'",
                     method, reinterpret_cast<PyTypeObject *>(nb::type<T>().ptr())->tp_name,
                     Py_TYPE(self.ptr())->tp_name);
        throw_pending();
    }
    return *nb::inst_ptr<T>(self);
}

// An instance whose members are not built yet (one of a type that builds in
// __init__, or the moment between allocation and construction) is skipped.
template <typename T, nb::object T::*... Members>
int traverse_members(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    T *instance = nb::inst_ptr<T>(self);
    for (nb::object *member : {&(instance->*Members)...})
        Py_VISIT(member->ptr());
    return 0;
}

template <typename T, nb::object T::*... Members> int clear_members(PyObject *self) {
    if (!nb::inst_ready(self))
        return 0;
    T *instance = nb::inst_ptr<T>(self);
    for (nb::object *member : {&(instance->*Members)...}) {
        nb::object old = std::move(*member);
        *member = nb::none();
    }
    return 0;
}

// Cycle collection alone, for a type that builds its instances itself.
template <typename T, nb::object T::*... Members>
inline PyType_Slot gc_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(traverse_members<T, Members...>)},
    {Py_tp_clear, reinterpret_cast<void *>(clear_members<T, Members...>)},
    {0, nullptr},
};

template <typename T, nb::object T::*... Members>
inline PyType_Slot object_holder_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(new_with_defaults<T>)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse_members<T, Members...>)},
    {Py_tp_clear, reinterpret_cast<void *>(clear_members<T, Members...>)},
    {0, nullptr},
};

}  // namespace astrokite::args
