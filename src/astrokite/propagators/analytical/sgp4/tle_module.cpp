// The tle extension: TLE and ELSET, and the names of the sibling modules they
// stand on, bound when the module loads so that a missing sibling or name
// fails the import.
#include <nanobind/nanobind.h>

#include <initializer_list>

#include "astrokite/common/args.hpp"
#include "astrokite/propagators/analytical/sgp4/elset.hpp"
#include "astrokite/propagators/analytical/sgp4/tle.hpp"

namespace nb = nanobind;

namespace {

// `from module import name, ...` into this module's namespace.
void import_names(nb::module_ &m, const char *module, std::initializer_list<const char *> names) {
    for (const char *name : names)
        m.attr(name) = astrokite::args::import_name(module, name);
}

}  // namespace

NB_MODULE(tle, m) {
    astrokite::args::LoadOnce once(m);
    for (const char *module : {"numpy", "numbers", "typing"})
        m.attr(module) = nb::module_::import_(module);
    import_names(m, "typing", {"Any", "Iterator"});
    import_names(m, "astrokite.utils.representable", {"Representable"});
    import_names(m, "astrokite.time.time", {"Time"});
    import_names(m, "astrokite.bodies.bodies", {"CelestialBody", "Earth", "Sun", "Moon"});
    import_names(m, "astrokite.frames.frames", {"Frame", "_GCRF", "_ITRF", "_TEME", "ENU", "GCRF", "ITRF", "TEME"});
    import_names(m, "astrokite.mathtools.ellipsoid.ellipsoid", {"Ellipsoid", "WGS72", "WGS84", "GRS80"});
    import_names(m, "astrokite.units.units",
                 {"day", "deg", "hour", "kg", "km", "m", "minute", "rad", "rev", "s", "sday", "sec", "second"});
    import_names(m, "astrokite.state.coe", {"c_eca_from_mea"});
    import_names(m, "astrokite.mathtools.misc.misc", {"atan2_asymmetric"});

    astrokite::bind_tle(m);
    astrokite::bind_elset(m);
}
