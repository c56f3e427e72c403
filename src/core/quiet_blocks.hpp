// Quiet blocks: stretches of a layer on which the single pass would do
// nothing but move on.  On a raster line each sample usually starts an
// x-run and a y-run of its own and the path keeps rising or falling, so the
// pass only hands one point on per sample; a vector test over a block of
// samples proves that of the whole block at once, and the pass then sets its
// state to what the per-sample machine would have left.  Anything the test
// cannot prove quiet goes through the per-sample machine, which stays the
// reference the fast path is tested against.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

#include "element_traits.hpp"
#include "records.hpp"

namespace rastermark {

// Instruction sets the block test is compiled for, lowest first.  `off`
// leaves every sample to the per-sample machine.
enum class SimdLevel { off, baseline, avx2, avx512 };

// The best level the running CPU supports, capped by the environment setting
// RASTERMARK_SIMD (off, baseline, avx2, avx512); decided once per process.
SimdLevel simd_level();
const char* simd_level_name(SimdLevel level);

// Samples per block: one 64-byte line of each coordinate.
template <class T>
inline constexpr std::size_t quiet_block_width = 64 / sizeof(T);

// Sample k is quiet when, against sample k - 1, x and y both move (by at
// least the tolerance, so neither collapse step merges it) and the segment's
// direction is a plain number with the carried sign: dy finite and of that
// sign, |dx| not huge.  NaN and infinite differences are never quiet.
template <class T>
bool sample_is_quiet(T dx, T dy, bool falling) {
    const T ax = std::fabs(dx);
    const T ay = std::fabs(dy);
    return ax >= coordinate_tolerance<T> && ax <= largest_plain_difference<T> && ay >= coordinate_tolerance<T> &&
           ay <= std::numeric_limits<T>::max() && (dy < T(0)) == falling;
}

// From sample `begin` (at least 1) on, skips whole blocks in which every
// sample is quiet; returns where the first block that is not (or that would
// pass `end`) starts.  `level` above the CPU's would crash: use simd_level()
// or a lower one.
template <class T>
std::size_t skip_quiet_blocks(Samples<T> x, Samples<T> y, std::size_t begin, std::size_t end, bool falling,
                              SimdLevel level);

// From sample `begin` (at least 1) on, skips whole blocks in which every
// sample's x is apart from the previous sample's (so that, after a run
// anchored at the sample before `begin`, each starts an x-run of its own);
// returns where the first other block starts.
template <class T>
std::size_t skip_moving_x_blocks(Samples<T> x, std::size_t begin, std::size_t end, SimdLevel level);

}  // namespace rastermark
