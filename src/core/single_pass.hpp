// The driver's single pass: samples -> x-runs -> y-runs -> turning points,
// chained as streaming stages, so that no per-sample or per-point list is
// ever held.  Where a collapse step runs chunked (large inputs, two or more
// workers) the pass applies the chunked rules as it goes: each chunk restarts
// its run at the chunk's first item and the chunk stitch merges across the
// seams, exactly as collapse_x_parallel / collapse_y_parallel followed by
// find_turning_points would.  Where the last stage is the turning-point
// detector, stretches of quiet samples (quiet_blocks.hpp) are skipped in
// blocks instead of being pushed through the stages one by one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "collapse.hpp"
#include "parallel_collapse.hpp"
#include "quiet_blocks.hpp"
#include "turning_points.hpp"

namespace rastermark {

// Feeds the collapsed points (the output of collapse_y) to `Final` in order.
template <class T, bool x_chunked, bool y_chunked, class Final>
class SinglePass {
public:
    SinglePass(const ChunkPlan& y_plan, Final& final_sink, SimdLevel level)
        : y_plan_(y_plan), final_(final_sink), level_(level) {
        if constexpr (y_chunked) advance_y_chunk();
    }

    void run(Samples<T> x, Samples<T> y, const ChunkPlan& x_plan) {
        if constexpr (x_chunked) {
            for (const ChunkRange& chunk : x_plan) {
                x_stitch_.start_chunk();
                push_range(x, y, chunk.start, chunk.end);
                x_stitch_.hold_next();
                x_runs_.flush();
            }
            x_stitch_.finish();
        } else {
            push_range(x, y, 0, x.size());
            x_runs_.flush();
        }
        y_runs_.flush();
        if constexpr (y_chunked) y_stitch_.finish();
    }

private:
    static constexpr bool has_fast_path = std::is_same_v<Final, TurningPointDetector<T>>;

    // Pushes samples [begin, end) through the stages, skipping quiet blocks
    // wherever the stages are in the state the skip needs.  Between two
    // attempts at least one block goes through the stages sample by sample.
    void push_range(Samples<T> x, Samples<T> y, std::size_t begin, std::size_t end) {
        if (!has_fast_path || level_ == SimdLevel::off) {
            x_runs_.push_samples(x, y, begin, end);
            return;
        }
        std::size_t i = begin;
        while (i < end) {
            i = skip_quiet(x, y, i, end);
            const std::size_t stop = i + std::min(end - i, quiet_block_width<T>);
            x_runs_.push_samples(x, y, i, stop);
            i = stop;
        }
    }

    // Before sample i, when each of samples i-3, i-2 and i-1 is a point of
    // its own in the stages (the x-run in progress is sample i-1, the y-run
    // in progress is sample i-2, the detector's latest point is sample i-3)
    // and samples i-2 and i-1 are quiet, every quiet sample k >= i does
    // exactly this: sample k starts the x-run, sample k-1 leaves as an
    // x-point and starts the y-run, sample k-2 leaves as a y-point, and the
    // detector carries its direction on.  Skips such samples in whole
    // blocks and sets the stages to that state; returns where it stopped.
    std::size_t skip_quiet(Samples<T> x, Samples<T> y, std::size_t i, std::size_t end) {
        if constexpr (has_fast_path) {
            if (i < 3 || end - i < quiet_block_width<T>) return i;
            if (!x_runs_.holds_one(i - 1, i - 1) || !y_runs_.holds_one(i - 2, i - 2) || !final_.steady_at(i - 3)) {
                return i;
            }
            if constexpr (x_chunked) {
                if (!x_stitch_.passes_through()) return i;
            }
            std::size_t limit = end;
            if constexpr (y_chunked) {
                // Each skipped sample hands one x-point on: stop before the
                // x-point that starts the next y-chunk.
                if (!y_stitch_.passes_through()) return i;
                const std::size_t room = next_y_start_ - x_points_;
                if (room < end - i) limit = i + room;
            }
            const bool falling = final_.falling();
            if (!sample_is_quiet(x[i - 2] - x[i - 3], y[i - 2] - y[i - 3], falling) ||
                !sample_is_quiet(x[i - 1] - x[i - 2], y[i - 1] - y[i - 2], falling)) {
                return i;
            }
            const std::size_t stop = skip_quiet_blocks(x, y, i, limit, falling, level_);
            if (stop == i) return i;
            x_runs_.restart_with(x[stop - 1], y[stop - 1], stop - 1, stop - 1);
            y_runs_.restart_with(y[stop - 2], x[stop - 2], stop - 2, stop - 2);
            final_.pass_quiet_points({x[stop - 3], y[stop - 3], stop - 3, stop - 3}, stop - i);
            x_points_ += stop - i;
            return stop;
        } else {
            (void)x, (void)y, (void)end;
            return i;
        }
    }

    // Receives the x-points in order; y-chunks start at fixed x-point numbers.
    struct XPointSink {
        SinglePass* pass;
        void operator()(const FilteredPoint<T>& p) const { pass->take_x_point(p); }
    };

    using YStitch = ChunkStitcher<T, Axis::y, Final>;
    using YSink = std::conditional_t<y_chunked, YStitch, Final>;
    using XStitch = ChunkStitcher<T, Axis::x, XPointSink>;
    using XSink = std::conditional_t<x_chunked, XStitch, XPointSink>;

    YSink& y_sink() {
        if constexpr (y_chunked) {
            return y_stitch_;
        } else {
            return final_;
        }
    }
    XSink& x_sink() {
        if constexpr (x_chunked) {
            return x_stitch_;
        } else {
            return x_point_sink_;
        }
    }

    void take_x_point(const FilteredPoint<T>& p) {
        if constexpr (y_chunked) {
            if (x_points_ == next_y_start_) {
                y_stitch_.hold_next();
                y_runs_.flush();
                y_stitch_.start_chunk();
                advance_y_chunk();
            }
        }
        y_runs_.push(p);
        ++x_points_;
    }

    // The x-point number at which the next y-chunk starts (none: never reached).
    void advance_y_chunk() {
        ++next_y_chunk_;
        next_y_start_ = next_y_chunk_ < y_plan_.size() ? y_plan_[next_y_chunk_].start : static_cast<std::size_t>(-1);
    }

    const ChunkPlan& y_plan_;
    std::size_t next_y_chunk_ = 0;
    std::size_t next_y_start_ = static_cast<std::size_t>(-1);
    std::size_t x_points_ = 0;
    Final& final_;
    SimdLevel level_;
    YStitch y_stitch_{final_};
    RunCollapser<T, Axis::y, YSink> y_runs_{y_sink()};
    XPointSink x_point_sink_{this};
    XStitch x_stitch_{x_point_sink_};
    RunCollapser<T, Axis::x, XSink> x_runs_{x_sink()};
};

// Hands the collapsed points of n >= 1 samples to `sink`, in order, for a
// pool of `workers` threads: the collapse steps are chunked where the
// thresholds say so.
template <class T, class Sink>
void for_each_collapsed_point(Samples<T> x, Samples<T> y, std::size_t workers, Sink& sink,
                              SimdLevel level = simd_level()) {
    const std::size_t n = x.size();
    const bool x_chunked = workers >= 2 && n >= parallel_x_threshold;
    const ChunkPlan x_plan = x_chunked ? make_chunk_plan(n, workers) : ChunkPlan{};
    // collapse_y is chunked by the number of x-points, so count them first
    // (compare-only, on the pool when chunked) where that can matter.
    bool y_chunked = false;
    ChunkPlan y_plan;
    if (workers >= 2 && n >= parallel_y_threshold) {
        const std::size_t m = x_chunked ? count_x_points_parallel(x, x_plan, level) : count_x_runs(x, 0, n, level).runs;
        y_chunked = m >= parallel_y_threshold;
        if (y_chunked) y_plan = make_chunk_plan(m, workers);
    }
    if (x_chunked && y_chunked) SinglePass<T, true, true, Sink>(y_plan, sink, level).run(x, y, x_plan);
    if (x_chunked && !y_chunked) SinglePass<T, true, false, Sink>(y_plan, sink, level).run(x, y, x_plan);
    if (!x_chunked && y_chunked) SinglePass<T, false, true, Sink>(y_plan, sink, level).run(x, y, x_plan);
    if (!x_chunked && !y_chunked) SinglePass<T, false, false, Sink>(y_plan, sink, level).run(x, y, x_plan);
}

template <class T>
TurningPointList<T> turning_points_in_one_pass(Samples<T> x, Samples<T> y, std::size_t workers,
                                               SimdLevel level = simd_level()) {
    TurningPointDetector<T> detector;
    for_each_collapsed_point(x, y, workers, detector, level);
    return detector.finish();
}

}  // namespace rastermark
