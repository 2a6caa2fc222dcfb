// Work split across threads: by ranges of items, by pieces taken in turn, or
// by pieces handed over while they are being made. Plain C++: no Python in here.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace astrokite::parallel {

// The cores of the machine (at least 1), counted once per process: the count
// reads /sys/devices/system/cpu/online each time it is asked.
inline unsigned cores() {
    static const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

// The first exception thrown by work shared among threads, kept until every
// thread has ended and then rethrown on the calling thread (an exception
// leaving a thread of its own would end the process).
class FirstFault {
public:
    // f(); false when it threw, its exception kept if it is the first.
    template <typename F>
    bool run(const F &f) noexcept {
        try {
            f();
            return true;
        } catch (...) {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!fault_)
                fault_ = std::current_exception();
            return false;
        }
    }

    void rethrow() const {
        if (fault_)
            std::rethrow_exception(fault_);
    }

private:
    std::mutex mutex_;
    std::exception_ptr fault_;
};

// work(first, last) over [0, n), in one range per thread: at most `threads`
// of them, each of at least `per_thread` items, the calling thread taking the
// first. Few items run in the calling thread alone. The first exception of a
// range is rethrown once every range has ended.
template <typename Work>
void split(std::size_t n, std::size_t per_thread, unsigned threads, const Work &work) {
    const std::size_t workers = std::clamp<std::size_t>(n / per_thread, 1, std::max(1u, threads));
    FirstFault fault;
    std::vector<std::thread> pool;
    for (std::size_t w = 1; w < workers; ++w)
        pool.emplace_back([&, w] { fault.run([&] { work(n * w / workers, n * (w + 1) / workers); }); });
    fault.run([&] { work(0, n / workers); });
    for (std::thread &thread : pool)
        thread.join();
    fault.rethrow();
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
// An exception of a piece (or of keep_going()) stops the work the same way
// and is rethrown once every thread has ended, the first one if several.
template <typename Work, typename KeepGoing>
bool pieces_in_turn(std::size_t pieces, unsigned threads, const Work &work, const KeepGoing &keep_going) {
    using clock = std::chrono::steady_clock;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stopped{false};
    FirstFault fault;
    auto take = [&]() -> bool {
        if (stopped.load(std::memory_order_relaxed))
            return false;
        const std::size_t piece = next.fetch_add(1, std::memory_order_relaxed);
        if (piece >= pieces)
            return false;
        if (!fault.run([&] { work(piece); }))
            stopped.store(true, std::memory_order_relaxed);
        return true;
    };
    auto deadline = clock::now() + poll_interval;
    auto ask = [&] {
        if (clock::now() < deadline)
            return;
        bool go = false;
        fault.run([&] { go = keep_going(); });
        if (!go)
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
    fault.rethrow();
    return !stopped.load();
}

// Pieces handed over one at a time by a thread that goes on making the next
// ones meanwhile: each piece is taken, in the order handed over, by the next
// free one of `helpers` threads started at once, so that working on the
// pieces overlaps making them. The handing thread joins in at finish(), once
// it has handed over the last one. take(piece) then runs for the pieces in
// the order handed over, one at a time, by whichever thread finds the next
// piece to take worked on: the results come out in order without every
// thread waiting for the slowest piece. After an exception of work() or
// take(), no piece starts any more; finish() rethrows the first one once the
// pieces under way have ended. Ended without finish(), the pieces not begun
// are dropped.
template <typename Piece>
class PiecesHandedOver {
public:
    using Step = std::function<void(const Piece &)>;

    PiecesHandedOver(unsigned helpers, Step work, Step take) : work_(std::move(work)), take_(std::move(take)) {
        for (unsigned h = 0; h < helpers; ++h)
            helpers_.emplace_back([this] { work_on_pieces(); });
    }
    PiecesHandedOver(const PiecesHandedOver &) = delete;
    PiecesHandedOver &operator=(const PiecesHandedOver &) = delete;
    ~PiecesHandedOver() {
        stop();
        join_helpers();
    }

    void hand_over(Piece piece) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            pieces_.push_back(std::move(piece));
            worked_.push_back(false);
        }
        ready_.notify_one();
    }

    // No more pieces: work on those not yet taken, alongside the helpers, and
    // wait for every piece to be taken.
    void finish() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
        work_on_pieces();
        join_helpers();
        fault_.rethrow();
    }

private:
    void work_on_pieces() {
        for (;;) {
            std::size_t index;
            Piece piece;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return begun_ < pieces_.size() || closed_ || stopped_; });
                if (stopped_ || begun_ == pieces_.size())
                    return;
                index = begun_++;
                piece = pieces_[index];
            }
            if (!fault_.run([&] { work_(piece); })) {
                stop();
                return;
            }
            take_in_order(index);
        }
    }

    // Piece `index` is worked on. Whoever finds the next piece to take worked
    // on takes it and those after it that are worked on too; a piece done
    // meanwhile by another thread is left to the one taking.
    void take_in_order(std::size_t index) {
        std::unique_lock<std::mutex> lock(mutex_);
        worked_[index] = true;
        if (taking_)
            return;
        taking_ = true;
        while (!stopped_ && next_to_take_ < pieces_.size() && worked_[next_to_take_]) {
            const Piece piece = pieces_[next_to_take_];
            lock.unlock();
            const bool taken = fault_.run([&] { take_(piece); });
            lock.lock();
            if (!taken) {
                stopped_ = true;
                ready_.notify_all();
                break;
            }
            ++next_to_take_;
        }
        taking_ = false;
    }

    void stop() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        ready_.notify_all();
    }

    void join_helpers() {
        for (std::thread &helper : helpers_)
            helper.join();
        helpers_.clear();
    }

    Step work_, take_;
    FirstFault fault_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Piece> pieces_;  // handed over, in order
    std::vector<bool> worked_;
    std::size_t begun_ = 0;         // pieces_[0, begun_) are being or have been worked on
    std::size_t next_to_take_ = 0;  // pieces_[0, next_to_take_) are taken
    bool taking_ = false;           // a thread is taking pieces
    bool closed_ = false;           // the last piece is handed over
    bool stopped_ = false;          // no piece starts any more
    std::vector<std::thread> helpers_;
};

}  // namespace astrokite::parallel
