// Propagation of many element sets to many times: a table of initialised
// satellites built from stored line pairs, what a request asks for, and the
// SIMD kernels that fill its position, velocity and error arrays (the widest
// the CPU has, chosen at run time). Plain C++: no Python here.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "astrokite/common/parallel.hpp"
#include "astrokite/propagators/analytical/sgp4/sgp4_theory.hpp"
#include "astrokite/elements/record.hpp"
#include "astrokite/time/calendar.hpp"

#include <xsimd/config/xsimd_cpuid.hpp>

namespace astrokite::sgp4 {

// Julian date of 1949-12-31T00:00, the origin of the theory's epoch count.
inline constexpr double theory_epoch_jd = 2433281.5;

// The theory's inputs from the values of an element set. The epoch is the
// exact one written: its midnight as a Julian date plus the day fraction.
inline Elements elements_of(const elements::Record &set) {
    const double midnight_jd =
        time::unix_epoch_jd + static_cast<double>(set.epoch_midnight_ns / time::ns_per_day);
    Elements e;
    e.epoch = midnight_jd + set.epoch_fraction - theory_epoch_jd;
    e.bstar = set.bstar;
    e.ecco = set.ecc;
    e.argpo = set.arp;
    e.inclo = set.inc;
    e.mo = set.mea;
    e.no_kozai = set.mnm * 60.0;  // rad/s to rad/min
    e.nodeo = set.raa;
    return e;
}

// Element sets a thread reads and initialises at least (a few milliseconds).
inline constexpr std::size_t sets_per_thread = 2048;

// Storage that leaves its elements uninitialised until they are written: a
// large table then costs no page faults for memory its threads fill.
template <typename T> struct Uninitialised : std::allocator<T> {
    template <typename U> struct rebind {
        using other = Uninitialised<U>;
    };
    template <typename U> void construct(U *p) noexcept { ::new (static_cast<void *>(p)) U; }
    template <typename U, typename... Args> void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

// Element sets, with the exact epoch of each kept in two parts. A set is
// initialised (the theory's set-up, most of the cost of a table) when first
// propagated, or at once for a table made with `initialise_all`: a request
// that needs a few sets of a long history pays for those alone.
struct Table {
    std::vector<Satellite, Uninitialised<Satellite>> satellites;  // valid where initialised
    std::vector<std::int64_t> epoch_midnight_ns;
    std::vector<double> epoch_fraction;
    std::vector<std::int64_t> epoch_ns;  // the epoch to the nearest nanosecond
    std::vector<std::int64_t> satno;  // -1 where the set has no number
    std::vector<Elements> elements;   // what each set is initialised from
    Gravity gravity = Gravity::wgs72;
    Mode mode = Mode::improved;
    // Which sets are initialised, and how many, changed only with `setting_up` held.
    std::vector<std::uint8_t> initialised;
    std::size_t initialised_count = 0;
    std::unique_ptr<std::mutex> setting_up = std::make_unique<std::mutex>();

    std::size_t size() const { return satellites.size(); }

    // Initialise the sets among `sets` (n indices) not yet initialised, on up
    // to `threads` threads (0: every core). Safe to call from several threads
    // at once; a set is initialised once and never written again.
    void initialise_sets(const std::int64_t *sets, std::size_t n, unsigned threads) {
        const std::lock_guard<std::mutex> lock(*setting_up);
        if (initialised_count == size())
            return;
        std::vector<std::size_t> missing;
        for (std::size_t i = 0; i < n; ++i) {
            const auto set = static_cast<std::size_t>(sets[i]);
            if (!initialised[set]) {
                initialised[set] = 1;
                missing.push_back(set);
            }
        }
        parallel::split(missing.size(), sets_per_thread, threads ? threads : parallel::cores(),
                        [&](std::size_t first, std::size_t last) {
                            for (std::size_t i = first; i < last; ++i)
                                satellites[missing[i]] = initialise(elements[missing[i]], gravity, mode);
                        });
        initialised_count += missing.size();
    }
};

// The columns of a table the kernels read, as plain pointers.
struct TableView {
    const Satellite *satellites;
    const std::int64_t *epoch_midnight_ns;
    const double *epoch_fraction;
};

// A table of `count` element sets, the record of set i given by
// record_of(i), read on up to `threads` threads (0: every core); every set
// initialised at once when `initialise_all`, else each when first asked for
// (Table::initialise_sets).
template <typename RecordOf>
Table make_table(const RecordOf &record_of, std::size_t count, Gravity gravity, Mode mode, unsigned threads,
                 bool initialise_all) {
    Table table;
    table.satellites.resize(count);
    table.epoch_midnight_ns.resize(count);
    table.epoch_fraction.resize(count);
    table.epoch_ns.resize(count);
    table.satno.resize(count);
    table.elements.resize(count);
    table.gravity = gravity;
    table.mode = mode;
    table.initialised.assign(count, initialise_all ? 1 : 0);
    table.initialised_count = initialise_all ? count : 0;
    parallel::split(count, sets_per_thread, threads ? threads : parallel::cores(), [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            const elements::Record set = record_of(i);
            table.elements[i] = elements_of(set);
            if (initialise_all)
                table.satellites[i] = initialise(table.elements[i], gravity, mode);
            table.epoch_midnight_ns[i] = set.epoch_midnight_ns;
            table.epoch_fraction[i] = set.epoch_fraction;
            // A set whose epoch no Time holds is served at the end of the range nearest it.
            if (!elements::epoch_ns(set, table.epoch_ns[i]))
                table.epoch_ns[i] = set.epoch_midnight_ns < 0 ? time::min_ns : time::max_ns;
            table.satno[i] = set.satno;
        }
    });
    return table;
}

// A table of `count` records stored one after the other, every set initialised.
inline Table make_table(const elements::Record *records, std::size_t count, Gravity gravity, Mode mode) {
    return make_table([records](std::size_t i) { return records[i]; }, count, gravity, mode, 1, true);
}

// What to propagate: `rows` x `times` samples. Each sample names its element
// set (`set_of_sample`, rows x times, or `set_of_row` when a row keeps one
// set) and its time (`minutes` since that set's epoch, or `instants_ns`).
struct Request {
    std::size_t rows = 0, times = 0;
    const std::int64_t *set_of_row = nullptr;
    const std::int64_t *set_of_sample = nullptr;
    const double *minutes = nullptr;
    const std::int64_t *instants_ns = nullptr;
    double *position = nullptr;  // rows x times x 3
    double *velocity = nullptr;  // same, or null
    std::int8_t *error = nullptr;  // rows x times
};

// The kernel of each instruction set (sgp4_kernel_<set>.cpp): samples
// [first, last) of a request in row-major order.
using RangeRunner = void (*)(const TableView &, const Request &, std::size_t, std::size_t);
void run_range_sse2(const TableView &, const Request &, std::size_t, std::size_t);
void run_range_avx2(const TableView &, const Request &, std::size_t, std::size_t);
void run_range_avx512(const TableView &, const Request &, std::size_t, std::size_t);

struct Kernel {
    const char *name;
    RangeRunner run;
};

// The kernels this CPU runs, widest first.
inline std::vector<Kernel> available_kernels() {
    const auto cpu = xsimd::available_architectures();
    std::vector<Kernel> kernels;
    if (cpu.avx512f)
        kernels.push_back({"avx512", run_range_avx512});
    if (cpu.fma3_avx2)
        kernels.push_back({"avx2", run_range_avx2});
    kernels.push_back({"sse2", run_range_sse2});
    return kernels;
}

// The kernel propagation uses: the widest available unless one is chosen
// (use_kernel), as tests and benchmarks do to compare them.
inline std::atomic<const Kernel *> &kernel_in_use() {
    static const std::vector<Kernel> kernels = available_kernels();
    static std::atomic<const Kernel *> in_use{&kernels.front()};
    return in_use;
}

// Choose the kernel by name; false if this CPU cannot run it.
inline bool use_kernel(std::string_view name) {
    static const std::vector<Kernel> kernels = available_kernels();
    for (const Kernel &kernel : kernels)
        if (name == kernel.name) {
            kernel_in_use().store(&kernel);
            return true;
        }
    return false;
}

}  // namespace astrokite::sgp4
