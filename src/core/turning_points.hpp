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

// Finds the turning points of a stream of collapsed points, one point at a
// time, keeping only the turns.  set_a holds the turns after which the path
// falls, set_b all other turns; both start with a seed record of the first
// point, and both grow in path order.
template <class T>
class TurningPointDetector {
public:
    void operator()(const FilteredPoint<T>& b) {
        if (seen_ >= 2) {
            const std::size_t l = seen_;
            const FilteredPoint<T>& a = previous_point_;
            const T next = direction_value(a, b, previous_);
            if (signums_differ(next, previous_)) {
                const T d_line = squared_line_distance(a.x, a.y, set_a_.back(), set_b_.back());
                TurningPointList<T>& target = next < T(0) ? set_a_ : set_b_;
                const TurningPoint<T>& latest = target.back();
                const T dy = latest.y - a.y;
                const T dx = latest.x - a.x;
                const T d_same = dy * dy + dx * dx;
                target.push_back({l - 1, d_same, d_line, a.x, a.y, a.start_idx, a.end_idx});
            }
            previous_ = next;
        } else if (seen_ == 1) {
            // The first segment counts as rising when it is degenerate.
            previous_ = direction_value(previous_point_, b, T(1));
            const FilteredPoint<T>& p0 = previous_point_;
            const TurningPoint<T> seed{0, T(0), T(0), p0.x, p0.y, p0.start_idx, p0.end_idx};
            set_a_.push_back(seed);
            set_b_.push_back(seed);
        }
        previous_point_ = b;
        ++seen_;
    }

    // The turning-point list: both seeds and the first turn of set_a
    // dropped, the rest in path order.  Both sets are already ordered by
    // index, so a merge gives what a stable sort would.
    TurningPointList<T> finish() {
        const std::size_t drop_a = std::min<std::size_t>(2, set_a_.size());
        const std::size_t drop_b = std::min<std::size_t>(1, set_b_.size());
        TurningPointList<T> result(set_a_.size() - drop_a + set_b_.size() - drop_b);
        std::merge(set_a_.begin() + static_cast<std::ptrdiff_t>(drop_a), set_a_.end(),
                   set_b_.begin() + static_cast<std::ptrdiff_t>(drop_b), set_b_.end(), result.begin(),
                   [](const TurningPoint<T>& p, const TurningPoint<T>& q) { return p.index < q.index; });
        return result;
    }

private:
    std::size_t seen_ = 0;
    FilteredPoint<T> previous_point_{};
    T previous_{};
    TurningPointList<T> set_a_;
    TurningPointList<T> set_b_;
};

template <class T>
TurningPointList<T> find_turning_points(const PointList<T>& points) {
    TurningPointDetector<T> detector;
    for (const FilteredPoint<T>& p : points) detector(p);
    return detector.finish();
}

}  // namespace rastermark
