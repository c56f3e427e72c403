#include "platform.hpp"

#include <algorithm>
#include <cstdlib>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#endif

#if defined(_WIN32)
#include <malloc.h>
#else
#include <pthread.h>
#endif

namespace rastermark::platform {

namespace {

#if defined(__linux__)

// First line of a small kernel file, or "" when it cannot be read.
std::string read_first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (in) std::getline(in, line);
    return line;
}

// The cgroup v2 directory of this process ("" when not on cgroup v2).
std::string own_cgroup_v2_dir() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("0::", 0) == 0) return "/sys/fs/cgroup" + line.substr(3);
    }
    return "";
}

// CPUs allowed by the control group's bandwidth quota, 0 when none is set.
std::size_t cgroup_cpu_limit() {
    auto limit_from = [](long long quota, long long period) -> std::size_t {
        if (quota <= 0 || period <= 0) return 0;
        return static_cast<std::size_t>(std::max(1LL, quota / period));
    };
    for (const std::string& dir : {own_cgroup_v2_dir(), std::string("/sys/fs/cgroup")}) {
        if (dir.empty()) continue;
        std::istringstream fields(read_first_line(dir + "/cpu.max"));
        std::string quota;
        long long period = 0;
        if (fields >> quota >> period) {
            if (quota == "max") return 0;
            try {
                return limit_from(std::stoll(quota), period);
            } catch (const std::exception&) {
                return 0;
            }
        }
    }
    try {
        const std::string quota = read_first_line("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
        const std::string period = read_first_line("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
        if (!quota.empty() && !period.empty()) return limit_from(std::stoll(quota), std::stoll(period));
    } catch (const std::exception&) {
    }
    return 0;
}

#endif

}  // namespace

std::size_t usable_cpus() {
#if defined(__linux__)
    std::size_t cpus = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) cpus = static_cast<std::size_t>(CPU_COUNT(&set));
    if (cpus == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = online > 0 ? static_cast<std::size_t>(online) : 1;
    }
    const std::size_t quota = cgroup_cpu_limit();
    if (quota > 0) cpus = std::min(cpus, quota);
    return std::max<std::size_t>(cpus, 1);
#else
    const unsigned int count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
#endif
}

void* allocate_aligned(std::size_t bytes, std::size_t alignment, [[maybe_unused]] bool huge_pages) {
#if defined(_WIN32)
    return _aligned_malloc(bytes, alignment);
#else
    void* block = nullptr;
    if (posix_memalign(&block, alignment, bytes) != 0) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (huge_pages) madvise(block, bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
    return block;
#endif
}

void free_aligned(void* block) noexcept {
#if defined(_WIN32)
    _aligned_free(block);
#else
    std::free(block);
#endif
}

void on_fork([[maybe_unused]] void (*prepare)(), [[maybe_unused]] void (*parent)(),
             [[maybe_unused]] void (*child)()) {
#if !defined(_WIN32)
    pthread_atfork(prepare, parent, child);
#endif
}

}  // namespace rastermark::platform
