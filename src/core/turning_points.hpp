// Turning-point detection: the vertices of the collapsed path where its
// direction in y reverses, each with its two squared distances.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "element_traits.hpp"
#include "pipeline.hpp"

namespace rastermark {

template <class T>
struct TurningPoint {
    std::size_t index;  // position of the vertex in the collapsed list
    T d_same;           // squared distance to the latest turn of the same set
    T d_line;           // squared distance to the line through the latest turns of both sets
    T x;
    T y;
    std::size_t start_idx;
    std::size_t end_idx;

    bool operator==(const TurningPoint&) const = default;
};

template <class T>
using TurningPointList = std::vector<TurningPoint<T>>;

// Only the sign of a segment's direction matters; a segment degenerate in x
// or in y carries the previous direction on.
template <class T>
T direction_value(const FilteredPoint<T>& a, const FilteredPoint<T>& b, T carried) {
    if (same_coordinate(a.x, b.x) || same_coordinate(a.y, b.y)) return carried;
    const T dy = b.y - a.y;
    const T dx = b.x - a.x;
    return b.x > a.x ? dy / dx : -dy / dx;
}

// Signums by sign bit, NaN differing from everything (itself included).
template <class T>
bool signums_differ(T a, T b) {
    return std::isnan(a) || std::isnan(b) || std::signbit(a) != std::signbit(b);
}

// Squared perpendicular distance from (px, py) to the line through A and B.
template <class T>
T squared_line_distance(T px, T py, const TurningPoint<T>& A, const TurningPoint<T>& B) {
    if (same_coordinate(B.x, A.x)) {
        const T d = px - B.x;
        return d * d;
    }
    const T s = (B.y - A.y) / (B.x - A.x);
    const T c = A.y - A.x * s;
    const T offset = (px * s - py) + c;
    return (offset * offset) / (s * s + T(1));
}

template <class T>
TurningPointList<T> find_turning_points(const PointList<T>& points) {
    const std::size_t m = points.size();
    if (m < 2) return {};

    // set_a: turns after which the path falls; set_b: all other turns.
    const TurningPoint<T> seed{0, T(0), T(0), points[0].x, points[0].y, points[0].start_idx,
                               points[0].end_idx};
    TurningPointList<T> set_a{seed};
    TurningPointList<T> set_b{seed};

    T previous = direction_value(points[0], points[1], T(1));
    for (std::size_t l = 2; l < m; ++l) {
        const FilteredPoint<T>& a = points[l - 1];
        const T next = direction_value(a, points[l], previous);
        if (signums_differ(next, previous)) {
            const T d_line = squared_line_distance(a.x, a.y, set_a.back(), set_b.back());
            TurningPointList<T>& target = next < T(0) ? set_a : set_b;
            const TurningPoint<T>& latest = target.back();
            const T dy = latest.y - a.y;
            const T dx = latest.x - a.x;
            const T d_same = dy * dy + dx * dx;
            target.push_back({l - 1, d_same, d_line, a.x, a.y, a.start_idx, a.end_idx});
        }
        previous = next;
    }

    // Drop both seeds and the first turn of set_a.
    set_a.erase(set_a.begin(), set_a.begin() + std::min<std::size_t>(2, set_a.size()));
    set_b.erase(set_b.begin(), set_b.begin() + std::min<std::size_t>(1, set_b.size()));

    TurningPointList<T> result;
    result.reserve(set_a.size() + set_b.size());
    result.insert(result.end(), set_a.begin(), set_a.end());
    result.insert(result.end(), set_b.begin(), set_b.end());
    std::stable_sort(result.begin(), result.end(),
                     [](const TurningPoint<T>& p, const TurningPoint<T>& q) { return p.index < q.index; });
    return result;
}

}  // namespace rastermark
