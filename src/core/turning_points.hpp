// Turning-point detection: the vertices of the collapsed path where its
// direction in y reverses, each with its two squared distances.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "element_traits.hpp"
#include "records.hpp"
#include "turn_list.hpp"

namespace rastermark {

template <class T>
using TurningPointList = TurnList<T>;

// Only the sign of a segment's direction matters (its value is dy / |dx|);
// a segment degenerate in x or in y carries the previous direction on.
// Where dy is finite and |dx| is not huge the quotient is a non-zero number
// with the sign of dy, so +-1 stands in for it and no division is done; the
// quotient itself is computed only where it may be NaN, +-0 or infinite.
template <class T>
[[gnu::always_inline]] inline T direction_value(const FilteredPoint<T>& a, const FilteredPoint<T>& b, T carried) {
    if (same_coordinate(a.x, b.x) || same_coordinate(a.y, b.y)) return carried;
    const T dy = b.y - a.y;
    const T dx = b.x - a.x;
    if (std::isfinite(dy) && std::fabs(dx) <= largest_plain_difference<T>) return std::copysign(T(1), dy);
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

// The record of a turn at point `a`: its
// squared distances to the latest turn of its own set (set_a where the path
// falls after it) and to the line through the latest turns of both sets.
template <class T>
TurningPoint<T> make_turn(const FilteredPoint<T>& a, bool falls, const TurningPoint<T>& latest_a,
                          const TurningPoint<T>& latest_b) {
    const T d_line = squared_line_distance(a.x, a.y, latest_a, latest_b);
    const TurningPoint<T>& latest = falls ? latest_a : latest_b;
    const T dy = latest.y - a.y;
    const T dx = latest.x - a.x;
    return {dy * dy + dx * dx, d_line, a.x, a.y, a.start_idx, a.end_idx};
}

// The latest turn of each set and the records of set_a so far (its seed
// counts as one), as the walk and the join of its segments keep them.
template <class T>
struct LatestTurns {
    TurningPoint<T> a{};
    TurningPoint<T> b{};
    std::size_t a_records = 1;

    // Files a turn under its set; whether the result keeps it (all but the
    // first turn of set_a).
    bool file(const TurningPoint<T>& turn, bool falls) {
        if (falls) {
            a = turn;
            return a_records++ > 1;
        }
        b = turn;
        return true;
    }
};

// Finds the turning points of a stream of collapsed points, one point at a
// time.  The turns fall into two sets: set_a, the turns after which the path
// falls, and set_b, all others; each set starts with a seed record of the
// first point.  Only the latest record of each set is ever looked at during
// the walk, and the result drops both seeds and the first turn of set_a, so
// the turns are kept in one list in path order (no sort needed) and the
// dropped records live only in the two `latest` slots.
template <class T>
class TurningPointDetector {
public:
    // (Always inlined into the y-collapse that calls it once per point:
    // GCC otherwise leaves it out of line for float32.)
    [[gnu::always_inline]] inline void operator()(const FilteredPoint<T>& b) {
        if (seen_ >= 2) {
            const T next = direction_value(previous_point_, b, previous_);
            if (signums_differ(next, previous_)) record_turn(next);
            previous_ = next;
        } else if (seen_ == 1) {
            // The first segment counts as rising when it is degenerate.
            previous_ = direction_value(previous_point_, b, T(1));
            const FilteredPoint<T>& p0 = previous_point_;
            latest_.a = latest_.b = {T(0), T(0), p0.x, p0.y, p0.start_idx, p0.end_idx};
        }
        previous_point_ = b;
        ++seen_;
    }

    TurningPointList<T> finish() { return std::move(turns_); }

    // Whether the walk has passed its first segment and the carried
    // direction has a sign (is not NaN); the latest point it has seen.
    bool steady() const { return seen_ >= 2 && !std::isnan(previous_); }
    const FilteredPoint<T>& latest_point() const { return previous_point_; }
    bool falling() const { return std::signbit(previous_); }

    // Takes `count` points that turn nothing, `last` the latest of them:
    // every one of them would have carried the direction on as +-1.
    void pass_quiet_points(const FilteredPoint<T>& last, std::size_t count) {
        pass_points(last, falling() ? T(-1) : T(1), count);
    }

    // Takes `count` points that turn nothing, `last` the latest of them and
    // `direction` the direction it carries on.
    void pass_points(const FilteredPoint<T>& last, T direction, std::size_t count) {
        previous_ = direction;
        previous_point_ = last;
        seen_ += count;
    }
    T direction() const { return previous_; }

    // Records the turn of a walk that keeps its latest point and direction
    // itself (and hands them back through pass_points): the path turns at
    // `vertex`, its latest point, and goes on in direction `next`.
    void record_turn_at(const FilteredPoint<T>& vertex, T next) {
        previous_point_ = vertex;
        record_turn(next);
    }

    // -- walking one segment of the path (see turning_points_in_segments) --

    // Resumes the walk inside the path, where its latest point is `latest`
    // (the `seen`-th point minus one), and the carried direction is
    // `direction`, but the latest turns are not known.  Until a turn of each
    // set has been seen, the turns found are recorded as pending: their
    // distances are recomputed once the turns before the segment are known.
    // No turn is dropped here; the caller applies the rule on set_a's first.
    void resume(const FilteredPoint<T>& latest, std::size_t seen, T direction) {
        seen_ = seen;
        previous_point_ = latest;
        previous_ = direction;
        latest_.a_records = 2;
        resumed_ = true;
    }

    // Whether each pending turn (the first ones recorded) falls.
    const std::vector<bool>& pending_falls() const { return pending_falls_; }
    // The first turns recorded in full: the pending ones and the two after
    // them (as many as there are), whose legs may reach back across the
    // segment's start once the join has dropped a pending one.
    const std::vector<TurningPoint<T>>& leading_turns() const { return leading_; }
    bool has_seen_a() const { return !resumed_ || knows_a_; }
    bool has_seen_b() const { return !resumed_ || knows_b_; }
    const LatestTurns<T>& latest() const { return latest_; }

private:
    // Kept out of line: turns are rare next to the points that pass through.
    [[gnu::noinline]] void record_turn(T next) {
        const bool falls = next < T(0);
        const TurningPoint<T> turn = make_turn(previous_point_, falls, latest_.a, latest_.b);
        if (resumed_) [[unlikely]] {
            if (!(knows_a_ && knows_b_)) {
                pending_falls_.push_back(falls);
                (falls ? knows_a_ : knows_b_) = true;
            }
            if (leading_.size() < pending_falls_.size() + 2) leading_.push_back(turn);
        }
        if (latest_.file(turn, falls)) turns_.push_back(turn);
    }

    std::size_t seen_ = 0;
    FilteredPoint<T> previous_point_{};
    T previous_{};
    LatestTurns<T> latest_;
    TurningPointList<T> turns_;
    bool resumed_ = false;
    bool knows_a_ = false;
    bool knows_b_ = false;
    std::vector<bool> pending_falls_;
    std::vector<TurningPoint<T>> leading_;
};

}  // namespace rastermark
