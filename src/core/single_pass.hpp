// The driver's single pass: samples -> x-runs -> y-runs -> turning points,
// chained as streaming stages, so that no per-sample or per-point list is
// ever held.  Where a collapse step runs chunked (large inputs, two or more
// workers) the pass applies the chunked rules as it goes: each chunk restarts
// its run at the chunk's first item and the chunk stitch merges across the
// seams, exactly as the stage-by-stage form (stage_by_stage.hpp) would.
// Where the last stage is the turning-point detector (and the block scans
// are not off), three fast paths take the common cases, each leaving the
// stages exactly as the per-sample machine would: quiet blocks
// (simd/block_scans.hpp) are skipped whole, long y-runs are summed in a
// tight loop, and the rest goes through the fused walk, which runs the
// three stages in one loop until anything uncommon happens.
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
        x_runs_.restart_with(x[b - 1], y[b - 1], 1, b - 1, b - 1);
        y_runs_.restart_with(y[b - 2], x[b - 2], 1, b - 2, b - 2);
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
    // and long y-runs wherever the stages are in the state the skip needs.  Between two
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
            if (i == from) i = skip_y_run(x, y, i, end);
            std::size_t blocks = 1;
            if (i == from) {
                blocks += backoff_;
                backoff_ = std::min(2 * backoff_, max_quiet_backoff);
            } else {
                backoff_ = 1;
            }
            // The blocks up to the next attempt go through the fused walk;
            // after a skip, what stopped it (a turn, mostly) is near, and
            // the next attempt comes soon after the walk has passed it.
            const std::size_t stop = i + std::min(end - i, blocks * quiet_block_width<T>);
            i = push_fused(x, y, i, stop, i != from ? settle_after_stop : 0);
        }
    }

    // The longest wait between two attempts at skipping, in blocks.
    static constexpr std::size_t max_quiet_backoff = 64;
    std::size_t backoff_ = 1;

    // The first sample of the unit (simd/block_scans.hpp) that ends at
    // sample `last` in a stretch of units: the samples before it in its
    // x-run, at most longest_quiet_unit - 1.
    static std::size_t unit_start(Samples<T> x, std::size_t last) {
        std::size_t first = last;
        while (last - first + 1 < longest_quiet_unit && x_repeats_previous(x, first)) --first;
        return first;
    }

    // Whether samples [first, last] are one unit: copies of one sample, at
    // most longest_quiet_unit, or an x-pair whose y moves on in the carried
    // direction (`falling`), both y summable.
    static bool is_unit(Samples<T> x, Samples<T> y, std::size_t first, std::size_t last, bool falling) {
        if (last - first + 1 > longest_quiet_unit) return false;
        if (last == first + 1 && x_repeats_previous(x, last) && !repeats_previous(x, y, last)) {
            return y_step_is_quiet(y[first], y[last], falling) && std::fabs(y[first]) <= largest_summable_copy<T> &&
                   std::fabs(y[last]) <= largest_summable_copy<T>;
        }
        for (std::size_t k = first + 1; k <= last; ++k) {
            if (!repeats_previous(x, y, k)) return false;
        }
        return true;
    }

    // The samples of [begin, end) that join the x-run before them (in a
    // stretch of units: copies and the second samples of x-pairs).
    static std::size_t x_repeats_in(Samples<T> x, std::size_t begin, std::size_t end) {
        std::size_t count = 0;
        for (std::size_t k = begin; k < end; ++k) count += x_repeats_previous(x, k) ? 1 : 0;
        return count;
    }

    // The in-order sum of y over samples [first, last], as the x-collapse
    // adds it up, and the mean it hands on.
    static T sum_of_y(Samples<T> y, std::size_t first, std::size_t last) {
        T sum = y[first];
        for (std::size_t k = first + 1; k <= last; ++k) sum += y[k];
        return sum;
    }
    static T mean_of_y(Samples<T> y, std::size_t first, std::size_t last) {
        return run_mean(sum_of_y(y, first, last), last - first + 1);
    }

    // Before sample i, when the x-run in progress, the y-run in progress and
    // the detector's latest point are three units in a row (U1 = [a, i-1],
    // U2 = [b, a-1], U3 = [c, b-1]) and the steps from U3 to U2 and from U2
    // to U1 are quiet, every later sample that sample_is_quiet admits does
    // exactly this: one that steps starts a unit, which starts the x-run
    // while the unit before leaves as an x-point and starts the y-run, the
    // one before that leaves as a y-point, and the detector carries its
    // direction on; a copy or the second sample of an x-pair joins the x-run.  Skips such samples in whole
    // blocks and sets the stages to that state; returns where it stopped.
    std::size_t skip_quiet(Samples<T> x, Samples<T> y, std::size_t i, std::size_t end) {
        if constexpr (has_fast_path) {
            // Room before i for three units of the longest kind and the
            // sample before them.
            if (i < 3 * longest_quiet_unit + 1 || end - i < quiet_block_width<T>) return i;
            if (x_runs_.last() != i - 1 || !final_.steady()) return i;
            const bool falling = final_.falling();
            const std::size_t a = x_runs_.first();
            if (x_runs_.count() != i - a || !is_unit(x, y, a, i - 1, falling)) return i;
            if (y_runs_.count() != 1 || y_runs_.last() != a - 1) return i;
            const std::size_t b = y_runs_.first();
            const FilteredPoint<T>& latest = final_.latest_point();
            if (latest.end_idx != b - 1 || !is_unit(x, y, b, a - 1, falling)) return i;
            const std::size_t c = latest.start_idx;
            if (!is_unit(x, y, c, b - 1, falling)) return i;
            if constexpr (x_chunked) {
                if (!x_stitch_.passes_through()) return i;
            }
            std::size_t limit = end;
            if constexpr (y_chunked) {
                // Stop before the x-point that starts the next y-chunk: the
                // skip hands on at most one x-point per sample after a.
                if (!y_stitch_.passes_through()) return i;
                const std::size_t room = next_y_start_ - x_points_;
                if (room < end - (a + 1)) limit = a + 1 + room;
                if (limit < i + quiet_block_width<T>) return i;
            }
            // (Both clearing the margin, in case a unit holds three copies.)
            if (!step_is_quiet(x[b - 1], y[b - 1], x[b], y[b], falling) || !step_clears_margin(y[b - 1], y[b]) ||
                !step_is_quiet(x[a - 1], y[a - 1], x[a], y[a], falling) || !step_clears_margin(y[a - 1], y[a])) {
                return i;
            }
            std::size_t repeats = 0;
            const std::size_t stop = skip_quiet_blocks(scans_, x, y, i, limit, falling, repeats);
            if (stop == i) return i;
            if (repeats == 0 && a == i - 1 && b == i - 2 && c == i - 3) {
                // Single samples throughout (most of a raster line).
                x_runs_.restart_with(x[stop - 1], y[stop - 1], 1, stop - 1, stop - 1);
                y_runs_.restart_with(y[stop - 2], x[stop - 2], 1, stop - 2, stop - 2);
                final_.pass_quiet_points({x[stop - 3], y[stop - 3], stop - 3, stop - 3}, stop - i);
                x_points_ += stop - i;
                return stop;
            }
            // The three units that end at stop - 1 take the places of U1-U3.
            const std::size_t a2 = unit_start(x, stop - 1);
            const std::size_t b2 = unit_start(x, a2 - 1);
            const std::size_t c2 = unit_start(x, b2 - 1);
            x_runs_.restart_with(x[a2], sum_of_y(y, a2, stop - 1), stop - a2, a2, stop - 1);
            y_runs_.restart_with(mean_of_y(y, b2, a2 - 1), x[b2], 1, b2, a2 - 1);
            // Units start where a sample's x does not repeat the one before's.
            const std::size_t all_repeats = x_repeats_in(x, c + 1, i) + repeats;
            const std::size_t points = (c2 - c) - (all_repeats - x_repeats_in(x, c2 + 1, stop));
            final_.pass_quiet_points({x[c2], mean_of_y(y, c2, b2 - 1), c2, b2 - 1}, points);
            x_points_ += (a2 - a) - (x_repeats_in(x, a + 1, i) + repeats - x_repeats_in(x, a2 + 1, stop));
            return stop;
        } else {
            (void)x, (void)y, (void)end;
            return i;
        }
    }

    // Where the x-run in progress is the lone sample i-1 and its y lies on
    // the anchor of the y-run in progress, each later sample whose x moves
    // away from the sample before it hands that sample on as an x-point that
    // joins the y-run, and nothing else happens: the x-point's x adds to the
    // run's sum.  Takes such samples in a tight loop, summing in order in T
    // as the y-run does (a hatch along x is one long y-run), up to the
    // x-point that starts the next y-chunk; returns where it stopped.
    std::size_t skip_y_run(Samples<T> x, Samples<T> y, std::size_t i, std::size_t end) {
        if constexpr (has_fast_path) {
            if (i == 0 || x_runs_.count() != 1 || x_runs_.first() != i - 1 || x_runs_.last() != i - 1) return i;
            if (y_runs_.count() == 0) return i;
            if constexpr (x_chunked) {
                if (!x_stitch_.passes_through()) return i;
            }
            std::size_t limit = end;
            if constexpr (y_chunked) {
                // Sample k hands on x-point number x_points_ + (k - i).
                const std::size_t room = next_y_start_ - x_points_;
                if (room < end - i) limit = i + room;
            }
            const T anchor = y_runs_.anchor();
            T sum = y_runs_.sum();
            std::size_t k = i;
            for (; k < limit; ++k) {
                const T before = x[k - 1];
                if (!(std::fabs(x[k] - before) >= coordinate_tolerance<T>) || !same_coordinate(y[k - 1], anchor)) break;
                sum += before;
            }
            const std::size_t joined = k - i;
            if (joined == 0) return i;
            y_runs_.grow_to(sum, y_runs_.count() + joined, k - 2);
            x_runs_.restart_with(x[k - 1], y[k - 1], 1, k - 1, k - 1);
            record_merges_from_here(joined);
            x_points_ += joined;
            return k;
        } else {
            (void)x, (void)y, (void)end;
            return i;
        }
    }

    // Pushes samples [begin, end) through the fused walk, and what it leaves
    // through the stages: the one sample it stopped at (a turn, a y-run that
    // grows), or a block where it cannot start.  With `settle` > 0, ends
    // `settle` samples after the first such sample instead; returns where it
    // ended.  Where the walk keeps stopping within a few samples of where it
    // started, the path turns densely, and the walk takes the turns itself
    // until they thin out (it then stops at them again: the walk that takes
    // them keeps fewer registers for its loop, and long x-runs run slower).
    std::size_t push_fused(Samples<T> x, Samples<T> y, std::size_t begin, std::size_t end, std::size_t settle) {
        std::size_t i = begin;
        while (i < end) {
            const std::size_t from = i;
            if (dense_turns_ && settle == 0) {
                std::size_t turns = 0;
                i = fused_walk<true>(x, y, i, end, turns);
                if (i - from >= dense_turn_spacing * (turns + 1)) dense_turns_ = false;
            } else {
                std::size_t turns = 0;
                i = fused_walk<false>(x, y, i, end, turns);
                short_stops_ = i != end && i - from < dense_turn_spacing ? short_stops_ + 1 : 0;
                if (short_stops_ >= 2) dense_turns_ = true;
            }
            if (i == end) break;
            const std::size_t count = i == from ? std::min(end - i, quiet_block_width<T>) : 1;
            x_runs_.push_samples(x, y, i, i + count);
            i += count;
            if (settle != 0) {
                end = i + std::min(end - i, settle);
                settle = 0;
            }
        }
        return end;
    }

    // Samples the fused walk takes past a turn (after a skip) before the
    // next attempt: enough for the three units an attempt needs.
    static constexpr std::size_t settle_after_stop = 3;

    // Turns closer than this, on average, count as dense.
    static constexpr std::size_t dense_turn_spacing = 4;
    bool dense_turns_ = false;
    std::size_t short_stops_ = 0;

    // The three stages fused into one loop for the common case: an x-run
    // grows, or ends with an x-point that starts a y-run of its own while
    // the y-point before it carries the detector's direction on or turns it.
    // Each step is the stages' own rule on the same values in the same
    // order; at anything else (an x-point that joins the y-run, a direction
    // that turns NaN, a y-chunk start, and any turn unless `through_turns`)
    // the loop stops before the sample that causes it and hands the state
    // back to the stages, which take that sample.  Counts the turns it takes
    // in `turns`.  Starts only where
    // the y-run in progress holds one x-point and the stitches pass points
    // straight on; returns where it stopped.
    // (Out of line: inlined into the whole pass, its loop lost registers to
    // the rest and ran 10% slower on long x-runs; it is called once per
    // stretch, not per sample.)
    template <bool through_turns>
    [[gnu::noinline]] std::size_t fused_walk(Samples<T> x, Samples<T> y, std::size_t i, std::size_t end,
                                             std::size_t& turns) {
        if constexpr (has_fast_path) {
            if (x_runs_.count() == 0 || x_runs_.last() + 1 != i || y_runs_.count() != 1 || !final_.steady()) {
                return i;
            }
            if constexpr (x_chunked) {
                if (!x_stitch_.passes_through()) return i;
            }
            if constexpr (y_chunked) {
                if (!y_stitch_.passes_through()) return i;
            }
            // The x-run in progress, the x-point of the y-run in progress,
            // and the detector's latest point and direction.
            T anchor = x_runs_.anchor();
            T sum = x_runs_.sum();
            std::size_t count = x_runs_.count();
            std::size_t first = x_runs_.first();
            FilteredPoint<T> held{y_runs_.sum(), y_runs_.anchor(), y_runs_.first(), y_runs_.last()};
            FilteredPoint<T> latest = final_.latest_point();
            T direction = final_.direction();
            std::size_t points = 0;
            std::size_t k = i;
            std::size_t x_points = x_points_;
            for (;;) {
                T turn_mean = T(0);
                T turn_next = T(0);
                bool turned = false;
                while (k < end) {
                    const T c = x[k];
                    if (same_coordinate(c, anchor)) [[unlikely]] {
                        // The x-run grows, in a loop of its own: an
                        // axis-parallel hatch is one long x-run.  (Entered
                        // once per x-run, so the samples that each end one
                        // keep the straight path.)
                        do {
                            sum += y[k];
                            ++count;
                            ++k;
                        } while (k < end && same_coordinate(x[k], anchor));
                        continue;
                    }
                    const T v = y[k];
                    // The x-run ends: its x-point must start a y-run of its
                    // own, and not be the first of a y-chunk.
                    const T mean = run_mean(sum, count);
                    if (same_coordinate(mean, held.y)) break;
                    if constexpr (y_chunked) {
                        if (x_points == next_y_start_) break;
                    }
                    // The held x-point leaves as a y-point; a turn leaves
                    // the loop.
                    const T next = direction_value(latest, held, direction);
                    if (signums_differ(next, direction)) [[unlikely]] {
                        turn_mean = mean;
                        turn_next = next;
                        turned = true;
                        break;
                    }
                    direction = next;
                    latest = held;
                    ++points;
                    held = {anchor, mean, first, k - 1};
                    ++x_points;
                    anchor = c;
                    sum = v;
                    count = 1;
                    first = k;
                    ++k;
                }
                // The path turns at the latest point: the detector records
                // the turn there and the walk takes the step and goes on (a
                // path that turns at every other sample stays here).  Out of
                // the loop above, whose state the call would otherwise have
                // kept in memory: that loop ran 1.5x slower on long x-runs.
                // A direction that turns NaN goes to the stages.
                if constexpr (!through_turns) {
                    (void)turned, (void)turn_mean, (void)turn_next, (void)turns;
                    break;
                } else {
                    if (!turned || std::isnan(turn_next)) break;
                    final_.record_turn_at(latest, turn_next);
                    ++turns;
                }
                direction = turn_next;
                latest = held;
                ++points;
                held = {anchor, turn_mean, first, k - 1};
                ++x_points;
                anchor = x[k];
                sum = y[k];
                count = 1;
                first = k;
                ++k;
            }
            x_points_ = x_points;
            if (k == i) return i;
            x_runs_.restart_with(anchor, sum, count, first, k - 1);
            y_runs_.restart_with(held.y, held.x, 1, held.start_idx, held.end_idx);
            final_.pass_points(latest, direction, points);
            return k;
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
        if (y_runs_.push(p)) record_merges_from_here(1);
        ++x_points_;
    }

    // Notes that the next `count` x-points (from number x_points_ on) join
    // the y-run before them, as spans of consecutive numbers.
    void record_merges_from_here(std::size_t count) {
        if (merges_ == nullptr) return;
        if (!merges_->empty() && merges_->back().end == x_points_) {
            merges_->back().end += count;
        } else {
            merges_->push_back({x_points_, x_points_ + count});
        }
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
