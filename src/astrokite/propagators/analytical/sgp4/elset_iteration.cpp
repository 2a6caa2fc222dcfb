// Iterating an ELSET: one element set after another, the position kept in its
// attribute `index`; pairwise(), a generator of consecutive pairs with a
// position of its own; and the slots through which the garbage collector sees
// the references of an ELSET and of its table.
#include <vector>

#include "astrokite/propagators/analytical/sgp4/elset_state.hpp"

namespace astrokite::elset_detail {

// index < size; natively when self is a plain ELSET and index a plain int.
static bool before_end(nb::handle self, const ELSET &elset, nb::handle index) {
    if (is_plain_elset(self) && PyLong_CheckExact(index.ptr())) {
        int overflow = 0;
        const long long position = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (!overflow)
            return position < static_cast<long long>(size_of(elset));
    }
    nb::object size = size_attribute(self, elset);
    const int result = PyObject_RichCompareBool(index.ptr(), size.ptr(), Py_LT);
    if (result < 0)
        args::throw_pending();
    return result != 0;
}

nb::object next_element(nb::handle self, const ELSET &elset) {
    nb::object index = nb::getattr(self, bound.index);
    if (!before_end(self, elset, index))
        throw nb::stop_iteration();
    nb::object one = nb::int_(1);
    nb::setattr(self, bound.index, checked(PyNumber_Add(index.ptr(), one.ptr())));
    return item_of(self, index);
}

void finish_pairs(Pairwise &pairs) {
    nb::object elset = std::move(pairs.elset), previous = std::move(pairs.previous);
    pairs.elset = nb::none();
    pairs.previous = nb::none();
}

nb::tuple next_pair(Pairwise &pairs) {
    if (pairs.elset.is_none())
        throw nb::stop_iteration();
    try {
        if (pairs.next == 0) {
            pairs.previous = item_of(pairs.elset, nb::int_(0));
            nb::object size = nb::getattr(pairs.elset, bound.size);
            pairs.stop = PyNumber_AsSsize_t(size.ptr(), PyExc_OverflowError);
            if (pairs.stop == -1 && PyErr_Occurred())
                args::throw_pending();
            pairs.next = 1;
        }
        if (pairs.next >= pairs.stop)
            throw nb::stop_iteration();
        nb::object current = item_of(pairs.elset, nb::int_(pairs.next));
        nb::tuple pair = nb::make_tuple(pairs.previous, current);
        pairs.previous = std::move(current);
        ++pairs.next;
        return pair;
    } catch (...) {
        // Like a generator, one that ended or failed stays finished.
        finish_pairs(pairs);
        throw;
    }
}

// generator.send: a just-started generator takes only None.
nb::tuple send_pair(Pairwise &pairs, nb::handle value) {
    if (pairs.next == 0 && !pairs.elset.is_none() && !value.is_none())
        throw nb::type_error("can't send non-None value to a just-started generator");
    return next_pair(pairs);
}

// generator.throw: the exception is raised where the generator is paused,
// where nothing catches it, so it finishes the generator and propagates.
nb::object throw_into_pairs(Pairwise &pairs, nb::handle type, nb::handle value, nb::handle traceback) {
    finish_pairs(pairs);
    if (PyExceptionInstance_Check(type.ptr())) {
        if (!value.is_none())
            throw nb::type_error("instance exception may not have a separate value");
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(type.ptr())), type.ptr());
    } else if (PyExceptionClass_Check(type.ptr())) {
        PyErr_SetObject(type.ptr(), value.is_none() ? nullptr : value.ptr());
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %.200s",
                     Py_TYPE(type.ptr())->tp_name);
        args::throw_pending();
    }
    if (!traceback.is_none()) {
        PyObject *raised = PyErr_GetRaisedException();
        PyException_SetTraceback(raised, traceback.ptr());
        PyErr_SetRaisedException(raised);
    }
    args::throw_pending();
}

// ------------------------------------------------------------ garbage collector

int elset_traverse(PyObject *self, visitproc visit, void *arg) {
    if (nb::inst_ready(self)) {
        const ELSET *elset = nb::inst_ptr<ELSET>(self);
        Py_VISIT(elset->epoch.ptr());
        Py_VISIT(elset->table.ptr());
        for (const nb::object &element : elset->elements)
            Py_VISIT(element.ptr());
    }
    return representable_traverse(self, visit, arg);
}

int elset_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        ELSET *elset = nb::inst_ptr<ELSET>(self);
        nb::object epoch = std::move(elset->epoch);
        elset->epoch = nb::none();
        if (from_lines(*elset)) {
            nb::object table = std::move(elset->table);
            elset->table = nb::none();
        }
        std::vector<nb::object> released;
        released.swap(elset->elements);  // the field is empty before any element is let go
    }
    return representable_clear(self);
}

int line_table_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (nb::inst_ready(self)) {
        const LineTable *table = nb::inst_ptr<LineTable>(self);
        for (std::size_t r = 0; table->made && r < table->rows; ++r)
            Py_VISIT(table->made[r]);
        Py_VISIT(table->extras.ptr());
    }
    return 0;
}

int line_table_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        LineTable *table = nb::inst_ptr<LineTable>(self);
        table->release();
        nb::object extras = std::move(table->extras);  // the field is empty before the object goes
    }
    return 0;
}

}  // namespace astrokite::elset_detail
