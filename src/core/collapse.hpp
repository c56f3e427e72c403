// Serial collapse of repeated coordinates: collapse_x merges runs of
// consecutive samples sharing x, collapse_y merges runs of consecutive points
// sharing y.  Both are one streaming stage, RunCollapser, which the driver
// chains with the later stages in a single pass (single_pass.hpp);
// stage_by_stage.hpp has the list-returning form.
#pragma once

#include <cstddef>

#include "element_traits.hpp"
#include "records.hpp"

namespace rastermark {

enum class Axis { x, y };

// The coordinate that decides a run, and the one that is averaged.
template <Axis compared_axis, class T>
T compared_of(const FilteredPoint<T>& p) {
    return compared_axis == Axis::x ? p.x : p.y;
}

template <Axis compared_axis, class T>
T averaged_of(const FilteredPoint<T>& p) {
    return compared_axis == Axis::x ? p.y : p.x;
}

template <Axis compared_axis, class T>
void set_averaged(FilteredPoint<T>& p, T value) {
    (compared_axis == Axis::x ? p.y : p.x) = value;
}

template <class T, Axis compared_axis>
FilteredPoint<T> make_point(T anchor, T mean, std::size_t first, std::size_t last) {
    if constexpr (compared_axis == Axis::x) {
        return {anchor, mean, first, last};
    } else {
        return {mean, anchor, first, last};
    }
}

// The mean a run hands on: its in-order sum divided once by the count
// converted to T; a run of one keeps its value without a division (v / 1
// is v exactly).  The one place for the rule the fast paths replay.
template <class T>
T run_mean(T sum, std::size_t count) {
    return count == 1 ? sum : sum / static_cast<T>(count);
}

// Merges consecutive items whose compared coordinate is the same as the run's
// first member (the anchor, never the previous member) and hands each run to
// `sink` as a FilteredPoint.  The averaged coordinate is summed strictly in
// order in T and divided once by the count converted to T; a run of one
// keeps its value without a division (v / 1 is v exactly).
template <class T, Axis compared_axis, class Sink>
class RunCollapser {
public:
    explicit RunCollapser(Sink& sink) : sink_(sink) {}

    // Returns whether the item joined the run in progress.
    bool push(T compared, T averaged, std::size_t first, std::size_t last) {
        if (count_ != 0 && same_coordinate(compared, anchor_)) {
            sum_ += averaged;
            ++count_;
            last_ = last;
            return true;
        }
        flush();
        anchor_ = compared;
        sum_ = averaged;
        count_ = 1;
        first_ = first;
        last_ = last;
        return false;
    }

    bool push(const FilteredPoint<T>& p) {
        return push(compared_of<compared_axis>(p), averaged_of<compared_axis>(p), p.start_idx, p.end_idx);
    }

    // Pushes samples [begin, end) of x and y, x being the compared
    // coordinate.  The same rule as push(), with the run kept in locals so
    // that the loop over the samples stays in registers.
    void push_samples(Samples<T> xs, Samples<T> ys, std::size_t begin, std::size_t end) {
        static_assert(compared_axis == Axis::x);
        if (begin == end) return;
        T anchor = anchor_;
        T sum = sum_;
        std::size_t count = count_;
        std::size_t first = first_;
        for (std::size_t i = begin; i < end; ++i) {
            const T c = xs[i];
            const T v = ys[i];
            if (count != 0 && same_coordinate(c, anchor)) {
                sum += v;
                ++count;
                continue;
            }
            if (count != 0) emit(anchor, sum, count, first, i - 1);
            anchor = c;
            sum = v;
            count = 1;
            first = i;
        }
        anchor_ = anchor;
        sum_ = sum;
        count_ = count;
        first_ = first;
        last_ = end - 1;
    }

    // The run in progress: its items, and the samples [first(), last()] it
    // covers (nothing when count() is 0).
    std::size_t count() const { return count_; }
    std::size_t first() const { return first_; }
    std::size_t last() const { return last_; }
    T anchor() const { return anchor_; }
    T sum() const { return sum_; }

    // Takes the run in progress to `count` items ending at sample `last`,
    // their averaged coordinates summing to `sum`: what push() would have
    // left after items that all joined it.
    void grow_to(T sum, std::size_t count, std::size_t last) {
        sum_ = sum;
        count_ = count;
        last_ = last;
    }

    // Replaces the run in progress by `count` items with anchor `compared`,
    // averaged coordinates summing (in order, in T) to `sum`, covering
    // samples [first, last]: the state the single pass's fast path computes
    // for samples this stage would only have passed on.
    void restart_with(T compared, T sum, std::size_t count, std::size_t first, std::size_t last) {
        anchor_ = compared;
        sum_ = sum;
        count_ = count;
        first_ = first;
        last_ = last;
    }

    // Ends the run in progress (at the end of the input or of a chunk).
    void flush() {
        if (count_ == 0) return;
        emit(anchor_, sum_, count_, first_, last_);
        count_ = 0;
    }

private:
    // Out of line, so that the later stages inlined into it do not crowd the
    // sample loop's registers (the running sum would otherwise be spilled).
    [[gnu::noinline]] void emit(T anchor, T sum, std::size_t count, std::size_t first, std::size_t last) {
        const T mean = run_mean(sum, count);
        sink_(make_point<T, compared_axis>(anchor, mean, first, last));
    }

    Sink& sink_;
    T anchor_{};
    T sum_{};
    std::size_t count_ = 0;
    std::size_t first_ = 0;
    std::size_t last_ = 0;
};

}  // namespace rastermark
