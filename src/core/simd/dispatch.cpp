// The choice of block-scan table: the widest build the running CPU supports
// (CMake says which builds exist), capped by RASTERMARK_SIMD.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "block_scans.hpp"

namespace rastermark::simd {

// Each build of block_scan_kernels.cpp defines the table of its namespace.
namespace baseline {
extern const BlockScans table;
}
#ifdef RASTERMARK_SIMD_X86
namespace avx2 {
extern const BlockScans table;
}
namespace avx512 {
extern const BlockScans table;
}
#endif

namespace {

const BlockScans off_table{"off", {nullptr, nullptr}, {nullptr, nullptr}};

// Narrowest first; each entry says whether the running CPU has it.
struct Candidate {
    const BlockScans* table;
    bool (*supported)();
};

bool always() { return true; }

#ifdef RASTERMARK_SIMD_X86
bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
}
#endif

const std::vector<Candidate>& candidates() {
    static const std::vector<Candidate> all = {
        {&baseline::table, &always},
#ifdef RASTERMARK_SIMD_X86
        {&avx2::table, &has_avx2},
        {&avx512::table, &has_avx512},
#endif
    };
    return all;
}

// The level names a setting may use, narrowest first; a level this build
// lacks caps at the widest below it.
constexpr std::string_view level_names[] = {"off", "baseline", "avx2", "avx512"};

std::size_t level_of(std::string_view name) {
    return static_cast<std::size_t>(std::find(std::begin(level_names), std::end(level_names), name) -
                                    std::begin(level_names));
}

}  // namespace

const BlockScans& off() { return off_table; }

std::vector<const BlockScans*> runnable() {
    static const std::vector<const BlockScans*> tables = [] {
        std::vector<const BlockScans*> out;
        for (const Candidate& c : candidates()) {
            if (c.supported()) out.push_back(c.table);
        }
        return out;
    }();
    return tables;
}

std::string setting_error(const char* value) {
    if (value == nullptr || level_of(value) < std::size(level_names)) return {};
    std::string message = "RASTERMARK_SIMD is '";
    message.append(value).append("'; expected one of");
    for (std::string_view name : level_names) message.append(" ").append(name);
    return message;
}

std::string setting_error() { return setting_error(std::getenv("RASTERMARK_SIMD")); }

const BlockScans& chosen() {
    static const BlockScans* const table = [] {
        const char* value = std::getenv("RASTERMARK_SIMD");
        const std::size_t cap = value != nullptr ? level_of(value) : std::size(level_names);
        const BlockScans* best = &off_table;
        for (const BlockScans* t : runnable()) {
            if (level_of(t->name) <= cap) best = t;
        }
        return best;
    }();
    return *table;
}

}  // namespace rastermark::simd
