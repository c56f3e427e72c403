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
inline std::int32_t next_id(std::int32_t id) {
    return id < std::numeric_limits<std::int32_t>::max() ? id + 1 : id;
}

// Hands `emit(from, stop, id)` the stretches of samples [from, stop) that
// get an id, in path order (each after the one before, none empty, all
// within n samples); every other sample belongs to no scanline.
template <class T, class Emit>
void for_each_scanline(std::size_t n, const TurningPointList<T>& turns, T threshold, Emit&& emit) {
    // Samples [from, last] inclusive, clipped to the array.
    auto stretch = [&](std::size_t from, std::size_t last, std::int32_t id) {
        if (from > last || from >= n) return;
        emit(from, std::min(last + 1, n), id);
    };
    std::size_t cursor = 0;
    std::int32_t current_id = 1;
    bool open = false;
    // Turn X is judged with the one before it and the one after it (none
    // past the last): it is accepted where it is a candidate and the legs
    // into it or out of it reverse (the list judged the legs into each).
    auto judge = [&](std::size_t X, const KeptTurn<T>& previous, const KeptTurn<T>& turn, const KeptTurn<T>* next) {
        bool accepted = false;
        if (is_candidate(turn.d_same, turn.d_line, threshold)) {
            const bool back = X >= 2 && turn.reverses_back;
            const bool ahead = next != nullptr && next->reverses_back;
            accepted = back || ahead;
        }
        if (accepted) {
            const std::size_t mid = midpoint_sample(turn);
            const std::size_t from = open ? cursor : previous.end_idx + 1;
            stretch(from, mid, current_id);
            cursor = mid + 1;
            current_id = next_id(current_id);
            open = true;
        } else if (open) {
            if (cursor < turn.start_idx) stretch(cursor, turn.start_idx - 1, current_id);
            current_id = next_id(current_id);
            open = false;
        }
    };
    KeptTurn<T> previous{};
    KeptTurn<T> turn{};
    std::size_t count = 0;
    turns.for_each([&](const KeptTurn<T>& next) {
        if (count >= 2) judge(count - 1, previous, turn, &next);
        previous = turn;
        turn = next;
        ++count;
    });
    if (count >= 2) judge(count - 1, previous, turn, nullptr);
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

// Fills `labels` (one entry per sample) with the scanline ids, -1 where a
// sample belongs to no scanline.  Every entry is written exactly once, in
// order: the stretches that get an id follow each other in path order, so
// the gaps before them are filled with -1 on the way.  With two or more
// workers and parallel_fill_threshold samples or more, the array is
// cut into one range per worker and the ranges are filled at once.
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
