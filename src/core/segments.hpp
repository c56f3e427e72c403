// The pass in segments: where collapse_x is chunked (two or more workers,
// parallel_x_threshold samples or more), the single pass is cut into one
// segment per worker, the segments are walked at once on the pool, and
// their turns are joined in order.  The result is the serial chunked pass's,
// bit for bit, because of four facts:
//
//  1. Six samples fix the state.  Where x moves by at least 4 tolerances at
//     each of samples b-5 .. b-1 and y at each of b-4 .. b-1, each of those
//     samples starts an x-run (and b-4 .. b-1 a y-run) that nothing before
//     can join: an anchor that could still take a sample lies within two
//     tolerances of the sample before it (a run's members are within one of
//     its anchor; a stitched point's anchor within one of a run's).  So
//     before sample b the x-run in progress is sample b-1 alone, the y-run
//     sample b-2, the detector's latest point sample b-3, and its carried
//     direction the sign of y[b-3] - y[b-4] (segment_start_is_exact).
//  2. The x-stitch is idle there: no x-chunk seam lies in or just after the
//     window (start_guard), so the stitch holds nothing and merges nothing
//     that a walk starting at b would need.
//  3. Turns before b matter only through the latest turn of each set (both
//     distances of a turn are taken to them), through the rule that drops
//     set_a's first turn, and through the legs into the first turns after
//     b.  A walk records its first turns of each set as pending; the join
//     recomputes them from the segments before and judges those legs.
//  4. A y-chunk start matters only at an x-point that joins the y-run
//     before it.  Elsewhere that x-point starts a y-run anyway, and the
//     stitch only passes the run before it on later.  So the walks first run
//     with collapse_y unchunked, counting their x-points and noting which of
//     them join; once the y-chunks are known, only the segments in which a
//     y-chunk starts at such an x-point are walked again.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "chunk_plan.hpp"
#include "element_traits.hpp"
#include "records.hpp"
#include "simd/block_scans.hpp"
#include "single_pass.hpp"
#include "turning_points.hpp"
#include "worker_pool.hpp"

namespace rastermark {

// Fact 1: whether the stages' state before sample b follows from samples
// b-6 .. b-1 alone, whatever came before; the segment from b-4 to b-3 must
// also have a plain direction (dy finite, |dx| not huge), so that the
// carried direction is its sign.
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

// Fact 2: a segment may start at b only where no x-chunk seam lies in
// [b - start_guard, b + 1].  A seam at c makes the stitch hold the x-point
// that ends at c - 1 and test the x-points from c on; with the seam at
// b - 9 or before, that is over before the window b-6 .. b-1, whose runs
// cannot merge (fact 1).  A seam at b or b + 1 would need the held point,
// which resume() does not set.  Both bounds leave a sample of slack.
inline constexpr std::size_t start_guard = 8;

// Segment starts near each of n / segments, 2 n / segments, ...: the first
// sample from there on, within a search window of n / (4 segments), whose
// start is exact and that no x-chunk seam is near.  Fewer segments where
// the window holds no such sample (the layer is then walked in fewer parts).
template <class T>
ChunkPlan plan_segments(Samples<T> x, Samples<T> y, const ChunkPlan& x_plan, std::size_t segments) {
    const std::size_t n = x.size();
    const std::size_t window = n / (4 * segments);
    ChunkPlan plan;
    std::size_t begin = 0;
    for (std::size_t s = 1; s < segments; ++s) {
        // The search starts past the x-chunk seam where one falls near here.
        const std::size_t target = n / segments * s + 2 * start_guard;
        for (std::size_t b = std::max(target, begin + start_guard); b < target + window; ++b) {
            const bool near_seam = std::any_of(x_plan.begin(), x_plan.end(), [&](const IndexRange& c) {
                return c.start + start_guard >= b && c.start <= b + 1;
            });
            if (!near_seam && segment_start_is_exact(x, y, b)) {
                plan.push_back({begin, b});
                begin = b;
                break;
            }
        }
    }
    plan.push_back({begin, n});
    return plan;
}

// A resumed walk's detector counts its latest point (sample b-3) as its
// second point seen, so that it turns from the next one on as a detector
// that has seen the whole path would.
inline constexpr std::size_t resumed_seen = 2;

// What the walks of a pass share.
template <class T>
struct SegmentedInput {
    Samples<T> x;
    Samples<T> y;
    ChunkPlan x_plan;
    ChunkPlan segments;
    const simd::BlockScans& scans;
};

// What one segment's walk leaves: its turns (the pending ones first), its
// detector (for the latest turns and the count of points), the x-points it
// handed on, and which of those joined the y-run before them (numbered
// from 0 at the segment's first x-point on a first walk, fact 4).
template <class T>
struct SegmentWalk {
    TurningPointDetector<T> detector;
    TurningPointList<T> turns;
    std::size_t x_points = 0;
    XPointSpans merges;
};

// Walks segment s with the y-chunks of `y_plan` (none: collapse_y not
// chunked).  `x_points_before` numbers the segment's x-points against the
// y-plan: 0 on a first walk, the x-points of the segments before on a
// walk again.
template <class T>
SegmentWalk<T> walk_segment(const SegmentedInput<T>& input, std::size_t s, const ChunkPlan& y_plan,
                            std::size_t x_points_before) {
    SegmentWalk<T> walk;
    const IndexRange& segment = input.segments[s];
    const bool last = s + 1 == input.segments.size();
    auto run = [&](auto& pass) {
        if (s > 0) pass.resume(input.x, input.y, segment.start, x_points_before, resumed_seen);
        pass.record_merges(walk.merges);
        pass.run_segment(input.x, input.y, input.x_plan, segment.start, segment.end, last);
        walk.x_points = pass.x_points() - x_points_before;
    };
    if (y_plan.empty()) {
        SinglePass<T, true, false, TurningPointDetector<T>> pass(y_plan, walk.detector, input.scans);
        run(pass);
    } else {
        SinglePass<T, true, true, TurningPointDetector<T>> pass(y_plan, walk.detector, input.scans);
        run(pass);
    }
    walk.turns = walk.detector.finish();
    return walk;
}

// Fact 3: joins the segments' turns in order.  Each resumed segment
// computed its pending turns without the turns before it, and judged the
// legs of its first turns without the turns before it: the join drops the
// segment's leading turns (the pending ones and the two after them) and
// appends them itself, the pending ones recomputed from the latest turns of
// the segments before (set_a's first dropped), so that the list judges
// their legs across the seam.  The legs of every later turn lie within the
// segment.
template <class T>
TurningPointList<T> join_segments(std::vector<SegmentWalk<T>>& walks) {
    TurningPointList<T> out = std::move(walks[0].turns);
    LatestTurns<T> latest = walks[0].detector.latest();
    for (std::size_t s = 1; s < walks.size(); ++s) {
        SegmentWalk<T>& walk = walks[s];
        const std::vector<TurningPoint<T>>& leading = walk.detector.leading_turns();
        const std::vector<bool>& pending = walk.detector.pending_falls();
        walk.turns.drop_front(leading.size());
        for (std::size_t k = 0; k < leading.size(); ++k) {
            TurningPoint<T> turn = leading[k];
            if (k < pending.size()) {
                const bool falls = pending[k];
                turn = make_turn(FilteredPoint<T>{turn.x, turn.y, turn.start_idx, turn.end_idx}, falls, latest.a,
                                 latest.b);
                if (!latest.file(turn, falls)) continue;
            }
            out.push_back(turn);
        }
        out.splice(std::move(walk.turns));
        if (walk.detector.has_seen_a()) latest.a = walk.detector.latest().a;
        if (walk.detector.has_seen_b()) latest.b = walk.detector.latest().b;
    }
    return out;
}

// Whether the x-point numbered `local` in `merges` joined the y-run before it.
inline bool joins_run_before(const XPointSpans& merges, std::size_t local) {
    const auto span = std::upper_bound(merges.begin(), merges.end(), local,
                                       [](std::size_t v, const XPointSpan& r) { return v < r.end; });
    return span != merges.end() && span->first <= local;
}

// Segments per worker.  More than one, because a segment in which a
// y-chunk starts at an x-point that joins the y-run before it is walked
// twice (fact 4): on a layer of long y-runs (hatches along x) that is every
// segment with a y-chunk start, and with one segment per worker the second
// walks would take as long as the first.  With four, they take a quarter of
// that; the pool hands the segments out to the workers as they come free.
inline constexpr std::size_t segments_per_worker = 4;

// The turning points of an input whose collapse_x is chunked, its segments
// walked on the pool at once (facts 1-4).
template <class T>
TurningPointList<T> turning_points_in_segments(Samples<T> x, Samples<T> y, std::size_t workers,
                                               const simd::BlockScans& scans = simd::chosen()) {
    ChunkPlan x_plan = make_chunk_plan(x.size(), workers);
    ChunkPlan segments = plan_segments(x, y, x_plan, segments_per_worker * workers);
    const SegmentedInput<T> input{x, y, std::move(x_plan), std::move(segments), scans};
    const std::size_t count = input.segments.size();
    std::vector<SegmentWalk<T>> walks(count);
    worker_pool::run_indexed(count, [&](std::size_t s) { walks[s] = walk_segment(input, s, ChunkPlan{}, 0); });
    // The x-points handed on before each segment.
    std::vector<std::size_t> before(count, 0);
    for (std::size_t s = 1; s < count; ++s) before[s] = before[s - 1] + walks[s - 1].x_points;
    const std::size_t x_points = before[count - 1] + walks[count - 1].x_points;
    if (x_points >= parallel_y_threshold) {
        const ChunkPlan y_plan = make_chunk_plan(x_points, workers);
        std::vector<std::size_t> again;
        for (std::size_t c = 1; c < y_plan.size(); ++c) {
            const std::size_t start = y_plan[c].start;
            const std::size_t s =
                static_cast<std::size_t>(std::upper_bound(before.begin(), before.end(), start) - before.begin()) - 1;
            if (joins_run_before(walks[s].merges, start - before[s]) && (again.empty() || again.back() != s)) {
                again.push_back(s);
            }
        }
        worker_pool::run_indexed(again.size(), [&](std::size_t k) {
            const std::size_t s = again[k];
            walks[s] = walk_segment(input, s, y_plan, before[s]);
        });
    }
    return join_segments(walks);
}

// The turning points of the single pass, in segments where collapse_x is
// chunked and in one walk otherwise.
template <class T>
TurningPointList<T> turning_points_in_one_pass(Samples<T> x, Samples<T> y, std::size_t workers,
                                               const simd::BlockScans& scans = simd::chosen()) {
    if (workers >= 2 && x.size() >= parallel_x_threshold) return turning_points_in_segments(x, y, workers, scans);
    return turning_points_in_one_walk(x, y, workers, scans);
}

}  // namespace rastermark
