// ELSET: the element sets of one satellite in ascending order of epoch, with
// one float64 NumPy column per element. Read by position, positional slice,
// time window, boolean mask or array of positions; iterable one by one and
// in consecutive pairs.
//
// Methods that a Python subclass may override (the _getitem_ family, size,
// __getitem__) are reached by name; an object of exactly this type whose
// instance dictionary does not shadow them takes a native path instead.
#include "astrokite/propagators/analytical/sgp4/elset.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "astrokite/common/args.hpp"
#include "astrokite/propagators/analytical/sgp4/elset_table.hpp"
#include "astrokite/propagators/analytical/sgp4/tle.hpp"
#include "astrokite/time/time.hpp"
#include "astrokite/utils/representable.hpp"

namespace nb = nanobind;

namespace astrokite {
namespace {

using elset_table::column_count;

struct ELSET : Representable {
    nb::object epoch;                  // array-valued Time of the epochs; None once cleared
    std::int32_t satno = 0;
    std::vector<nb::object> elements;  // the TLE objects, ascending by epoch
    nb::object columns[column_count];  // float64 arrays over one buffer, order of column_names
};

// A pairwise() iteration: its own position, independent of ELSET.index.
struct Pairwise {
    nb::object elset;     // None once the iteration has ended
    nb::object previous;  // the element set of the pair to come
    Py_ssize_t next = 0;  // position of the next element set; 0 before the first pair
    Py_ssize_t stop = 0;
};

// What the bindings look up once, when the module loads.
struct Bound {
    PyTypeObject *elset = nullptr, *tle = nullptr, *ndarray = nullptr;
    Py_ssize_t dict_offset = 0;  // of the instance dictionary in an ELSET
    bool assertions = true;      // __debug__ when the module was loaded
    PyObject *integral = nullptr, *numpy_array = nullptr, *numpy_ones = nullptr;
    PyObject *sorted = nullptr, *range = nullptr;
    // interned attribute names
    PyObject *epoch = nullptr, *satno = nullptr, *int64 = nullptr, *index = nullptr, *size = nullptr;
    PyObject *satname = nullptr, *stored_satname = nullptr, *view = nullptr, *tolist = nullptr;
    PyObject *getitem_integral = nullptr, *getitem_integral_slice = nullptr, *getitem_selection = nullptr;
};
Bound bound;

const char *const tle_type_name = "astrokite.propagators.analytical.sgp4.tle.TLE";

nb::object checked(PyObject *result) {
    if (!result)
        args::throw_pending();
    return nb::steal(result);
}

bool is_plain_elset(nb::handle self) { return Py_TYPE(self.ptr()) == bound.elset; }

// The method `name` of self is ELSET's own: self is exactly an ELSET and its
// instance dictionary does not hide the method.
bool uses_own_method(nb::handle self, PyObject *name) {
    if (!is_plain_elset(self))
        return false;
    PyObject *dict = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self.ptr()) + bound.dict_offset);
    if (!dict)
        return true;
    const int found = PyDict_Contains(dict, name);
    if (found < 0)
        args::throw_pending();
    return found == 0;
}

nb::object call_method(nb::handle self, PyObject *name, nb::handle argument) {
    return checked(PyObject_CallMethodOneArg(self.ptr(), name, argument.ptr()));
}

bool is_integral(nb::handle value) {
    if (PyLong_Check(value.ptr()))
        return true;
    const int result = PyObject_IsInstance(value.ptr(), bound.integral);
    if (result < 0)
        args::throw_pending();
    return result != 0;
}

// The stored element set of a ready TLE object (or of an instance of a
// subclass), else nullptr.
const TLE *tle_of(nb::handle value) {
    if (!PyObject_TypeCheck(value.ptr(), bound.tle) || !nb::inst_ready(value))
        return nullptr;
    return nb::inst_ptr<TLE>(value);
}

// The epoch and satellite number of a TLE of exactly the native type are read
// from its fields; a subclass may redefine what those attributes give.
const TLE *exact_tle_of(nb::handle value) {
    return Py_TYPE(value.ptr()) == bound.tle ? tle_of(value) : nullptr;
}

// ---------------------------------------------------------------- construction

bool is_scalar_time(nb::handle value) { return time::is_time(value) && !time::get(value).is_array(); }

// Positions of the entries in ascending order of their epoch keys, with equal
// keys in argument order: by the interpreter's stable sort with `<`, or by
// the counts when every key is a scalar native Time.
std::vector<std::size_t> order_of(const std::vector<nb::object> &keys) {
    std::vector<std::int64_t> counts;
    counts.reserve(keys.size());
    for (const nb::object &key : keys) {
        if (!is_scalar_time(key))
            break;
        counts.push_back(time::get(key).scalar());
    }
    if (counts.size() == keys.size())
        return elset_table::order_by_epoch(counts.data(), counts.size());
    nb::list key_list;
    for (const nb::object &key : keys)
        key_list.append(key);
    nb::object ordered = nb::handle(bound.sorted)(nb::handle(bound.range)(keys.size()),
                                                  nb::arg("key") = key_list.attr("__getitem__"));
    std::vector<std::size_t> order;
    order.reserve(keys.size());
    for (nb::handle position : ordered)
        order.push_back(nb::cast<std::size_t>(position));
    return order;
}

[[noreturn]] void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    args::throw_pending();
}

// A satellite number as a C int: integers (and objects with __index__) only.
std::int32_t satno_as_int32(nb::handle number) {
    if (!PyLong_Check(number.ptr()) && !PyIndex_Check(number.ptr())) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        args::throw_pending();
    }
    nb::object integer = checked(PyNumber_Index(number.ptr()));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        args::throw_pending();
    if (overflow || value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        args::throw_pending();
    }
    return static_cast<std::int32_t>(value);
}

// The satellite numbers of the leading entries that are exact native TLEs
// with a plain number field, read without the satno attribute.
std::vector<std::int32_t> plain_satnos(const std::vector<nb::object> &elements) {
    std::vector<std::int32_t> numbers;
    for (const nb::object &element : elements) {
        const TLE *tle = exact_tle_of(element);
        const std::optional<std::int32_t> number =
            tle ? elset_table::plain_satno(tle->satno) : std::optional<std::int32_t>();
        if (!number)
            break;
        numbers.push_back(*number);
    }
    return numbers;
}

// The one satellite number of the element sets: the set of their satno values
// must have one member while assertions are enabled; otherwise any member
// will do, and there is none to take when there is no element set. `known`
// holds the numbers of the leading entries (all of them, in any order, when
// it is as long as `elements`); the others are asked for theirs.
std::int32_t shared_satno(const std::vector<nb::object> &elements, const std::vector<std::int32_t> &known) {
    if (!elements.empty() && known.size() == elements.size()) {
        if (bound.assertions && std::any_of(known.begin(), known.end(),
                                            [&](std::int32_t number) { return number != known.front(); }))
            raise_assertion();
        return known.front();
    }
    nb::object members = checked(PySet_New(nullptr));
    for (std::size_t i = 0; i < elements.size(); ++i) {
        nb::object number = i < known.size() ? nb::int_(known[i]) : nb::getattr(elements[i], bound.satno);
        if (PySet_Add(members.ptr(), number.ptr()) < 0)
            args::throw_pending();
    }
    if (bound.assertions && PySet_GET_SIZE(members.ptr()) != 1)
        raise_assertion();
    return satno_as_int32(checked(PySet_Pop(members.ptr())));  // KeyError when empty
}

std::int64_t epoch_count(nb::handle element) {
    nb::object count = nb::getattr(nb::getattr(element, bound.epoch), bound.int64);
    const long long value = PyLong_AsLongLong(count.ptr());
    if (value == -1 && PyErr_Occurred())
        args::throw_pending();
    return value;
}

// What an ELSET is made of, before it is written into its object.
struct Parts {
    ELSET made;
    std::vector<std::int64_t> epochs;
    std::unique_ptr<double[]> table;  // the columns, column-major
};

// Ask for the memory of an object before it is read: entries given out of
// order lie scattered in memory, and each would otherwise stall the reading.
void prefetch_object(const PyObject *object, std::size_t bytes) {
    for (std::size_t offset = 0; offset < bytes; offset += 64)
        __builtin_prefetch(reinterpret_cast<const char *>(object) + offset);
}

// Bytes of a TLE object: the instance header and the record.
constexpr std::size_t tle_object_bytes = sizeof(TLE) + 64;

// The fast construction, when every entry is a ready TLE of exactly the
// native type with a scalar native Time as epoch: then nothing of theirs is
// looked up by attribute and nothing can fail before the satellite-number
// check. Each entry is read once, in argument order (the order in which the
// objects were most likely allocated), into a table that is then put in epoch
// order, unless it already is. False, with nothing done, when an entry is not
// such.
bool assemble_native(nb::handle self, PyObject *const *items, std::size_t n, nb::handle satname, Parts &parts) {
    constexpr std::size_t ahead = 8;  // prefetch distance, in entries
    std::vector<nb::object> held(n);
    std::vector<std::int64_t> counts(n);
    std::unique_ptr<double[]> table(new double[column_count * n]);
    std::vector<std::int32_t> satnos;
    satnos.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 2 * ahead < n)
            prefetch_object(items[i + 2 * ahead], tle_object_bytes);
        if (i + ahead < n)
            if (const TLE *later = exact_tle_of(items[i + ahead]))
                prefetch_object(later->epoch.ptr(), 128);
        const TLE *tle = exact_tle_of(items[i]);
        if (!tle || !tle->epoch.is_valid() || !is_scalar_time(tle->epoch))
            return false;
        held[i] = nb::borrow(items[i]);
        counts[i] = time::get(tle->epoch).scalar();
        elset_table::put_row(table.get(), n, i, elset_table::row_of(*tle));
        if (satnos.size() == i)
            if (const std::optional<std::int32_t> number = elset_table::plain_satno(tle->satno))
                satnos.push_back(*number);
    }
    if (std::is_sorted(counts.begin(), counts.end())) {  // histories mostly arrive in order
        parts.made.elements = std::move(held);
        parts.epochs = std::move(counts);
    } else {
        const std::vector<std::size_t> order = elset_table::order_by_epoch(counts.data(), n);
        parts.made.elements.reserve(n);
        parts.epochs.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            parts.made.elements.push_back(std::move(held[order[i]]));
            parts.epochs[i] = counts[order[i]];
        }
        elset_table::reorder_rows(table.get(), n, order);
    }
    parts.table = std::move(table);
    nb::setattr(self, bound.stored_satname, satname);
    parts.made.satno = shared_satno(parts.made.elements, satnos.size() == n ? satnos : std::vector<std::int32_t>());
    return true;
}

// The construction step by step, for entries of any kind.
void assemble(nb::handle self, PyObject *const *items, std::size_t n, nb::handle satname, Parts &parts) {
    std::vector<nb::object> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
        const TLE *tle = exact_tle_of(items[i]);
        keys[i] = tle && tle->epoch.is_valid() ? tle->epoch : nb::getattr(items[i], bound.epoch);
    }
    const std::vector<std::size_t> order = order_of(keys);
    parts.made.elements.reserve(n);
    for (std::size_t position : order)
        parts.made.elements.push_back(nb::borrow(items[position]));

    nb::setattr(self, bound.stored_satname, satname);
    parts.made.satno = shared_satno(parts.made.elements, plain_satnos(parts.made.elements));

    parts.epochs.resize(n);
    parts.table.reset(new double[column_count * n]);
    for (std::size_t i = 0; i < n; ++i) {
        nb::handle element = parts.made.elements[i];
        const TLE *tle = tle_of(element);
        if (!tle)
            args::raise_cannot_convert(Py_TYPE(element.ptr())->tp_name, tle_type_name);
        parts.epochs[i] = epoch_count(element);
        elset_table::put_row(parts.table.get(), n, i, elset_table::row_of(*tle));
    }
}

// Build the C++ part of `self`, an ELSET instance not yet initialised, from
// the element sets `items`. Everything is checked and made before the C++
// part is written, so a failure leaves nothing built.
void build(nb::handle self, ELSET *storage, PyObject *const *items, std::size_t n, nb::handle satname) {
    args::require_exact_type(satname, &PyUnicode_Type, "satname", true);
    Parts parts;
    if (!assemble_native(self, items, n, satname, parts))
        assemble(self, items, n, satname, parts);
    parts.made.epoch = time::from_ns_array(parts.epochs.data(), n);

    double *data = parts.table.get();
    nb::capsule owner(data, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    parts.table.release();
    for (std::size_t c = 0; c < column_count; ++c)
        parts.made.columns[c] = nb::ndarray<nb::numpy, double, nb::ndim<1>>(data + c * n, {n}, owner).cast();

    new (storage) ELSET(std::move(parts.made));
}

// A new plain ELSET (no name) of the element sets `items`.
nb::object new_elset(const std::vector<PyObject *> &items) {
    nb::object result = nb::inst_alloc(reinterpret_cast<PyObject *>(bound.elset));
    build(result, nb::inst_ptr<ELSET>(result), items.data(), items.size(), nb::none());
    nb::inst_mark_ready(result);
    return result;
}

nb::object satname_argument(const nb::kwargs &kwargs) {
    static const char *const names[] = {"satname"};
    nb::object values[] = {nb::none()};
    args::bind_arguments("ELSET", nb::steal<nb::args>(PyTuple_New(0)), kwargs, names, 0, values);
    return values[0];
}

// ---------------------------------------------------------------------- access

nb::object size_of(nb::handle self, const ELSET &elset) {
    return is_plain_elset(self) ? nb::int_(elset.elements.size()) : nb::getattr(self, bound.size);
}

nb::object element_at(const ELSET &elset, long long position) {
    if (position < 0 || position >= static_cast<long long>(elset.elements.size()))
        throw nb::index_error("ELSET index out of range");
    return elset.elements[static_cast<std::size_t>(position)];
}

nb::object getitem_integral(nb::handle self, const ELSET &elset, nb::handle item) {
    nb::object size = size_of(self, elset);
    if (PyLong_Check(item.ptr()) && PyLong_Check(size.ptr())) {
        int overflow = 0;
        const long long index = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow);
        const long long count = PyLong_AsLongLong(size.ptr());
        if (count == -1 && PyErr_Occurred())
            args::throw_pending();
        if (overflow)
            throw nb::index_error("ELSET index out of range");
        return element_at(elset, index >= 0 ? index : count + index);
    }
    nb::object zero = nb::int_(0);
    const int non_negative = PyObject_RichCompareBool(item.ptr(), zero.ptr(), Py_GE);
    if (non_negative < 0)
        args::throw_pending();
    nb::object position = non_negative ? nb::borrow(item) : checked(PyNumber_Add(size.ptr(), item.ptr()));
    const Py_ssize_t index = PyNumber_AsSsize_t(position.ptr(), PyExc_IndexError);
    if (index == -1 && PyErr_Occurred())
        args::throw_pending();
    return element_at(elset, index);
}

nb::object getitem_integral_slice(const ELSET &elset, nb::handle item) {
    args::require_exact_type(item, &PySlice_Type, "item");
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(item.ptr(), &start, &stop, &step) < 0)
        args::throw_pending();
    const Py_ssize_t count =
        PySlice_AdjustIndices(static_cast<Py_ssize_t>(elset.elements.size()), &start, &stop, step);
    std::vector<PyObject *> picked;
    picked.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k)
        picked.push_back(elset.elements[static_cast<std::size_t>(start + k * step)].ptr());
    return new_elset(picked);
}

// Positions of an integer index array whose dtype is one of `Ints`; false
// when it is none of them (uint64 among others, which NumPy then indexes).
template <typename... Ints>
bool read_index_positions(const nb::ndarray<nb::ro, nb::ndim<1>> &array, std::ptrdiff_t stride, std::size_t count,
                          std::size_t n, std::vector<std::size_t> &positions, long long &outside, bool &inside) {
    const nb::dlpack::dtype type = array.dtype();
    return ((type == nb::dtype<Ints>() &&
             (inside = elset_table::index_positions(static_cast<const Ints *>(array.data()), stride, count, n,
                                                    positions, outside),
              true)) ||
            ...);
}

// Positions that a one-dimensional boolean or integer NumPy array selects,
// by NumPy's rules; false for any other selection, which NumPy then indexes.
bool native_positions(nb::handle selection, std::size_t n, std::vector<std::size_t> &positions) {
    if (Py_TYPE(selection.ptr()) != bound.ndarray)
        return false;
    nb::ndarray<nb::ro, nb::ndim<1>> array;
    if (!nb::try_cast(selection, array, false))
        return false;
    const std::size_t count = array.shape(0);
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(array.stride(0));
    const nb::dlpack::dtype type = array.dtype();
    if (type == nb::dtype<bool>()) {
        // A mask of another length is left to NumPy, whose rules differ by
        // case: an empty mask selects nothing, any other length is an error.
        if (count != n)
            return false;
        // The flags are read as bytes: a byte other than 0 or 1 is no valid
        // C++ bool, and NumPy takes any non-zero byte as true.
        positions = elset_table::mask_positions(static_cast<const std::uint8_t *>(array.data()), stride, count);
        return true;
    }
    long long outside = 0;
    bool inside = true;
    const bool integral = read_index_positions<std::int64_t, std::int32_t, std::int16_t, std::int8_t, std::uint32_t,
                                               std::uint16_t, std::uint8_t>(array, stride, count, n, positions,
                                                                            outside, inside);
    if (!integral)
        return false;
    if (!inside) {
        PyErr_Format(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %zu", outside, n);
        args::throw_pending();
    }
    return true;
}

nb::object getitem_selection(const ELSET &elset, nb::handle selection) {
    std::vector<std::size_t> positions;
    std::vector<PyObject *> picked;
    if (native_positions(selection, elset.elements.size(), positions)) {
        picked.reserve(positions.size());
        for (std::size_t position : positions)
            picked.push_back(elset.elements[position].ptr());
        return new_elset(picked);
    }
    // Anything else is indexed by NumPy itself, on an object array of the element sets.
    nb::list all;
    for (const nb::object &element : elset.elements)
        all.append(element);
    nb::object chosen = nb::handle(bound.numpy_array)(all)[selection].attr(bound.tolist)();
    nb::object sequence = checked(PySequence_Fast(chosen.ptr(), "ELSET() argument after * must be an iterable"));
    PyObject **items = PySequence_Fast_ITEMS(sequence.ptr());
    return new_elset(std::vector<PyObject *>(items, items + PySequence_Fast_GET_SIZE(sequence.ptr())));
}

// The element sets whose epoch lies in [start, stop); a None bound leaves
// that side open.
nb::object getitem_window(nb::handle self, nb::handle start, nb::handle stop) {
    nb::object epochs = nb::getattr(nb::getattr(self, bound.epoch), bound.int64);
    nb::handle time_type(reinterpret_cast<PyObject *>(time::time_type()));
    nb::object lower = start.is_none() ? nb::object() : nb::getattr(time_type(start), bound.int64);
    nb::object upper = stop.is_none() ? nb::object() : nb::getattr(time_type(stop), bound.int64);
    nb::object mask = nb::handle(bound.numpy_ones)(nb::arg("shape") = nb::getattr(self, bound.size),
                                                   nb::arg("dtype") = nb::handle(reinterpret_cast<PyObject *>(&PyBool_Type)));
    if (lower.is_valid())
        mask = mask & checked(PyObject_RichCompare(epochs.ptr(), lower.ptr(), Py_GE));
    if (upper.is_valid())
        mask = mask & checked(PyObject_RichCompare(epochs.ptr(), upper.ptr(), Py_LT));
    return call_method(self, bound.getitem_selection, mask);
}

nb::object getitem(nb::handle self, const ELSET &elset, nb::handle item) {
    if (is_integral(item)) {
        if (uses_own_method(self, bound.getitem_integral))
            return getitem_integral(self, elset, item);
        return call_method(self, bound.getitem_integral, item);
    }
    if (PySlice_Check(item.ptr())) {
        const auto *slice = reinterpret_cast<PySliceObject *>(item.ptr());
        if (is_integral(slice->start) || is_integral(slice->stop) || is_integral(slice->step))
            return call_method(self, bound.getitem_integral_slice, item);
        return getitem_window(self, slice->start, slice->stop);
    }
    return call_method(self, bound.getitem_selection, nb::handle(bound.numpy_array)(item));
}

// self[position], as the item lookup of the interpreter would do it.
nb::object item_of(nb::handle self, nb::handle position) {
    if (is_plain_elset(self))
        return getitem(self, *nb::inst_ptr<ELSET>(self), position);
    return checked(PyObject_GetItem(self.ptr(), position.ptr()));
}

// -------------------------------------------------------------------- iteration

// index < size; natively when self is a plain ELSET and index a plain int.
bool before_end(nb::handle self, const ELSET &elset, nb::handle index) {
    if (is_plain_elset(self) && PyLong_CheckExact(index.ptr())) {
        int overflow = 0;
        const long long position = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (!overflow)
            return position < static_cast<long long>(elset.elements.size());
    }
    nb::object size = size_of(self, elset);
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
        // Like a generator, an iteration that ended or failed stays ended.
        pairs.elset = nb::none();
        pairs.previous = nb::none();
        throw;
    }
}

// ------------------------------------------------------------ garbage collector

int elset_traverse(PyObject *self, visitproc visit, void *arg) {
    if (nb::inst_ready(self)) {
        const ELSET *elset = nb::inst_ptr<ELSET>(self);
        Py_VISIT(elset->epoch.ptr());
        for (const nb::object &element : elset->elements)
            Py_VISIT(element.ptr());
    }
    return representable_traverse(self, visit, arg);
}

int elset_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        ELSET *elset = nb::inst_ptr<ELSET>(self);
        elset->epoch = nb::none();
        std::vector<nb::object> released;
        released.swap(elset->elements);  // the field is empty before any element is let go
    }
    return representable_clear(self);
}

int pairwise_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (nb::inst_ready(self)) {
        const Pairwise *pairs = nb::inst_ptr<Pairwise>(self);
        Py_VISIT(pairs->elset.ptr());
        Py_VISIT(pairs->previous.ptr());
    }
    return 0;
}

int pairwise_clear(PyObject *self) {
    if (nb::inst_ready(self)) {
        Pairwise *pairs = nb::inst_ptr<Pairwise>(self);
        pairs->elset = nb::none();
        pairs->previous = nb::none();
    }
    return 0;
}

PyType_Slot elset_slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(elset_traverse)},
                             {Py_tp_clear, reinterpret_cast<void *>(elset_clear)},
                             {0, nullptr}};

PyType_Slot pairwise_slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(pairwise_traverse)},
                                {Py_tp_clear, reinterpret_cast<void *>(pairwise_clear)},
                                {0, nullptr}};

// ---------------------------------------------------------------------- binding

// A reference kept for the life of the process.
PyObject *kept(nb::object value) { return value.release().ptr(); }

void look_up_dependencies() {
    bound.tle = reinterpret_cast<PyTypeObject *>(nb::type<TLE>().ptr());
    if (!bound.tle)
        throw nb::import_error("the TLE type must be bound before ELSET");
    time::time_type();
    nb::module_ numpy = nb::module_::import_("numpy");
    bound.ndarray = reinterpret_cast<PyTypeObject *>(kept(numpy.attr("ndarray")));
    bound.numpy_array = kept(numpy.attr("array"));
    bound.numpy_ones = kept(numpy.attr("ones"));
    bound.integral = kept(nb::module_::import_("numbers").attr("Integral"));
    nb::module_ builtins = nb::module_::import_("builtins");
    bound.assertions = nb::cast<bool>(builtins.attr("__debug__"));
    bound.sorted = kept(builtins.attr("sorted"));
    bound.range = kept(builtins.attr("range"));

    bound.epoch = args::interned("epoch");
    bound.satno = args::interned("satno");
    bound.int64 = args::interned("int64");
    bound.index = args::interned("index");
    bound.size = args::interned("size");
    bound.satname = args::interned("satname");
    bound.stored_satname = args::interned("_satname");
    bound.view = args::interned("view");
    bound.tolist = args::interned("tolist");
    bound.getitem_integral = args::interned("_getitem_integral");
    bound.getitem_integral_slice = args::interned("_getitem_integral_slice");
    bound.getitem_selection = args::interned("_getitem_selection");
}

using Self = nb::pointer_and_handle<ELSET>;

}  // namespace

void bind_elset(nb::module_ &m) {
    look_up_dependencies();

    nb::class_<ELSET, Representable> cls(
        m, "ELSET", nb::dynamic_attr(), nb::type_slots(elset_slots),
        "Element sets of one satellite in ascending order of epoch, with one NumPy column per element.\n\n"
        "Built from TLE objects, passed unpacked, that share one satellite number; equal epochs keep\n"
        "their argument order. Read by position (e[i]), positional slice (e[1:3]), time window\n"
        "(e[t0:t1]: start included, stop excluded, either end open), boolean mask or array of\n"
        "positions; every selection is a new ELSET without a name. There is no len(): use size.\n"
        "Iteration keeps its position in the attribute index; pairwise() keeps its own.");
    bound.elset = reinterpret_cast<PyTypeObject *>(cls.ptr());
    bound.dict_offset = bound.elset->tp_dictoffset;

    cls.def(
        "__init__",
        [](Self self, nb::args args, nb::kwargs kwargs) {
            nb::object satname = satname_argument(kwargs);
            build(self.h, self.p, PySequence_Fast_ITEMS(args.ptr()), args.size(), satname);
        },
        nb::sig("def __init__(self, *args: TLE, satname: str | None = None) -> None"),
        "Hold the given TLE objects, sorted by epoch, under the satellite name `satname`.");

    cls.def_prop_ro("size", [](Self self) { return self.p->elements.size(); }, nb::name("size"), "ELSET.size: int");
    cls.def_prop_ro("satname", [](Self self) { return nb::getattr(self.h, bound.stored_satname); },
                    nb::name("satname"), "ELSET.satname: str | None");
    cls.def_prop_ro("satno", [](Self self) { return self.p->satno; }, nb::name("satno"), "ELSET.satno: int");
    for (std::size_t c = 0; c < column_count; ++c) {
        const std::string doc = std::string("ELSET.") + elset_table::column_names[c] + ": ndarray";
        cls.def_prop_ro(
            elset_table::column_names[c],
            [c](Self self) { return checked(PyObject_CallMethodNoArgs(self.p->columns[c].ptr(), bound.view)); },
            nb::name(elset_table::column_names[c]), doc.c_str());
    }
    cls.def_prop_ro("epoch", [](Self self) { return self.p->epoch; }, nb::name("epoch"), "ELSET.epoch: Time");

    cls.def("__getitem__", [](Self self, nb::handle item) { return getitem(self.h, *self.p, item); },
            nb::arg("item").none(), nb::sig("def __getitem__(self, item: Any) -> TLE | ELSET"));
    cls.def(
        "_getitem_integral", [](Self self, nb::handle item) { return getitem_integral(self.h, *self.p, item); },
        nb::arg("item").none(), nb::sig("def _getitem_integral(self, item: numbers.Integral) -> TLE"),
        "ELSET._getitem_integral(self, item: numbers.Integral) -> TLE");
    cls.def(
        "_getitem_integral_slice", [](Self self, nb::handle item) { return getitem_integral_slice(*self.p, item); },
        nb::arg("item").none(), nb::sig("def _getitem_integral_slice(self, item: slice) -> ELSET"),
        "ELSET._getitem_integral_slice(self, slice item: slice) -> ELSET");
    cls.def(
        "_getitem_selection", [](Self self, nb::handle selection) { return getitem_selection(*self.p, selection); },
        nb::arg("selection").none(), nb::sig("def _getitem_selection(self, selection: numpy.ndarray) -> ELSET"),
        "ELSET._getitem_selection(self, selection: ndarray[bool | int]) -> ELSET");

    cls.def(
        "__iter__",
        [](Self self) {
            nb::setattr(self.h, bound.index, nb::int_(0));
            return nb::borrow(self.h);
        },
        nb::sig("def __iter__(self) -> ELSET"));
    cls.def("__next__", [](Self self) { return next_element(self.h, *self.p); }, nb::sig("def __next__(self) -> TLE"));

    nb::class_<Pairwise>(cls, "_PairwiseIterator", nb::type_slots(pairwise_slots))
        .def("__iter__", [](nb::pointer_and_handle<Pairwise> self) { return nb::borrow(self.h); })
        .def("__next__", [](Pairwise &pairs) { return next_pair(pairs); });
    cls.def(
        "pairwise",
        [](Self self) {
            Pairwise pairs;
            pairs.elset = nb::borrow(self.h);
            return pairs;
        },
        nb::sig("def pairwise(self) -> Iterator[tuple[TLE, TLE]]"),
        "ELSET.pairwise(self) -> Iterator[tuple[TLE, TLE]]: consecutive element sets in pairs");

    cls.def(
        "_get_header",
        [](Self self) {
            nb::object name = checked(PyObject_Format(nb::getattr(self.h, bound.satname).ptr(), nullptr));
            nb::object number = checked(PyObject_Format(nb::getattr(self.h, bound.satno).ptr(), nullptr));
            return checked(PyUnicode_FromFormat("ELSET %U (%U)", name.ptr(), number.ptr()));
        },
        nb::sig("def _get_header(self) -> str"), "ELSET._get_header(self) -> str");
    cls.def(
        "_get_body",
        [](Self self) { return checked(PyUnicode_FromFormat("%zu elements", self.p->elements.size())); },
        nb::sig("def _get_body(self) -> str"), "ELSET._get_body(self) -> str");

    args::refuse_pickle(cls);
}

}  // namespace astrokite
