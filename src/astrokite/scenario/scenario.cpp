// Scenario: the time of a simulation, the Sun, Earth and Moon at that time, the
// reference ellipsoid, three descriptive texts and the Earth-fixed to inertial
// rotation, computed on first read and then kept. The physics lives in the
// sibling modules; this type builds the objects in a fixed order and holds them.
#include <nanobind/nanobind.h>

#include <utility>

#include "astrokite/common/args.hpp"

namespace nb = nanobind;
namespace args = astrokite::args;

namespace {

// Siblings bound at import and held for the life of the process.
struct Siblings {
    nb::handle time_type, sun, moon, earth;
    PyTypeObject *ellipsoid_type = nullptr;
    nb::handle wgs84;
    PyTypeObject *ndarray_type = nullptr;
    nb::handle globals;  // this module's namespace
};
Siblings siblings;

// Every member is None until set: __new__ makes a scenario of Nones, which
// __init__ fills.
struct Scenario {
    nb::object time = nb::none(), sun = nb::none(), earth = nb::none(), moon = nb::none(),
               ellipsoid = nb::none();
    nb::object name = nb::none(), description = nb::none(), author = nb::none();
    nb::object rotation = nb::none();  // cache; None until a rotation has been computed
};

// The held objects and the rotation cache take part in cycle collection; the
// texts cannot form cycles.
constexpr auto &scenario_slots =
    args::object_holder_slots<Scenario, &Scenario::time, &Scenario::sun, &Scenario::earth, &Scenario::moon,
                              &Scenario::ellipsoid, &Scenario::rotation>;

const char *scenario_doc = R"(The setting of one simulation: its time, the Sun, Earth and Moon at that
time, the reference ellipsoid, three descriptive texts and the rotation from
the Earth-fixed frame ITRF to the inertial frame GCRF.

Scenario(time, ellipsoid=WGS84)

time       anything Time accepts (ISO 8601 text, datetime, numpy.datetime64,
           a Time, ...), in UTC; always passed through Time.
ellipsoid  an Ellipsoid (or an instance of a subclass); WGS84 by default.

The Sun, the Moon and the Earth are built from the scenario's time, in this
order; their positions are geocentric GCRF in metres. rot_GCRF_from_ITRF is
the 3x3 rotation matrix taking ITRF vectors to GCRF at the scenario's time,
computed on first read and then kept (UT1 taken equal to UTC, no polar
motion). name, author and description take a str or None; an unset one reads
"None". Scenarios cannot be pickled or copied.

Example:

>>> from astrokite.scenario.scenario import Scenario
>>> scenario = Scenario("2024-03-20T03:06:00")
>>> scenario.ellipsoid
Ellipsoid(a=6378137.0, f=0.0033528106647474805)
>>> import numpy
>>> round(float(numpy.linalg.norm(scenario.sun.position)) / 1e9, 3)  # Gm
148.979
>>> scenario.rot_GCRF_from_ITRF.shape
(3, 3)
>>> scenario.name = "March equinox")";

void initialise(nb::handle self, const nb::args &call_args, const nb::kwargs &kwargs) {
    Scenario &held = args::receiver<Scenario>(self, "__init__");
    static const char *const names[] = {"time", "ellipsoid"};
    nb::object values[] = {nb::none(), nb::borrow(siblings.wgs84)};
    // Binding errors name the method called, as the interpreter does.
    args::bind_arguments("__init__", call_args, kwargs, names, 1, values);
    auto &[time_argument, ellipsoid] = values;
    args::require_instance(ellipsoid, siblings.ellipsoid_type, "ellipsoid");

    // Everything is built before a member changes, so a failure leaves the
    // scenario as it was.
    nb::object time = siblings.time_type(time_argument);
    nb::object sun = siblings.sun(time);
    nb::object moon = siblings.moon(time);
    nb::object earth = siblings.earth(time);
    // A second __init__ keeps the texts; the rotation belonged to the old time.
    Scenario built{std::move(time), std::move(sun), std::move(earth), std::move(moon), std::move(ellipsoid),
                   held.name, held.description, held.author};
    // The replaced members are released only when all new ones are in place.
    std::swap(held, built);
}

// The rotation function is looked up in the module namespace on every
// computation, so that replacing the module attribute takes effect.
nb::object lookup_global(const char *name) {
    PyObject *value = nullptr;
    int found = PyDict_GetItemStringRef(siblings.globals.ptr(), name, &value);
    if (found == 0)
        found = PyDict_GetItemStringRef(PyEval_GetBuiltins(), name, &value);
    if (found < 0)
        args::throw_pending();
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        args::throw_pending();
    }
    return nb::steal(value);
}

nb::object rotation(Scenario &self) {
    if (!self.rotation.is_none())
        return self.rotation;
    // A scenario made by __new__ alone has no time to rotate at: None, as it
    // reads for every other member.
    if (self.time.is_none())
        return nb::none();
    nb::object result = lookup_global("rot_GCRF_from_ITRF")(self.time);
    if (!result.is_none() && !PyObject_TypeCheck(result.ptr(), siblings.ndarray_type))
        args::raise_cannot_convert(Py_TYPE(result.ptr())->tp_name, "numpy.ndarray");
    self.rotation = result;
    return result;
}

// The descriptive texts read through `str`, so an unset text reads "None".
template <nb::object Scenario::*member>
void def_text(nb::class_<Scenario> &cls, const char *name, const char *getter_sig, const char *setter_sig,
              const char *doc) {
    cls.def_prop_rw(
        name, [](Scenario &self) { return nb::str(self.*member); },
        [](Scenario &self, nb::handle value) {
            args::require_exact_type(value, &PyUnicode_Type, "value", true);
            self.*member = nb::borrow(value);
        },
        nb::for_getter(nb::sig(getter_sig)), nb::for_setter(nb::arg("value").none()), nb::for_setter(nb::sig(setter_sig)),
        doc);
    args::refuse_delete(cls, name);
}

// A read-only property that returns the member as held, without a docstring.
template <nb::object Scenario::*member>
void def_held(nb::class_<Scenario> &cls, const char *name, const char *sig) {
    cls.def_prop_ro(name, [](Scenario &self) { return self.*member; }, nb::sig(sig));
    cls.attr(name).attr("__doc__") = nb::none();
}

}  // namespace

NB_MODULE(scenario, m) {
    m.doc() = "Scenario: the time, bodies, reference ellipsoid and Earth rotation of one simulation.";
    args::LoadOnce once(m);
    nb::module_ numpy = nb::module_::import_("numpy");
    siblings.ndarray_type = args::import_type_for_process("numpy", "ndarray");
    siblings.time_type = args::import_name_for_process("astrokite.time.time", "Time");
    siblings.sun = args::import_name_for_process("astrokite.bodies.bodies", "Sun");
    siblings.moon = args::import_name_for_process("astrokite.bodies.bodies", "Moon");
    siblings.earth = args::import_name_for_process("astrokite.bodies.bodies", "Earth");
    siblings.ellipsoid_type = args::import_type_for_process("astrokite.mathtools.ellipsoid.ellipsoid", "Ellipsoid");
    siblings.wgs84 = args::import_name_for_process("astrokite.mathtools.ellipsoid.ellipsoid", "WGS84");
    m.attr("numpy") = numpy;
    m.attr("rot_GCRF_from_ITRF") = args::import_name("astrokite.frames.rotations", "rot_GCRF_from_ITRF");
    m.attr("DatetimeLike") = args::import_name("astrokite.typing", "DatetimeLike");

    nb::class_<Scenario> cls(m, "Scenario", nb::type_slots(scenario_slots), scenario_doc);
    cls.def("__init__", &initialise,
            nb::sig("def __init__(self, time: astrokite.typing.DatetimeLike, "
                    "ellipsoid: astrokite.mathtools.ellipsoid.ellipsoid.Ellipsoid = astrokite.mathtools.ellipsoid.ellipsoid.WGS84) -> None"));
    cls.def_prop_ro("rot_GCRF_from_ITRF", &rotation,
                    nb::sig("def rot_GCRF_from_ITRF(self, /) -> numpy.typing.NDArray[numpy.float64] | None"),
                    "Scenario.rot_GCRF_from_ITRF: numpy.ndarray");
    def_text<&Scenario::name>(cls, "name", "def name(self, /) -> str", "def name(self, value: str | None, /) -> None",
                              "Scenario.name: str");
    def_text<&Scenario::author>(cls, "author", "def author(self, /) -> str", "def author(self, value: str | None, /) -> None",
                              "Scenario.author: str");
    def_text<&Scenario::description>(cls, "description", "def description(self, /) -> str", "def description(self, value: str | None, /) -> None",
                              "Scenario.description: str");
    def_held<&Scenario::time>(cls, "time", "def time(self, /) -> astrokite.time.time.Time");
    def_held<&Scenario::sun>(cls, "sun", "def sun(self, /) -> astrokite.bodies.bodies.Sun");
    def_held<&Scenario::earth>(cls, "earth", "def earth(self, /) -> astrokite.bodies.bodies.Earth");
    def_held<&Scenario::moon>(cls, "moon", "def moon(self, /) -> astrokite.bodies.bodies.Moon");
    def_held<&Scenario::ellipsoid>(cls, "ellipsoid", "def ellipsoid(self, /) -> astrokite.mathtools.ellipsoid.ellipsoid.Ellipsoid");
    args::refuse_pickle(cls);
    siblings.globals = nb::borrow(PyModule_GetDict(m.ptr())).release();
}
