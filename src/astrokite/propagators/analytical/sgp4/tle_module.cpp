// The tle extension: TLE and ELSET, and the names of the sibling modules they
// stand on, bound when the module loads so that a missing sibling or name
// fails the import.
#include <nanobind/nanobind.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "astrokite/common/args.hpp"
#include "astrokite/elements/tle_lines.hpp"
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
    m.def(
        "_records_of_lines",
        [](nb::bytes rows) {
            namespace tle_lines = astrokite::tle_lines;
            namespace elements = astrokite::elements;
            if (rows.size() % tle_lines::row_bytes != 0)
                throw nb::value_error("rows must be whole line pairs of 138 bytes");
            const std::size_t n = rows.size() / tle_lines::row_bytes;
            std::string out(n * elements::record_bytes, '\0');
            for (std::size_t i = 0; i < n; ++i) {
                const elements::Record record = tle_lines::record_of_row(rows.c_str() + i * tle_lines::row_bytes);
                std::memcpy(out.data() + i * elements::record_bytes, &record, sizeof record);
            }
            return nb::bytes(out.data(), out.size());
        },
        nb::arg("rows"),
        "The records (astrokite.elements.records.RECORD) of line pairs: rows of 138 bytes, line 1 then\n"
        "line 2, each read as a TLE reads its lines.");
}
