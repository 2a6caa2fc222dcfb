// Work split across threads by ranges of items. Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace astrokite::parallel {

// The cores of the machine (at least 1), counted once per process: the count
// reads /sys/devices/system/cpu/online each time it is asked.
inline unsigned cores() {
    static const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

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

// How often long work asks whether to go on: often enough that an interrupt
// stops it well within a tenth of a second, rarely enough to cost nothing.
inline constexpr std::chrono::milliseconds poll_interval{20};

// work(piece) for every piece in [0, pieces), each taken by the next free one
// of `threads` threads (the calling thread among them), so that slow and fast
// pieces even out. Only the calling thread calls keep_going(), about every
// poll_interval, between its pieces and while it waits for the others (a
// caller may need to be on its own thread to ask, as an interpreter does for
// its signals). Once keep_going() says no, no piece starts any more; the
// pieces under way end and the result is false. True when every piece ran.
template <typename Work, typename KeepGoing>
bool pieces_in_turn(std::size_t pieces, unsigned threads, const Work &work, const KeepGoing &keep_going) {
    using clock = std::chrono::steady_clock;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stopped{false};
    auto take = [&]() -> bool {
        if (stopped.load(std::memory_order_relaxed))
            return false;
        const std::size_t piece = next.fetch_add(1, std::memory_order_relaxed);
        if (piece >= pieces)
            return false;
        work(piece);
        return true;
    };
    auto deadline = clock::now() + poll_interval;
    auto ask = [&] {
        if (clock::now() < deadline)
            return;
        if (!keep_going())
            stopped.store(true, std::memory_order_relaxed);
        deadline = clock::now() + poll_interval;
    };

    const std::size_t helpers = std::min<std::size_t>(std::max(1u, threads), pieces) - (pieces ? 1 : 0);
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = helpers;
    std::vector<std::thread> pool;
    pool.reserve(helpers);
    for (std::size_t h = 0; h < helpers; ++h)
        pool.emplace_back([&] {
            while (take()) {
            }
            const std::lock_guard<std::mutex> lock(mutex);
            if (--running == 0)
                finished.notify_one();
        });
    while (take())
        ask();
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (running) {
            if (stopped.load(std::memory_order_relaxed)) {
                finished.wait(lock);
            } else if (finished.wait_until(lock, deadline) == std::cv_status::timeout) {
                lock.unlock();
                ask();
                lock.lock();
            }
        }
    }
    for (std::thread &thread : pool)
        thread.join();
    return !stopped.load();
}

}  // namespace astrokite::parallel
