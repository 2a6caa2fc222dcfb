// The _screen extension: the close-approach sieve over a grid of positions and
// the collision probability of approaches, columns in and out. The search
// itself (sources, grid, refinement) is in screening.py; this file converts.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>
#include <vector>

#include "astrokite/common/args.hpp"
#include "astrokite/conjunctions/probability.hpp"
#include "astrokite/conjunctions/sieve.hpp"

namespace nb = nanobind;
namespace cj = astrokite::conjunctions;

namespace {

using Doubles = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using Flags = nb::ndarray<const std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

template <class T> nb::ndarray<nb::numpy, T, nb::ndim<1>> to_array(std::vector<T> &&values) {
    auto *kept = new std::vector<T>(std::move(values));
    nb::capsule owner(kept, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(kept->data(), {kept->size()}, owner);
}

nb::tuple sieve(const Doubles &position, const Doubles &step, const Flags &group, double threshold, unsigned threads) {
    if (position.ndim() != 3 || position.shape(2) != 3)
        throw nb::value_error("position must have shape (objects, samples, 3)");
    const std::size_t objects = position.shape(0), samples = position.shape(1);
    if (step.ndim() != 1 || step.shape(0) + 1 != samples || samples < 2)
        throw nb::value_error("step must hold one length per interval of two samples or more");
    if (group.shape(0) != objects)
        throw nb::value_error("group must hold one flag per object");
    if (objects > static_cast<std::size_t>(INT32_MAX) || samples > static_cast<std::size_t>(INT32_MAX))
        throw nb::value_error("too many objects or samples for one grid");
    if (!(threshold > 0.0) || !std::isfinite(threshold))
        throw nb::value_error("threshold must be positive and finite");
    std::vector<cj::Candidate> found;
    {
        nb::gil_scoped_release released;
        const cj::Grid grid{position.data(), objects, samples, step.data(), group.data(), threshold};
        found = cj::sieve(grid, threads);
    }
    std::vector<std::int32_t> first(found.size()), second(found.size()), interval(found.size());
    for (std::size_t n = 0; n < found.size(); ++n) {
        first[n] = found[n].first;
        second[n] = found[n].second;
        interval[n] = found[n].interval;
    }
    return nb::make_tuple(to_array(std::move(first)), to_array(std::move(second)), to_array(std::move(interval)));
}

cj::Vector row3(const double *p) { return {p[0], p[1], p[2]}; }

// One probability per row, from the TEME states of both objects and each
// object's radial / in-track / cross-track deviations (rows x 2 x 3).
nb::ndarray<nb::numpy, double, nb::ndim<1>> probability(const Doubles &primary_position,
                                                        const Doubles &primary_velocity,
                                                        const Doubles &relative_position,
                                                        const Doubles &relative_velocity, const Doubles &sigma,
                                                        double radius, bool maximum) {
    const std::size_t rows = primary_position.ndim() == 2 ? primary_position.shape(0) : 0;
    for (const Doubles *a : {&primary_position, &primary_velocity, &relative_position, &relative_velocity})
        if (a->ndim() != 2 || a->shape(0) != rows || a->shape(1) != 3)
            throw nb::value_error("states must have shape (rows, 3)");
    if (sigma.ndim() != 3 || sigma.shape(0) != rows || sigma.shape(1) != 2 || sigma.shape(2) != 3)
        throw nb::value_error("sigma must have shape (rows, 2, 3)");
    std::vector<double> out(rows);
    {
        nb::gil_scoped_release released;
        for (std::size_t n = 0; n < rows; ++n) {
            const cj::Vector rp = row3(primary_position.data() + 3 * n), vp = row3(primary_velocity.data() + 3 * n);
            const cj::Vector dr = row3(relative_position.data() + 3 * n), dv = row3(relative_velocity.data() + 3 * n);
            cj::Vector rs, vs;
            for (int d = 0; d < 3; ++d)
                rs[d] = rp[d] + dr[d], vs[d] = vp[d] + dv[d];
            const cj::Matrix a = cj::covariance_from_ric(rp, vp, row3(sigma.data() + 6 * n));
            const cj::Matrix b = cj::covariance_from_ric(rs, vs, row3(sigma.data() + 6 * n + 3));
            cj::Matrix combined;
            for (int e = 0; e < 9; ++e)
                combined[e] = a[e] + b[e];
            out[n] = maximum ? cj::max_collision_probability(dr, dv, combined, radius)
                             : cj::collision_probability(dr, dv, combined, radius);
        }
    }
    return to_array(std::move(out));
}

}  // namespace

NB_MODULE(_screen, m) {
    astrokite::args::LoadOnce once(m);
    m.doc() = "Native parts of close-approach screening: the sieve and collision probabilities.";
    m.attr("FEW_PRIMARIES") = cj::few_primaries;
    m.def("sieve", &sieve, nb::arg("position"), nb::arg("step"), nb::arg("group"), nb::arg("threshold"),
          nb::arg("threads"),
          "(first, second, interval) int32 rows of every pair and grid interval that may hold an approach "
          "within threshold (m), from positions (objects, samples, 3) in m, interval lengths in s and group "
          "flags (1 primary, 2 against).");
    m.def("probability", &probability, nb::arg("primary_position"), nb::arg("primary_velocity"),
          nb::arg("relative_position"), nb::arg("relative_velocity"), nb::arg("sigma"), nb::arg("radius"),
          nb::arg("maximum"),
          "Short-encounter collision probability per row (or its maximum over the covariance's scale).");
}
