// Turn-distance threshold: 100 x the median of the records' line distances,
// never below 1.0.
#pragma once

#include <cstddef>
#include <vector>

#include "memory.hpp"
#include "radix_select.hpp"
#include "turning_points.hpp"

namespace rastermark {

// Line distances at or below this (or NaN) take no part in the median.
template <class T>
inline constexpr T minimum_line_distance = static_cast<T>(1e-8);

template <class T>
T turn_distance_threshold(const TurningPointList<T>& turns) {
    // (As many as the turns: on a layer that turns at every other sample,
    // huge pages make its first writes fault a few hundred times less.)
    std::vector<T, HugePageAllocator<T>> values;
    values.reserve(turns.size());
    turns.for_each_stored([&](const TurningPoint<T>& turn) {
        if (turn.d_line > minimum_line_distance<T>) values.push_back(turn.d_line);
    });
    if (values.empty()) return T(1);
    // The upper median: position floor(k / 2) of the ascending order; every
    // value kept is positive and not NaN, as the radix select needs.
    const T median = select_positive(values, values.size() / 2);
    const T scaled = T(100) * median;
    return scaled > T(1) ? scaled : T(1);
}

}  // namespace rastermark
