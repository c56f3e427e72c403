// Process-wide values computed once, on first successful use, from any thread.
#pragma once

#include "py_ref.hpp"

#include <atomic>
#include <mutex>

namespace rastermark::py {

// Returns the cached value, computing it with `init` (called attached; it
// returns null with a Python error set on failure) when the cache is empty.
// A thread that has to wait for another one's computation waits detached
// from the interpreter, so that the computing thread can always get the
// interpreter (or its lock) it needs.  A failure leaves the cache empty and a
// later caller tries again.
template <class V, class Init>
V* once_cached(std::atomic<V*>& cache, std::mutex& guard, Init&& init) {
    if (V* value = cache.load(std::memory_order_acquire)) return value;
    PyThreadState* state = PyEval_SaveThread();
    guard.lock();
    PyEval_RestoreThread(state);
    V* value = cache.load(std::memory_order_acquire);
    if (value == nullptr) {
        value = init();
        if (value != nullptr) cache.store(value, std::memory_order_release);
    }
    guard.unlock();
    return value;
}

}  // namespace rastermark::py
