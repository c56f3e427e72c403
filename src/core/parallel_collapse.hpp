// Parallel chunked collapse: the step's input is cut into one contiguous
// chunk per worker, each chunk is collapsed on its own, and the chunk results
// are stitched together in chunk order.  The stitch is a streaming stage
// (ChunkStitcher) so that the driver can apply the chunked rules in its
// single pass; the list-returning functions are the same stages collecting.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "collapse.hpp"
#include "element_traits.hpp"
#include "quiet_blocks.hpp"
#include "worker_pool.hpp"

namespace rastermark {

// Smallest inputs that the collapse steps split into chunks.
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
    return collapse_x_range(x, y, start, end);
}

template <class T>
PointList<T> collapse_y_chunk(const PointList<T>& points, std::size_t start, std::size_t end) {
    return collapse_y_range(points, start, end);
}

// Sample-span-weighted mean of two partial runs, computed in 64-bit floats
// and rounded once to T (a no-op for 64-bit T).
template <class T>
T span_weighted_mean(T a, std::size_t span_a, T b, std::size_t span_b) {
    const double wa = static_cast<double>(span_a);
    const double wb = static_cast<double>(span_b);
    return static_cast<T>((static_cast<double>(a) * wa + static_cast<double>(b) * wb) / (wa + wb));
}

// Joins chunk results in chunk order: a point is merged into the output's
// last point when the two share the compared coordinate.  Inside a chunk,
// consecutive runs never share it (each run starts where the coordinate
// leaves its predecessor's anchor), so merges can only happen at the start
// of a chunk, while its points still fall on the last point of the chunks
// before.  The stitcher therefore holds back only each chunk's last point,
// tests only the leading points of the next chunk, and hands every other
// point straight on.  The caller marks the structure: start_chunk() before a
// chunk's first point, hold_next() before its last one, finish() at the end.
template <class T, Axis compared_axis, class Sink>
class ChunkStitcher {
public:
    explicit ChunkStitcher(Sink& sink) : sink_(sink) {}

    void start_chunk() { merging_ = has_held_; }
    void hold_next() { hold_ = true; }
    // Whether the next point would be handed straight on.
    bool passes_through() const { return !merging_ && !hold_; }

    void operator()(const FilteredPoint<T>& p) {
        if (merging_) {
            if (same_coordinate(compared_of<compared_axis>(p), compared_of<compared_axis>(held_))) {
                const std::size_t span_p = p.end_idx - p.start_idx + 1;
                const std::size_t span_held = held_.end_idx - held_.start_idx + 1;
                set_averaged<compared_axis>(held_, span_weighted_mean(averaged_of<compared_axis>(p), span_p,
                                                                      averaged_of<compared_axis>(held_), span_held));
                held_.end_idx = p.end_idx;
                hold_ = false;
                return;
            }
            sink_(held_);
            has_held_ = false;
            merging_ = false;
        }
        if (hold_) {
            held_ = p;
            has_held_ = true;
            hold_ = false;
            return;
        }
        sink_(p);
    }

    void finish() {
        if (has_held_) sink_(held_);
        has_held_ = false;
        merging_ = false;
    }

private:
    Sink& sink_;
    FilteredPoint<T> held_{};
    bool has_held_ = false;
    bool merging_ = false;
    bool hold_ = false;
};

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

// -- counting x-runs without building them -------------------------------------

// Number of x-runs among samples [begin, end), the anchors of the first few
// and of the last one.
template <class T>
struct RunCount {
    static constexpr std::size_t leading = 4;
    std::size_t runs = 0;
    std::array<T, leading> first_anchors{};
    T last_anchor{};
};

template <class T>
RunCount<T> count_x_runs(Samples<T> x, std::size_t begin, std::size_t end, SimdLevel level = simd_level()) {
    RunCount<T> count;
    T anchor = x[begin];
    count.first_anchors[0] = anchor;
    count.runs = 1;
    std::size_t i = begin + 1;
    while (i < end) {
        // Where the run is anchored at the previous sample's x (equal, so
        // the comparisons are the same) and x keeps moving, each sample
        // starts a run: whole blocks of them are counted at once.
        if (count.runs >= RunCount<T>::leading && anchor == x[i - 1]) {
            const std::size_t stop = skip_moving_x_blocks(x, i, end, level);
            if (stop != i) {
                count.runs += stop - i;
                anchor = x[stop - 1];
                i = stop;
                if (i == end) break;
            }
        }
        // Skip whole blocks that stay in the run: four independent tests
        // instead of a chain through a conditionally updated anchor.
        constexpr std::size_t block = 4;
        while (i + block <= end && same_coordinate(x[i], anchor) && same_coordinate(x[i + 1], anchor) &&
               same_coordinate(x[i + 2], anchor) && same_coordinate(x[i + 3], anchor)) {
            i += block;
        }
        const std::size_t stop = std::min(i + block, end);
        for (; i < stop; ++i) {
            const T c = x[i];
            if (!same_coordinate(c, anchor)) {
                anchor = c;
                if (count.runs < RunCount<T>::leading) count.first_anchors[count.runs] = c;
                ++count.runs;
            }
        }
    }
    count.last_anchor = anchor;
    return count;
}

// The number of leading x-runs of a chunk whose anchors fall on `last_anchor`.
template <class T>
std::size_t merging_prefix_by_scan(Samples<T> x, const ChunkRange& chunk, T last_anchor) {
    std::size_t merged = 0;
    T anchor = x[chunk.start];
    for (std::size_t i = chunk.start + 1;; ++i) {
        if (i == chunk.end || !same_coordinate(x[i], anchor)) {
            if (!same_coordinate(anchor, last_anchor)) return merged;
            ++merged;
            if (i == chunk.end) return merged;
            anchor = x[i];
        }
    }
}

// Number of points collapse_x_parallel would return, from the compared
// coordinate alone: the chunks are counted on the pool, and the stitch is
// replayed on the anchors.  A chunk's runs after its first unmerged one can
// never merge (their anchors are apart from their predecessors'), so only
// the leading runs of each chunk are looked at; a chunk whose merging prefix
// is longer than the runs the count kept is scanned again from its start.
template <class T>
std::size_t count_x_points_parallel(Samples<T> x, const ChunkPlan& plan, SimdLevel level = simd_level()) {
    const std::vector<RunCount<T>> counts = worker_pool::parallel_map<RunCount<T>>(
        plan, [&](const ChunkRange& r) { return count_x_runs(x, r.start, r.end, level); });
    std::size_t points = 0;
    T last_anchor{};
    for (std::size_t c = 0; c < plan.size(); ++c) {
        const RunCount<T>& count = counts[c];
        std::size_t merged = 0;
        if (c > 0) {
            const std::size_t kept = std::min(count.runs, RunCount<T>::leading);
            while (merged < kept && same_coordinate(count.first_anchors[merged], last_anchor)) ++merged;
            if (merged == RunCount<T>::leading && count.runs > merged) {
                merged = merging_prefix_by_scan(x, plan[c], last_anchor);
            }
        }
        points += count.runs - merged;
        if (merged < count.runs) last_anchor = count.last_anchor;
    }
    return points;
}

}  // namespace rastermark
