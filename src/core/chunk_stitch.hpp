// The chunk stitch of the parallel collapse: chunk results are joined in
// chunk order, a point merging into the joined list's last point when the
// two share the compared coordinate.  A streaming stage, so that the single
// pass applies the chunked rules as it goes.
#pragma once

#include <cstddef>

#include "collapse.hpp"
#include "element_traits.hpp"
#include "records.hpp"

namespace rastermark {

// Sample-span-weighted mean of two partial runs, computed in 64-bit floats
// and rounded once to T (a no-op for 64-bit T).
template <class T>
T span_weighted_mean(T a, std::size_t span_a, T b, std::size_t span_b) {
    const double wa = static_cast<double>(span_a);
    const double wb = static_cast<double>(span_b);
    return static_cast<T>((static_cast<double>(a) * wa + static_cast<double>(b) * wb) / (wa + wb));
}

// Inside a chunk, consecutive runs never share the compared coordinate
// (each run starts where the coordinate leaves its predecessor's anchor),
// so merges can only happen at the start of a chunk, while its points still
// fall on the last point of the chunks before.  The stitcher therefore
// holds back only each chunk's last point, tests only the leading points of
// the next chunk, and hands every other point straight on.  The caller
// marks the structure: start_chunk() before a chunk's first point,
// hold_next() before its last one, finish() at the end.
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

}  // namespace rastermark
