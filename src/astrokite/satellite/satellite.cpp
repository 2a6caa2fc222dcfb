// Satellite: one spacecraft with its time, name and description, and the
// state, propagator and ephemeris it was built with. The constructor checks the
// types of the propagator, the ephemeris and the texts before anything is kept.
#include <nanobind/nanobind.h>

#include <utility>

#include "astrokite/common/args.hpp"

namespace nb = nanobind;
namespace args = astrokite::args;

namespace {

// Siblings bound at import and held for the life of the process.
struct Siblings {
    nb::handle time_type;
    PyTypeObject *propagator_type = nullptr;
    PyTypeObject *ephemeris_type = nullptr;  // StateVectorEphemeris
};
Siblings siblings;

// Every member is None until set: __new__ makes a satellite of Nones, which
// __init__ fills.
struct Satellite {
    nb::object _time = nb::none(), state = nb::none(), propagator = nb::none(), ephemeris = nb::none();
    nb::object name = nb::none(), description = nb::none();  // a trimmed str, or None
};

// What the satellite keeps takes part in cycle collection; the texts cannot
// form cycles.
constexpr auto &satellite_slots = args::object_holder_slots<Satellite, &Satellite::_time, &Satellite::state,
                                                            &Satellite::propagator, &Satellite::ephemeris>;

// How a text is stored: converted with str (None becomes "None"), then with
// the white space around it removed as str.strip does.
nb::object trimmed_text(nb::handle value) { return nb::str(value).attr("strip")(); }

const char *satellite_doc = R"(One spacecraft: its time, name and description, and the state,
propagator and ephemeris it was built with.

Satellite(time, state, propagator=None, ephemeris=None, name=None,
          description=None)

time         anything Time accepts, in UTC; always passed through Time.
state        any object: the satellite's state, kept as given.
propagator   a Propagator (or an instance of a subclass), or None.
ephemeris    a StateVectorEphemeris (positions in m, velocities in m/s), or
             None.
name, description
             str (exactly) or None; a given text is kept with the white
             space around it removed, as the properties store it.

The arguments are checked in the order propagator, ephemeris, name,
description; the first wrong one raises TypeError. Writing name or
description stores str(value).strip(), so None becomes "None". Satellites
cannot be pickled or copied.

Example:

>>> from astrokite.satellite.satellite import Satellite
>>> iss = Satellite("2024-03-20T03:06:00", None, name="  ISS (ZARYA) ")
>>> iss.name
'ISS (ZARYA)'
>>> iss.time
Time('2024-03-20T03:06:00.000000000Z')
>>> iss.description is None
True)";

void initialise(nb::handle self, const nb::args &call_args, const nb::kwargs &kwargs) {
    Satellite &held = args::receiver<Satellite>(self, "__init__");
    static const char *const names[] = {"time", "state", "propagator", "ephemeris", "name", "description"};
    nb::object values[] = {nb::none(), nb::none(), nb::none(), nb::none(), nb::none(), nb::none()};
    // Binding errors name the method called, as the interpreter does.
    args::bind_arguments("__init__", call_args, kwargs, names, 2, values);
    auto &[time_argument, state, propagator, ephemeris, name, description] = values;
    args::require_instance(propagator, siblings.propagator_type, "propagator", true);
    args::require_instance(ephemeris, siblings.ephemeris_type, "ephemeris", true);
    args::require_exact_type(name, &PyUnicode_Type, "name", true);
    args::require_exact_type(description, &PyUnicode_Type, "description", true);

    // Everything is built before a member changes, so a failure leaves the
    // satellite as it was. Given texts are stored as the setters store them;
    // omitted ones are None.
    nb::object time = siblings.time_type(time_argument);
    if (!name.is_none())
        name = trimmed_text(name);
    if (!description.is_none())
        description = trimmed_text(description);
    Satellite built{std::move(time), std::move(state), std::move(propagator), std::move(ephemeris),
                    std::move(name), std::move(description)};
    // The replaced members are released only when all new ones are in place.
    std::swap(held, built);
}

template <nb::object Satellite::*member>
void def_text(nb::class_<Satellite> &cls, const char *name, const char *getter_sig, const char *setter_sig,
              const char *doc) {
    cls.def_prop_rw(
        name, [](Satellite &self) { return self.*member; },
        [](Satellite &self, nb::handle value) {
            args::require_exact_type(value, &PyUnicode_Type, "value", true);
            self.*member = trimmed_text(value);
        },
        nb::for_getter(nb::sig(getter_sig)), nb::for_setter(nb::arg("value").none()), nb::for_setter(nb::sig(setter_sig)),
        doc);
    args::refuse_delete(cls, name);
}

template <nb::object Satellite::*member>
void def_held(nb::class_<Satellite> &cls, const char *name, const char *sig, const char *doc) {
    cls.def_prop_ro(name, [](Satellite &self) { return self.*member; }, nb::sig(sig), doc);
}

}  // namespace

NB_MODULE(satellite, m) {
    m.doc() = "Satellite: one spacecraft with its time, name, description, state, propagator and ephemeris.";
    args::LoadOnce once(m);

    // Required present at import, even where not used further.
    nb::module_::import_("numpy");
    args::import_type("astrokite.utils.representable", "Representable");
    args::import_type("astrokite.propagators.analytical.sgp4.tle", "TLE");
    args::import_type("astrokite.propagators.analytical.sgp4.tle", "ELSET");
    for (const char *name : {"Ephemeris", "COEEphemeris", "GeoStateEphemeris"})
        args::import_type("astrokite.state.ephemeris", name);
    for (const char *name : {"State", "StateVector", "COE", "GeoState"})
        args::import_type("astrokite.state.state", name);
    args::import_type("astrokite.propagators.analytical.keplerian.keplerian", "Keplerian");

    siblings.propagator_type = args::import_type_for_process("astrokite.propagators.propagators", "Propagator");
    siblings.ephemeris_type = args::import_type_for_process("astrokite.state.ephemeris", "StateVectorEphemeris");
    m.attr("Iterable") = args::import_name("typing", "Iterable");
    m.attr("DatetimeLike") = args::import_name("astrokite.typing", "DatetimeLike");

    nb::class_<Satellite> cls(m, "Satellite", nb::type_slots(satellite_slots), satellite_doc);
    cls.def("__init__", &initialise,
            nb::sig("def __init__(self, time: astrokite.typing.DatetimeLike, state: object, "
                    "propagator: astrokite.propagators.propagators.Propagator | None = None, "
                    "ephemeris: astrokite.state.ephemeris.StateVectorEphemeris | None = None, name: str | None = None, "
                    "description: str | None = None) -> None"));
    def_held<&Satellite::_time>(cls, "time", "def time(self, /) -> astrokite.time.time.Time",
                                     "Satellite.time: Time");
    def_text<&Satellite::name>(cls, "name", "def name(self, /) -> str | None", "def name(self, value: str | None, /) -> None",
                               "Satellite.name: str | None");
    def_text<&Satellite::description>(cls, "description", "def description(self, /) -> str | None", "def description(self, value: str | None, /) -> None",
                               "Satellite.description: str | None");
    def_held<&Satellite::state>(cls, "state", "def state(self, /) -> object",
                                     "Satellite.state: object");
    def_held<&Satellite::propagator>(cls, "propagator", "def propagator(self, /) -> astrokite.propagators.propagators.Propagator | None",
                                     "Satellite.propagator: Propagator | None");
    def_held<&Satellite::ephemeris>(cls, "ephemeris", "def ephemeris(self, /) -> astrokite.state.ephemeris.StateVectorEphemeris | None",
                                     "Satellite.ephemeris: StateVectorEphemeris | None");
    args::refuse_pickle(cls);
    siblings.time_type = args::import_name_for_process("astrokite.time.time", "Time");
}
