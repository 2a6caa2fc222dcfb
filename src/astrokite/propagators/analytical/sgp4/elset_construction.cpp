// ELSET built from TLE objects: the entries put in epoch order, their one
// satellite number checked, their elements written into the columns.
#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "astrokite/propagators/analytical/sgp4/elset_state.hpp"
#include "astrokite/time/time.hpp"

namespace astrokite::elset_detail {

// The row of a TLE: its stored elements, the first_drag_column columns before
// the drag terms, which it does not store (see fill_tle_drag_terms).
static elset_table::Row row_of(const TLE &tle) {
    return {tle.ecc, tle.sma, tle.inc, tle.raa, tle.arp, tle.tra, tle.mnm, tle.orp, tle.eca, tle.mea, tle.pge, tle.apg};
}

const char *const tle_type_name = "astrokite.propagators.analytical.sgp4.tle.TLE";

// The epoch and satellite number of a TLE of exactly the native type are read
// from its fields; a subclass may redefine what those attributes give.
static const TLE *exact_tle_of(nb::handle value) {
    return Py_TYPE(value.ptr()) == bound.tle ? tle_of(value) : nullptr;
}

static bool is_scalar_time(nb::handle value) { return time::is_time(value) && !time::get(value).is_array(); }

// Positions of the entries in ascending order of their epoch keys, with equal
// keys in argument order: by the interpreter's stable sort with `<`, or by
// the counts when every key is a scalar native Time.
static std::vector<std::size_t> order_of(const std::vector<nb::object> &keys) {
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

// The number of an alpha-5 satellite number text (a letter and four digits,
// as a TLE reports catalogue numbers from 100000 on), else `number` itself.
static nb::object alpha5_as_int(nb::object number) {
    if (!PyUnicode_Check(number.ptr()) || PyUnicode_GET_LENGTH(number.ptr()) != 5)
        return number;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(number.ptr(), &size);
    if (!text)
        args::throw_pending();
    const std::string_view field(text, static_cast<std::size_t>(size));
    if (field[0] >= 'A' && field[0] <= 'Z')
        if (const std::optional<std::int32_t> decoded = tle_lines::decode_satno(field))
            return nb::int_(*decoded);
    return number;
}

// A satellite number as a C int: integers and objects with __index__.
static std::int32_t satno_as_int32(nb::handle number) {
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

// The satellite number a TLE reports for a stored number field, converted as
// satno_as_int32 converts it: the decoded catalogue number, else what int()
// makes of the stripped text (a sign, underscores), else a TypeError.
std::int32_t field_satno(std::string_view field) {
    if (const std::optional<std::int32_t> decoded = tle_lines::decode_satno(field))
        return *decoded;
    nb::object text = checked(PyUnicode_DecodeUTF8(field.data(), static_cast<Py_ssize_t>(field.size()), "replace"));
    nb::object stripped = text.attr("strip")();
    PyObject *number = PyLong_FromUnicodeObject(stripped.ptr(), 10);
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            args::throw_pending();
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        args::throw_pending();
    }
    return satno_as_int32(nb::steal(number));
}

// The satellite numbers of the leading entries that are exact native TLEs
// with a catalogue number field, read without the satno attribute.
static std::vector<std::int32_t> plain_satnos(const std::vector<nb::object> &elements) {
    std::vector<std::int32_t> numbers;
    for (const nb::object &element : elements) {
        const TLE *tle = exact_tle_of(element);
        const std::optional<std::int32_t> number =
            tle ? tle_lines::decode_satno(satno_field(*tle)) : std::optional<std::int32_t>();
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
static std::int32_t shared_satno(const std::vector<nb::object> &elements, const std::vector<std::int32_t> &known) {
    if (!elements.empty() && known.size() == elements.size()) {
        if (bound.assertions && std::any_of(known.begin(), known.end(),
                                            [&](std::int32_t number) { return number != known.front(); }))
            raise_assertion();
        return known.front();
    }
    nb::object members = checked(PySet_New(nullptr));
    for (std::size_t i = 0; i < elements.size(); ++i) {
        nb::object number =
            i < known.size() ? nb::int_(known[i]) : alpha5_as_int(nb::getattr(elements[i], bound.satno));
        if (PySet_Add(members.ptr(), number.ptr()) < 0)
            args::throw_pending();
    }
    if (bound.assertions && PySet_GET_SIZE(members.ptr()) != 1)
        raise_assertion();
    return satno_as_int32(checked(PySet_Pop(members.ptr())));  // KeyError when empty
}

// An ELSET of no element set fails as the satellite-number check fails on it:
// AssertionError, or KeyError with assertions disabled.
[[noreturn]] void raise_empty() {
    shared_satno({}, {});
    raise_assertion();
}

static std::int64_t epoch_count(nb::handle element) {
    nb::object count = nb::getattr(nb::getattr(element, bound.epoch), bound.int64);
    const long long value = PyLong_AsLongLong(count.ptr());
    if (value == -1 && PyErr_Occurred())
        args::throw_pending();
    return value;
}

// Ask for the memory of an object before it is read: entries given out of
// order lie scattered in memory, and each would otherwise stall the reading.
static void prefetch_object(const PyObject *object, std::size_t bytes) {
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
static bool assemble_native(PyObject *const *items, std::size_t n, Parts &parts) {
    constexpr std::size_t ahead = 8;  // prefetch distance, in entries
    std::vector<nb::object> held(n);
    std::vector<std::int64_t> counts(n);
    std::unique_ptr<double[]> table(new double[column_count * n]);
    std::vector<std::int32_t> satnos;
    satnos.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 2 * ahead < n)
            prefetch_object(items[i + 2 * ahead], tle_object_bytes);
        const TLE *tle = exact_tle_of(items[i]);
        const std::optional<std::int64_t> count = tle ? native_epoch_ns(*tle) : std::nullopt;
        if (!count)
            return false;
        held[i] = nb::borrow(items[i]);
        counts[i] = *count;
        elset_table::put_row(table.get(), n, i, row_of(*tle), elset_table::first_drag_column);
        if (satnos.size() == i)
            if (const std::optional<std::int32_t> number = tle_lines::decode_satno(satno_field(*tle)))
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
        elset_table::reorder_rows(table.get(), n, order, elset_table::first_drag_column);
    }
    parts.table = std::move(table);
    parts.made.satno = shared_satno(parts.made.elements, satnos.size() == n ? satnos : std::vector<std::int32_t>());
    return true;
}

// The construction step by step, for entries of any kind.
static void assemble(PyObject *const *items, std::size_t n, Parts &parts) {
    std::vector<nb::object> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
        TLE *tle = const_cast<TLE *>(exact_tle_of(items[i]));
        keys[i] = tle ? epoch_of(*tle) : nb::getattr(items[i], bound.epoch);
    }
    const std::vector<std::size_t> order = order_of(keys);
    parts.made.elements.reserve(n);
    for (std::size_t position : order)
        parts.made.elements.push_back(nb::borrow(items[position]));

    parts.made.satno = shared_satno(parts.made.elements, plain_satnos(parts.made.elements));

    parts.epochs.resize(n);
    parts.table.reset(new double[column_count * n]);
    for (std::size_t i = 0; i < n; ++i) {
        nb::handle element = parts.made.elements[i];
        const TLE *tle = tle_of(element);
        if (!tle)
            args::raise_cannot_convert(Py_TYPE(element.ptr())->tp_name, tle_type_name);
        parts.epochs[i] = epoch_count(element);
        elset_table::put_row(parts.table.get(), n, i, row_of(*tle), elset_table::first_drag_column);
    }
}

// A new ELSET of `type` from its parts: the epoch Time (unless the parts hold
// it already), the column arrays over the table (if it has one yet), the name
// in the instance dictionary. Everything that can fail happens before the C++
// part is written, so a failure leaves nothing built.
nb::object finish(PyTypeObject *type, Parts &&parts, nb::handle satname) {
    if (!parts.made.epoch.is_valid())
        parts.made.epoch = time::from_ns_array(parts.epochs.data(), parts.epochs.size());

    if (double *data = parts.table.get()) {  // else computed when first asked for
        parts.made.column_owner = nb::capsule(data, [](void *p) noexcept { delete[] static_cast<double *>(p); });
        parts.table.release();
        parts.made.column_data = data;
    }

    nb::object self = nb::inst_alloc(reinterpret_cast<PyObject *>(type));
    nb::setattr(self, bound.stored_satname, satname);
    new (nb::inst_ptr<ELSET>(self)) ELSET(std::move(parts.made));
    nb::inst_mark_ready(self);
    return self;
}

// An ELSET of `type` holding the TLE objects `items`.
static nb::object construct(PyTypeObject *type, PyObject *const *items, std::size_t n, nb::handle satname) {
    args::require_exact_type(satname, &PyUnicode_Type, "satname", true);
    Parts parts;
    if (!assemble_native(items, n, parts))
        assemble(items, n, parts);
    return finish(type, std::move(parts), satname);
}

// A new plain ELSET (no name) of the element sets `items`.
nb::object new_elset(const std::vector<PyObject *> &items) {
    return construct(bound.elset, items.data(), items.size(), nb::none());
}

static nb::object satname_argument(const nb::kwargs &kwargs) {
    static const char *const names[] = {"satname"};
    nb::object values[] = {nb::none()};
    args::bind_arguments("ELSET", nb::steal<nb::args>(PyTuple_New(0)), kwargs, names, 0, values);
    return values[0];
}

// All the work is done in tp_new, so an ELSET exists only built; __init__
// accepts whatever reached it, so that a subclass may call super().__init__.
PyObject *elset_new(PyTypeObject *type, PyObject *call_args, PyObject *kwargs) {
    try {
        nb::object satname = satname_argument(kwargs ? nb::borrow<nb::kwargs>(kwargs) : nb::kwargs());
        return construct(type, PySequence_Fast_ITEMS(call_args), static_cast<std::size_t>(PyTuple_GET_SIZE(call_args)),
                         satname)
            .release()
            .ptr();
    } catch (...) {
        args::restore_as_python_error();
        return nullptr;
    }
}

int elset_init(PyObject *, PyObject *, PyObject *) { return 0; }

}  // namespace astrokite::elset_detail
