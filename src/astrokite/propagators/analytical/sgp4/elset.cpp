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

#include <vector>

#include "astrokite/propagators/analytical/sgp4/elset_state.hpp"
#include "astrokite/time/time.hpp"

namespace nb = nanobind;

namespace astrokite {
namespace elset_detail {
namespace {

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
}  // namespace elset_detail

void bind_elset(nb::module_ &m) {
    using namespace elset_detail;
    if (import_numpy_api() < 0)
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
        [](nb::handle type, nb::handle buffer, nb::handle groups, nb::handle extras) {
            if (!PyType_Check(type.ptr()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type.ptr()), bound.elset))
                args::raise_cannot_convert(Py_TYPE(type.ptr())->tp_name, "ELSET");
            return construct_groups_from_records(reinterpret_cast<PyTypeObject *>(type.ptr()), buffer, groups, extras);
        },
        nb::scope(cls), nb::name("_from_grouped_records"), nb::arg("cls"), nb::arg("buffer"), nb::arg("groups"),
        nb::arg("extras").none() = nb::none(),
        nb::sig("def _from_grouped_records(cls, buffer: collections.abc.Buffer, groups: typing.Sequence[tuple[int, int, str | None]], extras: object | None = None) -> list[ELSET]"),
        "One ELSET per (first record, end record, satname) tuple of `groups`, from element-set records\n"
        "(astrokite.elements.records.RECORD): the values as the records hold them, with no TLE text;\n"
        "`extras`, what the records' extras_row index (the other OMM fields), is kept with them.");
    nb::setattr(cls, "_from_grouped_records",
                nb::module_::import_("builtins").attr("classmethod")(from_grouped_records_function));
    nb::object from_records_function = nb::cpp_function(
        [](nb::handle type, nb::handle buffer, nb::handle names, nb::handle extras) {
            if (!PyType_Check(type.ptr()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type.ptr()), bound.elset))
                args::raise_cannot_convert(Py_TYPE(type.ptr())->tp_name, "ELSET");
            return construct_from_records(reinterpret_cast<PyTypeObject *>(type.ptr()), buffer, names, extras);
        },
        nb::scope(cls), nb::name("_from_records"), nb::arg("cls"), nb::arg("buffer"), nb::arg("names"),
        nb::arg("extras").none() = nb::none(),
        nb::sig("def _from_records(cls, buffer: collections.abc.Buffer, names: dict[int, str], extras: object | None = None) -> list[ELSET]"),
        "One ELSET per catalogue number of the element-set records in `buffer`\n"
        "(astrokite.elements.records.RECORD, in reading order), in ascending number, each named by\n"
        "`names` (number -> name) and its sets in epoch order, equal epochs in reading order; grouped\n"
        "and copied on every core. Otherwise as _from_grouped_records.");
    nb::setattr(cls, "_from_records", nb::module_::import_("builtins").attr("classmethod")(from_records_function));
    cls.def_static("_records_of_many", &records_of_many, nb::arg("elsets"),
                   nb::sig("def _records_of_many(elsets: typing.Sequence[ELSET]) -> tuple[bytes, numpy.typing.NDArray[numpy.int64]]"),
                   "The records of many ELSETs one after another (astrokite.elements.records.RECORD, 128 bytes\n"
                   "each, each ELSET's in epoch order) and the number of each, int64; read on every core.");
    cls.def_static("_columns_of_many", &columns_of_many, nb::arg("elsets"),
                   nb::sig("def _columns_of_many(elsets: typing.Sequence[ELSET]) -> dict[str, numpy.typing.NDArray[typing.Any]]"),
                   "The columns of many ELSETs one after another, by name: ecc, sma, ... as the properties\n"
                   "(float64), epoch (int64 counts of Time) and satno (int64); read on every core.");
    cls.def_static("_columns_of_lines", &columns_of_lines, nb::arg("rows"),
                   nb::sig("def _columns_of_lines(rows: bytes) -> dict[str, numpy.typing.NDArray[typing.Any]]"),
                   "The columns of line pairs (rows of 138 bytes, line 1 then line 2) as _columns_of_many\n"
                   "gives those of ELSETs read from them, without satno; no ELSET is made.");
    cls.def(
        "_extras",
        [](Self self) -> nb::object {
            const LineTable *table = from_lines(*self.p) ? table_of(*self.p) : nullptr;
            return table && table->extras.is_valid() ? table->extras : nb::none();
        },
        nb::sig("def _extras(self) -> object | None"),
        "What the records' extras_row index (the other OMM fields of sets read from OMM), or None.");
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
