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

// Whether every lane of a comparison's result is true.
template <class T>
inline bool all_lanes(typename Block<T>::Masks mask) {
    std::uint64_t words[vector_bytes / 8];
    std::memcpy(words, &mask, sizeof words);
    std::uint64_t all = ~std::uint64_t{0};
    for (std::uint64_t w : words) all &= w;
    return all == ~std::uint64_t{0};
}

// Whether any lane of a comparison's result is true.
template <class T>
inline bool any_lane(typename Block<T>::Masks mask) {
    std::uint64_t words[vector_bytes / 8];
    std::memcpy(words, &mask, sizeof words);
    std::uint64_t any = 0;
    for (std::uint64_t w : words) any |= w;
    return any != 0;
}

// The lanes whose step in y from y1 (before) to y0 is quiet
// (y_step_is_quiet).
template <class T>
inline typename Block<T>::Masks quiet_y_steps(typename Block<T>::Values y1, typename Block<T>::Values y0,
                                              typename Block<T>::Masks flip) {
    using Values = typename Block<T>::Values;
    using Masks = typename Block<T>::Masks;
    const Masks magnitude = ~(Masks{} + Block<T>::sign_bit);
    const Values tolerance = Values{} + coordinate_tolerance<T>;
    const Values finite = Values{} + std::numeric_limits<T>::max();
    const Values dy = y0 - y1;
    const Values ay = (Values)((Masks)dy & magnitude);
    const Values dy_rising = (Values)((Masks)dy ^ flip);
    return (ay >= tolerance) & (ay <= finite) & (dy_rising > Values{});
}

// The lanes' samples k whose step from k - 1 is quiet (step_is_quiet), for
// the vector at `offset` of the block.
template <class T>
inline typename Block<T>::Masks quiet_steps(const unsigned char* xb, const unsigned char* yb, std::size_t offset,
                                            typename Block<T>::Masks flip) {
    using Values = typename Block<T>::Values;
    using Masks = typename Block<T>::Masks;
    const Masks magnitude = ~(Masks{} + Block<T>::sign_bit);
    const Values tolerance = Values{} + coordinate_tolerance<T>;
    const Values plain = Values{} + largest_plain_difference<T>;
    Values x0, x1, y0, y1;  // x[k], x[k-1]; y alike
    std::memcpy(&x0, xb + offset, sizeof x0);
    std::memcpy(&x1, xb + offset - sizeof(T), sizeof x1);
    std::memcpy(&y0, yb + offset, sizeof y0);
    std::memcpy(&y1, yb + offset - sizeof(T), sizeof y1);
    const Values dx = x0 - x1;
    // Casts between vectors of one size reinterpret their bits.
    const Values ax = (Values)((Masks)dx & magnitude);
    return (ax >= tolerance) & (ax <= plain) & quiet_y_steps<T>(y1, y0, flip);
}

// step_clears_margin for the steps from (y1 before) to y0.
template <class T>
inline typename Block<T>::Masks clears_margin(typename Block<T>::Values y1, typename Block<T>::Values y0) {
    using Values = typename Block<T>::Values;
    using Masks = typename Block<T>::Masks;
    const Masks magnitude = ~(Masks{} + Block<T>::sign_bit);
    const Values tolerance = Values{} + coordinate_tolerance<T>;
    const Values margin = Values{} + quiet_margin<T>;
    const Values ay = (Values)((Masks)(y0 - y1) & magnitude);
    const Values ay0 = (Values)((Masks)y0 & magnitude);
    const Values ay1 = (Values)((Masks)y1 & magnitude);
    return ay >= tolerance + margin * (ay1 + ay0);
}

// The whole rule of sample_is_quiet for the vector at `offset`; the lanes
// that repeat the sample before go to `repeat`.
template <class T>
inline typename Block<T>::Masks quiet_samples(const unsigned char* xb, const unsigned char* yb, std::size_t offset,
                                              typename Block<T>::Masks flip, typename Block<T>::Masks& repeat) {
    using Values = typename Block<T>::Values;
    using Masks = typename Block<T>::Masks;
    const Masks magnitude = ~(Masks{} + Block<T>::sign_bit);
    const Values summable = Values{} + largest_summable_copy<T>;
    constexpr std::size_t back = longest_quiet_unit;
    // xs[j] = x[k - j] for j = 0 .. back; y alike.  The first four come
    // first: where no sample of the vector repeats the one before and no
    // two in a row do one sample back, there are no copies, and the steps
    // and x-pairs settle it (a hatch on a grid, a few degrees off an axis).
    Values xs[back + 1], ys[back + 1];
    for (std::size_t j = 0; j <= 3; ++j) {
        std::memcpy(&xs[j], xb + offset - j * sizeof(T), sizeof xs[j]);
        std::memcpy(&ys[j], yb + offset - j * sizeof(T), sizeof ys[j]);
    }
    // repeats[j]: sample k - j repeats the one before, bit for bit (compared
    // as integers); x_repeats alike for x alone.
    Masks repeats[back], x_repeats[back];
    for (std::size_t j = 0; j < 3; ++j) {
        x_repeats[j] = (Masks)xs[j] == (Masks)xs[j + 1];
        repeats[j] = x_repeats[j] & ((Masks)ys[j] == (Masks)ys[j + 1]);
    }
    repeat = x_repeats[0];
    // The second samples of x-pairs.
    auto pairs = [&] {
        return x_repeats[0] & ~x_repeats[1] & quiet_y_steps<T>(ys[1], ys[0], flip) &
               ((Values)((Masks)ys[0] & magnitude) <= summable) & ((Values)((Masks)ys[1] & magnitude) <= summable);
    };
    if (!any_lane<T>(repeats[0] | (repeats[1] & repeats[2]))) return quiet_steps<T>(xb, yb, offset, flip) | pairs();
    for (std::size_t j = 4; j <= back; ++j) {
        std::memcpy(&xs[j], xb + offset - j * sizeof(T), sizeof xs[j]);
        std::memcpy(&ys[j], yb + offset - j * sizeof(T), sizeof ys[j]);
    }
    for (std::size_t j = 3; j < back; ++j) {
        x_repeats[j] = (Masks)xs[j] == (Masks)xs[j + 1];
        repeats[j] = x_repeats[j] & ((Masks)ys[j] == (Masks)ys[j + 1]);
    }
    const Values summable_y0 = (Values)((Masks)ys[0] & magnitude);
    const Masks step = quiet_steps<T>(xb, yb, offset, flip) &
                       (~(repeats[1] & repeats[2]) | clears_margin<T>(ys[1], ys[0]));
    const Masks pair = pairs();
    // A copy, of a unit that started within `back` samples (at k - j, where
    // the copies k - j + 1 .. k repeat and k - j does not) at a sample that
    // starts its x-run; at the third copy, the step into the unit clears
    // the margin.
    Masks run = repeats[0];  // samples k - j .. k all repeat the one before
    Masks bad_start = Masks{};
    for (std::size_t j = 1; j < back; ++j) {
        bad_start |= run & ~repeats[j] & x_repeats[j];
        run &= repeats[j];
    }
    const Masks third = repeats[0] & repeats[1] & ~repeats[2];
    const Masks summable_copy = repeats[0] & (summable_y0 <= summable);
    const Masks copy = summable_copy & ~run & ~bad_start & (~third | clears_margin<T>(ys[3], ys[2]));
    return step | pair | copy;
}

// How much of a block is quiet: all of it, its first half only, or less.
enum class QuietPart { none, first_half, whole };

// Whether the 64-byte lane masks of a block (held in `words`) are all true,
// or those of its first 32 bytes are.
inline QuietPart quiet_part(const std::uint64_t (&words)[8]) {
    std::uint64_t first = ~std::uint64_t{0}, second = ~std::uint64_t{0};
    for (std::size_t k = 0; k < 4; ++k) first &= words[k];
    for (std::size_t k = 4; k < 8; ++k) second &= words[k];
    if (first != ~std::uint64_t{0}) return QuietPart::none;
    return second == ~std::uint64_t{0} ? QuietPart::whole : QuietPart::first_half;
}

// How much of the block at `xb` / `yb` is quiet (as sample_is_quiet); the
// longest_quiet_unit samples before the block are read too.  `flip` holds
// the sign bit in every lane when the carried direction falls, so that a
// quiet dy is positive after it.  `repeat_lanes` receives -1 in the lanes of
// the samples that repeat the one before (summed over the block's vectors).
// A block where every sample steps (most of a raster line) is settled by
// the steps alone, unless three copies end just before it: inside the block
// no sample repeats, so no step there leaves copies.
template <class T>
inline QuietPart block_is_quiet(const unsigned char* xb, const unsigned char* yb, typename Block<T>::Masks flip,
                                typename Block<T>::Masks& repeat_lanes) {
    using Masks = typename Block<T>::Masks;
    repeat_lanes = Masks{};
    Masks steps = ~Masks{};
    for (std::size_t offset = 0; offset < 64; offset += vector_bytes) steps &= quiet_steps<T>(xb, yb, offset, flip);
    auto repeats_at = [&](std::ptrdiff_t k) {
        return std::memcmp(xb + k * static_cast<std::ptrdiff_t>(sizeof(T)),
                           xb + (k - 1) * static_cast<std::ptrdiff_t>(sizeof(T)), sizeof(T)) == 0 &&
               std::memcmp(yb + k * static_cast<std::ptrdiff_t>(sizeof(T)),
                           yb + (k - 1) * static_cast<std::ptrdiff_t>(sizeof(T)), sizeof(T)) == 0;
    };
    if (all_lanes<T>(steps) && !(repeats_at(-1) && repeats_at(-2))) return QuietPart::whole;
    std::uint64_t words[8];
    for (std::size_t offset = 0; offset < 64; offset += vector_bytes) {
        Masks repeat;
        const Masks quiet = quiet_samples<T>(xb, yb, offset, flip, repeat);
        std::memcpy(words + offset / 8, &quiet, sizeof quiet);
        repeat_lanes += repeat;
    }
    return quiet_part(words);
}

// The samples of the half block at `xb` whose x repeats the one before's
// (x_repeats_previous, restated here: the header's has external linkage,
// and an out-of-line copy built for this instruction set could stand in
// for the baseline one).
template <class T>
inline std::size_t x_repeats_in_half_block(const unsigned char* xb) {
    std::size_t count = 0;
    for (std::ptrdiff_t k = 0; k < static_cast<std::ptrdiff_t>(quiet_block_width<T> / 2); ++k) {
        const std::ptrdiff_t at = k * static_cast<std::ptrdiff_t>(sizeof(T));
        count += std::memcmp(xb + at, xb + at - static_cast<std::ptrdiff_t>(sizeof(T)), sizeof(T)) == 0 ? 1 : 0;
    }
    return count;
}

// From sample `begin` (at least longest_quiet_unit) on, skips whole blocks
// that are quiet, then the first half of the block after them where that
// half is; returns where it stopped (never past `end`).
template <class T>
std::size_t scan_quiet_blocks(const unsigned char* x, const unsigned char* y, std::size_t begin, std::size_t end,
                              bool falling, std::size_t& repeats) {
    using Masks = typename Block<T>::Masks;
    const Masks flip = Masks{} + (falling ? Block<T>::sign_bit : 0);
    // Each lane counts down by one per repeat of the quiet blocks; a lane
    // sees at most one sample per block, so the count cannot wrap before
    // 2^31 blocks, and the scan stops after 2^24 blocks to be sure.
    Masks counted = Masks{};
    Masks block_repeats;
    std::size_t i = begin;
    const std::size_t last = end - begin > (std::size_t{1} << 24) * quiet_block_width<T>
                                 ? begin + (std::size_t{1} << 24) * quiet_block_width<T>
                                 : end;
    QuietPart part = QuietPart::none;
    while (last - i >= quiet_block_width<T> &&
           (part = block_is_quiet<T>(x + i * sizeof(T), y + i * sizeof(T), flip, block_repeats)) == QuietPart::whole) {
        counted += block_repeats;
        i += quiet_block_width<T>;
    }
    using Int = decltype(Block<T>::sign_bit + 0);
    Int lanes[vector_bytes / sizeof(T)];
    std::memcpy(lanes, &counted, sizeof lanes);
    for (Int lane : lanes) repeats += static_cast<std::size_t>(-lane);
    if (last - i >= quiet_block_width<T> && part == QuietPart::first_half) {
        repeats += x_repeats_in_half_block<T>(x + i * sizeof(T));
        i += quiet_block_width<T> / 2;
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

// The scalar test, block by block, with the same half block at the end.
template <class T>
std::size_t scan_quiet_blocks(const unsigned char* x, const unsigned char* y, std::size_t begin, std::size_t end,
                              bool falling, std::size_t& repeats) {
    const Samples<T> xs(x, end), ys(y, end);
    std::size_t i = begin;
    while (end - i >= quiet_block_width<T>) {
        // The quiet samples at the block's start, and the repeats among them.
        std::size_t quiet = 0, block_repeats = 0, half_repeats = 0;
        while (quiet < quiet_block_width<T> && sample_is_quiet(xs, ys, i + quiet, falling)) {
            block_repeats += x_repeats_previous(xs, i + quiet) ? 1 : 0;
            if (++quiet == quiet_block_width<T> / 2) half_repeats = block_repeats;
        }
        if (quiet < quiet_block_width<T>) {
            if (quiet >= quiet_block_width<T> / 2) {
                repeats += half_repeats;
                i += quiet_block_width<T> / 2;
            }
            break;
        }
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
