// The driver's single pass: samples -> x-runs -> y-runs -> turning points,
// chained as streaming stages, so that no per-sample or per-point list is
// ever held.  Where a collapse step runs chunked (large inputs, two or more
// workers) the pass applies the chunked rules as it goes: each chunk restarts
// its run at the chunk's first item and the chunk stitch merges across the
// seams, exactly as the stage-by-stage form (stage_by_stage.hpp) would.
// Where the last stage is the turning-point detector, stretches of quiet
// samples (simd/block_scans.hpp) are skipped in blocks instead of being
// pushed through the stages one by one.
//
// This file runs the pass in one walk over the whole input, which is how
// inputs that collapse_x does not chunk go; a chunked collapse_x runs the
// pass in segments, one per worker (segments.hpp), each of them a walk of
// SinglePass over its part.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>
#include <vector>

#include "chunk_plan.hpp"
#include "chunk_stitch.hpp"
#include "collapse.hpp"
#include "records.hpp"
#include "run_count.hpp"
#include "simd/block_scans.hpp"
#include "turning_points.hpp"

namespace rastermark {

// Spans [first, end) of consecutive x-point numbers.
struct XPointSpan {
    std::size_t first;
    std::size_t end;
};
using XPointSpans = std::vector<XPointSpan>;

// Feeds the collapsed points (the output of collapse_y) to `Final` in order.
template <class T, bool x_chunked, bool y_chunked, class Final>
class SinglePass {
public:
    SinglePass(const ChunkPlan& y_plan, Final& final_sink, const simd::BlockScans& scans)
        : y_plan_(y_plan), final_(final_sink), scans_(scans) {
        if constexpr (y_chunked) advance_y_chunk();
    }

    // The whole input in one walk, collapse_x unchunked.
    void run(Samples<T> x, Samples<T> y) {
        static_assert(!x_chunked, "a chunked collapse_x runs in segments (segments.hpp)");
        push_range(x, y, 0, x.size());
        x_runs_.flush();
        y_runs_.flush();
        if constexpr (y_chunked) y_stitch_.finish();
    }

    // -- what a walk of one segment uses (segments.hpp) --------------------

    // Pushes samples [begin, end) with the x-chunks of `x_plan`, ending the
    // runs in progress only if `last` (the segment ends the input).
    void run_segment(Samples<T> x, Samples<T> y, const ChunkPlan& x_plan, std::size_t begin, std::size_t end,
                     bool last) {
        static_assert(x_chunked);
        for (const IndexRange& chunk : x_plan) {
            if (chunk.end <= begin || chunk.start >= end) continue;
            const std::size_t from = std::max(chunk.start, begin);
            const std::size_t to = std::min(chunk.end, end);
            if (from == chunk.start) x_stitch_.start_chunk();
            push_range(x, y, from, to);
            if (to == chunk.end) {
                x_stitch_.hold_next();
                x_runs_.flush();
            }
        }
        if (last) {
            x_stitch_.finish();
            y_runs_.flush();
        }
        // A y-chunk that starts on one of a segment's last x-points leaves
        // the y-point before it held; at a segment's end nothing can merge
        // into it any more (the next segment's start is exact), so it goes on.
        if constexpr (y_chunked) y_stitch_.finish();
    }

    // Sets the stages to their state before sample b of a segment start
    // (segments.hpp, invariant 1): the x-run in progress is sample b-1, the
    // y-run in progress sample b-2, the detector's latest point sample b-3,
    // and `x_points` x-points have been handed on.
    void resume(Samples<T> x, Samples<T> y, std::size_t b, std::size_t x_points, std::size_t seen) {
        x_runs_.restart_with(x[b - 1], y[b - 1], b - 1, b - 1);
        y_runs_.restart_with(y[b - 2], x[b - 2], b - 2, b - 2);
        final_.resume({x[b - 3], y[b - 3], b - 3, b - 3}, seen, std::copysign(T(1), y[b - 3] - y[b - 4]));
        x_points_ = x_points;
        if constexpr (y_chunked) {
            next_y_chunk_ = 0;
            while (next_y_chunk_ < y_plan_.size() && y_plan_[next_y_chunk_].start < x_points) ++next_y_chunk_;
            next_y_start_ = next_y_chunk_ < y_plan_.size() ? y_plan_[next_y_chunk_].start : static_cast<std::size_t>(-1);
        }
    }

    // Keeps the numbers of the x-points that join the y-run before them
    // (the only places where a y-chunk start changes anything) in `merges`.
    void record_merges(XPointSpans& merges) { merges_ = &merges; }
    std::size_t x_points() const { return x_points_; }

private:
    static constexpr bool has_fast_path = std::is_same_v<Final, TurningPointDetector<T>>;

    // Pushes samples [begin, end) through the stages, skipping quiet blocks
    // wherever the stages are in the state the skip needs.  Between two
    // attempts at least one block goes through the stages sample by sample;
    // after an attempt that skips nothing, the next waits twice as many
    // blocks as the last wait (up to max_quiet_backoff), and one that skips
    // resets the wait, so that data with few quiet blocks (noise, repeats)
    // costs the per-sample machine and little more.  Where the attempts are
    // made never changes a result, only how much is skipped.
    void push_range(Samples<T> x, Samples<T> y, std::size_t begin, std::size_t end) {
        if (!has_fast_path || !scans_.scans()) {
            x_runs_.push_samples(x, y, begin, end);
            return;
        }
        std::size_t i = begin;
        while (i < end) {
            const std::size_t from = i;
            i = skip_quiet(x, y, i, end);
            std::size_t blocks = 1;
            if (i == from) {
                blocks += backoff_;
                backoff_ = std::min(2 * backoff_, max_quiet_backoff);
            } else {
                backoff_ = 1;
            }
            // The blocks up to the next attempt go through in one call.
            const std::size_t stop = i + std::min(end - i, blocks * quiet_block_width<T>);
            x_runs_.push_samples(x, y, i, stop);
            i = stop;
        }
    }

    // The longest wait between two attempts at skipping, in blocks.
    static constexpr std::size_t max_quiet_backoff = 64;
    std::size_t backoff_ = 1;

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
            const std::size_t stop = skip_quiet_blocks(scans_, x, y, i, limit, falling);
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
        if (y_runs_.push(p) && merges_ != nullptr) {
            // Kept as spans of consecutive x-point numbers.
            if (!merges_->empty() && merges_->back().end == x_points_) {
                ++merges_->back().end;
            } else {
                merges_->push_back({x_points_, x_points_ + 1});
            }
        }
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
    const simd::BlockScans& scans_;
    XPointSpans* merges_ = nullptr;
    YStitch y_stitch_{final_};
    RunCollapser<T, Axis::y, YSink> y_runs_{y_sink()};
    XPointSink x_point_sink_{this};
    XStitch x_stitch_{x_point_sink_};
    RunCollapser<T, Axis::x, XSink> x_runs_{x_sink()};
};

// Hands the collapsed points of n >= 1 samples to `sink`, in order, for a
// pool of `workers` threads, where collapse_x is not chunked (fewer than
// parallel_x_threshold samples or fewer than two workers); collapse_y is
// chunked where the number of x-points says so.
template <class T, class Sink>
void for_each_collapsed_point(Samples<T> x, Samples<T> y, std::size_t workers, Sink& sink,
                              const simd::BlockScans& scans = simd::chosen()) {
    const std::size_t n = x.size();
    // collapse_y is chunked by the number of x-points, so count them first
    // (compare-only) where that can matter.
    ChunkPlan y_plan;
    if (workers >= 2 && n >= parallel_y_threshold) {
        const std::size_t m = count_x_runs(x, 0, n, scans);
        if (m >= parallel_y_threshold) y_plan = make_chunk_plan(m, workers);
    }
    if (y_plan.empty()) {
        SinglePass<T, false, false, Sink>(y_plan, sink, scans).run(x, y);
    } else {
        SinglePass<T, false, true, Sink>(y_plan, sink, scans).run(x, y);
    }
}

// The turning points of an input that collapse_x does not chunk.
template <class T>
TurningPointList<T> turning_points_in_one_walk(Samples<T> x, Samples<T> y, std::size_t workers,
                                               const simd::BlockScans& scans = simd::chosen()) {
    TurningPointDetector<T> detector;
    for_each_collapsed_point(x, y, workers, detector, scans);
    return detector.finish();
}

}  // namespace rastermark
