// The pipeline stage by stage: collapse_x, collapse_y, find_turning_points
// and assign_scanline_ids, each returning its whole list, with the chunked
// collapse as separate chunk tasks and a stitch over their lists.  The
// driver never runs this form (it streams the same stages in one pass,
// single_pass.hpp and segments.hpp); it is what the tests, the fuzzer and
// the stage timer compare that pass against, and so it is kept as plain as
// the rules it states.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "chunk_plan.hpp"
#include "chunk_stitch.hpp"
#include "collapse.hpp"
#include "labels.hpp"
#include "records.hpp"
#include "turning_points.hpp"
#include "worker_pool.hpp"

namespace rastermark {

// A sink that keeps every point it is given.
template <class T>
struct CollectPoints {
    PointList<T>& out;
    void operator()(const FilteredPoint<T>& p) const { out.push_back(p); }
};

// collapse_x of samples [begin, end), begin < end, as a list.
template <class T>
PointList<T> collapse_x_range(Samples<T> x, Samples<T> y, std::size_t begin, std::size_t end) {
    PointList<T> out;
    out.reserve((end - begin) / 2);
    CollectPoints<T> sink{out};
    RunCollapser<T, Axis::x, CollectPoints<T>> runs(sink);
    runs.push_samples(x, y, begin, end);
    runs.flush();
    return out;
}

// collapse_y of points [begin, end), begin < end, as a list.
template <class T>
PointList<T> collapse_y_range(const PointList<T>& points, std::size_t begin, std::size_t end) {
    PointList<T> out;
    out.reserve(end - begin);
    CollectPoints<T> sink{out};
    RunCollapser<T, Axis::y, CollectPoints<T>> runs(sink);
    for (std::size_t k = begin; k < end; ++k) runs.push(points[k]);
    runs.flush();
    return out;
}

// Runs of equal x among n >= 1 samples.
template <class T>
PointList<T> collapse_x(Samples<T> x, Samples<T> y) {
    return collapse_x_range(x, y, 0, x.size());
}

// Runs of equal y among the points of collapse_x; empty in, empty out.
template <class T>
PointList<T> collapse_y(const PointList<T>& points) {
    if (points.empty()) return {};
    return collapse_y_range(points, 0, points.size());
}

// The chunk stitch over collected chunk results, releasing each chunk
// result as soon as it has been consumed.
template <class T, Axis compared_axis>
PointList<T> stitch_chunks(std::vector<PointList<T>>& chunks) {
    std::size_t total = 0;
    for (const PointList<T>& chunk : chunks) total += chunk.size();
    PointList<T> out;
    out.reserve(total);
    CollectPoints<T> collect{out};
    ChunkStitcher<T, compared_axis, CollectPoints<T>> stitch(collect);
    for (PointList<T>& chunk : chunks) {
        stitch.start_chunk();
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            if (i + 1 == chunk.size()) stitch.hold_next();
            stitch(chunk[i]);
        }
        PointList<T>().swap(chunk);
    }
    stitch.finish();
    return out;
}

template <class T>
PointList<T> collapse_x_parallel(Samples<T> x, Samples<T> y, std::size_t workers) {
    const ChunkPlan plan = make_chunk_plan(x.size(), workers);
    std::vector<PointList<T>> chunks = worker_pool::parallel_map<PointList<T>>(
        plan, [&](const IndexRange& r) { return collapse_x_range(x, y, r.start, r.end); });
    return stitch_chunks<T, Axis::x>(chunks);
}

template <class T>
PointList<T> collapse_y_parallel(const PointList<T>& points, std::size_t workers) {
    const ChunkPlan plan = make_chunk_plan(points.size(), workers);
    std::vector<PointList<T>> chunks = worker_pool::parallel_map<PointList<T>>(
        plan, [&](const IndexRange& r) { return collapse_y_range(points, r.start, r.end); });
    return stitch_chunks<T, Axis::y>(chunks);
}

// collapse_x and then collapse_y as the driver decides them for `workers`
// threads: each chunked from its threshold on (with two or more workers).
template <class T>
PointList<T> collapse_both(Samples<T> x, Samples<T> y, std::size_t workers) {
    const PointList<T> x_points = workers >= 2 && x.size() >= parallel_x_threshold
                                      ? collapse_x_parallel(x, y, workers)
                                      : collapse_x(x, y);
    return workers >= 2 && x_points.size() >= parallel_y_threshold ? collapse_y_parallel(x_points, workers)
                                                                   : collapse_y(x_points);
}

template <class T>
TurningPointList<T> find_turning_points(const PointList<T>& points) {
    TurningPointDetector<T> detector;
    for (const FilteredPoint<T>& p : points) detector(p);
    return detector.finish();
}

// The turning points as the driver finds them for `workers` threads.
template <class T>
TurningPointList<T> turning_points_stage_by_stage(Samples<T> x, Samples<T> y, std::size_t workers) {
    return find_turning_points(collapse_both(x, y, workers));
}

// The same, into a new label array of n entries.
template <class T>
LabelArray assign_scanline_ids(std::size_t n, const TurningPointList<T>& turns, T threshold) {
    LabelArray labels(n);
    assign_scanline_ids(std::span<std::int32_t>(labels.data(), n), turns, threshold);
    return labels;
}

}  // namespace rastermark
