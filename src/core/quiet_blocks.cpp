// The quiet-block scan chosen at run time: the widest build of the block
// test that the running CPU supports, capped by RASTERMARK_SIMD.
#include "quiet_blocks.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <type_traits>

#include "quiet_blocks_isa.hpp"
// The baseline build of the block test (SSE2 on x86-64, NEON on ARM64).
#include "quiet_block_scan.hpp"

namespace rastermark {
namespace {

static_assert(quiet_block_width<double> == block_width<double> && quiet_block_width<float> == block_width<float>);

SimdLevel cpu_simd_level() {
#ifdef RASTERMARK_X86_DISPATCH
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw")) {
        return SimdLevel::avx512;
    }
    if (__builtin_cpu_supports("avx2")) return SimdLevel::avx2;
#endif
    return SimdLevel::baseline;
}

SimdLevel supported_level() {
    static const SimdLevel level = cpu_simd_level();
    return level;
}

// The cap of RASTERMARK_SIMD; an unset or unknown value caps nothing.
SimdLevel level_cap() {
    const char* text = std::getenv("RASTERMARK_SIMD");
    const std::string_view value = text != nullptr ? text : "";
    for (SimdLevel level : {SimdLevel::off, SimdLevel::baseline, SimdLevel::avx2}) {
        if (value == simd_level_name(level)) return level;
    }
    return SimdLevel::avx512;
}

}  // namespace

const char* simd_level_name(SimdLevel level) {
    switch (level) {
        case SimdLevel::off:
            return "off";
        case SimdLevel::baseline:
            return "baseline";
        case SimdLevel::avx2:
            return "avx2";
        case SimdLevel::avx512:
            return "avx512";
    }
    return "off";
}

SimdLevel simd_level() {
    static const SimdLevel level = std::min(supported_level(), level_cap());
    return level;
}

template <class T>
std::size_t skip_quiet_blocks(Samples<T> x, Samples<T> y, std::size_t begin, std::size_t end, bool falling,
                              SimdLevel level) {
    // A level the CPU lacks is never run, whatever the caller asks for.
    switch (std::min(level, supported_level())) {
        case SimdLevel::off:
            return begin;
#ifdef RASTERMARK_X86_DISPATCH
        case SimdLevel::avx2:
            return isa::skip_quiet_blocks_avx2(x.bytes(), y.bytes(), begin, end, falling, std::is_same_v<T, float>);
        case SimdLevel::avx512:
            return isa::skip_quiet_blocks_avx512(x.bytes(), y.bytes(), begin, end, falling, std::is_same_v<T, float>);
#endif
        default:
            return scan_quiet_blocks<T>(x.bytes(), y.bytes(), begin, end, falling);
    }
}

template <class T>
std::size_t skip_moving_x_blocks(Samples<T> x, std::size_t begin, std::size_t end, SimdLevel level) {
    switch (std::min(level, supported_level())) {
        case SimdLevel::off:
            return begin;
#ifdef RASTERMARK_X86_DISPATCH
        case SimdLevel::avx2:
            return isa::skip_moving_x_blocks_avx2(x.bytes(), begin, end, std::is_same_v<T, float>);
        case SimdLevel::avx512:
            return isa::skip_moving_x_blocks_avx512(x.bytes(), begin, end, std::is_same_v<T, float>);
#endif
        default:
            return scan_moving_x_blocks<T>(x.bytes(), begin, end);
    }
}

template std::size_t skip_quiet_blocks(Samples<double>, Samples<double>, std::size_t, std::size_t, bool, SimdLevel);
template std::size_t skip_quiet_blocks(Samples<float>, Samples<float>, std::size_t, std::size_t, bool, SimdLevel);
template std::size_t skip_moving_x_blocks(Samples<double>, std::size_t, std::size_t, SimdLevel);
template std::size_t skip_moving_x_blocks(Samples<float>, std::size_t, std::size_t, SimdLevel);

}  // namespace rastermark
