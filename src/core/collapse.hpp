// Serial collapse of repeated coordinates: collapse_x merges runs of
// consecutive samples sharing x, collapse_y merges runs of consecutive points
// sharing y.  The parallel chunk tasks run the same scan on a sub-range.
#pragma once

#include <cstddef>
#include <vector>

#include "element_traits.hpp"
#include "pipeline.hpp"

namespace rastermark {

enum class Axis { x, y };

// Raw samples as collapse input: compared coordinate x, averaged y.
template <class T>
struct SampleRuns {
    static constexpr Axis compared_axis = Axis::x;
    Samples<T> xs;
    Samples<T> ys;
    T compared(std::size_t i) const { return xs[i]; }
    T averaged(std::size_t i) const { return ys[i]; }
    std::size_t first_sample(std::size_t i) const { return i; }
    std::size_t last_sample(std::size_t i) const { return i; }
};

// collapse_x points as collapse input: compared coordinate y, averaged x.
template <class T>
struct PointRuns {
    static constexpr Axis compared_axis = Axis::y;
    const FilteredPoint<T>* points;
    T compared(std::size_t i) const { return points[i].y; }
    T averaged(std::size_t i) const { return points[i].x; }
    std::size_t first_sample(std::size_t i) const { return points[i].start_idx; }
    std::size_t last_sample(std::size_t i) const { return points[i].end_idx; }
};

template <class T, Axis compared_axis>
FilteredPoint<T> make_point(T anchor, T mean, std::size_t first, std::size_t last) {
    if constexpr (compared_axis == Axis::x) {
        return {anchor, mean, first, last};
    } else {
        return {mean, anchor, first, last};
    }
}

// One left-to-right scan over items [begin, end), begin < end.  Each run is
// compared with its first member (the anchor), never with the previous one;
// the averaged coordinate is summed strictly in order in T and divided once
// by the count converted to T.
template <class T, class Source>
PointList<T> collapse_runs(const Source& items, std::size_t begin, std::size_t end,
                           std::size_t reserve) {
    constexpr Axis axis = Source::compared_axis;
    PointList<T> out;
    out.reserve(reserve);
    T anchor = items.compared(begin);
    T sum = items.averaged(begin);
    std::size_t count = 1;
    std::size_t first = items.first_sample(begin);
    for (std::size_t i = begin + 1; i < end; ++i) {
        const T c = items.compared(i);
        if (same_coordinate(c, anchor)) {
            sum += items.averaged(i);
            ++count;
        } else {
            out.push_back(make_point<T, axis>(anchor, sum / static_cast<T>(count), first,
                                              items.last_sample(i - 1)));
            anchor = c;
            sum = items.averaged(i);
            count = 1;
            first = items.first_sample(i);
        }
    }
    out.push_back(make_point<T, axis>(anchor, sum / static_cast<T>(count), first,
                                      items.last_sample(end - 1)));
    return out;
}

// Runs of equal x among n >= 1 samples.
template <class T>
PointList<T> collapse_x(Samples<T> x, Samples<T> y) {
    return collapse_runs<T>(SampleRuns<T>{x, y}, 0, x.size(), x.size() / 2);
}

// Runs of equal y among the points of collapse_x; empty in, empty out.
template <class T>
PointList<T> collapse_y(const PointList<T>& points) {
    if (points.empty()) return {};
    return collapse_runs<T>(PointRuns<T>{points.data()}, 0, points.size(), points.size());
}

}  // namespace rastermark
