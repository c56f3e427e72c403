// Turn-distance threshold: 100 x the median of the records' line distances,
// never below 1.0.
#pragma once

#include <algorithm>
#include <vector>

#include "turning_points.hpp"

namespace rastermark {

// Line distances at or below this (or NaN) take no part in the median.
template <class T>
inline constexpr T minimum_line_distance = static_cast<T>(1e-8);

template <class T>
T turn_distance_threshold(const TurningPointList<T>& turns) {
    std::vector<T> values;
    values.reserve(turns.size());
    for (const TurningPoint<T>& turn : turns) {
        if (turn.d_line > minimum_line_distance<T>) values.push_back(turn.d_line);
    }
    if (values.empty()) return T(1);
    // The upper median: position floor(k / 2) of the ascending order.
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    const T scaled = T(100) * *middle;
    return scaled > T(1) ? scaled : T(1);
}

}  // namespace rastermark
