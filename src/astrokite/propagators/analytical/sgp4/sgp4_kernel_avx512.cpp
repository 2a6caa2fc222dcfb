// The propagation kernel for AVX-512 (eight lanes), compiled with that
// instruction set's flags (CMakeLists.txt); the runner picks it at run time.
#include "astrokite/propagators/analytical/sgp4/sgp4_lanes_runner.hpp"

namespace astrokite::sgp4 {

void run_range_avx512(const TableView &table, const Request &request, std::size_t first, std::size_t last) {
    lanes::run_range<xsimd::batch<double, xsimd::avx512f>>(table, request, first, last);
}

}  // namespace astrokite::sgp4
