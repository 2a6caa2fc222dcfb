// The _sgp4 extension: a table of initialised element sets and its
// propagation into NumPy arrays, run without the interpreter lock. The Python
// class SGP4 (sgp4.py) chooses the sets and times; this file only converts.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <unordered_map>
#include <vector>

#include "astrokite/common/args.hpp"
#include "astrokite/common/parallel.hpp"
#include "astrokite/propagators/analytical/sgp4/sgp4_decay.hpp"
#include "astrokite/propagators/analytical/sgp4/sgp4_run.hpp"

namespace nb = nanobind;
namespace sgp4 = astrokite::sgp4;

namespace {


template <typename T>
constexpr int numpy_type = std::is_same_v<T, double> ? NPY_DOUBLE : std::is_same_v<T, std::int64_t> ? NPY_INT64 : NPY_INT8;

// A C-contiguous NumPy array of T read in place, checked with NumPy's own
// calls: quicker than a general conversion, which a small request would feel.
template <typename T> struct ArrayIn {
    const T *data;
    int ndim;
    const npy_intp *shape;
    std::size_t size;
};

template <typename T> ArrayIn<T> array_in(nb::handle value, const char *name) {
    auto *array = reinterpret_cast<PyArrayObject *>(value.ptr());
    if (!PyArray_Check(value.ptr()) || !PyArray_EquivTypenums(PyArray_TYPE(array), numpy_type<T>) ||
        !PyArray_ISCARRAY_RO(array))
        throw nb::type_error((std::string(name) + " must be a C-contiguous " +
                              (std::is_same_v<T, double> ? "float64" : "int64") + " array")
                                 .c_str());
    return {static_cast<const T *>(PyArray_DATA(array)), PyArray_NDIM(array), PyArray_DIMS(array),
            static_cast<std::size_t>(PyArray_SIZE(array))};
}

// The value of an option given by name; a ValueError that lists the names
// otherwise ("mode must be 'improved' or 'afspc', not 'x'").
template <typename Value, std::size_t N>
Value named(const char *option, const std::string &name, const std::pair<const char *, Value> (&choices)[N]) {
    std::string names;
    for (std::size_t k = 0; k < N; ++k) {
        if (name == choices[k].first)
            return choices[k].second;
        names += (k == 0 ? "'" : k + 1 == N ? " or '" : ", '") + std::string(choices[k].first) + "'";
    }
    throw nb::value_error((std::string(option) + " must be " + names + ", not '" + name + "'").c_str());
}

sgp4::Gravity gravity_named(const std::string &name) {
    return named<sgp4::Gravity>(
        "gravity", name, {{"wgs72", sgp4::Gravity::wgs72}, {"wgs72old", sgp4::Gravity::wgs72old}, {"wgs84", sgp4::Gravity::wgs84}});
}

sgp4::Output output_named(const std::string &name) {
    return named<sgp4::Output>(
        "output", name, {{"TEME", sgp4::Output::teme}, {"ITRF", sgp4::Output::itrf}, {"geodetic", sgp4::Output::geodetic}});
}

sgp4::Mode mode_named(const std::string &name) {
    return named<sgp4::Mode>("mode", name, {{"improved", sgp4::Mode::improved}, {"afspc", sgp4::Mode::afspc}});
}

// Memory for large result arrays, in ordinary pages, first written by the
// threads that fill them (each fault taken where its piece is computed).
// Transparent huge pages would need fewer faults, but on a virtual machine
// that hands free memory back to its host, a fresh huge page costs the host
// 512 faults taken by one thread: measured here, 2 GB of results took 2.5 to
// 7 s of system time in huge pages against 0.75 s in ordinary ones.
//
// Pages a process gives back cost a page fault and zeroing when they come
// back, and on a virtual machine that hands free memory to its host, the
// host's faults too: often more time than the propagation that fills them.
// So the last large blocks freed are kept for the next results of the same
// size (propagating the same catalogue again and again), marked MADV_FREE so
// that the kernel may still take their pages under memory pressure. Every
// byte of a result is written before it is read, so a block needs no zeroing.
class ResultMemory {
  public:
    static ResultMemory &instance() {
        static ResultMemory *memory = new ResultMemory;  // never destroyed: capsules may outlive exit
        return *memory;
    }

    // Whether a block of this size is one worth keeping.
    static bool large(std::size_t bytes) { return bytes >= 2 * unit; }

    // A large block (see large()).
    void *allocate(std::size_t bytes) {
        const std::size_t rounded = (bytes + unit - 1) / unit * unit;
        std::lock_guard<std::mutex> lock(mutex_);
        void *data = nullptr;
        for (auto kept = kept_.begin(); kept != kept_.end(); ++kept)
            if (kept->bytes == rounded) {
                data = kept->data;
                kept_.erase(kept);
                break;
            }
        if (!data) {
            data = std::aligned_alloc(unit, rounded);
            if (!data)
                return nullptr;
        }
        large_.emplace(data, rounded);
        return data;
    }

    void release(void *data) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto block = large_.find(data);
        const std::size_t bytes = block->second;
        large_.erase(block);
        madvise(data, bytes, MADV_FREE);  // advice only: failure changes nothing
        if (kept_.size() == max_kept) {
            std::free(kept_.front().data);
            kept_.erase(kept_.begin());
        }
        kept_.push_back({data, bytes});
    }

  private:
    ResultMemory() { kept_.reserve(max_kept); }  // release then never allocates

    // Large blocks come in whole units, so that a kept block serves results of about its size.
    static constexpr std::size_t unit = std::size_t{2} << 20;
    // One result's position, velocity and error arrays.
    static constexpr std::size_t max_kept = 3;
    struct Block {
        void *data;
        std::size_t bytes;
    };
    std::mutex mutex_;
    std::vector<Block> kept_;                        // oldest first
    std::unordered_map<void *, std::size_t> large_;  // live large blocks and their sizes
};


// A new C-ordered NumPy array of the given shape: NumPy's own when small (the
// quickest to make), else in ResultMemory, owned by a capsule.
template <typename T, std::size_t N> nb::object new_array(const std::size_t (&shape)[N], T *&data) {
    npy_intp dims[N];
    std::size_t size = 1;
    for (std::size_t k = 0; k < N; ++k) {
        dims[k] = static_cast<npy_intp>(shape[k]);
        size *= shape[k];
    }
    if (!ResultMemory::large(size * sizeof(T))) {
        PyObject *array = PyArray_SimpleNew(static_cast<int>(N), dims, numpy_type<T>);
        if (!array)
            astrokite::args::throw_pending();
        data = static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)));
        return nb::steal(array);
    }
    data = static_cast<T *>(ResultMemory::instance().allocate(size * sizeof(T)));
    if (!data)
        throw std::bad_alloc();
    nb::capsule owner(data, [](void *p) noexcept { ResultMemory::instance().release(p); });
    return nb::ndarray<nb::numpy, T>(data, N, shape, owner).cast();
}

struct Table : sgp4::Table {};


// Whether long native work may go on: false once a signal handler (Ctrl-C)
// raised, whose exception is then pending. Asked from the thread that
// released the interpreter lock, which it takes back for the moment.
bool no_signal_raised() {
    nb::gil_scoped_acquire held;
    return PyErr_CheckSignals() == 0;
}

// A result array of the given shape: `given` when the caller passed one (it
// must have that shape), else a new one.
template <typename T, std::size_t N>
nb::object result_array(nb::handle given, const std::size_t (&shape)[N], const char *name, T *&data) {
    if (given.is_none())
        return new_array<T>(shape, data);
    nb::ndarray<T, nb::numpy, nb::c_contig, nb::device::cpu> array;
    if (!nb::try_cast(given, array, false))  // no converted copy: the results would be lost in it
        throw nb::type_error((std::string("out ") + name + " must be a writeable C-contiguous " +
                              (sizeof(T) == 1 ? "int8" : "float64") + " array")
                                 .c_str());
    bool fits = array.ndim() == N;
    for (std::size_t k = 0; fits && k < N; ++k)
        fits = array.shape(k) == shape[k];
    if (!fits)
        throw nb::value_error((std::string("out ") + name + " has the wrong shape for these rows and times").c_str());
    data = array.data();
    return nb::borrow(given);
}

// Fill (position, velocity or None, error) for `rows` x `times` samples (their
// sets initialised first where they are not yet), into
// `out` (a tuple of such arrays) when given. The position holds latitude,
// longitude and height for geodetic results.
nb::tuple run(Table &table, sgp4::Request request, const sgp4::Results &results, bool velocity,
              unsigned threads, nb::handle out) {
    nb::handle given[3] = {nb::none(), nb::none(), nb::none()};
    if (!out.is_none()) {
        nb::tuple arrays;
        if (!nb::try_cast(out, arrays) || arrays.size() != 3)
            throw nb::type_error("out must be a tuple (position, velocity or None, error)");
        for (std::size_t k = 0; k < 3; ++k)
            given[k] = arrays[k];
        if (given[0].is_none() || given[2].is_none() || (velocity && given[1].is_none()))
            throw nb::value_error("out lacks an array these results need (velocity for states with velocities)");
    }
    double *position = nullptr, *velocity_data = nullptr;
    std::int8_t *error = nullptr;
    nb::object position_array = result_array<double>(given[0], {request.rows, request.times, 3}, "position", position);
    nb::object velocity_array = nb::none();
    if (velocity)
        velocity_array = result_array<double>(given[1], {request.rows, request.times, 3}, "velocity", velocity_data);
    nb::object error_array = result_array<std::int8_t>(given[2], {request.rows, request.times}, "error", error);
    request.position = position;
    request.velocity = velocity_data;
    request.error = error;
    const std::size_t set_count = request.set_of_sample ? request.rows * request.times : request.rows;
    const std::int64_t *sets = request.set_of_sample ? request.set_of_sample : request.set_of_row;
    bool finished;
    // A few thousand samples take less time than letting other threads run meanwhile would cost.
    constexpr std::size_t quick = 2048;
    if (request.rows * request.times <= quick) {
        table.initialise_sets(sets, set_count, threads);
        finished = sgp4::run(table, request, results, threads, [] { return true; });
    } else {
        nb::gil_scoped_release released;
        table.initialise_sets(sets, set_count, threads);
        finished = sgp4::run(table, request, results, threads, no_signal_raised);
    }
    if (!finished)
        astrokite::args::throw_pending();
    return nb::make_tuple(position_array, velocity_array, error_array);
}

// Every index of `sets` names an element set of the table.
void require_set_indices(const Table &table, const ArrayIn<std::int64_t> &sets) {
    for (std::size_t i = 0; i < sets.size; ++i)
        if (sets.data[i] < 0 || static_cast<std::size_t>(sets.data[i]) >= table.size())
            throw nb::index_error("element set index out of range");
}

// The element set of each sample: one per row (1-D) or one per sample (2-D),
// each a valid index into the table.
void read_sets(const Table &table, const ArrayIn<std::int64_t> &sets, std::size_t times, sgp4::Request &request) {
    if (sets.ndim == 1) {
        request.rows = static_cast<std::size_t>(sets.shape[0]);
        request.set_of_row = sets.data;
    } else if (sets.ndim == 2 && static_cast<std::size_t>(sets.shape[1]) == times) {
        request.rows = static_cast<std::size_t>(sets.shape[0]);
        request.set_of_sample = sets.data;
    } else {
        throw nb::value_error("sets must have shape (rows,) or (rows, times)");
    }
    require_set_indices(table, sets);
    request.times = times;
}

// The instant (int64 ns since 1970, UTC) from which each of `sets` is
// certainly gone (sgp4_decay.hpp), a microsecond late so that the theory's
// own minutes there are past it; INT64_MAX where none comes.
nb::object decay_instants(Table &table, nb::handle sets, unsigned threads) {
    const ArrayIn<std::int64_t> chosen = array_in<std::int64_t>(sets, "sets");
    if (chosen.ndim != 1)
        throw nb::value_error("sets must be one-dimensional");
    require_set_indices(table, chosen);
    std::int64_t *out = nullptr;
    nb::object array = new_array<std::int64_t>({chosen.size}, out);
    nb::gil_scoped_release released;
    table.initialise_sets(chosen.data, chosen.size, threads);
    astrokite::parallel::split(chosen.size, 256, threads ? threads : astrokite::parallel::cores(),
                               [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            const auto set = static_cast<std::size_t>(chosen.data[i]);
            const double minutes = sgp4::decay_minutes(table.satellites[set]);
            const double since_midnight = std::ceil((minutes + table.epoch_fraction[set] * 1440.0) * 60e9) + 1e3;
            out[i] = since_midnight < 9.0e18 - static_cast<double>(table.epoch_midnight_ns[set])
                         ? table.epoch_midnight_ns[set] + static_cast<std::int64_t>(since_midnight)
                         : INT64_MAX;
        }
    });
    return array;
}

}  // namespace

NB_MODULE(_sgp4, m) {
    astrokite::args::LoadOnce once(m);
    if (PyArray_ImportNumPyAPI() < 0)
        throw nb::python_error();
    m.doc() = "Native SGP4/SDP4 propagation of a table of element sets.";

    m.def(
        "kernels",
        [] {
            nb::list names;
            for (const sgp4::Kernel &kernel : sgp4::available_kernels())
                names.append(kernel.name);
            return names;
        },
        nb::sig("def kernels() -> list[str]"), "Names of the SIMD kernels this CPU runs, widest first.");
    m.def(
        "kernel", [] { return std::string(sgp4::kernel_in_use().load()->name); },
        "Name of the SIMD kernel propagation uses.");
    m.def(
        "use_kernel",
        [](const std::string &name) {
            if (!sgp4::use_kernel(name))
                throw nb::value_error(("this CPU has no kernel '" + name + "'").c_str());
        },
        nb::arg("name"), "Propagate with the named kernel from now on (to compare kernels).");

    nb::class_<Table>(m, "Table", "Element sets from their records, initialised when first propagated.")
        .def(
            "__init__",
            [](Table *self, nb::list pieces, const std::string &gravity, const std::string &mode, unsigned threads) {
                // The records come in pieces (one buffer per satellite), read where they lie.
                std::vector<std::unique_ptr<astrokite::args::BufferView>> views;
                std::vector<const char *> starts;
                std::vector<std::size_t> first_row{0};
                for (nb::handle piece : pieces) {
                    views.push_back(std::make_unique<astrokite::args::BufferView>(piece));
                    if (views.back()->size() % astrokite::elements::record_bytes != 0)
                        throw nb::value_error("records must be whole element-set records of 128 bytes");
                    starts.push_back(views.back()->data());
                    first_row.push_back(first_row.back() + views.back()->size() / astrokite::elements::record_bytes);
                }
                const sgp4::Gravity model = gravity_named(gravity);
                const sgp4::Mode operation = mode_named(mode);
                auto record_of = [&](std::size_t i) {
                    const std::size_t piece =
                        static_cast<std::size_t>(std::upper_bound(first_row.begin(), first_row.end(), i) - first_row.begin()) - 1;
                    astrokite::elements::Record record;
                    std::memcpy(&record, starts[piece] + (i - first_row[piece]) * sizeof record, sizeof record);  // may be unaligned
                    return record;
                };
                sgp4::Table table;
                {
                    nb::gil_scoped_release released;  // the views hold the buffers meanwhile
                    table = sgp4::make_table(record_of, first_row.back(), model, operation, threads, false);
                }
                new (self) Table{std::move(table)};
            },
            nb::arg("records"), nb::arg("gravity"), nb::arg("mode"), nb::arg("threads") = 0,
            nb::sig("def __init__(self, records: list[collections.abc.Buffer], gravity: str, mode: str, threads: int = 0) -> None"))
        .def_prop_ro("size", [](const Table &t) { return t.size(); }, "Number of element sets.")
        .def_prop_ro(
            "satno",
            [](const Table &t) {
                std::int64_t *data = nullptr;
                nb::object array = new_array<std::int64_t>({t.size()}, data);
                std::copy(t.satno.begin(), t.satno.end(), data);
                return array;
            },
            nb::sig("def satno(self, /) -> numpy.typing.NDArray[numpy.int64]"),
            "Catalogue number of each set, int64 (-1 where unreadable).")
        .def_prop_ro(
            "epoch_ns",
            [](const Table &t) {
                std::int64_t *data = nullptr;
                nb::object array = new_array<std::int64_t>({t.size()}, data);
                std::copy(t.epoch_ns.begin(), t.epoch_ns.end(), data);
                return array;
            },
            nb::sig("def epoch_ns(self, /) -> numpy.typing.NDArray[numpy.int64]"),
            "Epoch of each set to the nearest nanosecond, int64 since 1970 (UTC).")
        .def("decay_ns", &decay_instants, nb::arg("sets"), nb::arg("threads"),
             nb::sig("def decay_ns(self, sets: numpy.ndarray, threads: int) -> numpy.typing.NDArray[numpy.int64]"),
             "Instant from which each set's orbit is certainly gone (every later sample fails or means\n"
             "nothing), int64 ns since 1970 (UTC); INT64_MAX where none comes.")
        .def(
            "propagate_since",
            [](Table &t, nb::handle sets, nb::handle minutes, bool velocity, unsigned threads, nb::handle out) {
                const ArrayIn<double> offsets = array_in<double>(minutes, "minutes");
                if (offsets.ndim != 1)
                    throw nb::value_error("minutes must be one-dimensional");
                sgp4::Request request;
                read_sets(t, array_in<std::int64_t>(sets, "sets"), offsets.size, request);
                request.minutes = offsets.data;
                return run(t, request, sgp4::Results{}, velocity, threads, out);
            },
            nb::arg("sets"), nb::arg("minutes"), nb::arg("velocity"), nb::arg("threads"), nb::arg("out") = nb::none(),
            nb::sig("def propagate_since(self, sets: numpy.ndarray, minutes: numpy.ndarray, velocity: bool, threads: int, "
                    "out: tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64] | None, numpy.typing.NDArray[numpy.int8]] | None = None) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64] | None, numpy.typing.NDArray[numpy.int8]]"),
            "States at minutes since each sample's set epoch: (position m, velocity m/s or None, error int8).")
        .def(
            "propagate",
            [](Table &t, nb::handle sets, nb::handle instants, bool velocity, unsigned threads,
               const std::string &output, double a, double f, nb::handle out, nb::handle orientation) {
                const ArrayIn<std::int64_t> counts = array_in<std::int64_t>(instants, "instants");
                if (counts.ndim != 1)
                    throw nb::value_error("instants must be one-dimensional");
                sgp4::Request request;
                read_sets(t, array_in<std::int64_t>(sets, "sets"), counts.size, request);
                request.instants_ns = counts.data;
                sgp4::Results results;
                results.output = output_named(output);
                results.ellipsoid = {a, f};
                if (results.output == sgp4::Output::geodetic && velocity)
                    throw nb::value_error("geodetic results have no velocity");
                if (!orientation.is_none()) {
                    const ArrayIn<double> earth = array_in<double>(orientation, "orientation");
                    if (earth.ndim != 2 || earth.shape[1] != 3 || earth.size != 3 * counts.size)
                        throw nb::value_error("orientation must have shape (instants, 3)");
                    results.orientation = earth.data;
                }
                return run(t, request, results, velocity, threads, out);
            },
            nb::arg("sets"), nb::arg("instants"), nb::arg("velocity"), nb::arg("threads"), nb::arg("output") = "TEME",
            nb::arg("a") = 0.0, nb::arg("f") = 0.0, nb::arg("out") = nb::none(), nb::arg("orientation") = nb::none(),
            nb::sig("def propagate(self, sets: numpy.ndarray, instants: numpy.ndarray, velocity: bool, threads: int, "
                    "output: str = 'TEME', a: float = 0.0, f: float = 0.0, out: tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64] | None, numpy.typing.NDArray[numpy.int8]] | None = None, "
                    "orientation: numpy.typing.NDArray[numpy.float64] | None = None) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64] | None, numpy.typing.NDArray[numpy.int8]]"),
            "States at instants (int64 ns since 1970, UTC): (position m, velocity m/s or None, error int8);\n"
            "Earth-fixed or geodetic results use the Earth orientation (instants, 3) of each instant.");
}
