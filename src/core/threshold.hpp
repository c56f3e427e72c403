// Turn-distance threshold: 100 x the median of the records' line distances,
// never below 1.0.
#pragma once

#include <cstddef>

#include "radix_select.hpp"
#include "turning_points.hpp"
#include "worker_pool.hpp"

namespace rastermark {

// Line distances at or below this (or NaN) take no part in the median.
template <class T>
inline constexpr T minimum_line_distance = static_cast<T>(1e-8);

// From this many turns on (and with two or more workers) the threshold's
// visits of the list run in one part per worker.
inline constexpr std::size_t parallel_threshold_turns = std::size_t{1} << 20;

template <class T>
T turn_distance_threshold(const TurningPointList<T>& turns, std::size_t workers = 1) {
    // The median is selected from the turns where they lie, without a copy
    // of every line distance: on a layer that turns at every other sample
    // that copy would be a third of the list again.  Every value taken is
    // positive and not NaN, as the radix select needs.
    const std::size_t parts = workers >= 2 && turns.size() >= parallel_threshold_turns ? workers : 1;
    std::size_t count = 0;
    const T median = select_positive_in_place<T>(
        parts,
        [&](std::size_t part, auto&& take) {
            turns.for_each_line_distance_in_part(part, parts, [&](T d_line) {
                if (d_line > minimum_line_distance<T>) take(d_line);
            });
        },
        [&](std::size_t taken) {
            count = taken;
            return taken / 2;  // the upper median: position floor(k / 2) of the ascending order
        },
        [](std::size_t tasks, auto&& task) {
            if (tasks == 1) {
                task(0);
            } else {
                worker_pool::run_indexed(tasks, task);
            }
        });
    if (count == 0) return T(1);
    const T scaled = T(100) * median;
    return scaled > T(1) ? scaled : T(1);
}

}  // namespace rastermark
