#include <vector>

#include "chunk_stitch.hpp"
#include "stage_by_stage.hpp"
#include "test_support.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

// The stitch as first written: every point tested against the output's last.
template <class T, Axis axis>
PointList<T> literal_stitch(const std::vector<PointList<T>>& chunks) {
    PointList<T> out;
    for (const PointList<T>& chunk : chunks) {
        for (const FilteredPoint<T>& p : chunk) {
            if (!out.empty() && same_coordinate(compared_of<axis>(p), compared_of<axis>(out.back()))) {
                FilteredPoint<T>& last = out.back();
                set_averaged<axis>(last, span_weighted_mean(averaged_of<axis>(p), p.end_idx - p.start_idx + 1,
                                                            averaged_of<axis>(last), last.end_idx - last.start_idx + 1));
                last.end_idx = p.end_idx;
            } else {
                out.push_back(p);
            }
        }
    }
    return out;
}

template <class T>
class ChunkStitchTest : public ::testing::Test {};
TYPED_TEST_SUITE(ChunkStitchTest, ElementTypes);

TYPED_TEST(ChunkStitchTest, StitchTestsOnlyWhereMergesCanHappen) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    tricky_samples<T>(300000, 9, xs, ys);
    const Samples<T> x(xs), y(ys);
    const PointList<T> x_points = collapse_x(x, y);
    for (std::size_t workers : {2u, 3u, 7u, 50u}) {
        std::vector<PointList<T>> x_chunks, y_chunks;
        for (const IndexRange& r : make_chunk_plan(xs.size(), workers)) x_chunks.push_back(collapse_x_range(x, y, r.start, r.end));
        for (const IndexRange& r : make_chunk_plan(x_points.size(), workers)) {
            y_chunks.push_back(collapse_y_range(x_points, r.start, r.end));
        }
        const PointList<T> want_x = literal_stitch<T, Axis::x>(x_chunks);
        const PointList<T> want_y = literal_stitch<T, Axis::y>(y_chunks);
        expect_same_points(stitch_chunks<T, Axis::x>(x_chunks), want_x);
        expect_same_points(stitch_chunks<T, Axis::y>(y_chunks), want_y);
    }
}

}  // namespace
}  // namespace rastermark
