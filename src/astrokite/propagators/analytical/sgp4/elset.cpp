// ELSET: the element sets of one satellite in ascending order of epoch, with
// one float64 NumPy column per element. Read by position, positional slice,
// time window, boolean mask or array of positions; iterable one by one and
// in consecutive pairs.
//
// An ELSET holds either the TLE objects it was built from or, when it was
// read from lines, a shared table of those lines from which each TLE object is
// made the first time it is asked for. Selections of an ELSET read from lines
// share its table, so an element set is one object whichever ELSET hands it out.
//
// Methods that a Python subclass may override (the _getitem_ family, size,
// __getitem__) are reached by name; an object of exactly this type whose
// instance dictionary does not shadow them takes a native path instead.
#include "astrokite/propagators/analytical/sgp4/elset.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <nanobind/stl/string.h>
#include <thread>
#include <utility>
#include <vector>

#include "astrokite/common/args.hpp"
#include "astrokite/elements/elset_table.hpp"
#include "astrokite/elements/record.hpp"
#include "astrokite/propagators/analytical/sgp4/tle.hpp"
#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/time/time.hpp"
#include "astrokite/utils/representable.hpp"

namespace nb = nanobind;

namespace astrokite {
namespace {

using elset_table::column_count;
using elset_table::row_bytes;

// The row of a TLE: its stored elements, the first_drag_column columns before
// the drag terms, which it does not store (see fill_tle_drag_terms).
elset_table::Row row_of(const TLE &tle) {
    return {tle.ecc, tle.sma, tle.inc, tle.raa, tle.arp, tle.tra, tle.mnm, tle.orp, tle.eca, tle.mea, tle.pge, tle.apg};
}

// Write the drag-term columns of row i of a table of n rows from the lines of a TLE.
void fill_tle_drag_terms(double *table, std::size_t n, std::size_t i, const TLE &tle) {
    elset_table::Row row{};
    elset_table::put_drag_terms(tle_lines::parse_drag_terms(tle.line1, tle_lines::stored_length(tle.line1)), row);
    for (std::size_t c = elset_table::first_drag_column; c < column_count; ++c)
        table[c * n + i] = row[c];
}

// The element-set object of a set that came without TLE text: a Python class
// (imported when first needed) made from the record, the name, the epoch
// count and the fifteen column values, with the same Earth constants and
// anomalies as the ELSET's columns.
nb::object element_set_from_record(const elements::Record &record, const std::optional<std::string> &satname,
                                   double gm, double re) {
    // Kept for the life of the process: never released, so that nothing is let go after the
    // interpreter has ended.
    static const nb::handle from_record =
        nb::object(nb::module_::import_("astrokite.elements.element_set").attr("ElementSet").attr("_from_record"))
            .release();
    elset_table::LinesRow row;
    elset_table::read_record(record, gm, re, row);
    row.row[elset_table::eca_column] = coe::c_eca_from_mea(record.mea, record.ecc);
    row.row[elset_table::tra_column] = coe::c_tra_from_eca(row.row[elset_table::eca_column], record.ecc);
    nb::object name = satname ? nb::object(nb::str(satname->c_str())) : nb::none();
    return from_record(nb::bytes(reinterpret_cast<const char *>(&record), sizeof record), name, row.epoch,
                       nb::bytes(reinterpret_cast<const char *>(row.row.data()), sizeof row.row));
}

// Element sets read from lines or from records, shared by an ELSET and its
// selections: the normalised lines, row after row, or the records of sets
// that came without TLE text (an OMM's, kept at full precision); the Earth
// constants their elements were computed with, and the element-set objects
// made from them so far.
struct LineTable {
    std::unique_ptr<char[]> lines;                  // null for records
    std::unique_ptr<elements::Record[]> records;    // null for lines
    std::optional<std::string> satname;             // records: the name the sets came with
    std::size_t rows = 0;
    double gm = 0, re = 0;               // Earth.GM and Earth.Re when the lines were read
    // Owned references, a slot per row, null until asked for; the slots
    // themselves are only made when the first TLE is.
    std::unique_ptr<PyObject *[]> made;

    LineTable(std::unique_ptr<char[]> lines_, std::size_t rows_, double gm_, double re_)
        : lines(std::move(lines_)), rows(rows_), gm(gm_), re(re_) {}
    LineTable(std::unique_ptr<elements::Record[]> records_, std::optional<std::string> satname_, std::size_t rows_,
              double gm_, double re_)
        : records(std::move(records_)), satname(std::move(satname_)), rows(rows_), gm(gm_), re(re_) {}
    LineTable(const LineTable &) = delete;
    ~LineTable() { release(); }

    bool has_text() const { return lines != nullptr; }
    const char *row(std::size_t r) const { return lines.get() + r * row_bytes; }

    // The record of row r: kept, or read from its lines.
    elements::Record record(std::size_t r) const {
        return records ? records[r] : tle_lines::record_of_row(row(r));
    }

    std::pair<double, double> anomaly(std::size_t r) const {
        return records ? std::pair{records[r].mea, records[r].ecc} : elset_table::anomaly_of_row(row(r));
    }

    nb::object element(std::size_t r) {
        if (!made)
            made.reset(new PyObject *[rows]());
        if (!made[r])
            made[r] = (records ? element_set_from_record(records[r], satname, gm, re)
                               : tle_from_stored_lines(row(r), row(r) + tle_lines::line_length))
                          .release()
                          .ptr();
        return nb::borrow(made[r]);
    }

    // Let go of every made TLE; each slot is empty before its object is released.
    void release() {
        for (std::size_t r = 0; made && r < rows; ++r)
            Py_CLEAR(made[r]);
    }
};

struct ELSET : Representable {
    nb::object epoch;                  // array-valued Time of the epochs; None once cleared
    std::int32_t satno = 0;
    std::vector<nb::object> elements;  // built from TLE objects: those, ascending by epoch
    nb::object table;                  // read from lines: the shared LineTable; None once cleared
    std::vector<std::uint32_t> rows;   // ... the table row of each position (none: row = position)
    std::size_t count = 0;             // ... the number of element sets
    // The columns, column-major in the order of column_names (column c of the
    // `size` values at column_data + c * size), owned by a capsule that is the
    // base of every column handed out.
    double *column_data = nullptr;
    nb::object column_owner;
    // The drag-term columns of an ELSET built from TLE objects are read from
    // their lines when first asked for: construction does not pay for them.
    bool drag_terms_filled = false;
    // The anomaly columns of an ELSET read from lines are derived when first
    // asked for (elset_table::fill_anomalies).
    bool anomalies_filled = true;
};

// A pairwise() generator: its own position, independent of ELSET.index.
struct Pairwise {
    nb::object elset;     // None once the generator has finished
    nb::object previous;  // the element set of the pair to come
    Py_ssize_t next = 0;  // position of the next element set; 0 before the first pair
    Py_ssize_t stop = 0;
};

// What the bindings look up once, when the module loads.
struct Bound {
    PyTypeObject *elset = nullptr, *tle = nullptr, *ndarray = nullptr, *line_table = nullptr;
    Py_ssize_t dict_offset = 0;  // of the instance dictionary in an ELSET
    bool assertions = true;      // __debug__ when the module was loaded
    PyObject *integral = nullptr, *numpy_array = nullptr, *numpy_ones = nullptr, *numpy_arange = nullptr;
    PyObject *sorted = nullptr, *range = nullptr, *earth = nullptr;
    // interned attribute names
    PyObject *epoch = nullptr, *satno = nullptr, *int64 = nullptr, *index = nullptr, *size = nullptr;
    PyObject *satname = nullptr, *stored_satname = nullptr, *tolist = nullptr, *gm = nullptr, *re = nullptr;
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

bool from_lines(const ELSET &elset) { return elset.table.is_valid(); }

LineTable *table_of(const ELSET &elset) {
    return elset.table.is_none() ? nullptr : nb::inst_ptr<LineTable>(elset.table);
}

// The number of element sets held (none once the garbage collector cleared them).
std::size_t size_of(const ELSET &elset) {
    if (from_lines(elset))
        return table_of(elset) ? elset.count : 0;
    return elset.elements.size();
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

// The number of an alpha-5 satellite number text (a letter and four digits,
// as a TLE reports catalogue numbers from 100000 on), else `number` itself.
nb::object alpha5_as_int(nb::object number) {
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
std::vector<std::int32_t> plain_satnos(const std::vector<nb::object> &elements) {
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
std::int32_t shared_satno(const std::vector<nb::object> &elements, const std::vector<std::int32_t> &known) {
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
bool assemble_native(PyObject *const *items, std::size_t n, Parts &parts) {
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
void assemble(PyObject *const *items, std::size_t n, Parts &parts) {
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

// A new ELSET of `type` from its parts: the epoch Time, the column arrays over
// the table, the name in the instance dictionary. Everything that can fail
// happens before the C++ part is written, so a failure leaves nothing built.
nb::object finish(PyTypeObject *type, Parts &&parts, nb::handle satname) {
    const std::size_t n = parts.epochs.size();
    parts.made.epoch = time::from_ns_array(parts.epochs.data(), n);

    double *data = parts.table.get();
    parts.made.column_owner = nb::capsule(data, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    parts.table.release();
    parts.made.column_data = data;

    nb::object self = nb::inst_alloc(reinterpret_cast<PyObject *>(type));
    nb::setattr(self, bound.stored_satname, satname);
    new (nb::inst_ptr<ELSET>(self)) ELSET(std::move(parts.made));
    nb::inst_mark_ready(self);
    return self;
}

// An ELSET of `type` holding the TLE objects `items`.
nb::object construct(PyTypeObject *type, PyObject *const *items, std::size_t n, nb::handle satname) {
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

nb::object satname_argument(const nb::kwargs &kwargs) {
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

double earth_constant(PyObject *name) {
    nb::object value = nb::getattr(nb::handle(bound.earth), name);
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred())
        args::throw_pending();
    return result;
}

template <typename... Parts>
nb::object new_line_table(Parts &&...parts) {
    nb::object table = nb::inst_alloc(reinterpret_cast<PyObject *>(bound.line_table));
    new (nb::inst_ptr<LineTable>(table)) LineTable(std::forward<Parts>(parts)...);
    nb::inst_mark_ready(table);
    return table;
}

// The element sets of one ELSET being read from rows of 138 bytes: its own
// copy of the lines, the columns and epochs read from them, and what the
// reading found.
struct LinesRead {
    std::unique_ptr<char[]> lines;
    std::unique_ptr<elements::Record[]> records;  // instead of lines, for sets read from records
    std::size_t n = 0;
    Parts parts;
    elset_table::RowsRead read;
    std::optional<std::string> satname;  // of records
};

// Room for n rows; needs no interpreter lock.
void allocate_rows(LinesRead &reading, std::size_t n) {
    reading.n = n;
    reading.lines.reset(new char[n * row_bytes]);
    reading.parts.epochs.resize(n);
    reading.parts.table.reset(new double[column_count * n]);
}

// Sort the rows, columns and epochs read by epoch (equal epochs keep their order).
void sort_by_epoch(LinesRead &reading) {
    Parts &parts = reading.parts;
    if (std::is_sorted(parts.epochs.begin(), parts.epochs.end()))
        return;
    const std::size_t n = reading.n;
    const std::vector<std::size_t> order = elset_table::order_by_epoch(parts.epochs.data(), n);
    elset_table::reorder_rows(parts.table.get(), n, order);
    if (reading.lines)
        elset_table::reorder_bytes(reading.lines.get(), row_bytes, order);
    else
        elset_table::reorder_bytes(reinterpret_cast<char *>(reading.records.get()), elements::record_bytes, order);
    std::vector<std::int64_t> sorted(n);
    for (std::size_t i = 0; i < n; ++i)
        sorted[i] = parts.epochs[order[i]];
    parts.epochs = std::move(sorted);
}

// Read the rows of `source` (the reading's own lines, or n rows elsewhere)
// into its lines, columns and epochs, on every core when `all_cores` and there
// are many, and sort them by epoch when every row is numbered (the numbers of
// the others are read afterwards, by their positions as given). The epoch
// counts of the rows are taken from `known_epochs` when not null (one row
// after another, as they came from an earlier reading of the same lines).
// Needs no interpreter lock.
void read_lines(LinesRead &reading, const char *source, double gm, double re, bool all_cores,
                const std::int64_t *known_epochs = nullptr) {
    const std::size_t n = reading.n;
    Parts &parts = reading.parts;
    char *lines = reading.lines.get();
    reading.read = all_cores ? elset_table::read_all_rows(source, lines, n, gm, re, parts.table.get(),
                                                          parts.epochs.data())
                             : elset_table::read_rows(source, lines, 0, n, n, gm, re, parts.table.get(),
                                                      parts.epochs.data(), known_epochs);
    if (reading.read.failed == n && reading.read.unnumbered.empty())
        sort_by_epoch(reading);
}

// The ELSET of `type` of lines read: raises what reading them found wrong.
nb::object finish_lines(PyTypeObject *type, LinesRead &&reading, double gm, double re, nb::handle satname) {
    const std::size_t n = reading.n;
    const elset_table::RowsRead &read = reading.read;
    if (read.failed < n)
        time::raise_number_error(read.failed_row.epoch_status, "Julian date", read.failed_row.epoch_jd);
    std::optional<std::int32_t> satno = read.satno;
    bool differ = read.differ;
    if (!reading.lines && !read.unnumbered.empty())
        throw nb::value_error("an element set has no catalogue number");
    for (std::size_t i : read.unnumbered) {
        const std::int32_t number = field_satno({reading.lines.get() + i * row_bytes + 2, 5});
        differ |= satno && *satno != number;
        satno = number;
    }
    if (bound.assertions && differ)
        raise_assertion();
    Parts &parts = reading.parts;
    parts.made.satno = *satno;
    sort_by_epoch(reading);
    parts.made.table = reading.lines ? new_line_table(std::move(reading.lines), n, gm, re)
                                     : new_line_table(std::move(reading.records), reading.satname, n, gm, re);
    parts.made.drag_terms_filled = true;
    parts.made.anomalies_filled = false;
    parts.made.count = n;
    return finish(type, std::move(parts), satname);
}

using args::BufferView;

// The number of rows of 138 bytes in `bytes` bytes given to `function`.
std::size_t row_count(std::size_t bytes, const char *function) {
    if (bytes % row_bytes != 0) {
        PyErr_Format(PyExc_ValueError, "%s takes rows of %zu bytes, got %zu bytes", function, row_bytes, bytes);
        args::throw_pending();
    }
    const std::size_t n = bytes / row_bytes;
    if (n == 0)
        raise_empty();
    if (n > UINT32_MAX) {  // selections name rows by 32-bit numbers
        PyErr_Format(PyExc_ValueError, "%s takes at most %u rows, got %zu", function, UINT32_MAX, n);
        args::throw_pending();
    }
    return n;
}

// An ELSET of `type` read from rows of 138 bytes (line 1, then line 2, each
// 69 bytes), with the values a TLE made of each pair of lines would hold. The
// lines are scanned without the interpreter lock.
nb::object construct_from_lines(PyTypeObject *type, nb::handle buffer, nb::handle satname) {
    args::require_exact_type(satname, &PyUnicode_Type, "satname", true);
    LinesRead reading;
    {
        BufferView view(buffer);
        const std::size_t n = row_count(view.size(), "ELSET._from_lines()");
        allocate_rows(reading, n);
        std::memcpy(reading.lines.get(), view.data(), n * row_bytes);
    }
    const double gm = earth_constant(bound.gm), re = earth_constant(bound.re);
    {
        nb::gil_scoped_release unlocked;
        read_lines(reading, reading.lines.get(), gm, re, true);
    }
    return finish_lines(type, std::move(reading), gm, re, satname);
}

// The rows handed over by another extension in a capsule (see
// elset_table::RowSource), or null when `buffer` is no such capsule.
const elset_table::RowSource *row_source_of(nb::handle buffer) {
    if (!PyCapsule_CheckExact(buffer.ptr()))
        return nullptr;
    void *source = PyCapsule_GetPointer(buffer.ptr(), elset_table::row_source_capsule);
    if (!source)
        args::throw_pending();
    return static_cast<const elset_table::RowSource *>(source);
}

// The ELSETs of many satellites read from one buffer of rows of 138 bytes, or
// from the rows of a RowSource capsule: `groups` holds a (first row, end row,
// satname) tuple per ELSET. Each is what _from_lines gives for its rows, but
// the rows of all are read in one pass spread over the cores, a satellite to
// a core at a time, with no interpreter lock; from a RowSource, each worker
// copies a satellite's rows and epochs straight into its ELSET (the epochs are
// not read again). Raises what the first ELSET in order of `groups` raises.
nb::list construct_groups_from_lines(PyTypeObject *type, nb::handle buffer, nb::handle groups) {
    const elset_table::RowSource *source = row_source_of(buffer);
    std::optional<BufferView> view;
    if (!source)
        view.emplace(buffer);
    const std::size_t rows = source ? source->rows : view->size() / row_bytes;
    if (view && view->size() % row_bytes != 0)
        row_count(view->size(), "ELSET._from_grouped_lines()");
    nb::object items = checked(PySequence_Fast(groups.ptr(), "groups must be a sequence of tuples"));
    const std::size_t count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.ptr()));
    std::vector<std::pair<std::size_t, std::size_t>> bounds(count);
    std::vector<nb::object> names(count);
    for (std::size_t g = 0; g < count; ++g) {
        nb::handle group = PySequence_Fast_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(g));
        if (!PyTuple_Check(group.ptr()) || PyTuple_GET_SIZE(group.ptr()) != 3)
            throw nb::type_error("groups must hold (first row, end row, satname) tuples");
        const std::size_t first = nb::cast<std::size_t>(nb::handle(PyTuple_GET_ITEM(group.ptr(), 0)));
        const std::size_t end = nb::cast<std::size_t>(nb::handle(PyTuple_GET_ITEM(group.ptr(), 1)));
        if (first > end || end > rows)
            throw nb::index_error("a group's rows lie outside the buffer");
        row_count((end - first) * row_bytes, "ELSET._from_grouped_lines()");
        names[g] = nb::borrow(PyTuple_GET_ITEM(group.ptr(), 2));
        args::require_exact_type(names[g], &PyUnicode_Type, "satname", true);
        bounds[g] = {first, end};
    }
    const double gm = earth_constant(bound.gm), re = earth_constant(bound.re);

    std::vector<LinesRead> readings(count);
    {
        nb::gil_scoped_release unlocked;
        // The memory of every ELSET is taken here, in order, before the
        // workers start: each ELSET's pieces lie together.
        for (std::size_t g = 0; g < count; ++g)
            allocate_rows(readings[g], bounds[g].second - bounds[g].first);
        std::atomic<std::size_t> next{0};
        std::exception_ptr fault;  // the first a worker met (out of memory); the others stop
        std::mutex fault_lock;
        auto work = [&] {
            try {
                for (std::size_t g; (g = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
                    LinesRead &reading = readings[g];
                    const std::size_t first = bounds[g].first;
                    if (source) {
                        char *lines = reading.lines.get();
                        std::int64_t *counts = reading.parts.epochs.data();
                        source->copy_rows(source->context, first, reading.n, lines);
                        source->copy_epochs(source->context, first, reading.n, counts);
                        read_lines(reading, lines, gm, re, false, counts);
                    } else {
                        read_lines(reading, view->data() + first * row_bytes, gm, re, false);
                    }
                }
            } catch (...) {
                next = count;
                const std::lock_guard<std::mutex> hold(fault_lock);
                if (!fault)
                    fault = std::current_exception();
            }
        };
        const std::size_t threads = std::clamp<std::size_t>(rows / elset_table::rows_per_thread, 1, parallel::cores());
        std::vector<std::thread> workers;
        for (std::size_t t = 1; t < threads; ++t)
            workers.emplace_back(work);
        work();
        for (std::thread &worker : workers)
            worker.join();
        if (fault)
            std::rethrow_exception(fault);
    }
    nb::list elsets;
    for (std::size_t g = 0; g < count; ++g)
        elsets.append(finish_lines(type, std::move(readings[g]), gm, re, names[g]));
    return elsets;
}

// The ELSETs of many satellites from one buffer of element-set records
// (elements::Record, 128 bytes each, as NumPy's RECORD dtype lays them out):
// `groups` holds a (first record, end record, satname) tuple per ELSET, whose
// records are put in epoch order. The values are the records' own, at full
// precision; the ELSETs hold no TLE text.
nb::list construct_groups_from_records(PyTypeObject *type, nb::handle buffer, nb::handle groups) {
    BufferView view(buffer);
    if (view.size() % elements::record_bytes != 0)
        throw nb::value_error("records must be whole element-set records of 128 bytes");
    const std::size_t records = view.size() / elements::record_bytes;
    nb::object items = checked(PySequence_Fast(groups.ptr(), "groups must be a sequence of tuples"));
    const std::size_t count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.ptr()));
    std::vector<LinesRead> readings(count);
    std::vector<nb::object> names(count);
    std::vector<std::size_t> firsts(count);
    for (std::size_t g = 0; g < count; ++g) {
        nb::handle group = PySequence_Fast_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(g));
        if (!PyTuple_Check(group.ptr()) || PyTuple_GET_SIZE(group.ptr()) != 3)
            throw nb::type_error("groups must hold (first record, end record, satname) tuples");
        const std::size_t first = nb::cast<std::size_t>(nb::handle(PyTuple_GET_ITEM(group.ptr(), 0)));
        const std::size_t end = nb::cast<std::size_t>(nb::handle(PyTuple_GET_ITEM(group.ptr(), 1)));
        if (first > end || end > records)
            throw nb::index_error("a group's records lie outside the buffer");
        row_count((end - first) * row_bytes, "ELSET._from_grouped_records()");
        names[g] = nb::borrow(PyTuple_GET_ITEM(group.ptr(), 2));
        args::require_exact_type(names[g], &PyUnicode_Type, "satname", true);
        if (!names[g].is_none())
            readings[g].satname = nb::cast<std::string>(names[g]);
        firsts[g] = first;
        readings[g].n = end - first;
    }
    const double gm = earth_constant(bound.gm), re = earth_constant(bound.re);
    {
        nb::gil_scoped_release unlocked;
        parallel::split(count, 1, records >= elset_table::rows_per_thread ? parallel::cores() : 1,
                        [&](std::size_t first_group, std::size_t end_group) {
            for (std::size_t g = first_group; g < end_group; ++g) {
                LinesRead &reading = readings[g];
                const std::size_t n = reading.n;
                reading.records.reset(new elements::Record[n]);
                std::memcpy(reading.records.get(), view.data() + firsts[g] * elements::record_bytes,
                            n * elements::record_bytes);
                reading.parts.epochs.resize(n);
                reading.parts.table.reset(new double[column_count * n]);
                reading.read = elset_table::read_records(reading.records.get(), n, gm, re, reading.parts.table.get(),
                                                         reading.parts.epochs.data());
                if (reading.read.unnumbered.empty())
                    sort_by_epoch(reading);
            }
        });
    }
    nb::list elsets;
    for (std::size_t g = 0; g < count; ++g)
        elsets.append(finish_lines(type, std::move(readings[g]), gm, re, names[g]));
    return elsets;
}

// A new plain ELSET (no name) of the element sets at `positions` of an ELSET
// read from lines, sharing its table: sorted by epoch again (equal epochs in
// the order given), the columns computed again from the lines.
nb::object select_lines(const ELSET &elset, const std::vector<std::size_t> &positions) {
    const std::size_t n = positions.size();
    LineTable *table = table_of(elset);
    if (n == 0 || !table)
        raise_empty();
    const std::int64_t *all_epochs = time::get(elset.epoch).data();
    Parts parts;
    parts.epochs.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        parts.epochs[i] = all_epochs[positions[i]];
    const std::vector<std::size_t> order = elset_table::order_by_epoch(parts.epochs.data(), n);
    parts.table.reset(new double[column_count * n]);
    parts.made.rows.resize(n);
    std::vector<std::int64_t> sorted(n);
    elset_table::LinesRow row;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t position = positions[order[i]];
        const std::uint32_t r = elset.rows.empty() ? static_cast<std::uint32_t>(position) : elset.rows[position];
        parts.made.rows[i] = r;
        sorted[i] = parts.epochs[order[i]];
        if (table->has_text())
            elset_table::read_row(table->row(r), table->gm, table->re, row, &sorted[i]);
        else
            elset_table::read_record(table->records[r], table->gm, table->re, row);
        elset_table::put_row(parts.table.get(), n, i, row.row);
    }
    parts.epochs = std::move(sorted);
    parts.made.table = elset.table;
    parts.made.drag_terms_filled = true;
    parts.made.anomalies_filled = false;
    parts.made.count = n;
    parts.made.satno = elset.satno;
    return finish(bound.elset, std::move(parts), nb::none());
}

// ---------------------------------------------------------------------- access

// The size attribute: natively for a plain ELSET, by name for a subclass.
nb::object size_attribute(nb::handle self, const ELSET &elset) {
    return is_plain_elset(self) ? nb::int_(size_of(elset)) : nb::getattr(self, bound.size);
}

nb::object element_at(const ELSET &elset, long long position) {
    if (position < 0 || position >= static_cast<long long>(size_of(elset)))
        throw nb::index_error("ELSET index out of range");
    const auto at = static_cast<std::size_t>(position);
    if (!from_lines(elset))
        return elset.elements[at];
    return table_of(elset)->element(elset.rows.empty() ? at : elset.rows[at]);
}

// A plain ELSET of the element sets at `positions`, built anew as selections are.
nb::object select(const ELSET &elset, const std::vector<std::size_t> &positions) {
    if (from_lines(elset))
        return select_lines(elset, positions);
    std::vector<PyObject *> picked;
    picked.reserve(positions.size());
    for (std::size_t position : positions)
        picked.push_back(elset.elements[position].ptr());
    return new_elset(picked);
}

nb::object getitem_integral(nb::handle self, const ELSET &elset, nb::handle item) {
    nb::object size = size_attribute(self, elset);
    // Any integer type is taken as a Python int first, so that `size + item`
    // is never computed in a small NumPy type that it overflows.
    nb::object index = PyIndex_Check(item.ptr()) ? checked(PyNumber_Index(item.ptr())) : nb::borrow(item);
    if (PyLong_Check(index.ptr()) && PyLong_Check(size.ptr())) {
        int overflow = 0;
        const long long position = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        const long long count = PyLong_AsLongLong(size.ptr());
        if (count == -1 && PyErr_Occurred())
            args::throw_pending();
        if (overflow)
            throw nb::index_error("ELSET index out of range");
        return element_at(elset, position >= 0 ? position : count + position);
    }
    nb::object zero = nb::int_(0);
    const int non_negative = PyObject_RichCompareBool(index.ptr(), zero.ptr(), Py_GE);
    if (non_negative < 0)
        args::throw_pending();
    nb::object position = non_negative ? index : checked(PyNumber_Add(size.ptr(), index.ptr()));
    const Py_ssize_t at = PyNumber_AsSsize_t(position.ptr(), PyExc_IndexError);
    if (at == -1 && PyErr_Occurred())
        args::throw_pending();
    return element_at(elset, at);
}

nb::object getitem_integral_slice(const ELSET &elset, nb::handle item) {
    args::require_exact_type(item, &PySlice_Type, "item");
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(item.ptr(), &start, &stop, &step) < 0)
        args::throw_pending();
    const Py_ssize_t count = PySlice_AdjustIndices(static_cast<Py_ssize_t>(size_of(elset)), &start, &stop, step);
    std::vector<std::size_t> positions;
    positions.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k)
        positions.push_back(static_cast<std::size_t>(start + k * step));
    return select(elset, positions);
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
    const std::size_t n = size_of(elset);
    std::vector<std::size_t> positions;
    if (native_positions(selection, n, positions))
        return select(elset, positions);
    // Anything else is indexed by NumPy itself: the positions, when NumPy
    // picks a run of them from an ELSET read from lines (no TLE is made for
    // that), else an object array of the element sets.
    if (from_lines(elset)) {
        nb::object picked = nb::handle(bound.numpy_arange)(n)[selection];
        if (native_positions(picked, n, positions))
            return select(elset, positions);
    }
    nb::list all;
    for (std::size_t i = 0; i < n; ++i)
        all.append(element_at(elset, static_cast<long long>(i)));
    nb::object chosen = nb::handle(bound.numpy_array)(all)[selection].attr(bound.tolist)();
    nb::object sequence = checked(PySequence_Fast(chosen.ptr(), "ELSET() argument after * must be an iterable"));
    PyObject **items = PySequence_Fast_ITEMS(sequence.ptr());
    return new_elset(std::vector<PyObject *>(items, items + PySequence_Fast_GET_SIZE(sequence.ptr())));
}

// A time-window bound as a Time, or nothing for None. Both bounds are made
// before either is checked, so that a bound Time refuses fails first.
nb::object window_time(nb::handle value) {
    return value.is_none() ? nb::object() : nb::handle(reinterpret_cast<PyObject *>(time::time_type()))(value);
}

// The count of a bound, which must be one instant: an array of them (a list
// of dates, an array-valued Time) would select elementwise.
std::optional<std::int64_t> window_count(const nb::object &instant, const char *which) {
    if (!instant.is_valid())
        return std::nullopt;
    const time::Time &counts = time::get(instant);
    if (counts.is_array()) {
        PyErr_Format(PyExc_ValueError, "the %s of a time window must be one instant, got %zu instants", which,
                     counts.size());
        args::throw_pending();
    }
    return counts.scalar();
}

// The element sets whose epoch lies in [start, stop); a None bound leaves
// that side open. The epochs are sorted, so the window of a plain ELSET is
// the run of positions between two binary searches.
nb::object getitem_window(nb::handle self, const ELSET &elset, nb::handle start, nb::handle stop) {
    const nb::object start_time = window_time(start), stop_time = window_time(stop);
    const std::optional<std::int64_t> lower = window_count(start_time, "start"),
                                      upper = window_count(stop_time, "stop");
    if (uses_own_method(self, bound.getitem_selection)) {
        const std::size_t n = size_of(elset);
        const std::int64_t *epochs = time::get(elset.epoch).data();
        const std::size_t first = lower ? std::lower_bound(epochs, epochs + n, *lower) - epochs : 0;
        const std::size_t last = upper ? std::lower_bound(epochs, epochs + n, *upper) - epochs : n;
        std::vector<std::size_t> positions;
        for (std::size_t i = first; i < last; ++i)
            positions.push_back(i);
        return select(elset, positions);
    }
    nb::object epochs = nb::getattr(nb::getattr(self, bound.epoch), bound.int64);
    nb::object mask = nb::handle(bound.numpy_ones)(nb::arg("shape") = nb::getattr(self, bound.size),
                                                   nb::arg("dtype") = nb::handle(reinterpret_cast<PyObject *>(&PyBool_Type)));
    if (lower)
        mask = mask & checked(PyObject_RichCompare(epochs.ptr(), nb::int_(*lower).ptr(), Py_GE));
    if (upper)
        mask = mask & checked(PyObject_RichCompare(epochs.ptr(), nb::int_(*upper).ptr(), Py_LT));
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
        return getitem_window(self, elset, slice->start, slice->stop);
    }
    return call_method(self, bound.getitem_selection, nb::handle(bound.numpy_array)(item));
}

// self[position], as the item lookup of the interpreter would do it.
nb::object item_of(nb::handle self, nb::handle position) {
    if (is_plain_elset(self))
        return getitem(self, *nb::inst_ptr<ELSET>(self), position);
    return checked(PyObject_GetItem(self.ptr(), position.ptr()));
}

// All element sets as rows of 138 bytes, in epoch order; None when they came
// without TLE text.
nb::object lines_of(const ELSET &elset) {
    const std::size_t n = size_of(elset);
    if (from_lines(elset) && !table_of(elset)->has_text())
        return nb::none();
    nb::object result = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * row_bytes)));
    char *out = PyBytes_AS_STRING(result.ptr());
    for (std::size_t i = 0; i < n; ++i, out += row_bytes) {
        if (from_lines(elset)) {
            std::memcpy(out, table_of(elset)->row(elset.rows.empty() ? i : elset.rows[i]), row_bytes);
        } else {
            const TLE *tle = tle_of(elset.elements[i]);
            std::memcpy(out, tle->line1, tle_lines::line_length);
            std::memcpy(out + tle_lines::line_length, tle->line2, tle_lines::line_length);
        }
    }
    return result;
}

// All element sets as records (128 bytes each), in epoch order: those kept,
// or read from the lines of each.
nb::bytes records_of(const ELSET &elset) {
    const std::size_t n = size_of(elset);
    nb::object result =
        checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * elements::record_bytes)));
    auto *out = reinterpret_cast<elements::Record *>(PyBytes_AS_STRING(result.ptr()));
    const LineTable *table = from_lines(elset) ? table_of(elset) : nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        if (table) {
            out[i] = table->record(elset.rows.empty() ? i : elset.rows[i]);
        } else {
            const TLE *tle = tle_of(elset.elements[i]);
            char row[row_bytes];
            std::memcpy(row, tle->line1, tle_lines::line_length);
            std::memcpy(row + tle_lines::line_length, tle->line2, tle_lines::line_length);
            out[i] = tle_lines::record_of_row(row);
        }
    }
    return nb::borrow<nb::bytes>(result);
}

// -------------------------------------------------------------------- iteration

// index < size; natively when self is a plain ELSET and index a plain int.
bool before_end(nb::handle self, const ELSET &elset, nb::handle index) {
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
    }
    return 0;
}

int line_table_clear(PyObject *self) {
    if (nb::inst_ready(self))
        nb::inst_ptr<LineTable>(self)->release();
    return 0;
}

// ----------------------------------------------------------------- properties

// The record of an ELSET; an instance whose record was never built (one made
// by a base type's __new__) raises instead of exposing garbage.
const ELSET *record(PyObject *self) {
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "%.200s object is not initialised", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return nb::inst_ptr<ELSET>(self);
}

PyObject *get_size(PyObject *self, void *) {
    const ELSET *elset = record(self);
    return elset ? PyLong_FromSize_t(size_of(*elset)) : nullptr;
}

PyObject *get_satname(PyObject *self, void *) { return PyObject_GetAttr(self, bound.stored_satname); }

PyObject *get_satno(PyObject *self, void *) {
    const ELSET *elset = record(self);
    return elset ? PyLong_FromLong(elset->satno) : nullptr;
}

PyObject *get_epoch(PyObject *self, void *) {
    const ELSET *elset = record(self);
    return elset ? Py_NewRef(elset->epoch.is_valid() ? elset->epoch.ptr() : Py_None) : nullptr;
}

// The drag-term columns, read from the lines of the TLE objects now unless
// they already are.
void fill_drag_terms(ELSET &elset) {
    if (elset.drag_terms_filled)
        return;
    const std::size_t n = size_of(elset);
    for (std::size_t i = 0; i < n; ++i)
        fill_tle_drag_terms(elset.column_data, n, i, *tle_of(elset.elements[i]));
    elset.drag_terms_filled = true;
}

// The anomaly columns, derived now unless they already are.
void fill_anomalies(ELSET &elset) {
    if (elset.anomalies_filled)
        return;
    const LineTable *table = table_of(elset);
    if (table)
        elset_table::fill_anomalies(elset.column_data, size_of(elset), [&](std::size_t i) {
            return table->anomaly(elset.rows.empty() ? i : elset.rows[i]);
        });
    elset.anomalies_filled = true;
}

// Column c as a new float64 array over the stored values, C-contiguous and
// writeable, based on their owner: every read shares the storage. Made on each
// read, so that an ELSET built pays for no array object until one is asked for.
PyObject *column_view(const ELSET &elset, std::size_t c) {
    npy_intp n = static_cast<npy_intp>(size_of(elset));
    PyObject *view = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1, &n, nullptr,
                                          elset.column_data + c * static_cast<std::size_t>(n), NPY_ARRAY_CARRAY, nullptr);
    if (view && PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(view), Py_NewRef(elset.column_owner.ptr())) < 0)
        Py_CLEAR(view);
    return view;
}

// A column: a new array object over the stored values on every read.
template <std::size_t Column>
PyObject *get_column(PyObject *self, void *) {
    const ELSET *elset = record(self);
    if (!elset)
        return nullptr;
    try {
        if constexpr (Column >= elset_table::first_drag_column)
            fill_drag_terms(*const_cast<ELSET *>(elset));
        if constexpr (Column == elset_table::eca_column || Column == elset_table::tra_column)
            fill_anomalies(*const_cast<ELSET *>(elset));
    } catch (...) {
        args::restore_as_python_error();
        return nullptr;
    }
    return column_view(*elset, Column);
}

template <std::size_t... Columns>
constexpr std::array<PyGetSetDef, sizeof...(Columns)> column_properties(std::index_sequence<Columns...>) {
    return {PyGetSetDef{elset_table::column_names[Columns], get_column<Columns>, nullptr, nullptr, nullptr}...};
}

// The documentation texts "ELSET.<name>: <type>" of the properties.
std::string property_doc(const char *name, const char *type) { return std::string("ELSET.") + name + ": " + type; }

std::vector<PyGetSetDef> elset_properties() {
    static std::vector<std::string> docs;
    std::vector<PyGetSetDef> properties = {
        {"size", get_size, nullptr, nullptr, nullptr},
        {"satname", get_satname, nullptr, nullptr, nullptr},
        {"satno", get_satno, nullptr, nullptr, nullptr},
    };
    for (const PyGetSetDef &column : column_properties(std::make_index_sequence<column_count>()))
        properties.push_back(column);
    properties.push_back({"epoch", get_epoch, nullptr, nullptr, nullptr});
    const char *types[] = {"int", "str | None", "int"};
    docs.reserve(properties.size());
    for (std::size_t i = 0; i < properties.size(); ++i) {
        docs.push_back(property_doc(properties[i].name, i < 3 ? types[i] : i + 1 == properties.size() ? "Time" : "ndarray"));
        properties[i].doc = docs.back().c_str();
    }
    properties.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    return properties;
}

// ---------------------------------------------------------------------- binding

// A reference kept for the life of the process.
PyObject *kept(nb::object value) { return value.release().ptr(); }

void look_up_dependencies(nb::module_ &m) {
    bound.tle = reinterpret_cast<PyTypeObject *>(nb::type<TLE>().ptr());
    if (!bound.tle)
        throw nb::import_error("the TLE type must be bound before ELSET");
    time::time_type();
    bound.earth = kept(m.attr("Earth"));
    nb::module_ numpy = nb::module_::import_("numpy");
    bound.ndarray = reinterpret_cast<PyTypeObject *>(kept(numpy.attr("ndarray")));
    bound.numpy_array = kept(numpy.attr("array"));
    bound.numpy_ones = kept(numpy.attr("ones"));
    bound.numpy_arange = kept(numpy.attr("arange"));
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
    bound.tolist = args::interned("tolist");
    bound.gm = args::interned("GM");
    bound.re = args::interned("Re");
    bound.getitem_integral = args::interned("_getitem_integral");
    bound.getitem_integral_slice = args::interned("_getitem_integral_slice");
    bound.getitem_selection = args::interned("_getitem_selection");
}

using Self = nb::pointer_and_handle<ELSET>;

// One row per element set: satellite number and name, epoch, every column.
nb::object to_pandas(nb::handle self, ELSET &elset) {
    fill_drag_terms(elset);
    fill_anomalies(elset);
    nb::dict data;
    data["satno"] = nb::getattr(self, bound.satno);
    data["satname"] = nb::getattr(self, bound.satname);
    data["epoch"] = nb::getattr(nb::getattr(self, bound.epoch), bound.int64).attr("view")("datetime64[ns]");
    for (std::size_t c = 0; c < column_count; ++c)
        data[elset_table::column_names[c]] = checked(column_view(elset, c));
    nb::object index = nb::handle(bound.numpy_arange)(size_of(elset));
    return nb::module_::import_("pandas").attr("DataFrame")(data, nb::arg("index") = index, nb::arg("copy") = true);
}

const char *const class_doc = R"(Element sets of one satellite in ascending order of epoch, with one NumPy column per element.

ELSET(*tles, satname=None): built from TLE objects, passed unpacked, that share one satellite
number (alpha-5 numbers such as A0001 count as their integer, 100001); equal epochs keep their
argument order. No len(): the number of element sets is `size`.

Columns (float64 arrays in epoch order, SI units; each read is a new array over the stored
column, and writing into it changes the column, not the TLE objects):
    ecc    eccentricity                 sma  semi-major axis [m]
    inc    inclination [rad]            raa  right ascension of the ascending node [rad]
    arp    argument of perigee [rad]    tra  true anomaly [rad]
    mnm    mean motion [rad/s]          orp  orbital period [s]
    eca    eccentric anomaly [rad]      mea  mean anomaly [rad]
    pge    perigee altitude [m]         apg  apogee altitude [m]
    bstar  drag term [1/Earth radii]    ndot first derivative of the mean motion [rad/s^2]
    nddot  second derivative of the mean motion [rad/s^3]
epoch is an array-valued Time; satno an int; satname the name given or None.

Reading: e[i] is the TLE at position i (e[-1] the latest); e[1:3] a positional slice;
e[t0:t1] a time window (start included, stop excluded, either end open; each bound one
instant); e[mask] or e[[0, 2]] a selection. Every selection is a new ELSET without a name.
Iteration keeps its position in the attribute index; pairwise() is a generator of
consecutive pairs with its own position. to_pandas() gives one row per element set.

Example:
    >>> from astrokite import ELSET, TLE
    >>> lines = open("data/iss.tle").read().splitlines()
    >>> iss = ELSET(*(TLE(a, b) for a, b in zip(lines[0::2], lines[1::2])), satname="ISS")
    >>> iss.size, iss.satno, iss[-1] is iss[iss.size - 1]
    (609, 25544, True)
    >>> round(float(iss.sma[0]) / 1000, 1)  # km
    6795.4
)";

PyType_Slot elset_slots[] = {{Py_tp_new, reinterpret_cast<void *>(elset_new)},
                             {Py_tp_init, reinterpret_cast<void *>(elset_init)},
                             {Py_tp_traverse, reinterpret_cast<void *>(elset_traverse)},
                             {Py_tp_clear, reinterpret_cast<void *>(elset_clear)},
                             {Py_tp_getset, nullptr},
                             {0, nullptr}};

PyType_Slot line_table_slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(line_table_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void *>(line_table_clear)},
                                  {0, nullptr}};

}  // namespace

void bind_elset(nb::module_ &m) {
    if (PyArray_ImportNumPyAPI() < 0)
        throw nb::python_error();
    look_up_dependencies(m);

    static std::vector<PyGetSetDef> properties = elset_properties();
    for (PyType_Slot &slot : elset_slots)
        if (slot.slot == Py_tp_getset)
            slot.pfunc = properties.data();

    nb::class_<ELSET, Representable> cls(m, "ELSET", nb::dynamic_attr(), nb::type_slots(elset_slots), class_doc);
    bound.elset = reinterpret_cast<PyTypeObject *>(cls.ptr());
    bound.dict_offset = bound.elset->tp_dictoffset;

    nb::class_<LineTable> line_table(cls, "_LineTable", nb::type_slots(line_table_slots),
                                     "The lines of an ELSET read from lines, shared with its selections.");
    bound.line_table = reinterpret_cast<PyTypeObject *>(line_table.ptr());

    nb::object from_lines_function = nb::cpp_function(
        [](nb::handle type, nb::handle buffer, nb::handle satname) {
            if (!PyType_Check(type.ptr()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type.ptr()), bound.elset))
                args::raise_cannot_convert(Py_TYPE(type.ptr())->tp_name, "ELSET");
            return construct_from_lines(reinterpret_cast<PyTypeObject *>(type.ptr()), buffer, satname);
        },
        nb::scope(cls), nb::name("_from_lines"), nb::arg("cls"), nb::arg("buffer"), nb::arg("satname").none() = nb::none(),
        nb::sig("def _from_lines(cls, buffer: bytes, satname: str | None = None) -> ELSET"),
        "An ELSET of the element sets in `buffer`: rows of 138 bytes, line 1 then line 2 (69 bytes each,\n"
        "as a TLE stores them), in any order. No TLE object is made until one is asked for.");
    nb::setattr(cls, "_from_lines", nb::module_::import_("builtins").attr("classmethod")(from_lines_function));
    nb::object from_grouped_lines_function = nb::cpp_function(
        [](nb::handle type, nb::handle buffer, nb::handle groups) {
            if (!PyType_Check(type.ptr()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type.ptr()), bound.elset))
                args::raise_cannot_convert(Py_TYPE(type.ptr())->tp_name, "ELSET");
            return construct_groups_from_lines(reinterpret_cast<PyTypeObject *>(type.ptr()), buffer, groups);
        },
        nb::scope(cls), nb::name("_from_grouped_lines"), nb::arg("cls"), nb::arg("buffer"), nb::arg("groups"),
        nb::sig("def _from_grouped_lines(cls, buffer: bytes | types.CapsuleType, groups: typing.Sequence[tuple[int, int, str | None]]) -> list[ELSET]"),
        "One ELSET per (first row, end row, satname) tuple of `groups`, each what _from_lines gives for\n"
        "rows [first, end) of `buffer`; the rows of all are read together, on every core. `buffer` may\n"
        "instead be the row source of a catalogue reader's scanner (its rows and epochs copied straight\n"
        "into each ELSET).");
    nb::setattr(cls, "_from_grouped_lines",
                nb::module_::import_("builtins").attr("classmethod")(from_grouped_lines_function));
    nb::object from_grouped_records_function = nb::cpp_function(
        [](nb::handle type, nb::handle buffer, nb::handle groups) {
            if (!PyType_Check(type.ptr()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type.ptr()), bound.elset))
                args::raise_cannot_convert(Py_TYPE(type.ptr())->tp_name, "ELSET");
            return construct_groups_from_records(reinterpret_cast<PyTypeObject *>(type.ptr()), buffer, groups);
        },
        nb::scope(cls), nb::name("_from_grouped_records"), nb::arg("cls"), nb::arg("buffer"), nb::arg("groups"),
        nb::sig("def _from_grouped_records(cls, buffer: collections.abc.Buffer, groups: typing.Sequence[tuple[int, int, str | None]]) -> list[ELSET]"),
        "One ELSET per (first record, end record, satname) tuple of `groups`, from element-set records\n"
        "(astrokite.elements.records.RECORD): the values as the records hold them, with no TLE text.");
    nb::setattr(cls, "_from_grouped_records",
                nb::module_::import_("builtins").attr("classmethod")(from_grouped_records_function));
    cls.def("_records", [](Self self) { return records_of(*self.p); }, nb::sig("def _records(self) -> bytes"),
            "The element sets as records (astrokite.elements.records.RECORD, 128 bytes each), in epoch order.");
    cls.def("_lines", [](Self self) { return lines_of(*self.p); }, nb::sig("def _lines(self) -> bytes | None"),
            "The element sets as rows of 138 bytes (line 1, then line 2, 69 bytes each), in epoch order;\n"
            "None for sets that came without TLE text.");

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

    nb::class_<Pairwise>(cls, "_PairwiseGenerator", nb::type_slots(args::gc_slots<Pairwise, &Pairwise::elset, &Pairwise::previous>))
        .def("__iter__", [](nb::pointer_and_handle<Pairwise> self) { return nb::borrow(self.h); })
        .def("__next__", [](Pairwise &pairs) { return next_pair(pairs); })
        .def("send", &send_pair, nb::arg("value").none())
        .def("throw", &throw_into_pairs, nb::arg("type").none(), nb::arg("value").none() = nb::none(),
             nb::arg("traceback").none() = nb::none())
        .def("close", [](Pairwise &pairs) { finish_pairs(pairs); });
    cls.def(
        "pairwise",
        [](Self self) {
            Pairwise pairs;
            pairs.elset = nb::borrow(self.h);
            pairs.previous = nb::none();
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
        "_get_body", [](Self self) { return checked(PyUnicode_FromFormat("%zu elements", size_of(*self.p))); },
        nb::sig("def _get_body(self) -> str"), "ELSET._get_body(self) -> str");
    cls.def("to_pandas", [](Self self) { return to_pandas(self.h, *self.p); },
            nb::sig("def to_pandas(self) -> pandas.DataFrame"),
            "One row per element set: satno, satname, epoch (datetime64[ns], UTC) and every element column.");
    cls.def(
        "_repr_html_",
        [](nb::handle self) { return nb::module_::import_("astrokite.utils.html").attr("render")(self); },
        nb::sig("def _repr_html_(self) -> str"), "HTML for notebooks, from astrokite.utils.html.render.");

    args::refuse_pickle(cls);
}

}  // namespace astrokite
