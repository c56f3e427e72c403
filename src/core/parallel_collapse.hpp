// Parallel chunked collapse: the step's input is cut into one contiguous
// chunk per worker, each chunk is collapsed on the worker pool with the
// serial scan, and the chunk results are stitched together in chunk order.
#pragma once

#include <cstddef>
#include <vector>

#include "collapse.hpp"
#include "element_traits.hpp"
#include "worker_pool.hpp"

namespace rastermark {

// Smallest inputs that the collapse steps split across the pool.
inline constexpr std::size_t parallel_x_threshold = 500000;  // samples
inline constexpr std::size_t parallel_y_threshold = 250000;  // points

// Half-open item range [start, end).
struct ChunkRange {
    std::size_t start;
    std::size_t end;

    bool operator==(const ChunkRange&) const = default;
};

using ChunkPlan = std::vector<ChunkRange>;

// Contiguous chunks of ceil(len / workers) items, the last one holding the rest.
inline ChunkPlan make_chunk_plan(std::size_t len, std::size_t workers) {
    const std::size_t chunk = len / workers + (len % workers != 0 ? 1 : 0);
    ChunkPlan plan;
    if (chunk == 0) return plan;
    plan.reserve(len / chunk + 1);
    for (std::size_t start = 0; start < len; start += chunk) {
        plan.push_back({start, std::min(start + chunk, len)});
    }
    return plan;
}

template <class T>
PointList<T> collapse_x_chunk(Samples<T> x, Samples<T> y, std::size_t start, std::size_t end) {
    return collapse_runs<T>(SampleRuns<T>{x, y}, start, end, (end - start) / 2);
}

template <class T>
PointList<T> collapse_y_chunk(const PointList<T>& points, std::size_t start, std::size_t end) {
    return collapse_runs<T>(PointRuns<T>{points.data()}, start, end, end - start);
}

// Sample-span-weighted mean of two partial runs, computed in 64-bit floats
// and rounded once to T (a no-op for 64-bit T).
template <class T>
T span_weighted_mean(T a, std::size_t span_a, T b, std::size_t span_b) {
    const double wa = static_cast<double>(span_a);
    const double wb = static_cast<double>(span_b);
    return static_cast<T>((static_cast<double>(a) * wa + static_cast<double>(b) * wb) / (wa + wb));
}

// Joins chunk results in order, merging every point into the output's last
// point when they share the compared coordinate.  Each chunk result is
// released as soon as it has been consumed.
template <class T, Axis compared_axis>
PointList<T> stitch_chunks(std::vector<PointList<T>>& chunks) {
    std::size_t total = 0;
    for (const PointList<T>& chunk : chunks) total += chunk.size();
    PointList<T> out;
    out.reserve(total);
    for (PointList<T>& chunk : chunks) {
        for (const FilteredPoint<T>& p : chunk) {
            if (!out.empty()) {
                FilteredPoint<T>& last = out.back();
                const std::size_t span_p = p.end_idx - p.start_idx + 1;
                const std::size_t span_last = last.end_idx - last.start_idx + 1;
                if constexpr (compared_axis == Axis::x) {
                    if (same_coordinate(p.x, last.x)) {
                        last.y = span_weighted_mean(p.y, span_p, last.y, span_last);
                        last.end_idx = p.end_idx;
                        continue;
                    }
                } else {
                    if (same_coordinate(p.y, last.y)) {
                        last.x = span_weighted_mean(p.x, span_p, last.x, span_last);
                        last.end_idx = p.end_idx;
                        continue;
                    }
                }
            }
            out.push_back(p);
        }
        PointList<T>().swap(chunk);
    }
    return out;
}

template <class T>
PointList<T> collapse_x_parallel(Samples<T> x, Samples<T> y, std::size_t workers) {
    const ChunkPlan plan = make_chunk_plan(x.size(), workers);
    std::vector<PointList<T>> chunks = worker_pool::parallel_map<PointList<T>>(
        plan, [&](const ChunkRange& r) { return collapse_x_chunk(x, y, r.start, r.end); });
    return stitch_chunks<T, Axis::x>(chunks);
}

template <class T>
PointList<T> collapse_y_parallel(const PointList<T>& points, std::size_t workers) {
    const ChunkPlan plan = make_chunk_plan(points.size(), workers);
    std::vector<PointList<T>> chunks = worker_pool::parallel_map<PointList<T>>(
        plan, [&](const ChunkRange& r) { return collapse_y_chunk(points, r.start, r.end); });
    return stitch_chunks<T, Axis::y>(chunks);
}

}  // namespace rastermark
