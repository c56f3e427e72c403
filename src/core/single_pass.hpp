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
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>
#include <vector>

#include "collapse.hpp"
#include "parallel_collapse.hpp"
#include "quiet_blocks.hpp"
#include "turning_points.hpp"
#include "worker_pool.hpp"

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
            run_segment(x, y, x_plan, 0, x.size(), true);
            return;
        } else {
            push_range(x, y, 0, x.size());
            x_runs_.flush();
        }
        y_runs_.flush();
        if constexpr (y_chunked) y_stitch_.finish();
    }

    // Pushes samples [begin, end) with the x-chunks of `x_plan`, ending the
    // runs in progress only if `last` (the segment ends the input).
    void run_segment(Samples<T> x, Samples<T> y, const ChunkPlan& x_plan, std::size_t begin, std::size_t end,
                     bool last) {
        static_assert(x_chunked);
        for (const ChunkRange& chunk : x_plan) {
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
    // (see segment_start_is_exact): the x-run in progress is sample b-1, the
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
    void record_merges(ChunkPlan& merges) { merges_ = &merges; }
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
        if (!has_fast_path || level_ == SimdLevel::off) {
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
    SimdLevel level_;
    ChunkPlan* merges_ = nullptr;
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
TurningPointList<T> turning_points_serially(Samples<T> x, Samples<T> y, std::size_t workers,
                                            SimdLevel level = simd_level()) {
    TurningPointDetector<T> detector;
    for_each_collapsed_point(x, y, workers, detector, level);
    return detector.finish();
}

// -- the pass in segments, one per worker, run at once -------------------------

// Whether the stages' state before sample b follows from samples b-6 .. b-1
// alone, whatever came before: x moves by at least 4 tolerances at each of
// samples b-5 .. b-1, and y at each of b-4 .. b-1, so that each of them
// starts an x-run (and b-4 .. b-1 a y-run) that nothing before can join,
// even through an anchor up to a tolerance away; and the segment from b-4
// to b-3 has a plain direction (dy finite, |dx| not huge).
template <class T>
bool segment_start_is_exact(Samples<T> x, Samples<T> y, std::size_t b) {
    constexpr T margin = T(4) * coordinate_tolerance<T>;
    if (b < 7) return false;
    for (std::size_t k = b - 5; k < b; ++k) {
        const T dx = std::fabs(x[k] - x[k - 1]);
        if (!(dx >= margin && dx <= largest_plain_difference<T>)) return false;
    }
    for (std::size_t k = b - 4; k < b; ++k) {
        const T dy = std::fabs(y[k] - y[k - 1]);
        if (!(dy >= margin && dy <= std::numeric_limits<T>::max())) return false;
    }
    return true;
}

// Segment starts near each of n / segments, 2 n / segments, ...: the first
// sample from there on, within a search window, whose start is exact and
// that no x-chunk start is near (the x-stitch must be idle around it).
template <class T>
ChunkPlan plan_segments(Samples<T> x, Samples<T> y, const ChunkPlan& x_plan, std::size_t segments) {
    constexpr std::size_t guard = 8;
    const std::size_t n = x.size();
    const std::size_t window = n / (4 * segments);
    ChunkPlan plan;
    std::size_t begin = 0;
    for (std::size_t s = 1; s < segments; ++s) {
        // Past the x-chunk start, which falls near here.
        const std::size_t target = n / segments * s + 2 * guard;
        for (std::size_t b = std::max(target, begin + guard); b < target + window; ++b) {
            const bool near_chunk_start = std::any_of(x_plan.begin(), x_plan.end(), [&](const ChunkRange& c) {
                return c.start + guard >= b && c.start <= b + 1;
            });
            if (!near_chunk_start && segment_start_is_exact(x, y, b)) {
                plan.push_back({begin, b});
                begin = b;
                break;
            }
        }
    }
    plan.push_back({begin, n});
    return plan;
}

// A resumed segment numbers its collapsed points as if two had been seen
// (its latest point and one before it); the join shifts the numbers.
inline constexpr std::size_t resumed_seen = 2;

// What one segment's walk leaves: its turns (the pending ones first), its
// detector (for the latest turns and the count of points), the x-points it
// handed on, and which of those joined the y-run before them.
template <class T>
struct SegmentWalk {
    TurningPointDetector<T> detector;
    TurningPointList<T> turns;
    std::size_t x_points = 0;
    ChunkPlan merges;
};

// Walks segment s of `segments` with the y-chunks of `y_plan` (none: not
// chunked); a later segment resumes at its start with `x_points_before`
// x-points handed on before it.
template <class T>
SegmentWalk<T> walk_segment(Samples<T> x, Samples<T> y, const ChunkPlan& x_plan, const ChunkPlan& segments,
                            std::size_t s, const ChunkPlan& y_plan, std::size_t x_points_before, SimdLevel level) {
    SegmentWalk<T> walk;
    const ChunkRange& segment = segments[s];
    auto run = [&](auto& pass) {
        if (s > 0) pass.resume(x, y, segment.start, x_points_before, resumed_seen);
        pass.record_merges(walk.merges);
        pass.run_segment(x, y, x_plan, segment.start, segment.end, s + 1 == segments.size());
        walk.x_points = pass.x_points() - x_points_before;
    };
    if (y_plan.empty()) {
        SinglePass<T, true, false, TurningPointDetector<T>> pass(y_plan, walk.detector, level);
        run(pass);
    } else {
        SinglePass<T, true, true, TurningPointDetector<T>> pass(y_plan, walk.detector, level);
        run(pass);
    }
    walk.turns = walk.detector.finish();
    return walk;
}

// Joins the segments' turns in order.  Each resumed segment numbered its
// points from resumed_seen and computed its pending turns without the turns
// before it: the join renumbers, recomputes those from the latest turns of
// the segments before, and drops set_a's first turn.
template <class T>
TurningPointList<T> join_segments(std::vector<SegmentWalk<T>>& walks) {
    std::size_t total = 0;
    for (const SegmentWalk<T>& walk : walks) total += walk.turns.size();
    TurningPointList<T> out = std::move(walks[0].turns);
    out.reserve(total);
    LatestTurns<T> latest = walks[0].detector.latest();
    std::size_t seen = walks[0].detector.seen();
    for (std::size_t s = 1; s < walks.size(); ++s) {
        const SegmentWalk<T>& walk = walks[s];
        const std::size_t shift = seen - resumed_seen;
        const std::vector<bool>& pending = walk.detector.pending_falls();
        for (std::size_t k = 0; k < walk.turns.size(); ++k) {
            TurningPoint<T> turn = walk.turns[k];
            turn.index += shift;
            if (k < pending.size()) {
                const bool falls = pending[k];
                turn = make_turn(FilteredPoint<T>{turn.x, turn.y, turn.start_idx, turn.end_idx}, turn.index, falls,
                                 latest.a, latest.b);
                latest.file(turn, falls, out);
            } else {
                out.push_back(turn);
            }
        }
        if (walk.detector.has_seen_a()) latest.a = walk.detector.latest().a;
        if (walk.detector.has_seen_b()) latest.b = walk.detector.latest().b;
        seen = walk.detector.seen() + shift;
    }
    return out;
}

// The chunked single pass (x chunked; y as the number of x-points says)
// with its segments run on the pool at once.  Each segment after the first
// starts where segment_start_is_exact holds and the x-stitch is idle, so its
// stages start in the state the serial pass would have there; only the
// latest turns before it are unknown, and join_segments mends the few turns
// that depend on them.  The x-points are counted by the walks themselves,
// which first run with collapse_y unchunked: a y-chunk start changes
// nothing where its x-point starts a y-run anyway (the stitch then only
// passes the run before it on later), so only the segments where a chunk
// start falls on an x-point that joined the run before it are walked again,
// with the y-chunks and the number of x-points before them now known.
template <class T>
TurningPointList<T> turning_points_in_segments(Samples<T> x, Samples<T> y, std::size_t workers,
                                               SimdLevel level = simd_level()) {
    const ChunkPlan x_plan = make_chunk_plan(x.size(), workers);
    const ChunkPlan segments = plan_segments(x, y, x_plan, workers);
    const std::size_t count = segments.size();
    std::vector<SegmentWalk<T>> walks(count);
    worker_pool::run_indexed(count, [&](std::size_t s) {
        walks[s] = walk_segment(x, y, x_plan, segments, s, ChunkPlan{}, 0, level);
    });
    std::vector<std::size_t> before(count, 0);
    for (std::size_t s = 1; s < count; ++s) before[s] = before[s - 1] + walks[s - 1].x_points;
    const std::size_t x_points = before[count - 1] + walks[count - 1].x_points;
    if (x_points >= parallel_y_threshold) {
        const ChunkPlan y_plan = make_chunk_plan(x_points, workers);
        std::vector<std::size_t> again;
        for (std::size_t c = 1; c < y_plan.size(); ++c) {
            const std::size_t start = y_plan[c].start;
            const std::size_t s = static_cast<std::size_t>(std::upper_bound(before.begin(), before.end(), start) -
                                                            before.begin()) - 1;
            const ChunkPlan& merges = walks[s].merges;
            const std::size_t local = start - before[s];
            const auto span = std::upper_bound(merges.begin(), merges.end(), local,
                                               [](std::size_t v, const ChunkRange& r) { return v < r.end; });
            const bool joins = span != merges.end() && span->start <= local;
            if (joins && (again.empty() || again.back() != s)) again.push_back(s);
        }
        worker_pool::run_indexed(again.size(), [&](std::size_t k) {
            const std::size_t s = again[k];
            walks[s] = walk_segment(x, y, x_plan, segments, s, y_plan, before[s], level);
        });
    }
    return join_segments(walks);
}

template <class T>
TurningPointList<T> turning_points_in_one_pass(Samples<T> x, Samples<T> y, std::size_t workers,
                                               SimdLevel level = simd_level()) {
    if (workers >= 2 && x.size() >= parallel_x_threshold) return turning_points_in_segments(x, y, workers, level);
    return turning_points_serially(x, y, workers, level);
}

}  // namespace rastermark
