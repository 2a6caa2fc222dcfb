// ELSETs read from rows of TLE text (138 bytes: line 1, then line 2) or from
// element-set records, one satellite or many at once, and the selections of
// such an ELSET, which share its table.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <utility>
#include <vector>

#include "astrokite/common/parallel.hpp"
#include "astrokite/propagators/analytical/sgp4/elset_state.hpp"
#include "astrokite/time/time.hpp"

namespace astrokite::elset_detail {

using args::BufferView;

double earth_constant(PyObject *name) {
    nb::object value = nb::getattr(nb::handle(bound.earth), name);
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred())
        args::throw_pending();
    return result;
}

template <typename... Parts>
static nb::object new_line_table(Parts &&...parts) {
    nb::object table = nb::inst_alloc(reinterpret_cast<PyObject *>(bound.line_table));
    new (nb::inst_ptr<LineTable>(table)) LineTable(std::forward<Parts>(parts)...);
    nb::inst_mark_ready(table);
    return table;
}

namespace {

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
    nb::object extras;                   // of records
};

}  // namespace

// Room for n rows; needs no interpreter lock.
static void allocate_rows(LinesRead &reading, std::size_t n) {
    reading.n = n;
    reading.lines.reset(new char[n * row_bytes]);
    reading.parts.epochs.resize(n);
    reading.parts.table.reset(new double[column_count * n]);
}

// Sort the rows, columns and epochs read by epoch (equal epochs keep their order).
static void sort_by_epoch(LinesRead &reading) {
    Parts &parts = reading.parts;
    if (std::is_sorted(parts.epochs.begin(), parts.epochs.end()))
        return;
    const std::size_t n = reading.n;
    const std::vector<std::size_t> order = elset_table::order_by_epoch(parts.epochs.data(), n);
    if (parts.table)
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
static void read_lines(LinesRead &reading, const char *source, double gm, double re, bool all_cores,
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

// The epoch Times of many ELSETs read at once, each a view of its share of
// one array of counts for a run of ELSETs: a view costs less to make than an
// array of its own, and leaves no object for the garbage collector to visit.
// A run holds about epochs_per_array epochs, so that an ELSET kept alone keeps
// little more alive than its own.
class SharedEpochs {
public:
    static constexpr std::size_t epochs_per_array = 1 << 16;

    explicit SharedEpochs(const std::vector<LinesRead> &readings) {
        sizes_.reserve(readings.size());
        for (const LinesRead &reading : readings)
            sizes_.push_back(reading.n);
    }

    // The Time of the epochs of the readings, each in turn.
    nb::object time_of(const std::vector<std::int64_t> &epochs) {
        if (used_ + epochs.size() > size_)
            start_run();
        std::copy(epochs.begin(), epochs.end(), data_ + used_);
        const std::size_t first = used_;
        used_ += epochs.size();
        ++next_;
        nb::object view = counts_[nb::slice(first, used_)];
        return time::wrap(time::Time(std::move(view), data_ + first, epochs.size()));
    }

private:
    void start_run() {
        std::size_t size = 0;
        for (std::size_t g = next_; g < sizes_.size() && size < epochs_per_array; ++g)
            size += sizes_[g];
        counts_ = time::new_counts(size, data_);
        size_ = size;
        used_ = 0;
    }

    std::vector<std::size_t> sizes_;
    std::size_t next_ = 0;
    nb::object counts_;
    std::int64_t *data_ = nullptr;
    std::size_t size_ = 0, used_ = 0;
};

// The ELSET of `type` of lines read: raises what reading them found wrong.
// Its epoch Time is a view of `shared` when given.
static nb::object finish_lines(PyTypeObject *type, LinesRead &&reading, double gm, double re, nb::handle satname,
                               SharedEpochs *shared = nullptr) {
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
                                     : new_line_table(std::move(reading.records), reading.satname, std::move(reading.extras), n, gm,
                                                      re);
    parts.made.drag_terms_filled = true;
    parts.made.anomalies_filled = false;
    parts.made.count = n;
    if (shared)
        parts.made.epoch = shared->time_of(parts.epochs);
    return finish(type, std::move(parts), satname);
}

// The number of rows of 138 bytes in `bytes` bytes given to `function`.
static std::size_t row_count(std::size_t bytes, const char *function) {
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

// The rows handed over by another extension in a capsule (see
// elset_table::RowSource), or null when `buffer` is no such capsule.
static const elset_table::RowSource *row_source_of(nb::handle buffer) {
    if (!PyCapsule_CheckExact(buffer.ptr()))
        return nullptr;
    void *source = PyCapsule_GetPointer(buffer.ptr(), elset_table::row_source_capsule);
    if (!source)
        args::throw_pending();
    return static_cast<const elset_table::RowSource *>(source);
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
        // A satellite to a thread at a time; the first exception (out of memory) stops the others
        // and is raised here.
        const unsigned threads = static_cast<unsigned>(
            std::clamp<std::size_t>(rows / elset_table::rows_per_thread, 1, parallel::cores()));
        parallel::pieces_in_turn(count, threads, [&](std::size_t g) {
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
        }, [] { return true; });
    }
    nb::list elsets;
    SharedEpochs epochs(readings);
    for (std::size_t g = 0; g < count; ++g)
        elsets.append(finish_lines(type, std::move(readings[g]), gm, re, names[g], &epochs));
    return elsets;
}

// The records of one satellite: copied from `source` (at the positions `at`
// among them, in that order, or one after another when null) into the
// reading's own, once, in epoch order (equal epochs in the order given), and
// their epochs read. The columns are left to be computed from the records when
// first asked for. Needs no interpreter lock.
static void read_records(LinesRead &reading, const elements::Record *source, const std::size_t *at) {
    const std::size_t n = reading.n;
    auto record = [&](std::size_t i) -> const elements::Record & { return source[at ? at[i] : i]; };
    // A satellite's records lie far apart among the others': each is asked
    // for well before it is read, so that the waits overlap.
    constexpr std::size_t ahead = 8;
    auto prefetch = [&](std::size_t i) {
        const char *bytes = reinterpret_cast<const char *>(&record(i));
        __builtin_prefetch(bytes);
        __builtin_prefetch(bytes + elements::record_bytes - 1);
    };
    for (std::size_t i = 0; i < std::min(n, ahead); ++i)
        prefetch(i);
    std::vector<std::int64_t> &epochs = reading.parts.epochs;
    epochs.resize(n);
    reading.read = elset_table::read_each(0, n, n, nullptr, epochs.data(),
                                          [&](std::size_t i, elset_table::LinesRow &row) {
                                              if (i + ahead < n)
                                                  prefetch(i + ahead);
                                              elset_table::read_record_epoch(record(i), row);
                                          });
    reading.records.reset(new elements::Record[n]);
    // What finish_lines raises (an epoch out of range, a record without a
    // number) does not depend on the order.
    if (reading.read.failed < n || !reading.read.unnumbered.empty() || std::is_sorted(epochs.begin(), epochs.end())) {
        for (std::size_t i = 0; i < n; ++i)
            reading.records[i] = record(i);
        return;
    }
    const std::vector<std::size_t> order = elset_table::order_by_epoch(epochs.data(), n);
    std::vector<std::int64_t> sorted(n);
    for (std::size_t i = 0; i < n; ++i) {
        reading.records[i] = record(order[i]);
        sorted[i] = epochs[order[i]];
    }
    epochs = std::move(sorted);
}

// The records of `buffer` (elements::Record, 128 bytes each, as NumPy's RECORD
// dtype lays them out), whole.
static std::size_t record_count(const BufferView &view) {
    if (view.size() % elements::record_bytes != 0)
        throw nb::value_error("records must be whole element-set records of 128 bytes");
    return view.size() / elements::record_bytes;
}

// The ELSETs of the readings, records read on every core when there are many
// (a satellite to a thread at a time), each named and keeping `extras`.
static nb::list finish_records(PyTypeObject *type, std::vector<LinesRead> &readings, std::size_t records,
                               const std::vector<nb::object> &names, nb::handle extras,
                               const std::function<void(std::size_t)> &read_group) {
    for (std::size_t g = 0; g < readings.size(); ++g) {
        args::require_exact_type(names[g], &PyUnicode_Type, "satname", true);
        if (!names[g].is_none())
            readings[g].satname = nb::cast<std::string>(names[g]);
        readings[g].extras = nb::borrow(extras);
    }
    const double gm = earth_constant(bound.gm), re = earth_constant(bound.re);
    {
        nb::gil_scoped_release unlocked;
        parallel::split(readings.size(), 1, records >= elset_table::rows_per_thread ? parallel::cores() : 1,
                        [&](std::size_t first_group, std::size_t end_group) {
                            for (std::size_t g = first_group; g < end_group; ++g)
                                read_group(g);
                        });
    }
    nb::list elsets;
    SharedEpochs epochs(readings);
    for (std::size_t g = 0; g < readings.size(); ++g)
        elsets.append(finish_lines(type, std::move(readings[g]), gm, re, names[g], &epochs));
    return elsets;
}

// The ELSETs of many satellites from one buffer of element-set records:
// `groups` holds a (first record, end record, satname) tuple per ELSET, whose
// records are put in epoch order. The values are the records' own, at full
// precision; the ELSETs hold no TLE text. `extras` (any object, None for none)
// is what the records' extras_row index: the other OMM fields, kept with them.
nb::list construct_groups_from_records(PyTypeObject *type, nb::handle buffer, nb::handle groups, nb::handle extras) {
    BufferView view(buffer);
    const std::size_t records = record_count(view);
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
        firsts[g] = first;
        readings[g].n = end - first;
    }
    const auto *source = reinterpret_cast<const elements::Record *>(view.data());
    return finish_records(type, readings, records, names, extras,
                          [&](std::size_t g) { read_records(readings[g], source + firsts[g], nullptr); });
}

// The ELSETs of the records of `buffer` in reading order, one per catalogue
// number in ascending order, each satellite's records in epoch order (equal
// epochs in reading order), named by `names` (a dict from catalogue number to
// name; a number it lacks has none). The records are grouped here and copied
// once, straight into their ELSETs.
nb::list construct_from_records(PyTypeObject *type, nb::handle buffer, nb::handle names, nb::handle extras) {
    if (!PyDict_Check(names.ptr()))
        args::raise_cannot_convert(Py_TYPE(names.ptr())->tp_name, "dict");
    BufferView view(buffer);
    const std::size_t records = record_count(view);
    const auto *source = reinterpret_cast<const elements::Record *>(view.data());
    std::vector<std::size_t> order;
    std::vector<std::size_t> starts;
    {
        nb::gil_scoped_release unlocked;
        // A stable order by catalogue number, then where each number's records start in it.
        std::vector<std::int64_t> satnos(records);
        for (std::size_t i = 0; i < records; ++i)
            satnos[i] = source[i].satno;
        order = elset_table::order_by_epoch(satnos.data(), records);
        for (std::size_t i = 0; i < records; ++i)
            if (i == 0 || satnos[order[i]] != satnos[order[i - 1]])
                starts.push_back(i);
        starts.push_back(records);
    }
    const std::size_t count = starts.size() - 1;
    std::vector<LinesRead> readings(count);
    std::vector<nb::object> satnames(count);
    for (std::size_t g = 0; g < count; ++g) {
        readings[g].n = starts[g + 1] - starts[g];
        row_count(readings[g].n * row_bytes, "ELSET._from_records()");
        nb::object satno = nb::int_(source[order[starts[g]]].satno);
        PyObject *name = PyDict_GetItemWithError(names.ptr(), satno.ptr());
        if (!name && PyErr_Occurred())
            args::throw_pending();
        satnames[g] = name ? nb::borrow(name) : nb::none();
    }
    return finish_records(type, readings, records, satnames, extras,
                          [&](std::size_t g) { read_records(readings[g], source, order.data() + starts[g]); });
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

}  // namespace astrokite::elset_detail
