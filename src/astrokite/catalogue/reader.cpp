// The reader extension: the two-stage scanner of tle_scanner.hpp seen from
// Python. Bytes go in chunk by chunk with the interpreter lock released; what
// comes out is one buffer of normalised line pairs per satellite.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include <stdexcept>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <optional>
#include <utility>
#include <vector>

#include "astrokite/elements/tle_columns.hpp"
#include "astrokite/catalogue/tle_row_fields.hpp"
#include "astrokite/catalogue/tle_scanner.hpp"
#include "astrokite/common/args.hpp"
#include "astrokite/elements/elset_table.hpp"

namespace nb = nanobind;

namespace astrokite::catalogue {
namespace {

nb::str text_of(const std::string &text) {
    PyObject *decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
    if (!decoded)
        args::throw_pending();
    return nb::steal<nb::str>(decoded);
}

// A scanner that also keeps, once the reading is done, its sets grouped by
// satellite, so that each satellite's rows can be copied out straight into
// its ELSET.
struct GroupingScanner : Scanner {
    using Scanner::Scanner;
    Grouping grouping;
    std::size_t lent = 0;  // row sources alive: they read the records and `grouping`
};

// Changing what a row source reads while one is alive is refused.
void require_unlent(const GroupingScanner &scanner) {
    if (scanner.lent)
        throw std::runtime_error("the scanner's rows are in use by a row source; it cannot change until that is gone");
}

// A row source with the scanner that holds its rows, kept alive by it.
struct LentRows {
    astrokite::elset_table::RowSource source;
    GroupingScanner *scanner;
    PyObject *owner;
};

// The grouped rows as an ELSET row source (see elset_table::RowSource), in a
// capsule that keeps the scanner alive and unchanged while it exists.
nb::object row_source(nb::handle self) {
    GroupingScanner &scanner = nb::cast<GroupingScanner &>(self);
    auto *lent = new LentRows{
        {&scanner, scanner.grouping.size,
         [](const void *context, std::size_t first, std::size_t count, char *out) {
             const auto &held = *static_cast<const GroupingScanner *>(context);
             held.copy_rows(held.grouping.records.get() + first, count, out);
         },
         [](const void *context, std::size_t first, std::size_t count, std::int64_t *out) {
             const auto &held = *static_cast<const GroupingScanner *>(context);
             const Placed *placed = held.grouping.records.get() + first;
             for (std::size_t i = 0; i < count; ++i)
                 out[i] = placed[i].epoch;
         }},
        &scanner, self.ptr()};
    PyObject *capsule = PyCapsule_New(&lent->source, astrokite::elset_table::row_source_capsule, [](PyObject *capsule) {
        // `source` is the first member of its LentRows.
        auto *held = reinterpret_cast<LentRows *>(PyCapsule_GetPointer(capsule, astrokite::elset_table::row_source_capsule));
        --held->scanner->lent;
        Py_DECREF(held->owner);
        delete held;
    });
    if (!capsule) {
        delete lent;
        args::throw_pending();
    }
    Py_INCREF(self.ptr());
    ++scanner.lent;
    return nb::steal(capsule);
}

// The bytes of a buffer-protocol object (bytes, bytearray, memoryview), read
// while the interpreter lock is released.
void feed(GroupingScanner &scanner, nb::handle chunk) {
    require_unlent(scanner);
    Py_buffer view;
    if (PyObject_GetBuffer(chunk.ptr(), &view, PyBUF_CONTIG_RO) < 0)
        args::throw_pending();
    try {
        nb::gil_scoped_release released;
        scanner.feed(static_cast<const char *>(view.buf), static_cast<std::size_t>(view.len));
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
}

// Rejections from position `first` on, as (source, line, text, reason) tuples.
nb::list rejections_from(GroupingScanner &scanner, std::size_t first) {
    nb::list result;
    const std::vector<Rejection> &all = scanner.rejections();
    for (std::size_t i = first; i < all.size(); ++i) {
        std::string reason = all[i].reason;
        if (all[i].last_single > all[i].line)
            reason += "; so are the " + std::to_string(all[i].last_single - all[i].line) + " lines after it";
        result.append(nb::make_tuple(all[i].source, all[i].line, text_of(all[i].text), text_of(reason)));
    }
    return result;
}

// Group the sets read by satellite: ascending number, epoch order within one
// (equal epochs in reading order). Gives a (satno, first row, end row, name)
// tuple per satellite; the rows are those of rows_of().
nb::list group(GroupingScanner &scanner, bool drop_duplicates) {
    require_unlent(scanner);
    std::vector<Satellite> satellites;
    {
        nb::gil_scoped_release released;
        if (drop_duplicates)
            scanner.drop_duplicates();
        scanner.grouping = scanner.grouped(satellites);
    }
    nb::list groups;
    for (const Satellite &satellite : satellites) {
        nb::object name = satellite.name == no_name ? nb::none()
                                                    : nb::object(text_of(std::string(scanner.name(satellite.name))));
        groups.append(nb::make_tuple(satellite.satno, satellite.first, satellite.last, name));
    }
    return groups;
}

// Rows [first, end) of the grouped sets as one buffer of 138-byte rows
// (normalised line 1, then line 2).
nb::bytes rows_of(GroupingScanner &scanner, std::size_t first, std::size_t end) {
    if (first > end || end > scanner.grouping.size)
        throw nb::index_error("rows outside the grouped element sets");
    PyObject *rows = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((end - first) * row_size));
    if (!rows)
        args::throw_pending();
    nb::bytes held = nb::steal<nb::bytes>(rows);
    {
        nb::gil_scoped_release released;
        scanner.copy_rows(scanner.grouping.records.get() + first, end - first, PyBytes_AS_STRING(rows));
    }
    return held;
}

// Every set at once: (rows, groups) as group() and rows_of() give them.
nb::tuple satellites_of(GroupingScanner &scanner, bool drop_duplicates) {
    nb::list groups = group(scanner, drop_duplicates);
    return nb::make_tuple(rows_of(scanner, 0, scanner.grouping.size), groups);
}

template <typename T>
nb::bytes raw_bytes(const std::vector<T> &values) {
    return nb::bytes(reinterpret_cast<const char *>(values.data()), values.size() * sizeof(T));
}

// The fields of rows of 138 bytes, each column as the raw bytes of its array.
nb::dict fields_of(nb::bytes rows) {
    const std::size_t n = rows.size() / row_size;
    RowFields fields;
    {
        nb::gil_scoped_release released;
        fields = row_fields(rows.c_str(), n);
    }
    nb::dict result;
    result["epoch"] = raw_bytes(fields.epoch);
    result["ndot"] = raw_bytes(fields.ndot);
    result["nddot"] = raw_bytes(fields.nddot);
    result["bstar"] = raw_bytes(fields.bstar);
    result["ephtype"] = raw_bytes(fields.ephtype);
    result["elnum"] = raw_bytes(fields.elnum);
    result["revnum"] = raw_bytes(fields.revnum);
    result["classification"] = nb::bytes(fields.classification.data(), fields.classification.size());
    result["intldes"] = nb::bytes(fields.intldes.data(), fields.intldes.size());
    return result;
}

// The line pairs of the element sets of `values` (a dict of one-dimensional
// arrays, see tle_columns.hpp) written into `rows` (n x 138 bytes), with the
// fault of each row (0 for none) in `faults`.
void format_rows(nb::dict values, nb::ndarray<std::uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu> rows,
                 nb::ndarray<std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> faults) {
    const std::size_t n = faults.shape(0);
    if (rows.shape(0) != n || rows.shape(1) != row_size)
        throw nb::value_error("rows must be an (n, 138) array for n faults");
    // Each array is kept referenced while its data is read.
    std::vector<nb::object> held;
    auto column = [&]<typename T>(const char *name, const T *) -> const T * {
        auto array = nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(values[name]);
        if (array.shape(0) != n)
            throw nb::value_error((std::string("column ") + name + " has the wrong length").c_str());
        held.push_back(nb::borrow(values[name]));
        return array.data();
    };
    auto text = [&](const char *name, std::size_t width) -> const char * {
        nb::bytes bytes = nb::cast<nb::bytes>(values[name]);
        if (bytes.size() != n * width)
            throw nb::value_error((std::string("column ") + name + " has the wrong length").c_str());
        held.push_back(bytes);
        return bytes.c_str();
    };
    const std::int64_t *integer = nullptr;
    const double *real = nullptr;
    columns::Columns c;
    c.n = n;
    c.satno = column("satno", integer);
    c.epoch = column("epoch", integer);
    c.ephtype = column("ephtype", integer);
    c.elnum = column("elnum", integer);
    c.revnum = column("revnum", integer);
    c.ecc = column("ecc", real);
    c.inc = column("inc", real);
    c.raa = column("raa", real);
    c.arp = column("arp", real);
    c.mea = column("mea", real);
    c.mnm = column("mnm", real);
    c.ndot = column("ndot", real);
    c.nddot = column("nddot", real);
    c.bstar = column("bstar", real);
    c.classification = text("classification", 1);
    c.intldes = text("intldes", 8);
    char *out = reinterpret_cast<char *>(rows.data());
    std::uint8_t *fault = faults.data();
    nb::gil_scoped_release released;
    for (std::size_t i = 0; i < n; ++i)
        fault[i] = static_cast<std::uint8_t>(columns::write_row(c, i, out + i * row_size));
}

}  // namespace
}  // namespace astrokite::catalogue

NB_MODULE(reader, m) {
    astrokite::args::LoadOnce once(m);
    using astrokite::catalogue::GroupingScanner;
    using astrokite::catalogue::Options;
    using astrokite::catalogue::Scanner;
    m.doc() = "Native scanner of two-line element set text (used by astrokite.catalogue).";

    nb::class_<GroupingScanner>(m, "Scanner",
                        "Reads element-set text fed in chunks: pairs lines, checks and filters the sets,\n"
                        "records every rejected line, groups the sets by satellite.")
        .def(
            "__init__",
            [](GroupingScanner *self, bool strict, std::optional<std::vector<std::int32_t>> satnos,
               std::optional<std::int64_t> start, std::optional<std::int64_t> stop, unsigned threads) {
                Options options;
                options.strict = strict;
                options.select_satnos = satnos.has_value();
                if (satnos)
                    options.satnos = std::move(*satnos);
                options.has_start = start.has_value();
                options.start = start.value_or(0);
                options.has_stop = stop.has_value();
                options.stop = stop.value_or(0);
                new (self) GroupingScanner(std::move(options), threads);
            },
            nb::kw_only(), nb::arg("strict") = false, nb::arg("satnos").none() = nb::none(),
            nb::arg("start").none() = nb::none(), nb::arg("stop").none() = nb::none(), nb::arg("threads") = 0,
            "Keep the sets that pass the strict checks (when `strict`), whose number is in `satnos`\n"
            "(all when None) and whose epoch count lies in [start, stop) (open where None).\n"
            "`threads` 0 uses every core.")
        .def("begin", [](GroupingScanner &self, std::uint32_t source) { astrokite::catalogue::require_unlent(self); self.begin(source); }, nb::arg("source"), "Start reading the source numbered `source`.")
        .def("feed", [](GroupingScanner &self, nb::handle chunk) { astrokite::catalogue::feed(self, chunk); },
             nb::arg("chunk"), nb::sig("def feed(self, chunk: bytes | bytearray | memoryview) -> None"),
             "Read the next bytes of the current source.")
        .def("end", [](GroupingScanner &self) { astrokite::catalogue::require_unlent(self); self.end(); }, "The current source ends: reject the lines left without a partner.")
        .def_prop_ro("rejection_count", [](GroupingScanner &self) { return self.rejections().size(); })
        .def("rejections", &astrokite::catalogue::rejections_from, nb::arg("first") = 0,
             nb::sig("def rejections(self, first: int = 0) -> list[tuple[int, int, str, str]]"),
             "The rejections from position `first` on: (source, line, text, reason) tuples.")
        .def("release",
             [](GroupingScanner &self) {
                 astrokite::catalogue::require_unlent(self);
                 self.release_records();
                 self.grouping = {};
             },
             "Let go of the sets and names read (their memory too) once they are copied out; the\n"
             "rejections stay.")
        .def("satellites", &astrokite::catalogue::satellites_of, nb::kw_only(), nb::arg("drop_duplicates") = false,
             nb::sig("def satellites(self, *, drop_duplicates: bool = False) -> "
                     "tuple[bytes, list[tuple[int, int, int, str | None]]]"),
             "(rows, groups): every set as a 138-byte row (normalised line 1, then line 2), grouped by\n"
             "satellite in ascending number, by epoch within one (equal epochs in reading order);\n"
             "groups holds a (satno, first row, end row, name) tuple per satellite.")
        .def("group", &astrokite::catalogue::group, nb::kw_only(), nb::arg("drop_duplicates") = false,
             nb::sig("def group(self, *, drop_duplicates: bool = False) -> list[tuple[int, int, int, str | None]]"),
             "Group the sets read by satellite: a (satno, first row, end row, name) tuple per satellite,\n"
             "in ascending number, the rows in epoch order within one (equal epochs in reading order).\n"
             "The rows are those row_source() gives.")
        .def("row_source", &astrokite::catalogue::row_source,
             nb::sig("def row_source(self) -> types.CapsuleType"),
             "The grouped rows and their epochs for ELSET._from_grouped_lines(), with no copy: a capsule\n"
             "that keeps the scanner alive and unchangeable (begin, feed, end, group, release refuse)\n"
             "while it exists.");
    m.def(
        "return_free_memory",
        [] {
#if defined(__GLIBC__)
            // The temporaries of a large reading lie scattered on the heap
            // once freed; hand the free pages back instead of keeping them
            // resident for the life of the process.
            malloc_trim(0);
#endif
        },
        "Give the heap's free pages back to the system (after a large reading).");
    m.def("format_rows", &astrokite::catalogue::format_rows, nb::arg("values"), nb::arg("rows"), nb::arg("faults"),
          nb::sig("def format_rows(values: dict[str, numpy.ndarray | bytes], rows: numpy.ndarray, "
                  "faults: numpy.ndarray) -> None"),
          "Write the line pairs of n element sets into rows (a C-contiguous uint8 array of shape\n"
          "(n, 138)) and the fault of each (0 for none, else a reason's code) into faults (uint8, n).\n"
          "values: satno, epoch (counts of Time), ephtype, elnum, revnum (int64 arrays); ecc, inc,\n"
          "raa, arp, mea [rad], mnm [rad/s], ndot, nddot, bstar (float64 arrays); classification (n\n"
          "bytes) and intldes (8n bytes) of printable ASCII.");
    m.def("fields", &astrokite::catalogue::fields_of, nb::arg("rows"), nb::sig("def fields(rows: bytes) -> dict[str, bytes]"),
          "The fields of 138-byte rows, each as the raw bytes of a column: epoch (int64 counts of\n"
          "Time), ndot, nddot, bstar (float64), ephtype, elnum, revnum (int32), classification (1\n"
          "byte a row), intldes (8 bytes a row).");
}
