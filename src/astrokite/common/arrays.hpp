// NumPy arrays in bindings: a vector handed over to NumPy without a copy, and
// the check of an argument's shape. For the binding layers only.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace astrokite::arrays {

namespace nb = nanobind;

// Read-only contiguous arguments: any shape of doubles and of flags, a row of counts.
using Doubles = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using Flags = nb::ndarray<const uint8_t, nb::c_contig, nb::device::cpu>;
using Counts = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// `values` as a NumPy array of `shape` (one dimension of their count when
// empty), which owns them from then on.
template <class T>
nb::ndarray<nb::numpy, T> to_array(std::vector<T> &&values, std::vector<size_t> shape = {}) {
    if (shape.empty())
        shape = {values.size()};
    auto *kept = new std::vector<T>(std::move(values));
    nb::capsule owner(kept, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    return nb::ndarray<nb::numpy, T>(kept->data(), shape.size(), shape.data(), owner);
}

// ValueError "<name> must have shape (a, b, ...)" unless `a` has `shape`.
inline void check_shape(const nb::ndarray<> &a, const std::vector<size_t> &shape, const char *name) {
    bool same = a.ndim() == shape.size();
    for (size_t i = 0; same && i < shape.size(); ++i)
        same = a.shape(i) == shape[i];
    if (same)
        return;
    std::string wanted;
    for (size_t n : shape)
        wanted += (wanted.empty() ? "" : ", ") + std::to_string(n);
    throw nb::value_error((std::string(name) + " must have shape (" + wanted + ")").c_str());
}

// The checks of the states a sampled search takes: a grid of `times` offsets
// (ns from its start: 0 first, then increasing, two or more) with (satellites,
// times, 3) positions and velocities and (satellites, times) flags; or the k
// states of its requests, (k, 3) and (k).
inline void check_grid(const Counts &offsets, const Doubles &position, const Doubles &velocity, const Flags &valid,
                       size_t satellites) {
    const size_t n = offsets.shape(0);
    check_shape(nb::ndarray<>(position), {satellites, n, 3}, "position");
    check_shape(nb::ndarray<>(velocity), {satellites, n, 3}, "velocity");
    check_shape(nb::ndarray<>(valid), {satellites, n}, "valid");
    if (n < 2 || offsets.data()[0] != 0)
        throw nb::value_error("the grid must start at offset 0 and hold two times or more");
    for (size_t k = 1; k < n; ++k)
        if (offsets.data()[k] <= offsets.data()[k - 1])
            throw nb::value_error("the grid offsets must increase");
}

inline void check_requested(const Doubles &position, const Doubles &velocity, const Flags &valid, size_t k) {
    check_shape(nb::ndarray<>(position), {k, 3}, "position");
    check_shape(nb::ndarray<>(velocity), {k, 3}, "velocity");
    check_shape(nb::ndarray<>(valid), {k}, "valid");
}

}  // namespace astrokite::arrays
