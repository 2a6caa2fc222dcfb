// The properties of an ELSET: size, name, satellite number, epochs and the
// columns, each column read as a new NumPy array over the stored values, its
// drag terms and anomalies filled in when first asked for; and to_pandas.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "astrokite/common/arrays.hpp"
#include "astrokite/common/parallel.hpp"
#include "astrokite/propagators/analytical/sgp4/elset_state.hpp"
#include "astrokite/time/time.hpp"

namespace astrokite::elset_detail {

// NumPy's table of C functions is one per file: this file's is the one the
// column views are made with.
int import_numpy_api() { return PyArray_ImportNumPyAPI(); }

// Write the drag-term columns of row i of a table of n rows from the lines of a TLE.
static void fill_tle_drag_terms(double *table, std::size_t n, std::size_t i, const TLE &tle) {
    elset_table::Row row{};
    elset_table::put_drag_terms(tle_lines::parse_drag_terms(tle.line1, tle_lines::stored_length(tle.line1)), row);
    for (std::size_t c = elset_table::first_drag_column; c < column_count; ++c)
        table[c * n + i] = row[c];
}

// The record of an ELSET; an instance whose record was never built (one made
// by a base type's __new__) raises instead of exposing garbage.
static const ELSET *record(PyObject *self) {
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "%.200s object is not initialised", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return nb::inst_ptr<ELSET>(self);
}

static PyObject *get_size(PyObject *self, void *) {
    const ELSET *elset = record(self);
    return elset ? PyLong_FromSize_t(size_of(*elset)) : nullptr;
}

static PyObject *get_satname(PyObject *self, void *) { return PyObject_GetAttr(self, bound.stored_satname); }

static PyObject *get_satno(PyObject *self, void *) {
    const ELSET *elset = record(self);
    return elset ? PyLong_FromLong(elset->satno) : nullptr;
}

static PyObject *get_epoch(PyObject *self, void *) {
    const ELSET *elset = record(self);
    return elset ? Py_NewRef(elset->epoch.is_valid() ? elset->epoch.ptr() : Py_None) : nullptr;
}

// The columns of an ELSET of records, computed from its records now unless
// they already are (as the lines' are when read, with the same Earth constants).
static void fill_columns(ELSET &elset) {
    if (elset.column_data)
        return;
    const std::size_t n = size_of(elset);
    std::unique_ptr<double[]> data(new double[column_count * n]);
    if (const LineTable *table = table_of(elset)) {
        double *columns = data.get();
        parallel::split(n, elset_table::rows_per_thread, parallel::cores(), [&](std::size_t first, std::size_t last) {
            elset_table::LinesRow row;
            for (std::size_t i = first; i < last; ++i) {
                elset_table::read_record(table->records[elset.rows.empty() ? i : elset.rows[i]], table->gm, table->re,
                                         row);
                elset_table::put_row(columns, n, i, row.row);
            }
        });
    }
    elset.column_owner = nb::capsule(data.get(), [](void *p) noexcept { delete[] static_cast<double *>(p); });
    elset.column_data = data.release();
}

// The drag-term columns, read from the lines of the TLE objects now unless
// they already are.
static void fill_drag_terms(ELSET &elset) {
    if (elset.drag_terms_filled)
        return;
    const std::size_t n = size_of(elset);
    for (std::size_t i = 0; i < n; ++i)
        fill_tle_drag_terms(elset.column_data, n, i, *tle_of(elset.elements[i]));
    elset.drag_terms_filled = true;
}

// The anomaly columns, derived now unless they already are.
static void fill_anomalies(ELSET &elset) {
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
static PyObject *column_view(const ELSET &elset, std::size_t c) {
    npy_intp n = static_cast<npy_intp>(size_of(elset));
    PyObject *view = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1, &n, nullptr,
                                          elset.column_data + c * static_cast<std::size_t>(n), NPY_ARRAY_CARRAY, nullptr);
    if (view && PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(view), Py_NewRef(elset.column_owner.ptr())) < 0)
        Py_CLEAR(view);
    return view;
}

// A column: a new array object over the stored values on every read.
template <std::size_t Column>
static PyObject *get_column(PyObject *self, void *) {
    const ELSET *elset = record(self);
    if (!elset)
        return nullptr;
    try {
        fill_columns(*const_cast<ELSET *>(elset));
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
static constexpr std::array<PyGetSetDef, sizeof...(Columns)> column_properties(std::index_sequence<Columns...>) {
    return {PyGetSetDef{elset_table::column_names[Columns], get_column<Columns>, nullptr, nullptr, nullptr}...};
}

// The documentation texts "ELSET.<name>: <type>" of the properties.
static std::string property_doc(const char *name, const char *type) {
    return std::string("ELSET.") + name + ": " + type;
}

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

// One row per element set: satellite number and name, epoch, every column.
nb::object to_pandas(nb::handle self, ELSET &elset) {
    fill_columns(elset);
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

// Columns by name over one (columns, total) table, and "epoch".
static nb::dict column_dict(std::vector<double> &&table, std::size_t total, std::vector<std::int64_t> &&epoch) {
    nb::object columns_table = nb::cast(arrays::to_array(std::move(table), {column_count, total}));
    nb::dict columns;
    for (std::size_t c = 0; c < column_count; ++c)
        columns[elset_table::column_names[c]] = columns_table[nb::int_(c)];
    columns["epoch"] = nb::cast(arrays::to_array(std::move(epoch)));
    return columns;
}

nb::dict columns_of_many(nb::handle elsets) {
    ManyElsets many(elsets);
    const std::size_t count = many.held.size(), total = many.first[count];
    std::vector<const std::int64_t *> epochs(count);
    for (std::size_t g = 0; g < count; ++g) {  // with the interpreter's lock: the lazy columns, the epochs
        fill_columns(*many.held[g]);
        fill_drag_terms(*many.held[g]);
        fill_anomalies(*many.held[g]);
        std::size_t n = 0;
        epochs[g] = time::ns_data(many.held[g]->epoch, n);
    }
    std::vector<double> out(column_count * total);
    std::vector<std::int64_t> epoch(total), satno(total);
    {
        nb::gil_scoped_release unlocked;
        parallel::split(count, many.elsets_per_piece(), parallel::cores(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t g = begin; g < end; ++g) {
                const ELSET &elset = *many.held[g];
                const std::size_t n = size_of(elset), at = many.first[g];
                for (std::size_t c = 0; c < column_count; ++c)
                    std::copy_n(elset.column_data + c * n, n, out.data() + c * total + at);
                std::copy_n(epochs[g], n, epoch.data() + at);
                std::fill_n(satno.data() + at, n, elset.satno);
            }
        });
    }
    nb::dict columns = column_dict(std::move(out), total, std::move(epoch));
    columns["satno"] = nb::cast(arrays::to_array(std::move(satno)));
    return columns;
}

nb::dict columns_of_lines(nb::bytes rows) {
    if (rows.size() % row_bytes != 0)
        throw nb::value_error("rows must be whole line pairs of 138 bytes");
    const std::size_t n = rows.size() / row_bytes;
    const double gm = earth_constant(bound.gm), re = earth_constant(bound.re);
    std::vector<double> out(column_count * n);
    std::vector<std::int64_t> epoch(n);
    if (n) {
        elset_table::RowsRead read;
        {
            nb::gil_scoped_release unlocked;
            const char *source = rows.c_str();
            std::unique_ptr<char[]> lines(new char[n * row_bytes]);  // their normalised form, not kept
            read = elset_table::read_all_rows(source, lines.get(), n, gm, re, out.data(), epoch.data());
            elset_table::fill_anomalies(out.data(), n,
                                        [&](std::size_t i) { return elset_table::anomaly_of_row(source + i * row_bytes); });
        }
        if (read.failed < n)
            time::raise_number_error(read.failed_row.epoch_status, "Julian date", read.failed_row.epoch_jd);
    }
    return column_dict(std::move(out), n, std::move(epoch));
}

}  // namespace astrokite::elset_detail
