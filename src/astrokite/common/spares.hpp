// Things let go of, kept for whoever next needs one: large blocks of memory
// that would otherwise go back to the system and cost their page faults again
// when taken anew. One store per type of thing, shared by every thread,
// holding at most `most` of them; never destroyed, since things may still be
// given back while a process exits. Plain C++: no Python in here.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace astrokite {

template <typename T, std::size_t most> class Spares {
public:
    // A kept thing, if there is one.
    static std::optional<T> take() {
        Spares &spares = instance();
        std::lock_guard<std::mutex> lock(spares.mutex_);
        if (spares.kept_.empty())
            return std::nullopt;
        std::optional<T> thing(std::move(spares.kept_.back()));
        spares.kept_.pop_back();
        return thing;
    }

    // Keep `thing` (moved from) when there is room; false leaves it to the caller.
    static bool give(T &thing) {
        Spares &spares = instance();
        std::lock_guard<std::mutex> lock(spares.mutex_);
        if (spares.kept_.size() >= most)
            return false;
        spares.kept_.push_back(std::move(thing));
        return true;
    }

private:
    static Spares &instance() {
        static Spares *spares = new Spares;
        return *spares;
    }
    std::mutex mutex_;
    std::vector<T> kept_;
};

}  // namespace astrokite
