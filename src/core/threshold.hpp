// Turn-distance threshold: 100 x the median of the records' line distances,
// never below 1.0.
#pragma once

#include <cstddef>

#include "radix_select.hpp"
#include "turning_points.hpp"

namespace rastermark {

// Line distances at or below this (or NaN) take no part in the median.
template <class T>
inline constexpr T minimum_line_distance = static_cast<T>(1e-8);

template <class T>
T turn_distance_threshold(const TurningPointList<T>& turns) {
    // The median is selected from the turns where they lie, without a copy
    // of every line distance: on a layer that turns at every other sample
    // that copy would be a third of the list again.  Every value taken is
    // positive and not NaN, as the radix select needs.
    std::size_t count = 0;
    const T median = select_positive_in_place<T>(
        [&](auto&& take) {
            turns.for_each([&](const KeptTurn<T>& turn) {
                if (turn.d_line > minimum_line_distance<T>) take(turn.d_line);
            });
        },
        [&](std::size_t taken) {
            count = taken;
            return taken / 2;  // the upper median: position floor(k / 2) of the ascending order
        });
    if (count == 0) return T(1);
    const T scaled = T(100) * median;
    return scaled > T(1) ? scaled : T(1);
}

}  // namespace rastermark
