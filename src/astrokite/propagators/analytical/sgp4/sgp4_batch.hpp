// Propagation of many element sets to many times: a table of initialised
// satellites built from stored line pairs, and a runner that fills position,
// velocity and error arrays over native threads with the widest SIMD kernel
// the CPU has. Plain C++: no Python here.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string_view>
#include <thread>
#include <vector>

#include "astrokite/propagators/analytical/sgp4/sgp4_theory.hpp"
#include "astrokite/propagators/analytical/sgp4/tle_lines.hpp"
#include "astrokite/time/calendar.hpp"

#include <xsimd/config/xsimd_cpuid.hpp>

namespace astrokite::sgp4 {

inline constexpr std::size_t row_bytes = 2 * tle_lines::line_length;  // line 1 then line 2

// Julian date of 1949-12-31T00:00, the origin of the theory's epoch count.
inline constexpr double theory_epoch_jd = 2433281.5;

// The theory's inputs from every field of an element set. The epoch is the
// exact one of the line: its midnight as a Julian date plus the day fraction.
inline Elements elements_of(const tle_lines::ElementSet &set) {
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

// Initialised element sets, with the exact epoch of each kept in two parts.
struct Table {
    std::vector<Satellite> satellites;
    std::vector<std::int64_t> epoch_midnight_ns;
    std::vector<double> epoch_fraction;
    std::vector<std::int64_t> satno;  // -1 where line 1 has no readable number

    std::size_t size() const { return satellites.size(); }
};

// The columns of a table the kernels read, as plain pointers.
struct TableView {
    const Satellite *satellites;
    const std::int64_t *epoch_midnight_ns;
    const double *epoch_fraction;
};

// A table from `count` rows of 138 bytes (line 1, then line 2).
inline Table make_table(const char *rows, std::size_t count, Gravity gravity, Mode mode) {
    Table table;
    table.satellites.reserve(count);
    table.epoch_midnight_ns.reserve(count);
    table.epoch_fraction.reserve(count);
    table.satno.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        tle_lines::LineStore line1, line2;
        const char *row = rows + i * row_bytes;
        const std::string_view text1(row, tle_lines::line_length), text2(row + tle_lines::line_length, tle_lines::line_length);
        const std::size_t length1 = tle_lines::normalise(text1, line1);
        const std::size_t length2 = tle_lines::normalise(text2, line2);
        const tle_lines::ElementSet set =
            tle_lines::parse_element_set(tle_lines::text_to_read(text1, line1, length1), length1,
                                         tle_lines::text_to_read(text2, line2, length2), length2);
        table.satellites.push_back(initialise(elements_of(set), gravity, mode));
        table.epoch_midnight_ns.push_back(set.epoch_midnight_ns);
        table.epoch_fraction.push_back(set.epoch_fraction);
        table.satno.push_back(set.satno ? *set.satno : -1);
    }
    return table;
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

// Every sample of the request over `threads` native threads (0: one per
// core). Each thread takes a contiguous block of samples; a sample's result
// does not depend on which thread computes it.
inline void run(const Table &table_columns, const Request &request, unsigned threads) {
    const TableView table{table_columns.satellites.data(), table_columns.epoch_midnight_ns.data(),
                          table_columns.epoch_fraction.data()};
    const RangeRunner run_range = kernel_in_use().load()->run;
    const std::size_t total = request.rows * request.times;
    if (total == 0)
        return;
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    // Below a few thousand samples a thread costs more than it saves.
    constexpr std::size_t min_block = 4096;
    const std::size_t blocks = std::min<std::size_t>(threads, (total + min_block - 1) / min_block);
    if (blocks <= 1) {
        run_range(table, request, 0, total);
        return;
    }
    const std::size_t block = (total + blocks - 1) / blocks;
    std::vector<std::thread> workers;
    workers.reserve(blocks - 1);
    for (std::size_t b = 1; b < blocks; ++b)
        workers.emplace_back(run_range, std::cref(table), std::cref(request), b * block,
                             std::min(total, (b + 1) * block));
    run_range(table, request, 0, std::min(total, block));
    for (std::thread &worker : workers)
        worker.join();
}

}  // namespace astrokite::sgp4
