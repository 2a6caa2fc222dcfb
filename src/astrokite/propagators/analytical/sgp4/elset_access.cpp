// Reading an ELSET: an element set by position, a positional slice, a time
// window, a boolean mask or an array of positions (every selection a new
// ELSET); and all its element sets at once, as rows of text or as records.
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "astrokite/common/arrays.hpp"
#include "astrokite/common/parallel.hpp"
#include "astrokite/propagators/analytical/sgp4/elset_state.hpp"
#include "astrokite/time/time.hpp"

namespace astrokite::elset_detail {

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

// The method `name` of self is ELSET's own: self is exactly an ELSET and its
// instance dictionary does not hide the method.
static bool uses_own_method(nb::handle self, PyObject *name) {
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

static nb::object call_method(nb::handle self, PyObject *name, nb::handle argument) {
    return checked(PyObject_CallMethodOneArg(self.ptr(), name, argument.ptr()));
}

static bool is_integral(nb::handle value) {
    if (PyLong_Check(value.ptr()))
        return true;
    const int result = PyObject_IsInstance(value.ptr(), bound.integral);
    if (result < 0)
        args::throw_pending();
    return result != 0;
}

// The size attribute: natively for a plain ELSET, by name for a subclass.
nb::object size_attribute(nb::handle self, const ELSET &elset) {
    return is_plain_elset(self) ? nb::int_(size_of(elset)) : nb::getattr(self, bound.size);
}

static nb::object element_at(const ELSET &elset, long long position) {
    if (position < 0 || position >= static_cast<long long>(size_of(elset)))
        throw nb::index_error("ELSET index out of range");
    const auto at = static_cast<std::size_t>(position);
    if (!from_lines(elset))
        return elset.elements[at];
    return table_of(elset)->element(elset.rows.empty() ? at : elset.rows[at]);
}

// A plain ELSET of the element sets at `positions`, built anew as selections are.
static nb::object select(const ELSET &elset, const std::vector<std::size_t> &positions) {
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
static bool read_index_positions(const nb::ndarray<nb::ro, nb::ndim<1>> &array, std::ptrdiff_t stride,
                                 std::size_t count, std::size_t n, std::vector<std::size_t> &positions,
                                 long long &outside, bool &inside) {
    const nb::dlpack::dtype type = array.dtype();
    return ((type == nb::dtype<Ints>() &&
             (inside = elset_table::index_positions(static_cast<const Ints *>(array.data()), stride, count, n,
                                                    positions, outside),
              true)) ||
            ...);
}

// Positions that a one-dimensional boolean or integer NumPy array selects,
// by NumPy's rules; false for any other selection, which NumPy then indexes.
static bool native_positions(nb::handle selection, std::size_t n, std::vector<std::size_t> &positions) {
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
static nb::object window_time(nb::handle value) {
    return value.is_none() ? nb::object() : nb::handle(reinterpret_cast<PyObject *>(time::time_type()))(value);
}

// The count of a bound, which must be one instant: an array of them (a list
// of dates, an array-valued Time) would select elementwise.
static std::optional<std::int64_t> window_count(const nb::object &instant, const char *which) {
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
static nb::object getitem_window(nb::handle self, const ELSET &elset, nb::handle start, nb::handle stop) {
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
// The records of the sets of `elset` into `out` (its size of them), in epoch
// order: those kept, or read from the lines of each. Needs no interpreter lock:
// it reads only what an ELSET never changes once built.
void write_records(const ELSET &elset, elements::Record *out) {
    const std::size_t n = size_of(elset);
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
}

nb::bytes records_of(const ELSET &elset) {
    nb::object result =
        checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size_of(elset) * elements::record_bytes)));
    write_records(elset, reinterpret_cast<elements::Record *>(PyBytes_AS_STRING(result.ptr())));
    return nb::borrow<nb::bytes>(result);
}

// The records of many ELSETs, one after another, with the number of each:
// read on every core with the interpreter lock released (the list holds the
// ELSETs meanwhile). TypeError for an item that is no ELSET.
ManyElsets::ManyElsets(nb::handle elsets)
    : items(checked(PySequence_Fast(elsets.ptr(), "elsets must be a sequence of ELSETs"))) {
    const std::size_t count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.ptr()));
    held.resize(count);
    first.assign(count + 1, 0);
    for (std::size_t g = 0; g < count; ++g) {
        nb::handle item = PySequence_Fast_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(g));
        if (!PyObject_TypeCheck(item.ptr(), bound.elset) || !nb::inst_ready(item))
            args::raise_cannot_convert(Py_TYPE(item.ptr())->tp_name, "ELSET");
        held[g] = nb::inst_ptr<ELSET>(item);
        first[g + 1] = first[g] + size_of(*held[g]);
    }
}

std::size_t ManyElsets::elsets_per_piece() const {
    const std::size_t count = held.size();
    return std::max<std::size_t>(1, count * elset_table::rows_per_thread / (first[count] + 1));
}

nb::tuple records_of_many(nb::handle elsets) {
    const ManyElsets many(elsets);
    const auto &held = many.held;
    const auto &first = many.first;
    const std::size_t count = held.size();
    nb::object result =
        checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(first[count] * elements::record_bytes)));
    auto *out = reinterpret_cast<elements::Record *>(PyBytes_AS_STRING(result.ptr()));
    std::vector<std::int64_t> counts(count);
    for (std::size_t g = 0; g < count; ++g)
        counts[g] = static_cast<std::int64_t>(first[g + 1] - first[g]);
    {
        nb::gil_scoped_release unlocked;
        parallel::split(count, many.elsets_per_piece(), parallel::cores(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t g = begin; g < end; ++g)
                write_records(*held[g], out + first[g]);
        });
    }
    return nb::make_tuple(result, arrays::to_array(std::move(counts)));
}

}  // namespace astrokite::elset_detail
