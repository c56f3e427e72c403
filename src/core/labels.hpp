// Scanline id assignment: walks the turning points in path order, accepts the
// raster reversals and labels the samples between consecutive boundaries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "chunk_plan.hpp"
#include "records.hpp"
#include "turning_points.hpp"
#include "worker_pool.hpp"

namespace rastermark {

// Strict comparisons: a NaN distance never rejects.
template <class T>
bool is_candidate(T d_same, T d_line, T threshold) {
    return !(d_same > threshold) && !(T(0.5) * d_same > d_line);
}

template <class T>
std::size_t midpoint_sample(const KeptTurn<T>& turn) {
    return turn.start_idx + (turn.end_idx - turn.start_idx) / 2;
}

// Ids never wrap: an id past the int32 range would need over 2^31 turning
// points, and saturating keeps even that case free of undefined behaviour.
// The walk counts ids in 64 bits and saturates as it hands them out, which
// is the same as saturating at each step.
inline std::int32_t saturated_id(std::size_t id) {
    constexpr auto largest = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(std::min(id, largest));
}

// Where the label walk stands before a turn: the next id, whether a
// scanline is open (the turn before was accepted) and where it goes on.
struct ScanlineState {
    std::size_t id = 1;
    bool open = false;
    std::size_t cursor = 0;
};

// Turn X (list position 1 or later; turn 0 is never judged) is accepted
// where it is a candidate and the legs into it or out of it reverse (the
// list judged the legs into each); `next` is null past the last.
template <class T>
bool accepts(std::size_t X, const KeptTurn<T>& turn, const KeptTurn<T>* next, T threshold) {
    if (!is_candidate(turn.d_same, turn.d_line, threshold)) return false;
    return (X >= 2 && turn.reverses_back) || (next != nullptr && next->reverses_back);
}

// Judges the turns at list positions [first, last) in order from `state`,
// handing `emit(from, stop, id)` the stretches of samples [from, stop) that
// get an id (each after the one before, none empty, all within n samples);
// returns the state after them.  The walk reads turns first - 1 to last.
template <class T, class Emit>
ScanlineState judge_turns(std::size_t n, const TurningPointList<T>& turns, T threshold, std::size_t first,
                          std::size_t last, ScanlineState state, Emit&& emit) {
    // Samples [from, end] inclusive, clipped to the array.
    auto stretch = [&](std::size_t from, std::size_t end, std::size_t id) {
        if (from > end || from >= n) return;
        emit(from, std::min(end + 1, n), saturated_id(id));
    };
    auto judge = [&](std::size_t X, const KeptTurn<T>& previous, const KeptTurn<T>& turn, const KeptTurn<T>* next) {
        if (accepts(X, turn, next, threshold)) {
            const std::size_t mid = midpoint_sample(turn);
            const std::size_t from = state.open ? state.cursor : previous.end_idx + 1;
            stretch(from, mid, state.id);
            state.cursor = mid + 1;
            ++state.id;
            state.open = true;
        } else if (state.open) {
            if (state.cursor < turn.start_idx) stretch(state.cursor, turn.start_idx - 1, state.id);
            ++state.id;
            state.open = false;
        }
    };
    first = std::max<std::size_t>(first, 1);
    if (first >= last) return state;
    // Turns X-1 and X as the walk reaches X + 1.
    KeptTurn<T> previous{};
    KeptTurn<T> turn{};
    std::size_t at = first - 1;  // the position of the turn being read
    const std::size_t stop = std::min(last + 1, turns.size());
    turns.for_each_in_range(first - 1, stop, [&](const KeptTurn<T>& next) {
        if (at > first) judge(at - 1, previous, turn, &next);
        previous = turn;
        turn = next;
        ++at;
    });
    // The last turn of the list has none after it.
    if (last == turns.size() && at > first) judge(at - 1, previous, turn, nullptr);
    return state;
}

// Hands `emit(from, stop, id)` the stretches of samples [from, stop) that
// get an id, in path order (each after the one before, none empty, all
// within n samples); every other sample belongs to no scanline.
template <class T, class Emit>
void for_each_scanline(std::size_t n, const TurningPointList<T>& turns, T threshold, Emit&& emit) {
    judge_turns(n, turns, threshold, 1, turns.size(), ScanlineState{}, emit);
}

// The state before list position p as far as it follows from the turns
// around it (the id aside): a scanline is open where turn p - 1 was
// accepted, and goes on past its midpoint.
template <class T>
ScanlineState state_before(const TurningPointList<T>& turns, T threshold, std::size_t p, std::size_t id) {
    ScanlineState state;
    state.id = id;
    if (p < 2 || p > turns.size()) return state;
    const KeptTurn<T> turn = turns[p - 1];
    const KeptTurn<T> next = p < turns.size() ? turns[p] : KeptTurn<T>{};
    if (accepts(p - 1, turn, p < turns.size() ? &next : nullptr, threshold)) {
        state.open = true;
        state.cursor = midpoint_sample(turn) + 1;
    }
    return state;
}

struct LabelledStretch {
    std::size_t from;
    std::size_t stop;
    std::int32_t id;
};

inline void fill_range(std::span<std::int32_t> labels, std::size_t from, std::size_t stop, std::int32_t id) {
    std::fill(labels.begin() + static_cast<std::ptrdiff_t>(from), labels.begin() + static_cast<std::ptrdiff_t>(stop), id);
}

// Fills labels [begin, end) from stretches in path order: -1 in the gaps.
inline void fill_labels(std::span<std::int32_t> labels, std::size_t begin, std::size_t end,
                        const LabelledStretch* first, const LabelledStretch* last) {
    auto fill = [&](std::size_t from, std::size_t stop, std::int32_t id) { fill_range(labels, from, stop, id); };
    std::size_t written = begin;
    for (; first != last && first->from < end; ++first) {
        const std::size_t from = std::max(first->from, begin);
        const std::size_t stop = std::min(first->stop, end);
        if (from >= stop) continue;
        fill(written, from, -1);
        fill(from, stop, first->id);
        written = stop;
    }
    fill(written, end, -1);
}

// From this many samples on (and with two or more workers) the label array
// is filled in one range per worker: below it a thread's start costs more
// than the fill.
inline constexpr std::size_t parallel_fill_threshold = 500000;

// From this many turns on, the workers also judge the turns: the walk in
// path order would otherwise take longer than the pass that found them.
inline constexpr std::size_t parallel_judge_turns = std::size_t{1} << 18;

// The labels with the turns judged in one part per worker.  Part p holds
// list positions [P_p, P_p+1); what it writes starts at S_p, one past the
// midpoint of turn P_p - 1 (0 for the first): every stretch a turn before
// P_p hands out ends at or before that midpoint, every one from P_p on
// starts after it.  The state before P_p follows from turn P_p - 1 and the
// one after it, all but the id: the parts first count the ids they hand
// out, and the sums before each part give its first.
template <class T>
void assign_scanline_ids_in_parts(std::span<std::int32_t> labels, const TurningPointList<T>& turns, T threshold,
                                  std::size_t parts) {
    const std::size_t n = labels.size();
    const std::size_t count = turns.size();
    std::vector<std::size_t> first(parts + 1), ids(parts, 0), write_from(parts + 1, n);
    for (std::size_t p = 0; p <= parts; ++p) first[p] = count * p / parts;
    worker_pool::run_indexed(parts, [&](std::size_t p) {
        const ScanlineState start = state_before(turns, threshold, first[p], 0);
        ids[p] = judge_turns(n, turns, threshold, first[p], first[p + 1], start,
                             [](std::size_t, std::size_t, std::int32_t) {})
                     .id;
    });
    write_from[0] = 0;
    for (std::size_t p = 1; p < parts; ++p) {
        write_from[p] = first[p] >= 1 ? std::min(midpoint_sample(turns[first[p] - 1]) + 1, n) : 0;
    }
    std::size_t next_first_id = 1;
    for (std::size_t p = 0; p < parts; ++p) {
        const std::size_t counted = ids[p];
        ids[p] = next_first_id;
        next_first_id += counted;
    }
    worker_pool::run_indexed(parts, [&](std::size_t p) {
        std::size_t written = write_from[p];
        judge_turns(n, turns, threshold, first[p], first[p + 1], state_before(turns, threshold, first[p], ids[p]),
                    [&](std::size_t from, std::size_t stop, std::int32_t label) {
                        fill_range(labels, written, from, -1);
                        fill_range(labels, from, stop, label);
                        written = stop;
                    });
        fill_range(labels, written, std::max(written, write_from[p + 1]), -1);
    });
}

// Fills `labels` (one entry per sample) with the scanline ids, -1 where a
// sample belongs to no scanline.  Every entry is written exactly once, in
// order: the stretches that get an id follow each other in path order, so
// the gaps before them are filled with -1 on the way.  With two or more
// workers and parallel_fill_threshold samples or more, the array is
// cut into one range per worker and the ranges are filled at once, and
// from parallel_judge_turns turns on the workers judge the turns too.
template <class T>
void assign_scanline_ids(std::span<std::int32_t> labels, const TurningPointList<T>& turns, T threshold,
                         std::size_t workers = 1) {
    const std::size_t n = labels.size();
    if (workers < 2 || n < parallel_fill_threshold) {
        std::size_t written = 0;
        for_each_scanline(n, turns, threshold, [&](std::size_t from, std::size_t stop, std::int32_t id) {
            fill_range(labels, written, from, -1);
            fill_range(labels, from, stop, id);
            written = stop;
        });
        fill_range(labels, written, n, -1);
        return;
    }
    if (turns.size() >= parallel_judge_turns) {
        assign_scanline_ids_in_parts(labels, turns, threshold, workers);
        return;
    }
    std::vector<LabelledStretch> stretches;
    for_each_scanline(n, turns, threshold, [&](std::size_t from, std::size_t stop, std::int32_t id) {
        stretches.push_back({from, stop, id});
    });
    const ChunkPlan ranges = make_chunk_plan(n, workers);
    worker_pool::run_indexed(ranges.size(), [&](std::size_t r) {
        const IndexRange range = ranges[r];
        // The first stretch that reaches into the range.
        const LabelledStretch* first = std::upper_bound(
            stretches.data(), stretches.data() + stretches.size(), range.start,
            [](std::size_t v, const LabelledStretch& s) { return v < s.stop; });
        fill_labels(labels, range.start, range.end, first, stretches.data() + stretches.size());
    });
}

}  // namespace rastermark
