// Python binding of the shadow kernels: the sunlit fraction of states, and the
// eclipse search driven in rounds of batched propagation.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "astrokite/common/args.hpp"
#include "astrokite/common/arrays.hpp"
#include "astrokite/common/parallel.hpp"
#include "astrokite/lighting/eclipses.hpp"
#include "astrokite/lighting/shadow.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace li = astrokite::lighting;
using namespace astrokite::arrays;

namespace {

// The sunlit fraction (satellites, times) of positions (satellites, times, 3)
// with the Sun at `sun` (times, 3), all in one frame, metres.
nb::ndarray<nb::numpy, double> illumination(Doubles sun, Doubles position) {
    if (position.ndim() != 3 || position.shape(2) != 3)
        throw nb::value_error("position must have shape (satellites, times, 3)");
    const size_t satellites = position.shape(0), times = position.shape(1);
    check_shape(nb::ndarray<>(sun), {times, 3}, "sun");
    std::vector<double> out(satellites * times);
    {
        nb::gil_scoped_release unlocked;
        astrokite::parallel::split(satellites, 64, astrokite::parallel::cores(), [&](size_t first, size_t last) {
            li::illumination(sun.data(), times, last - first, position.data() + 3 * first * times,
                             out.data() + first * times);
        });
    }
    return to_array(std::move(out), {satellites, times});
}

class ShadowSearch {
public:
    ShadowSearch(int64_t sun_start, int64_t sun_step, Doubles sun, size_t satellites, int64_t span)
        : satellites_(satellites), span_(check_span(span)), search_(sun_path(sun_start, sun_step, sun), satellites, span_) {}

    void begin(Counts offsets, Doubles position, Doubles velocity, Flags valid) {
        check_grid(offsets, position, velocity, valid, satellites_);
        nb::gil_scoped_release unlocked;
        search_.start(offsets.data(), offsets.shape(0), position.data(), velocity.data(), valid.data());
    }

    std::pair<nb::object, nb::object> requests() {
        const auto &wanted = search_.requests();
        std::vector<int64_t> rows(wanted.size()), times(wanted.size());
        for (size_t i = 0; i < wanted.size(); ++i)
            rows[i] = wanted[i].satellite, times[i] = wanted[i].t;
        count_ = wanted.size();
        return {nb::cast(to_array(std::move(rows), {count_})), nb::cast(to_array(std::move(times), {count_}))};
    }

    void supply(Doubles position, Doubles velocity, Flags valid) {
        check_requested(position, velocity, valid, count_);
        nb::gil_scoped_release unlocked;
        search_.supply(position.data(), velocity.data(), valid.data());
        count_ = 0;
    }

    nb::dict eclipses() const {
        const std::vector<li::Eclipse> found = search_.eclipses();
        std::vector<int64_t> row, entry, exit;
        std::vector<uint8_t> umbra, flags;
        for (const li::Eclipse &e : found) {
            row.push_back(e.satellite), umbra.push_back(e.umbra);
            entry.push_back(e.entry), exit.push_back(e.exit), flags.push_back(e.flags);
        }
        const size_t n = found.size();
        nb::dict out;
        out["row"] = to_array(std::move(row), {n});
        out["umbra"] = to_array(std::move(umbra), {n});
        out["entry"] = to_array(std::move(entry), {n});
        out["exit"] = to_array(std::move(exit), {n});
        out["flags"] = to_array(std::move(flags), {n});
        std::vector<int64_t> failed_row, failed_at;
        const std::vector<int64_t> &ends = search_.ends();
        for (size_t i = 0; i < ends.size(); ++i)
            if (ends[i] < span_)
                failed_row.push_back(int64_t(i)), failed_at.push_back(ends[i]);
        out["failed_row"] = to_array(std::move(failed_row));
        out["failed_at"] = to_array(std::move(failed_at));
        return out;
    }

private:
    static int64_t check_span(int64_t span) {
        if (span <= 0)
            throw nb::value_error("the span must be positive");
        return span;
    }

    static li::SunPath sun_path(int64_t start, int64_t step, const Doubles &sun) {
        if (sun.ndim() != 2 || sun.shape(1) != 3)
            throw nb::value_error("sun must have shape (points, 3) with one point or more");
        return li::SunPath::of(start, step, sun.data(), sun.shape(0));
    }

    size_t satellites_;
    int64_t span_;
    li::EclipseSearch search_;
    size_t count_ = 0;
};

}  // namespace

NB_MODULE(shadow, m) {
    astrokite::args::LoadOnce once(m);
    m.doc() = "The Earth's shadow: sunlit fractions and the eclipse search.";
    m.def("illumination", &illumination, "sun"_a, "position"_a,
          "Sunlit fraction (satellites, times) of positions (satellites, times, 3) [m] with the Sun at\n"
          "`sun` (times, 3) [m], one frame: 1 in sunlight, 0 in the umbra, the part of the Sun's disc\n"
          "seen in the penumbra (a spherical Earth of the WGS 84 equatorial radius).");
    nb::class_<ShadowSearch>(m, "EclipseSearch",
                       "EclipseSearch(sun_start, sun_step, sun, satellites, span): the search for shadow\n"
                       "crossings of `satellites` over [0, span] ns, the Sun at sun_start + k sun_step [ns]\n"
                       "given by `sun` (points, 3) [m] in the frame of the states. Call begin() with states\n"
                       "on a grid, then requests() / supply() until requests() is empty, then eclipses().")
        .def(nb::init<int64_t, int64_t, Doubles, size_t, int64_t>(), "sun_start"_a, "sun_step"_a, "sun"_a,
             "satellites"_a, "span"_a)
        .def("begin", &ShadowSearch::begin, "offsets"_a, "position"_a, "velocity"_a, "valid"_a,
             "States (satellites, times, 3) [m, m/s] at the grid offsets [ns from the start].")
        .def("requests", &ShadowSearch::requests,
             nb::sig("def requests(self) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]"),
             "(rows, offsets [ns]) wanted next; empty when the search is done.")
        .def("supply", &ShadowSearch::supply, "position"_a, "velocity"_a, "valid"_a,
             "States (k, 3) at the last requests, in their order.")
        .def("eclipses", &ShadowSearch::eclipses, nb::sig("def eclipses(self) -> dict[str, numpy.typing.NDArray[typing.Any]]"),
             "Arrays row, umbra (0 penumbra, 1 umbra), entry, exit [ns from the start] and flags, and\n"
             "failed_row, failed_at [ns]: where a satellite's propagation failed.");
}
