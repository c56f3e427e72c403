#include "worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <latch>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>

#include "platform.hpp"

namespace rastermark::worker_pool {

namespace {

// One call's set of tasks.  Lives on the calling thread's stack; the caller
// does not return before `remaining` has dropped to zero.
struct Batch {
    const std::function<void(std::size_t)>* task;
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t remaining;
    std::exception_ptr error;
};

struct Job {
    Batch* batch;
    std::size_t index;
};

class WorkerPool {
public:
    explicit WorkerPool(std::size_t size) {
        threads_.reserve(size);
        for (std::size_t i = 0; i < size; ++i) {
            threads_.emplace_back([this](std::stop_token stop) { work(stop); });
        }
        warm_up();
    }

    std::size_t size() const { return threads_.size(); }

    void run(std::size_t count, const std::function<void(std::size_t)>& task) {
        if (count == 0) return;
        Batch batch{&task, {}, {}, count, nullptr};
        {
            std::lock_guard lock(mutex_);
            for (std::size_t i = 0; i < count; ++i) jobs_.push_back({&batch, i});
        }
        wake_.notify_all();
        // The calling thread works on its own batch too, rather than only
        // waiting for threads to wake up.
        for (;;) {
            Job job;
            {
                std::lock_guard lock(mutex_);
                if (jobs_.empty() || jobs_.front().batch != &batch) break;
                job = jobs_.front();
                jobs_.pop_front();
            }
            execute(job);
        }
        std::unique_lock lock(batch.mutex);
        batch.finished.wait(lock, [&] { return batch.remaining == 0; });
        if (batch.error) std::rethrow_exception(batch.error);
    }

private:
    // Runs one task on every thread before the pool is used.  The C++
    // runtime and the C library set up some per-thread state (thread-local
    // storage of dynamically loaded libraries, exception state) on first
    // use; set up later, when memory may be exhausted, a failure there
    // aborts the process instead of raising.  Each task waits until all have
    // started, so that no thread can take two of them.
    void warm_up() {
        std::latch started(static_cast<std::ptrdiff_t>(threads_.size()) + 1);
        const std::function<void(std::size_t)> task = [&](std::size_t) {
            static_cast<void>(std::uncaught_exceptions());
            // The thread's first allocation gives it its own malloc arena.
            std::unique_ptr<char[]> probe(new char[64]);
            *static_cast<volatile char*>(probe.get()) = 1;
            started.arrive_and_wait();
        };
        run(threads_.size() + 1, task);
    }

    void work(std::stop_token stop) {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                if (!wake_.wait(lock, stop, [&] { return !jobs_.empty(); })) return;
                job = jobs_.front();
                jobs_.pop_front();
            }
            execute(job);
        }
    }

    static void execute(const Job& job) {
        std::exception_ptr error;
        try {
            (*job.batch->task)(job.index);
        } catch (...) {
            error = std::current_exception();
        }
        // Notify while holding the batch's lock: once it is released the
        // caller may return and the batch is gone.
        std::lock_guard lock(job.batch->mutex);
        if (error && !job.batch->error) job.batch->error = error;
        if (--job.batch->remaining == 0) job.batch->finished.notify_one();
    }

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<Job> jobs_;
    std::vector<std::jthread> threads_;  // last: stopped and joined first
};

// The pool lives until the process ends and is never destroyed: at exit its
// threads simply stop with the process.  A child created by fork has none of
// the parent's threads, so the child handler forgets the inherited pool (left
// allocated, since its threads cannot be joined) and the child's first query
// makes a new one.
std::atomic<WorkerPool*> the_pool{nullptr};
std::mutex creation_mutex;
std::once_flag atfork_once;

void lock_for_fork() { creation_mutex.lock(); }
void unlock_after_fork() { creation_mutex.unlock(); }
void reset_in_child() {
    the_pool.store(nullptr, std::memory_order_relaxed);
    creation_mutex.unlock();
}

WorkerPool& pool() {
    if (WorkerPool* existing = the_pool.load(std::memory_order_acquire)) return *existing;
    std::call_once(atfork_once, [] { platform::on_fork(lock_for_fork, unlock_after_fork, reset_in_child); });
    std::lock_guard lock(creation_mutex);
    if (WorkerPool* existing = the_pool.load(std::memory_order_acquire)) return *existing;
    const std::size_t size =
        pool_size_from(std::getenv("RASTERMARK_NUM_THREADS"), std::getenv("RASTERMARK_THREADS"),
                       default_pool_size());
    std::unique_ptr<WorkerPool> created;
    try {
        created = std::make_unique<WorkerPool>(size);
    } catch (const std::system_error& e) {
        throw PoolStartError(std::string("could not start the worker threads: ") + e.what());
    }
    WorkerPool* published = created.release();
    the_pool.store(published, std::memory_order_release);
    return *published;
}

}  // namespace

long parse_thread_count(const char* text) {
    if (text == nullptr || *text == '\0') return -1;
    long value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return -1;
        // Saturate instead of overflowing: any larger request means the cap.
        value = std::min<long>(value * 10 + (*c - '0'), static_cast<long>(max_threads) + 1);
    }
    return std::min<long>(value, static_cast<long>(max_threads));
}

std::size_t pool_size_from(const char* primary, const char* legacy, std::size_t default_size) {
    const long from_primary = parse_thread_count(primary);
    if (from_primary > 0) return static_cast<std::size_t>(from_primary);
    if (from_primary < 0) {
        // The legacy name counts only where the primary one is unset or not a number.
        const long from_legacy = parse_thread_count(legacy);
        if (from_legacy > 0) return static_cast<std::size_t>(from_legacy);
    }
    return std::clamp<std::size_t>(default_size, 1, max_threads);
}

std::size_t default_pool_size() { return std::clamp<std::size_t>(platform::usable_cpus(), 1, max_threads); }

std::size_t current_num_threads() { return pool().size(); }

void run_indexed(std::size_t count, const std::function<void(std::size_t)>& task) {
    pool().run(count, task);
}

}  // namespace rastermark::worker_pool
