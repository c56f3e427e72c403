// The coordinate tolerance of each element type and the one sameness rule.
#pragma once

#include <cmath>
#include <limits>

namespace rastermark {

// Coordinate tolerance: the machine epsilon of T, an absolute tolerance.
template <class T>
inline constexpr T coordinate_tolerance = std::numeric_limits<T>::epsilon();

// Two coordinates are the same when |a - b|, computed in T, is strictly below
// the tolerance.  A NaN or infinite difference compares false, so NaN and
// infinities never equal anything, themselves included.
template <class T>
inline bool same_coordinate(T a, T b) {
    return std::fabs(a - b) < coordinate_tolerance<T>;
}

}  // namespace rastermark
