// What every part of ELSET shares: the table of lines or records that an ELSET
// read from them shares with its selections, the ELSET and pairwise() records,
// what the bindings look up when the module loads, small helpers, and the
// functions that one part calls in another (each defined in the file named).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "astrokite/common/args.hpp"
#include "astrokite/elements/elset_table.hpp"
#include "astrokite/elements/record.hpp"
#include "astrokite/elements/tle_lines.hpp"
#include "astrokite/propagators/analytical/sgp4/tle.hpp"
#include "astrokite/utils/representable.hpp"

namespace astrokite::elset_detail {

namespace nb = nanobind;

using elset_table::column_count;
using elset_table::row_bytes;

// The element-set object of a set that came without TLE text (elset_access.cpp).
nb::object element_set_from_record(const elements::Record &record, const std::optional<std::string> &satname,
                                   double gm, double re);

// Element sets read from lines or from records, shared by an ELSET and its
// selections: the normalised lines, row after row, or the records of sets
// that came without TLE text (an OMM's, kept at full precision); the Earth
// constants their elements were computed with, and the element-set objects
// made from them so far.
struct LineTable {
    std::unique_ptr<char[]> lines;                  // null for records
    std::unique_ptr<elements::Record[]> records;    // null for lines
    std::optional<std::string> satname;             // records: the name the sets came with
    // Records: the other OMM fields the sets were given, as the reader gave them
    // (an object indexed by each record's extras_row), or None.
    nb::object extras;
    std::size_t rows = 0;
    double gm = 0, re = 0;               // Earth.GM and Earth.Re when the lines were read
    // Owned references, a slot per row, null until asked for; the slots
    // themselves are only made when the first TLE is.
    std::unique_ptr<PyObject *[]> made;

    LineTable(std::unique_ptr<char[]> lines_, std::size_t rows_, double gm_, double re_)
        : lines(std::move(lines_)), rows(rows_), gm(gm_), re(re_) {}
    LineTable(std::unique_ptr<elements::Record[]> records_, std::optional<std::string> satname_, nb::object extras_,
              std::size_t rows_, double gm_, double re_)
        : records(std::move(records_)), satname(std::move(satname_)), extras(std::move(extras_)), rows(rows_), gm(gm_),
          re(re_) {}
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
    // base of every column handed out. Null for sets read from records until
    // a column is first asked for: they are computed from the records then.
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

// One for the module: the binding fills it in, every part reads it.
inline Bound bound;

inline nb::object checked(PyObject *result) {
    if (!result)
        args::throw_pending();
    return nb::steal(result);
}

inline bool is_plain_elset(nb::handle self) { return Py_TYPE(self.ptr()) == bound.elset; }

// The stored element set of a ready TLE object (or of an instance of a
// subclass), else nullptr.
inline const TLE *tle_of(nb::handle value) {
    if (!PyObject_TypeCheck(value.ptr(), bound.tle) || !nb::inst_ready(value))
        return nullptr;
    return nb::inst_ptr<TLE>(value);
}

inline bool from_lines(const ELSET &elset) { return elset.table.is_valid(); }

inline LineTable *table_of(const ELSET &elset) {
    return elset.table.is_none() ? nullptr : nb::inst_ptr<LineTable>(elset.table);
}

// The number of element sets held (none once the garbage collector cleared them).
inline std::size_t size_of(const ELSET &elset) {
    if (from_lines(elset))
        return table_of(elset) ? elset.count : 0;
    return elset.elements.size();
}

// ---------------------------------------------------- construction from TLE objects
// (elset_construction.cpp)

// What an ELSET is made of, before it is written into its object.
struct Parts {
    ELSET made;
    std::vector<std::int64_t> epochs;
    std::unique_ptr<double[]> table;  // the columns, column-major
};

[[noreturn]] void raise_assertion();
// AssertionError, or KeyError with assertions disabled, as for an ELSET of no element set.
[[noreturn]] void raise_empty();
// The satellite number a TLE reports for a stored number field.
std::int32_t field_satno(std::string_view field);
// A new ELSET of `type` from its parts.
nb::object finish(PyTypeObject *type, Parts &&parts, nb::handle satname);
// A new plain ELSET (no name) of the element sets `items`.
nb::object new_elset(const std::vector<PyObject *> &items);
PyObject *elset_new(PyTypeObject *type, PyObject *call_args, PyObject *kwargs);
int elset_init(PyObject *, PyObject *, PyObject *);

// ------------------------------------------ construction from lines and records
// (elset_from_lines.cpp)

// A new plain ELSET of the element sets at `positions` of an ELSET read from lines.
nb::object select_lines(const ELSET &elset, const std::vector<std::size_t> &positions);
nb::object construct_from_lines(PyTypeObject *type, nb::handle buffer, nb::handle satname);
nb::list construct_groups_from_lines(PyTypeObject *type, nb::handle buffer, nb::handle groups);
nb::list construct_groups_from_records(PyTypeObject *type, nb::handle buffer, nb::handle groups, nb::handle extras);
nb::list construct_from_records(PyTypeObject *type, nb::handle buffer, nb::handle names, nb::handle extras);

// ----------------------------------------------------- access (elset_access.cpp)

nb::object size_attribute(nb::handle self, const ELSET &elset);
// self[position], as the item lookup of the interpreter would do it.
nb::object item_of(nb::handle self, nb::handle position);
nb::object getitem(nb::handle self, const ELSET &elset, nb::handle item);
nb::object getitem_integral(nb::handle self, const ELSET &elset, nb::handle item);
nb::object getitem_integral_slice(const ELSET &elset, nb::handle item);
nb::object getitem_selection(const ELSET &elset, nb::handle selection);
nb::object lines_of(const ELSET &elset);
nb::bytes records_of(const ELSET &elset);
// A sequence of ELSETs, checked: each one and where its rows start among all of theirs. The
// sequence is held (and with it each ELSET) while this lives.
struct ManyElsets {
    explicit ManyElsets(nb::handle elsets);
    // ELSETs per piece of work, so that each holds about rows_per_thread rows.
    std::size_t elsets_per_piece() const;
    nb::object items;
    std::vector<ELSET *> held;
    std::vector<std::size_t> first;  // one more than held: the total at the end
};
nb::tuple records_of_many(nb::handle elsets);

// ----------------------- iteration and garbage collector slots (elset_iteration.cpp)

nb::object next_element(nb::handle self, const ELSET &elset);
void finish_pairs(Pairwise &pairs);
nb::tuple next_pair(Pairwise &pairs);
nb::tuple send_pair(Pairwise &pairs, nb::handle value);
nb::object throw_into_pairs(Pairwise &pairs, nb::handle type, nb::handle value, nb::handle traceback);
int elset_traverse(PyObject *self, visitproc visit, void *arg);
int elset_clear(PyObject *self);
int line_table_traverse(PyObject *self, visitproc visit, void *arg);
int line_table_clear(PyObject *self);

// ------------------------------------------------ properties (elset_properties.cpp)

// NumPy's C API for the column views; below 0, with the Python error set, when it fails.
int import_numpy_api();
// The property table of the ELSET type, ending in an empty entry.
std::vector<PyGetSetDef> elset_properties();
nb::object to_pandas(nb::handle self, ELSET &elset);
// The columns of many ELSETs one after another, by name: views of one (columns, rows) float64
// table, and "epoch" (int64 counts of Time) and "satno" (int64).
nb::dict columns_of_many(nb::handle elsets);
// The same columns (and epochs) of line pairs, rows of 138 bytes, as an ELSET read from them
// holds them; no ELSET is made.
nb::dict columns_of_lines(nb::bytes rows);
// Earth's constant `name` ("GM", "Re") as the ELSET module reads it (elset_from_lines.cpp).
double earth_constant(PyObject *name);

}  // namespace astrokite::elset_detail
