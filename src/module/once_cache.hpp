// Process-wide values computed on first successful use, from any thread.
#pragma once

#include "py_ref.hpp"

#include <atomic>
#include <memory>
#include <type_traits>

namespace rastermark::py {

// Returns the cached value, computing it with `init` when the cache is empty.
// `init` runs attached, holds no lock, and returns either an owning handle
// (a std::unique_ptr such as Ref) or a pointer to static data; null means
// failure with a Python error set, which leaves the cache empty for a later
// caller to try again.
//
// No lock is held while Python code runs: a lock held there would be copied
// locked into a child forked at that moment, and would deadlock a call made
// again on the same thread (from a signal handler, or from Python code that
// the first computation runs).  Several threads may therefore compute the
// value at once; the computation is idempotent, the first to publish wins and
// the others drop what they made and use the winner's.
template <class V, class Init>
V* once_cached(std::atomic<V*>& cache, Init&& init) {
    if (V* value = cache.load(std::memory_order_acquire)) return value;
    auto fresh = init();
    if (fresh == nullptr) return nullptr;
    V* candidate;
    if constexpr (std::is_pointer_v<decltype(fresh)>) {
        candidate = fresh;
    } else {
        candidate = fresh.get();
    }
    V* published = nullptr;
    if (!cache.compare_exchange_strong(published, candidate, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
        return published;  // another thread was first; `fresh` is dropped here
    }
    if constexpr (!std::is_pointer_v<decltype(fresh)>) {
        static_cast<void>(fresh.release());  // now owned by the cache, for the life of the process
    }
    return candidate;
}

}  // namespace rastermark::py
