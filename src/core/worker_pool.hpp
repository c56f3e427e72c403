// The process-wide pool of worker threads used by the parallel collapse.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace rastermark::worker_pool {

// The pool's threads could not be started.
struct PoolStartError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Most threads a pool may have.
inline constexpr std::size_t max_threads = 255;

// Number of worker threads, at least 1.  The first call in a process (and the
// first in a child created by fork) creates the pool; racing first calls
// create it once.  Throws PoolStartError when no thread can be started.
std::size_t current_num_threads();

// Runs task(0) ... task(count - 1), each exactly once, on the pool's threads
// and returns when all have finished.  An exception thrown by a task is
// rethrown here, on the calling thread, after every task has finished.
void run_indexed(std::size_t count, const std::function<void(std::size_t)>& task);

// The pool-size rules, separate from the environment so they can be tested:
// `primary` and `legacy` are the two variables' values (null when unset).
std::size_t pool_size_from(const char* primary, const char* legacy, std::size_t default_size);

// Parses a positive decimal integer of digits only, saturating at
// max_threads; 0 for "0" and friends; -1 for anything that is not digits.
long parse_thread_count(const char* text);

// CPUs this process may use: affinity set (or online CPUs) limited by the
// control group's CPU quota; at least 1.
std::size_t default_pool_size();

// Ordered parallel map: one task per item, results in item order.
template <class Result, class Item, class Task>
std::vector<Result> parallel_map(const std::vector<Item>& items, Task&& task) {
    std::vector<Result> results(items.size());
    run_indexed(items.size(), [&](std::size_t i) { results[i] = task(items[i]); });
    return results;
}

}  // namespace rastermark::worker_pool
