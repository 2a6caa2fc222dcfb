// Work split across threads by ranges of items. Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

namespace astrokite::parallel {

// The cores of the machine (at least 1).
inline unsigned cores() { return std::max(1u, std::thread::hardware_concurrency()); }

// work(first, last) over [0, n), in one range per thread: at most `threads`
// of them, each of at least `per_thread` items, the calling thread taking the
// first. Few items run in the calling thread alone.
template <typename Work>
void split(std::size_t n, std::size_t per_thread, unsigned threads, const Work &work) {
    const std::size_t workers = std::clamp<std::size_t>(n / per_thread, 1, std::max(1u, threads));
    std::vector<std::thread> pool;
    for (std::size_t w = 1; w < workers; ++w)
        pool.emplace_back(work, n * w / workers, n * (w + 1) / workers);
    work(0, n / workers);
    for (std::thread &thread : pool)
        thread.join();
}

}  // namespace astrokite::parallel
