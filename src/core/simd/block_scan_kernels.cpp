// The block-scan kernels, one source for every instruction set: CMake
// compiles this file once per build (baseline: SSE2 on x86-64, NEON on
// ARM64; AVX2; AVX-512 F/DQ/VL/BW), each with its instruction set enabled
// and RASTERMARK_SIMD_TARGET naming the namespace it fills.  Everything but
// the table has internal linkage, so no function compiled for a wider
// instruction set can stand in for a baseline one at link time; the test
// run checks with nm that each build exports its table and nothing else.
//
// Exactness: a kernel subtracts neighbouring coordinates, adds two
// magnitudes and scales them by a constant, compares the results with
// constants, and compares neighbours' bits as integers; each of those IEEE
// operations gives the same bits and answers in every vector width and in
// the scalar loop (no contraction into fused multiply-adds: the build
// forbids it), and NaN compares false everywhere, as in sample_is_quiet.
// The sign test on dy flips the sign bit when the carried direction falls,
// so -0.0 (from equal values) is never taken for a rise.
//
// GCC and Clang build the kernels from their vector extensions (one body
// for every width); other compilers get the scalar test in a branch-free
// loop.


#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "block_scans.hpp"
#include "element_traits.hpp"

#ifndef RASTERMARK_SIMD_TARGET
#error "RASTERMARK_SIMD_TARGET must name the instruction set this build is for"
#endif
#define RASTERMARK_STRINGIFY_(name) #name
#define RASTERMARK_STRINGIFY(name) RASTERMARK_STRINGIFY_(name)

namespace rastermark::simd::RASTERMARK_SIMD_TARGET {
namespace {

#if defined(__GNUC__)

// The vectors never cross a call (the test is inlined into its scan loop),
// so the note that passing them changes with the instruction set is moot.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// The widest vectors this translation unit's instruction set has.
#if defined(__AVX512F__)
constexpr std::size_t vector_bytes = 64;
#elif defined(__AVX__)
constexpr std::size_t vector_bytes = 32;
#else
constexpr std::size_t vector_bytes = 16;
#endif

template <class T, class Int>
struct Vectors {
    typedef T Values __attribute__((vector_size(vector_bytes)));
    typedef Int Masks __attribute__((vector_size(vector_bytes)));
    static constexpr Int sign_bit = std::numeric_limits<Int>::min();
};

template <class T>
struct Block;
template <>
struct Block<double> : Vectors<double, std::int64_t> {};
template <>
struct Block<float> : Vectors<float, std::int32_t> {};

// Whether every sample of the block at `xb` / `yb` is quiet (as
// sample_is_quiet); the three samples before the block are read too.
// `flip` holds the sign bit in every lane when the carried direction falls,
// so that a quiet dy is positive after it.  On a quiet block, adds the
// number of its samples that repeat the one before to `repeats`.
template <class T>
inline bool block_is_quiet(const unsigned char* xb, const unsigned char* yb, typename Block<T>::Masks flip,
                           std::size_t& repeats) {
    using Values = typename Block<T>::Values;
    using Masks = typename Block<T>::Masks;
    const Masks magnitude = ~(Masks{} + Block<T>::sign_bit);
    const Values tolerance = Values{} + coordinate_tolerance<T>;
    const Values margin = Values{} + quiet_margin<T>;
    const Values plain = Values{} + largest_plain_difference<T>;
    const Values finite = Values{} + std::numeric_limits<T>::max();
    const Values summable = Values{} + std::numeric_limits<T>::max() / T(4);
    Masks quiet = ~Masks{};
    Masks repeat_lanes = Masks{};
    for (std::size_t offset = 0; offset < 64; offset += vector_bytes) {
        // x[k], x[k-1], x[k-2], x[k-3] for the lanes' samples k; y alike.
        Values x0, x1, x2, x3, y0, y1, y2, y3;
        std::memcpy(&x0, xb + offset, sizeof x0);
        std::memcpy(&x1, xb + offset - sizeof(T), sizeof x1);
        std::memcpy(&x2, xb + offset - 2 * sizeof(T), sizeof x2);
        std::memcpy(&x3, xb + offset - 3 * sizeof(T), sizeof x3);
        std::memcpy(&y0, yb + offset, sizeof y0);
        std::memcpy(&y1, yb + offset - sizeof(T), sizeof y1);
        std::memcpy(&y2, yb + offset - 2 * sizeof(T), sizeof y2);
        std::memcpy(&y3, yb + offset - 3 * sizeof(T), sizeof y3);
        const Values dx = x0 - x1;
        const Values dy = y0 - y1;
        // Casts between vectors of one size reinterpret their bits.
        const Values ax = (Values)((Masks)dx & magnitude);
        const Values ay = (Values)((Masks)dy & magnitude);
        const Values ay0 = (Values)((Masks)y0 & magnitude);
        const Values ay1 = (Values)((Masks)y1 & magnitude);
        const Values dy_rising = (Values)((Masks)dy ^ flip);
        const Values needed = tolerance + margin * (ay1 + ay0);
        const Masks step = (ax >= tolerance) & (ax <= plain) & (ay >= needed) & (ay <= finite) & (dy_rising > Values{});
        // Bit-for-bit repeats, compared as integers.
        const Masks repeat = ((Masks)x0 == (Masks)x1) & ((Masks)y0 == (Masks)y1);
        const Masks repeat_before = ((Masks)x1 == (Masks)x2) & ((Masks)y1 == (Masks)y2);
        const Masks repeat_two_before = ((Masks)x2 == (Masks)x3) & ((Masks)y2 == (Masks)y3);
        const Masks copy = repeat & (ay0 <= summable) & ~(repeat_before & repeat_two_before);
        quiet &= step | copy;
        repeat_lanes -= repeat;  // +1 in each lane that repeats
    }
    std::uint64_t words[vector_bytes / 8];
    std::memcpy(words, &quiet, sizeof words);
    std::uint64_t all = ~std::uint64_t{0};
    for (std::uint64_t w : words) all &= w;
    if (all != ~std::uint64_t{0}) return false;
    using Int = decltype(Block<T>::sign_bit + 0);
    Int lanes[vector_bytes / sizeof(T)];
    std::memcpy(lanes, &repeat_lanes, sizeof lanes);
    for (Int count : lanes) repeats += static_cast<std::size_t>(count);
    return true;
}

// From sample `begin` (at least 3) on, skips whole blocks that are quiet
// and returns where the first other block (or one that would pass `end`)
// starts.
template <class T>
std::size_t scan_quiet_blocks(const unsigned char* x, const unsigned char* y, std::size_t begin, std::size_t end,
                              bool falling, std::size_t& repeats) {
    using Masks = typename Block<T>::Masks;
    const Masks flip = Masks{} + (falling ? Block<T>::sign_bit : 0);
    std::size_t i = begin;
    while (end - i >= quiet_block_width<T> &&
           block_is_quiet<T>(x + i * sizeof(T), y + i * sizeof(T), flip, repeats)) {
        i += quiet_block_width<T>;
    }
    return i;
}

// From sample `begin` (at least 1) on, skips whole blocks in which every
// x is apart from the previous sample's (by at least the tolerance; never
// NaN), and returns where the first other block starts.
template <class T>
std::size_t scan_moving_x_blocks(const unsigned char* x, std::size_t begin, std::size_t end) {
    using Values = typename Block<T>::Values;
    using Masks = typename Block<T>::Masks;
    const Masks magnitude = ~(Masks{} + Block<T>::sign_bit);
    const Values tolerance = Values{} + coordinate_tolerance<T>;
    std::size_t i = begin;
    while (end - i >= quiet_block_width<T>) {
        Masks moving = ~Masks{};
        for (std::size_t offset = 0; offset < 64; offset += vector_bytes) {
            Values x0, x1;
            std::memcpy(&x0, x + i * sizeof(T) + offset - sizeof(T), sizeof x0);
            std::memcpy(&x1, x + i * sizeof(T) + offset, sizeof x1);
            const Values ax = (Values)((Masks)(x1 - x0) & magnitude);
            moving &= ax >= tolerance;
        }
        std::uint64_t words[vector_bytes / 8];
        std::memcpy(words, &moving, sizeof words);
        std::uint64_t all = ~std::uint64_t{0};
        for (std::uint64_t w : words) all &= w;
        if (all != ~std::uint64_t{0}) break;
        i += quiet_block_width<T>;
    }
    return i;
}

#pragma GCC diagnostic pop

#else

template <class T>
std::size_t scan_quiet_blocks(const unsigned char* x, const unsigned char* y, std::size_t begin, std::size_t end,
                              bool falling, std::size_t& repeats) {
    auto at = [](const unsigned char* bytes, std::size_t k) {
        T value;
        std::memcpy(&value, bytes + k * sizeof(T), sizeof(T));
        return value;
    };
    auto repeats_at = [&](std::size_t k) {
        return std::memcmp(x + k * sizeof(T), x + (k - 1) * sizeof(T), sizeof(T)) == 0 &&
               std::memcmp(y + k * sizeof(T), y + (k - 1) * sizeof(T), sizeof(T)) == 0;
    };
    std::size_t i = begin;
    while (end - i >= quiet_block_width<T>) {
        bool quiet = true;
        std::size_t block_repeats = 0;
        for (std::size_t k = i; k < i + quiet_block_width<T>; ++k) {
            const T x0 = at(x, k), x1 = at(x, k - 1), y0 = at(y, k), y1 = at(y, k - 1);
            const T dx = x0 - x1;
            const T dy = y0 - y1;
            const T ax = dx < T(0) ? -dx : dx;
            const T ay = dy < T(0) ? -dy : dy;
            const T ay0 = y0 < T(0) ? -y0 : y0;
            const T ay1 = y1 < T(0) ? -y1 : y1;
            const T needed = coordinate_tolerance<T> + quiet_margin<T> * (ay1 + ay0);
            const bool step = ax >= coordinate_tolerance<T> && ax <= largest_plain_difference<T> && ay >= needed &&
                              ay <= std::numeric_limits<T>::max() && (dy < T(0)) == falling;
            const bool repeat = repeats_at(k);
            const bool copy = repeat && ay0 <= std::numeric_limits<T>::max() / T(4) &&
                              !(repeats_at(k - 1) && repeats_at(k - 2));
            quiet &= step || copy;
            block_repeats += repeat ? 1 : 0;
        }
        if (!quiet) break;
        repeats += block_repeats;
        i += quiet_block_width<T>;
    }
    return i;
}

template <class T>
std::size_t scan_moving_x_blocks(const unsigned char* x, std::size_t begin, std::size_t end) {
    std::size_t i = begin;
    while (end - i >= quiet_block_width<T>) {
        bool moving = true;
        for (std::size_t k = i; k < i + quiet_block_width<T>; ++k) {
            T a, b;
            std::memcpy(&a, x + (k - 1) * sizeof(T), sizeof(T));
            std::memcpy(&b, x + k * sizeof(T), sizeof(T));
            const T d = b - a;
            moving &= (d < T(0) ? -d : d) >= coordinate_tolerance<T>;
        }
        if (!moving) break;
        i += quiet_block_width<T>;
    }
    return i;
}

#endif

}  // namespace

extern const BlockScans table;
const BlockScans table{RASTERMARK_STRINGIFY(RASTERMARK_SIMD_TARGET),
                       {&scan_quiet_blocks<double>, &scan_moving_x_blocks<double>},
                       {&scan_quiet_blocks<float>, &scan_moving_x_blocks<float>}};

}  // namespace rastermark::simd::RASTERMARK_SIMD_TARGET
