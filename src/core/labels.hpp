// Scanline id assignment: walks the turning points in path order, accepts the
// raster reversals and labels the samples between consecutive boundaries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "records.hpp"
#include "turning_points.hpp"

namespace rastermark {

template <class T>
struct Leg {
    T dx;
    T dy;
};

template <class T>
Leg<T> leg(const TurningPoint<T>& from, const TurningPoint<T>& to) {
    return {to.x - from.x, to.y - from.y};
}

// Two legs reverse when the angle between them exceeds 150 degrees, tested
// through the squared cosine (0.75) so that no square root is taken.
template <class T>
bool is_reversal(Leg<T> u, Leg<T> v) {
    const T dot = u.dx * v.dx + u.dy * v.dy;
    if (!(dot < T(0))) return false;
    const T norms = (u.dx * u.dx + u.dy * u.dy) * (v.dx * v.dx + v.dy * v.dy);
    return dot * dot > norms * T(0.75);
}

// Strict comparisons: a NaN distance never rejects.
template <class T>
bool is_candidate(const TurningPoint<T>& turn, T threshold) {
    return !(turn.d_same > threshold) && !(T(0.5) * turn.d_same > turn.d_line);
}

template <class T>
std::size_t midpoint_sample(const TurningPoint<T>& turn) {
    return turn.start_idx + (turn.end_idx - turn.start_idx) / 2;
}

// Ids never wrap: an id past the int32 range would need over 2^31 turning
// points, and saturating keeps even that case free of undefined behaviour.
inline std::int32_t next_id(std::int32_t id) {
    return id < std::numeric_limits<std::int32_t>::max() ? id + 1 : id;
}

// Fills `labels` (one entry per sample) with the scanline ids, -1 where a
// sample belongs to no scanline.  Every entry is written exactly once, in
// order: the stretches that get an id follow each other in path order, so
// the gaps before them are filled with -1 on the way.
template <class T>
void assign_scanline_ids(std::span<std::int32_t> labels, const TurningPointList<T>& turns, T threshold) {
    const std::size_t n = labels.size();
    std::size_t written = 0;
    // Labels samples [from, last] inclusive, clipped to the array.
    auto fill = [&](std::size_t from, std::size_t last, std::int32_t id) {
        if (from > last || from >= n) return;
        const std::size_t stop = std::min(last + 1, n);
        std::fill(labels.begin() + static_cast<std::ptrdiff_t>(written),
                  labels.begin() + static_cast<std::ptrdiff_t>(from), std::int32_t{-1});
        std::fill(labels.begin() + static_cast<std::ptrdiff_t>(from),
                  labels.begin() + static_cast<std::ptrdiff_t>(stop), id);
        written = stop;
    };

    const std::size_t k = turns.size();
    std::size_t cursor = 0;
    std::int32_t current_id = 1;
    bool open = false;
    for (std::size_t X = 1; X < k; ++X) {
        const TurningPoint<T>& turn = turns[X];
        bool accepted = false;
        if (is_candidate(turn, threshold)) {
            const Leg<T> v = leg(turns[X - 1], turn);
            const bool back = X >= 2 && is_reversal(leg(turns[X - 2], turns[X - 1]), v);
            const bool ahead = X + 1 < k && is_reversal(v, leg(turn, turns[X + 1]));
            accepted = back || ahead;
        }
        if (accepted) {
            const std::size_t mid = midpoint_sample(turn);
            const std::size_t from = open ? cursor : turns[X - 1].end_idx + 1;
            fill(from, mid, current_id);
            cursor = mid + 1;
            current_id = next_id(current_id);
            open = true;
        } else if (open) {
            if (cursor < turn.start_idx) fill(cursor, turn.start_idx - 1, current_id);
            current_id = next_id(current_id);
            open = false;
        }
    }
    std::fill(labels.begin() + static_cast<std::ptrdiff_t>(written), labels.end(), std::int32_t{-1});
}

// The same, into a new label array of n entries.
template <class T>
LabelArray assign_scanline_ids(std::size_t n, const TurningPointList<T>& turns, T threshold) {
    LabelArray labels(n);
    assign_scanline_ids(std::span<std::int32_t>(labels.data(), n), turns, threshold);
    return labels;
}

}  // namespace rastermark
