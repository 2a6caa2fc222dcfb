// Python binding of the Earth-fixed geometry kernels: arrays in, arrays out,
// the loops run without the interpreter lock.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "astrokite/common/args.hpp"
#include "astrokite/eop/table_binding.hpp"
#include "astrokite/frames/transforms.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace fr = astrokite::frames;

namespace {

using Input = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using Counts = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Output = nb::ndarray<nb::numpy, double>;

// A new float64 array of `shape`, owned by NumPy through a capsule.
std::pair<Output, double *> new_array(const std::vector<size_t> &shape) {
    size_t size = 1;
    for (size_t n : shape)
        size *= n;
    double *data = new double[size ? size : 1];
    nb::capsule owner(data, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    return {Output(data, shape.size(), shape.data(), owner), data};
}

std::vector<size_t> shape_of(const Input &a) {
    std::vector<size_t> shape(a.ndim());
    for (size_t i = 0; i < a.ndim(); ++i)
        shape[i] = a.shape(i);
    return shape;
}

// Checks that `a` is (satellites, times, 3) with `times` samples per row.
void check_states(const Input &a, size_t times, const char *name) {
    if (a.ndim() != 3 || a.shape(2) != 3 || a.shape(1) != times)
        throw nb::value_error((std::string(name) + " must have shape (satellites, " + std::to_string(times) +
                               ", 3)").c_str());
}

void check_vectors(const Input &a, const char *name) {
    if (a.ndim() < 1 || a.shape(a.ndim() - 1) != 3)
        throw nb::value_error((std::string(name) + " must have a last axis of length 3").c_str());
}

fr::Ellipsoid ellipsoid(double a, double f) {
    if (!(std::isfinite(a) && a > 0 && f >= 0 && f < 1))
        throw nb::value_error("the ellipsoid needs a positive finite radius and a flattening in [0, 1)");
    return {a, f};
}

using States = std::pair<Output, std::optional<Output>>;

// New position and velocity arrays for (satellites, times, 3) states, filled by
// kernel(position in, velocity in or null, position out, velocity out or null)
// without the interpreter lock.
template <class Kernel>
States convert_states(size_t times, const Input &position, const std::optional<Input> &velocity, Kernel kernel) {
    check_states(position, times, "position");
    if (velocity)
        check_states(*velocity, times, "velocity");
    auto [r_out, r] = new_array(shape_of(position));
    std::optional<Output> v_out;
    double *v = nullptr;
    if (velocity) {
        auto made = new_array(shape_of(position));
        v_out = made.first, v = made.second;
    }
    {
        nb::gil_scoped_release unlocked;
        kernel(position.data(), velocity ? velocity->data() : nullptr, r, v);
    }
    return {r_out, v_out};
}

// The (times, 3) Earth orientation of `times` instants, or null without one.
const double *orientation_of(const std::optional<Input> &orientation, size_t times) {
    if (!orientation)
        return nullptr;
    if (orientation->ndim() != 2 || orientation->shape(0) != times || orientation->shape(1) != 3)
        throw nb::value_error(("orientation must have shape (" + std::to_string(times) + ", 3)").c_str());
    return orientation->data();
}

States teme_itrf(Counts ns, Input position, std::optional<Input> velocity, bool to_itrf,
                 std::optional<Input> orientation) {
    const size_t times = ns.shape(0), satellites = position.ndim() ? position.shape(0) : 0;
    const double *eop = orientation_of(orientation, times);
    return convert_states(times, position, velocity, [&](const double *r, const double *v, double *ro, double *vo) {
        fr::teme_itrf(ns.data(), eop, times, satellites, r, v, ro, vo, to_itrf, astrokite::parallel::cores());
    });
}

States itrf_gcrf(Input rotations, Input position, std::optional<Input> velocity, bool to_gcrf) {
    if (rotations.ndim() != 3 || rotations.shape(1) != 3 || rotations.shape(2) != 3)
        throw nb::value_error("rotations must have shape (times, 3, 3)");
    const size_t times = rotations.shape(0), satellites = position.ndim() ? position.shape(0) : 0;
    return convert_states(times, position, velocity, [&](const double *r, const double *v, double *ro, double *vo) {
        fr::itrf_gcrf(rotations.data(), times, satellites, r, v, ro, vo, to_gcrf, astrokite::parallel::cores());
    });
}

std::pair<Output, Output> gmst82(Counts ns) {
    const size_t n = ns.shape(0);
    auto [angle_out, angle] = new_array({n});
    auto [rate_out, rate] = new_array({n});
    for (size_t k = 0; k < n; ++k) {
        const fr::Spin spin = fr::gmst82(ns.data()[k]);
        angle[k] = spin.angle, rate[k] = spin.rate;
    }
    return {angle_out, rate_out};
}

// Latitude, longitude, altitude as the last axis of a float64 array, from
// Earth-fixed positions, or from TEME ones at the times `ns` when given (with
// the Earth orientation of each time when given).
// UT1 - UTC, xp and yp (n, 3) at the instants `ns` from an EOPTable's daily columns.
Output earth_orientation(Counts ns, nb::handle columns) {
    const astrokite::eop::DailyTable table = astrokite::eop::daily_table(columns);
    const size_t n = ns.shape(0);
    auto [out, values] = new_array({n, 3});
    {
        nb::gil_scoped_release unlocked;
        astrokite::parallel::split(n, fr::samples_per_thread, astrokite::parallel::cores(), [&](size_t first, size_t last) {
            for (size_t k = first; k < last; ++k) {
                const astrokite::eop::Orientation o = table.at(ns.data()[k]);
                values[3 * k] = o.ut1_utc, values[3 * k + 1] = o.xp, values[3 * k + 2] = o.yp;
            }
        });
    }
    return out;
}

Output geodetic(Input position, double a, double f, std::optional<Counts> ns, std::optional<Input> orientation) {
    check_vectors(position, "position");
    const fr::Ellipsoid e = ellipsoid(a, f);
    size_t times = position.size() / 3, satellites = 1;
    if (ns) {
        times = ns->shape(0);
        check_states(position, times, "position");
        satellites = position.shape(0);
    } else if (orientation) {
        throw nb::value_error("an orientation needs the times ns");
    }
    const double *eop = orientation_of(orientation, times);
    auto [out, lla] = new_array(shape_of(position));
    {
        nb::gil_scoped_release unlocked;
        const unsigned threads = astrokite::parallel::cores();
        if (ns) {
            const std::vector<double> turn = fr::teme_itrf_matrices(ns->data(), eop, times, threads);
            fr::geodetic_points(turn.data(), times, satellites, position.data(), e, lla, threads);
        } else {
            // Earth-fixed points go through in rows of `block`, each turned by the identity.
            const auto identity = [](size_t n) {
                std::vector<double> rows(9 * n, 0.0);
                for (size_t j : {0, 4, 8})
                    std::fill_n(rows.begin() + j * n, n, 1.0);
                return rows;
            };
            constexpr size_t block = 1024;
            const size_t whole = times / block, rest = times % block;
            fr::geodetic_points(identity(block).data(), block, whole, position.data(), e, lla, threads);
            if (rest)
                fr::geodetic_points(identity(rest).data(), rest, 1, position.data() + 3 * whole * block, e,
                                    lla + 3 * whole * block, threads);
        }
    }
    return out;
}

fr::Geodetic site_point(double lat, double lon, double alt) {
    if (!(std::isfinite(lat) && std::isfinite(lon) && std::isfinite(alt)))
        throw nb::value_error("site coordinates must be finite");
    if (std::fabs(lat) > fr::two_pi / 4)
        throw nb::value_error("site latitude must lie within +-pi/2 rad");
    return {lat, lon, alt};
}

// The site's Earth-fixed position and its east, north and up axes (rows).
std::pair<Output, Output> site_frame(double lat, double lon, double alt, double a, double f) {
    const fr::Geodetic g = site_point(lat, lon, alt);
    const fr::Vec3 p = fr::cartesian(g, ellipsoid(a, f));
    const fr::Axes axes = fr::enu_axes(lat, lon);
    auto [position_out, position] = new_array({3});
    auto [axes_out, rows] = new_array({3, 3});
    position[0] = p.x, position[1] = p.y, position[2] = p.z;
    const fr::Vec3 *vectors[] = {&axes.east, &axes.north, &axes.up};
    for (int i = 0; i < 3; ++i)
        rows[3 * i] = vectors[i]->x, rows[3 * i + 1] = vectors[i]->y, rows[3 * i + 2] = vectors[i]->z;
    return {position_out, axes_out};
}

// Azimuth, elevation, range (last axis) and range rate of Earth-fixed targets.
std::pair<Output, Output> look(double lat, double lon, double alt, double a, double f, Input position,
                               std::optional<Input> velocity) {
    check_vectors(position, "position");
    if (velocity && shape_of(*velocity) != shape_of(position))
        throw nb::value_error("velocity must have the shape of position");
    const fr::Geodetic g = site_point(lat, lon, alt);
    const fr::Vec3 site = fr::cartesian(g, ellipsoid(a, f));
    const fr::Axes axes = fr::enu_axes(lat, lon);
    std::vector<size_t> shape = shape_of(position);
    auto [aer_out, aer] = new_array(shape);
    shape.pop_back();
    auto [rate_out, rate] = new_array(shape);
    const size_t n = position.size() / 3;
    const double *r = position.data(), *v = velocity ? velocity->data() : nullptr;
    {
        nb::gil_scoped_release unlocked;
        astrokite::parallel::split(n, fr::samples_per_thread, astrokite::parallel::cores(), [&](size_t first, size_t last) {
            for (size_t i = first; i < last; ++i) {
                const fr::Look l = fr::look(site, axes, r + 3 * i, v ? v + 3 * i : nullptr);
                aer[3 * i] = l.azimuth, aer[3 * i + 1] = l.elevation, aer[3 * i + 2] = l.range;
                rate[i] = l.range_rate;
            }
        });
    }
    return {aer_out, rate_out};
}

}  // namespace

NB_MODULE(transforms, m) {
    astrokite::args::LoadOnce once(m);
    m.doc() = "Earth-fixed geometry kernels: TEME, ITRF and GCRF, geodetic coordinates, look angles.";
    m.def("teme_itrf", &teme_itrf, "ns"_a, "position"_a, "velocity"_a.none(), "to_itrf"_a,
          "orientation"_a = nb::none(),
          "States between TEME and ITRF (GMST 1982 of UT1, then polar motion), with the Earth\n"
          "orientation (ut1_utc [s], xp, yp [rad]) of each time, or UT1 = UTC and no polar motion.");
    m.def("itrf_gcrf", &itrf_gcrf, "rotations"_a, "position"_a, "velocity"_a.none(), "to_gcrf"_a,
          "States between ITRF and GCRF given the ITRF -> GCRF rotation of each time.");
    m.def("gmst82", &gmst82, "ns"_a, "GMST of the IAU 1982 model [rad] and its rate [rad/s] at UTC counts.");
    m.def("earth_orientation", &earth_orientation, "ns"_a, "columns"_a.none(),
          "UT1 - UTC [s], xp and yp [rad] (n, 3) at the instants `ns` (int64 ns since 1970 UTC), interpolated\n"
          "linearly between the days of an EOPTable's columns (mjd, smooth, leaps, x, y); zeros for None.");
    m.def("geodetic", &geodetic, "position"_a, "a"_a, "f"_a, "ns"_a = nb::none(), "orientation"_a = nb::none(),
          "Geodetic latitude, longitude [rad] and altitude [m] of Earth-fixed positions, or of\n"
          "TEME (satellites, times, 3) positions at the times `ns` (with their Earth orientation).");
    m.def("site_frame", &site_frame, "lat"_a, "lon"_a, "alt"_a, "a"_a, "f"_a,
          "Earth-fixed position of a site and its east, north and up axes.");
    m.def("look", &look, "lat"_a, "lon"_a, "alt"_a, "a"_a, "f"_a, "position"_a, "velocity"_a.none(),
          "Azimuth, elevation, range and range rate of Earth-fixed targets from a site.");
    m.attr("earth_rotation_rate") = fr::earth_rotation_rate;
}
