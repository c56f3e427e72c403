// Block scans: the vector tests behind the single pass's fast path, and the
// choice, once per process, of the instruction set they run in.
//
// On a raster line each sample usually starts an x-run and a y-run of its
// own and the path keeps rising or falling, so the pass only hands one point
// on per sample.  A block scan proves that of a whole block of samples at
// once (a quiet block), or proves that x moves at every sample of a block
// (a run count then counts the block at once).  The kernels only subtract
// and compare, which every instruction set does exactly as the per-sample
// machine does, so a scan never changes a result, only how much is skipped.
//
// One kernel source (block_scan_kernels.cpp) is compiled once per
// instruction set into a namespace of its own, each build exporting nothing
// but its table below; the dispatch (dispatch.cpp) picks one table.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "element_traits.hpp"
#include "records.hpp"

namespace rastermark {

// Samples per block: one 64-byte line of each coordinate.
template <class T>
inline constexpr std::size_t quiet_block_width = 64 / sizeof(T);

// The stretches of a layer the fast path skips are made of units: a
// sample; a run of up to six samples that repeat it bit for bit (a
// controller that samples faster than it updates, a laser at rest); or an
// x-pair, two samples of the same x whose y moves on (positions on an
// encoder's grid, a hatch steeper than the grid step per sample).  Each
// unit is one x-run, one y-run and one point of the detector; anything
// longer goes through the per-sample machine.  A scan reads this many
// samples before the first one it tests.
inline constexpr std::size_t longest_quiet_unit = 6;

// Bit-for-bit equality: +0 and -0 differ, a NaN equals only its own bits.
template <class T>
bool identical_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Whether sample k (k >= 1) repeats sample k - 1 bit for bit.
template <class T>
bool repeats_previous(Samples<T> x, Samples<T> y, std::size_t k) {
    return identical_bits(x[k], x[k - 1]) && identical_bits(y[k], y[k - 1]);
}

// Whether the x of sample k (k >= 1) repeats that of sample k - 1 bit for
// bit: within a quiet stretch, exactly the samples that join the x-run
// before them (copies, and the second sample of an x-pair).
template <class T>
bool x_repeats_previous(Samples<T> x, std::size_t k) {
    return identical_bits(x[k], x[k - 1]);
}

// The step in y from y0 to y1 moves (by at least the tolerance), is finite
// and has the carried sign.
template <class T>
bool y_step_is_quiet(T y0, T y1, bool falling) {
    const T dy = y1 - y0;
    const T ay = std::fabs(dy);
    return ay >= coordinate_tolerance<T> && ay <= std::numeric_limits<T>::max() && (dy < T(0)) == falling;
}

// The step from a unit of value (x0, y0) to one of value (x1, y1) is quiet
// when x and y both move (by at least the tolerance, so neither collapse
// step merges them) and the direction is a plain number with the carried
// sign: dy finite and of that sign, |dx| not huge.  NaN and infinite
// differences are never quiet.
template <class T>
bool step_is_quiet(T x0, T y0, T x1, T y1, bool falling) {
    const T ax = std::fabs(x1 - x0);
    return ax >= coordinate_tolerance<T> && ax <= largest_plain_difference<T> && y_step_is_quiet(y0, y1, falling);
}

// A unit's x-point carries the in-order mean of its copies of y: the copy
// itself for one or two copies (2y / 2 is y); for k copies the sum rounds
// at its third to k-th addition (by at most u 3|y|, ..., u k|y|, with u
// half an epsilon) and once more in the division, so the mean lies within
// u ((k + 1) / 2 - 3 / k + 1) |y| of y: one epsilon relatively for three
// copies, two for six.  So that every test the collapse and the detector
// make on the means gives the answer the samples give, a step into or out
// of three copies or more must also clear quiet_margin times |y0| + |y1|
// (twice the worst deviation of the two means together, with room for the
// roundings of the test itself).
template <class T>
inline constexpr T quiet_margin = T(8) * coordinate_tolerance<T>;

// Copies of y up to this magnitude sum (six of them) without overflow, and
// so do the two y of an x-pair.
template <class T>
inline constexpr T largest_summable_copy = std::numeric_limits<T>::max() / T(8);

// Why an x-pair is exact: its x-point's y is fl(y0 + y1) / 2, which lies
// between y0 and y1 (2 y0 and 2 y1 are representable, rounding is
// monotonic, and halving a value between them lands between y0 and y1 or
// on one of them).  So where y moves one way throughout, each x-point's y
// lies beyond the last y of the unit before, and the difference of two
// consecutive x-points' y is at least the step between the units, also as
// computed: every sameness and direction test on the points answers as the
// step between the units does.  Next to three copies or more, whose mean
// strays, the margin of the step covers it as it covers two such units.

template <class T>
bool step_clears_margin(T y0, T y1) {
    return std::fabs(y1 - y0) >= coordinate_tolerance<T> + quiet_margin<T> * (std::fabs(y0) + std::fabs(y1));
}

// Whether samples k - 1 and k - 2 are the second and third copies of a unit.
template <class T>
bool three_copies_end_at(Samples<T> x, Samples<T> y, std::size_t k) {
    return repeats_previous(x, y, k) && repeats_previous(x, y, k - 1);
}

// Sample k (k >= longest_quiet_unit) may lie in a quiet stretch when the
// step to it from the sample before is quiet (and clears the margin if it
// leaves three copies or more); when it is the second sample of an x-pair
// (the x of the sample before, which does not repeat the x before it; y
// moving on quietly; both y summable); or when it repeats that sample as
// the second to sixth copy of a unit that starts its x-run (the copies of
// y summing without overflow; at the third copy, the step into the unit
// clearing the margin).  The rule every kernel's quiet-block test
// implements.
template <class T>
bool sample_is_quiet(Samples<T> x, Samples<T> y, std::size_t k, bool falling) {
    if (step_is_quiet(x[k - 1], y[k - 1], x[k], y[k], falling)) {
        return !three_copies_end_at(x, y, k - 1) || step_clears_margin(y[k - 1], y[k]);
    }
    if (x_repeats_previous(x, k) && !x_repeats_previous(x, k - 1) && y_step_is_quiet(y[k - 1], y[k], falling)) {
        return std::fabs(y[k]) <= largest_summable_copy<T> && std::fabs(y[k - 1]) <= largest_summable_copy<T>;
    }
    if (!repeats_previous(x, y, k) || !(std::fabs(y[k]) <= largest_summable_copy<T>)) return false;
    // The unit's first sample: at most six copies, and it must start its
    // x-run (not be the second sample of an x-pair).
    std::size_t first = k - 1;
    while (repeats_previous(x, y, first)) {
        if (k - first + 1 >= longest_quiet_unit) return false;
        --first;
    }
    if (x_repeats_previous(x, first)) return false;
    return first != k - 2 || step_clears_margin(y[k - 3], y[k - 2]);
}

namespace simd {

// The kernels of one instruction set for one element type.  Coordinates
// are passed as bytes: the arrays may sit at any address.
template <class T>
struct BlockKernels {
    // From sample `begin` (at least longest_quiet_unit) on, skips whole
    // blocks in which every sample is quiet (sample_is_quiet), then, where
    // the block after them fits before `end` and is not quiet, its first
    // half if every sample there is (a short line then leaves less to the
    // per-sample machine); returns where it stopped, and adds the number of
    // skipped samples whose x repeats the one before's (x_repeats_previous)
    // to `repeats`.
    std::size_t (*skip_quiet)(const unsigned char* x, const unsigned char* y, std::size_t begin, std::size_t end,
                              bool falling, std::size_t& repeats);
    // From sample `begin` (at least 1) on, skips whole blocks in which every
    // sample's x is apart from the previous sample's; returns where the
    // first other block starts.
    std::size_t (*skip_moving_x)(const unsigned char* x, std::size_t begin, std::size_t end);
};

// One instruction set's kernels.  The table named "off" has none: every
// sample then goes through the per-sample machine.
struct BlockScans {
    const char* name;
    BlockKernels<double> f64;
    BlockKernels<float> f32;

    bool scans() const { return f64.skip_quiet != nullptr; }
    template <class T>
    const BlockKernels<T>& kernels() const {
        if constexpr (std::is_same_v<T, float>) {
            return f32;
        } else {
            return f64;
        }
    }
};

// The table the pass uses: the widest instruction set the running CPU has,
// capped by the environment setting RASTERMARK_SIMD (off, baseline, avx2,
// avx512).  Decided once per process; a setting that names no level caps
// nothing here, and setting_error() says why it is refused.
const BlockScans& chosen();
const BlockScans& off();
// Every table the running CPU can run, narrowest first, "off" excluded.
std::vector<const BlockScans*> runnable();

// Why the value of RASTERMARK_SIMD is refused; empty when it is unset or
// names a level.
std::string setting_error();
// The same for a given value (unset: nullptr).
std::string setting_error(const char* value);

}  // namespace simd

template <class T>
std::size_t skip_quiet_blocks(const simd::BlockScans& scans, Samples<T> x, Samples<T> y, std::size_t begin,
                              std::size_t end, bool falling, std::size_t& repeats) {
    const simd::BlockKernels<T>& k = scans.kernels<T>();
    return k.skip_quiet != nullptr ? k.skip_quiet(x.bytes(), y.bytes(), begin, end, falling, repeats) : begin;
}

template <class T>
std::size_t skip_moving_x_blocks(const simd::BlockScans& scans, Samples<T> x, std::size_t begin, std::size_t end) {
    const simd::BlockKernels<T>& k = scans.kernels<T>();
    return k.skip_moving_x != nullptr ? k.skip_moving_x(x.bytes(), begin, end) : begin;
}

}  // namespace rastermark
