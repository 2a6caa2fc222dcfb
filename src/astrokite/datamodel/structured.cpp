// NumPy structured record types shared by the package. Each is built once, at
// import, by one call of numpy.dtype with its field list (packed layout, native
// byte order).
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

#include "astrokite/common/args.hpp"

namespace nb = nanobind;

namespace {

struct Field {
    const char *name;
    const char *type;
    int count;  // 0 for a scalar field, else the length of a sub-array
};

nb::object make_dtype(nb::handle dtype, std::initializer_list<Field> fields) {
    nb::list layout;
    for (const Field &f : fields) {
        if (f.count == 0)
            layout.append(nb::make_tuple(f.name, f.type));
        else
            layout.append(nb::make_tuple(f.name, f.type, nb::make_tuple(f.count)));
    }
    return dtype(layout);
}

}  // namespace

NB_MODULE(structured, m) {
    astrokite::args::LoadOnce once(m);
    m.doc() = "NumPy structured record types of the package (packed, native byte order).";
    nb::module_ numpy = nb::module_::import_("numpy");
    nb::object dtype = numpy.attr("dtype");

    // Build all first so that a failure publishes none of them.
    std::pair<const char *, nb::object> records[] = {
        {"SurfCoord_dtype", make_dtype(dtype, {{"lat", "double", 0}, {"lon", "double", 0}})},
        {"LLA_dtype", make_dtype(dtype, {{"lat", "double", 0}, {"lon", "double", 0}, {"alt", "double", 0}})},
        {"ENU_dtype", make_dtype(dtype, {{"u_east", "double", 3}, {"u_north", "double", 3}, {"u_up", "double", 3}})},
        {"AER_dtype", make_dtype(dtype, {{"azimuth", "double", 0}, {"elevation", "double", 0}, {"range", "double", 0}})},
        {"DTF_dtype", make_dtype(dtype, {{"year", "uint16", 0}, {"month", "uint8", 0}, {"day", "uint8", 0},
                                         {"hour", "uint8", 0}, {"minute", "uint8", 0}, {"second", "double", 0}})},
        {"GeoState_dt", make_dtype(dtype, {{"lat", "double", 0}, {"lon", "double", 0}, {"alt", "double", 0},
                                           {"lat_dot", "double", 0}, {"lon_dot", "double", 0}, {"alt_dot", "double", 0}})},
        {"COE_dt", make_dtype(dtype, {{"ecc", "double", 0}, {"sma", "double", 0}, {"inc", "double", 0},
                                      {"raa", "double", 0}, {"arp", "double", 0}, {"tra", "double", 0},
                                      {"slr", "double", 0}})},
    };
    m.attr("numpy") = numpy;
    m.attr("dtype") = dtype;
    for (auto &[name, record] : records)
        m.attr(name) = record;
}
