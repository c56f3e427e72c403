// The coordinate tolerance of each element type and the one sameness rule.
#pragma once

#include <cmath>
#include <limits>

namespace rastermark {

// Coordinate tolerance: the machine epsilon of T, an absolute tolerance.
template <class T>
inline constexpr T coordinate_tolerance = std::numeric_limits<T>::epsilon();

// Largest |dx| for which dy / dx cannot round to zero when |dy| >= epsilon:
// 2^-52 / 2^1022 (2^-23 / 2^126 for float32) is still the smallest subnormal.
template <class T>
inline constexpr T largest_plain_difference = std::numeric_limits<T>::max() / T(4);

// Two coordinates are the same when |a - b|, computed in T, is strictly below
// the tolerance.  A NaN or infinite difference compares false, so NaN and
// infinities never equal anything, themselves included.
template <class T>
inline bool same_coordinate(T a, T b) {
    return std::fabs(a - b) < coordinate_tolerance<T>;
}

}  // namespace rastermark
