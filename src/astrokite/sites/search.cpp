// Python binding of the pass search: TEME states in (turned Earth-fixed here),
// requests and passes out as arrays.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "astrokite/common/args.hpp"
#include "astrokite/common/arrays.hpp"
#include "astrokite/frames/transforms.hpp"
#include "astrokite/sites/passes.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace fr = astrokite::frames;
namespace st = astrokite::sites;
using namespace astrokite::arrays;

namespace {

class Search {
public:
    Search(Doubles position, Doubles up, double sin_min_elevation, size_t satellites, int64_t start, int64_t span)
        : start_(start),
          search_(st::Observer{vec(position, "position"), vec(up, "up"), sin_min_elevation}, satellites, span),
          satellites_(satellites) {
        if (span <= 0)
            throw nb::value_error("the span must be positive");
    }

    void begin(Counts offsets, Doubles position, Doubles velocity, Flags valid, Doubles orientation) {
        const size_t n = offsets.shape(0);
        check_shape(nb::ndarray<>(orientation), {n, 3}, "orientation");
        check_shape(nb::ndarray<>(position), {satellites_, n, 3}, "position");
        check_shape(nb::ndarray<>(velocity), {satellites_, n, 3}, "velocity");
        check_shape(nb::ndarray<>(valid), {satellites_, n}, "valid");
        if (n < 2 || offsets.data()[0] != 0)
            throw nb::value_error("the grid must start at offset 0 and hold two times or more");
        std::vector<int64_t> times(n);
        for (size_t k = 0; k < n; ++k)
            times[k] = start_ + offsets.data()[k];
        std::vector<double> r(position.size()), v(velocity.size());
        nb::gil_scoped_release unlocked;
        fr::teme_itrf(times.data(), orientation.data(), n, satellites_, position.data(), velocity.data(), r.data(),
                      v.data(), true);
        search_.start(offsets.data(), n, r.data(), v.data(), valid.data());
    }

    std::pair<nb::object, nb::object> requests() {
        const auto &wanted = search_.requests();
        std::vector<int64_t> rows(wanted.size()), times(wanted.size());
        for (size_t i = 0; i < wanted.size(); ++i)
            rows[i] = wanted[i].satellite, times[i] = start_ + wanted[i].t;
        times_ = times;
        return {nb::cast(to_array(std::move(rows))), nb::cast(to_array(std::move(times)))};
    }

    void supply(Doubles position, Doubles velocity, Flags valid, Doubles orientation) {
        const size_t k = times_.size();
        check_shape(nb::ndarray<>(orientation), {k, 3}, "orientation");
        check_shape(nb::ndarray<>(position), {k, 3}, "position");
        check_shape(nb::ndarray<>(velocity), {k, 3}, "velocity");
        check_shape(nb::ndarray<>(valid), {k}, "valid");
        std::vector<double> r(3 * k), v(3 * k);
        nb::gil_scoped_release unlocked;
        const double *eop = orientation.data();
        for (size_t i = 0; i < k; ++i)
            fr::teme_to_itrf(fr::earth_turn(times_[i], {eop[3 * i], eop[3 * i + 1], eop[3 * i + 2]}),
                             position.data() + 3 * i, velocity.data() + 3 * i, r.data() + 3 * i, v.data() + 3 * i);
        search_.supply(r.data(), v.data(), valid.data());
    }

    nb::dict passes() const {
        const std::vector<st::Pass> found = search_.passes();
        std::vector<int64_t> row, rise, culmination, set;
        std::vector<double> elevation;
        std::vector<uint8_t> flags;
        for (const st::Pass &p : found) {
            row.push_back(p.satellite);
            rise.push_back(start_ + p.rise), culmination.push_back(start_ + p.culmination);
            set.push_back(start_ + p.set);
            elevation.push_back(p.max_elevation), flags.push_back(p.flags);
        }
        nb::dict out;
        out["row"] = to_array(std::move(row));
        out["rise"] = to_array(std::move(rise));
        out["culmination"] = to_array(std::move(culmination));
        out["set"] = to_array(std::move(set));
        out["max_elevation"] = to_array(std::move(elevation));
        out["flags"] = to_array(std::move(flags));
        return out;
    }

private:
    static fr::Vec3 vec(const Doubles &a, const char *name) {
        if (a.ndim() != 1 || a.shape(0) != 3 || !(std::isfinite(a.data()[0]) && std::isfinite(a.data()[1]) &&
                                                  std::isfinite(a.data()[2])))
            throw nb::value_error((std::string(name) + " must be 3 finite numbers").c_str());
        return {a.data()[0], a.data()[1], a.data()[2]};
    }

    int64_t start_;
    st::PassSearch search_;
    size_t satellites_;
    std::vector<int64_t> times_;
};

}  // namespace

NB_MODULE(search, m) {
    astrokite::args::LoadOnce once(m);
    m.doc() = "Pass search over a site, driven in rounds of batched propagation.";
    nb::class_<Search>(m, "PassSearch",
                       "PassSearch(position, up, sin_min_elevation, satellites, start, span): the search for\n"
                       "passes of `satellites` over a site (Earth-fixed position [m] and up axis) between\n"
                       "`start` and `start + span` (ns). Call begin() with TEME states on a grid, then\n"
                       "requests() / supply() until requests() is empty, then passes().")
        .def(nb::init<Doubles, Doubles, double, size_t, int64_t, int64_t>(), "position"_a, "up"_a,
             "sin_min_elevation"_a, "satellites"_a, "start"_a, "span"_a)
        .def("begin", &Search::begin, "offsets"_a, "position"_a, "velocity"_a, "valid"_a, "orientation"_a,
             "TEME states (satellites, times, 3) at the grid offsets [ns from the start], with the\n"
             "Earth orientation (times, 3) of each time (UT1 - UTC [s], xp, yp [rad]).")
        .def("requests", &Search::requests, "(rows, times [ns]) wanted next; empty when the search is done.")
        .def("supply", &Search::supply, "position"_a, "velocity"_a, "valid"_a, "orientation"_a,
             "TEME states (k, 3) at the last requests, in their order, with their Earth orientation (k, 3).")
        .def("passes", &Search::passes,
             "Arrays row, rise, culmination, set [ns], max_elevation [rad] and flags, one entry per pass.");
}
