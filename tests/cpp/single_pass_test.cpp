#include <limits>
#include <random>

#include "single_pass.hpp"
#include "test_support.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

// The collapse stage functions composed as separate steps, each returning its list.
template <class T>
PointList<T> stepwise_points(Samples<T> x, Samples<T> y, std::size_t workers) {
    const PointList<T> xs = workers >= 2 && x.size() >= parallel_x_threshold ? collapse_x_parallel(x, y, workers)
                                                                             : collapse_x(x, y);
    return workers >= 2 && xs.size() >= parallel_y_threshold ? collapse_y_parallel(xs, workers) : collapse_y(xs);
}

template <class T>
PointList<T> single_pass_points(Samples<T> x, Samples<T> y, std::size_t workers) {
    PointList<T> out;
    CollectPoints<T> collect{out};
    for_each_collapsed_point(x, y, workers, collect);
    return out;
}

template <class T>
void expect_identical(const PointList<T>& a, const PointList<T>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].start_idx, b[i].start_idx) << i;
        ASSERT_EQ(a[i].end_idx, b[i].end_idx) << i;
        ASSERT_TRUE(same_bits(a[i].x, b[i].x) && same_bits(a[i].y, b[i].y)) << i;
    }
}

template <class T>
void expect_identical(const TurningPointList<T>& a, const TurningPointList<T>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].index, b[i].index);
        EXPECT_EQ(a[i].start_idx, b[i].start_idx);
        EXPECT_EQ(a[i].end_idx, b[i].end_idx);
        EXPECT_TRUE(same_bits(a[i].x, b[i].x) && same_bits(a[i].y, b[i].y)) << i;
        EXPECT_TRUE(same_bits(a[i].d_same, b[i].d_same) && same_bits(a[i].d_line, b[i].d_line)) << i;
    }
}

// Inputs that stress the chunked rules: values below 1 that differ by less
// than epsilon without being equal (so restarted anchors group differently),
// dwell runs, NaN and infinities, and a long run across a seam.
template <class T>
void tricky_samples(std::size_t n, unsigned seed, std::vector<T>& xs, std::vector<T>& ys) {
    std::mt19937 rng(seed);
    const T eps = std::numeric_limits<T>::epsilon();
    const T near[] = {T(0), T(0.6) * eps, T(-0.6) * eps, T(0.3) * eps, T(1.2) * eps};
    xs.resize(n);
    ys.resize(n);
    T x = T(0), yv = T(0);
    for (std::size_t i = 0; i < n; ++i) {
        switch (rng() % 16) {
            case 0: x = near[rng() % 5]; break;
            case 1: x = std::numeric_limits<T>::quiet_NaN(); break;
            case 2: x = std::numeric_limits<T>::infinity(); break;
            case 3: case 4: case 5: break;  // dwell: same x again
            default: x = static_cast<T>(static_cast<int>(rng() % 200)) * T(0.25); break;
        }
        if (rng() % 3 == 0) yv = static_cast<T>(static_cast<int>(rng() % 7)) + near[rng() % 5];
        xs[i] = x;
        ys[i] = yv;
    }
    // A run of one x across the seams of the two-chunk plan.
    for (std::size_t i = n / 2 - 1000; i < n / 2 + 1000; ++i) xs[i] = T(0.5);
    // At every seam of the three- and seven-chunk plans, a near-tie that the
    // restarted anchor groups differently: serially 0, 0, 0.6 eps | 1.2 eps;
    // chunked the 0.6 eps anchor takes 1.2 eps along and merges into 0.
    for (std::size_t workers : {3u, 7u}) {
        const ChunkPlan plan = make_chunk_plan(n, workers);
        for (std::size_t c = 1; c < plan.size(); ++c) {
            const std::size_t s = plan[c].start;
            if (s < 2 || s + 2 > n) continue;
            xs[s - 2] = xs[s - 1] = T(0);
            xs[s] = T(0.6) * eps;
            xs[s + 1] = T(1.2) * eps;
        }
    }
}

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
class SinglePassTest : public ::testing::Test {};
TYPED_TEST_SUITE(SinglePassTest, ElementTypes);

TYPED_TEST(SinglePassTest, MatchesTheStagesComposedStepByStep) {
    using T = TypeParam;
    // Sizes on both sides of both thresholds; 260000 samples give more than
    // 250000 x-points with a serial collapse_x.
    for (std::size_t n : {1u, 2u, 3u, 5000u, 260000u, 499999u, 500000u, 700000u}) {
        std::vector<T> xs, ys;
        tricky_samples<T>(std::max<std::size_t>(n, 4000), static_cast<unsigned>(n), xs, ys);
        xs.resize(n);
        ys.resize(n);
        const Samples<T> x(xs), y(ys);
        for (std::size_t workers : {1u, 2u, 3u, 7u}) {
            SCOPED_TRACE(::testing::Message() << "n " << n << " workers " << workers);
            const PointList<T> stepwise = stepwise_points(x, y, workers);
            expect_identical(single_pass_points(x, y, workers), stepwise);
            expect_identical(turning_points_in_one_pass(x, y, workers), find_turning_points(stepwise));
        }
        if (n == 700000) {
            // The inputs are tricky enough that chunking changes the points.
            const PointList<T> serial = stepwise_points(x, y, 1);
            const PointList<T> chunked = stepwise_points(x, y, 3);
            bool differ = serial.size() != chunked.size();
            for (std::size_t i = 0; !differ && i < serial.size(); ++i) {
                differ = !same_bits(serial[i].x, chunked[i].x) || serial[i].end_idx != chunked[i].end_idx;
            }
            EXPECT_TRUE(differ);
            // And chunking collapse_y weights its seams differently.
            const PointList<T> xs1 = collapse_x(x, y);
            EXPECT_NE(collapse_y(xs1), collapse_y_parallel(xs1, 3));
        }
    }
}

TYPED_TEST(SinglePassTest, StitchTestsOnlyWhereMergesCanHappen) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    tricky_samples<T>(300000, 9, xs, ys);
    const Samples<T> x(xs), y(ys);
    const PointList<T> x_points = collapse_x(x, y);
    for (std::size_t workers : {2u, 3u, 7u, 50u}) {
        std::vector<PointList<T>> x_chunks, y_chunks;
        for (const ChunkRange& r : make_chunk_plan(xs.size(), workers)) x_chunks.push_back(collapse_x_chunk(x, y, r.start, r.end));
        for (const ChunkRange& r : make_chunk_plan(x_points.size(), workers)) {
            y_chunks.push_back(collapse_y_chunk(x_points, r.start, r.end));
        }
        const PointList<T> want_x = literal_stitch<T, Axis::x>(x_chunks);
        const PointList<T> want_y = literal_stitch<T, Axis::y>(y_chunks);
        expect_identical(stitch_chunks<T, Axis::x>(x_chunks), want_x);
        expect_identical(stitch_chunks<T, Axis::y>(y_chunks), want_y);
    }
}

TYPED_TEST(SinglePassTest, CountsTheStitchedXPoints) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    std::vector<T> xs, ys;
    tricky_samples<T>(600000, 5, xs, ys);
    // Alternating +-0.6 eps after a seam: every run there merges into the
    // point before the seam (x 0), however long the prefix.
    const ChunkPlan plan = make_chunk_plan(xs.size(), 3);
    for (std::size_t i = plan[1].start - 10; i < plan[1].start + 5000; ++i) {
        xs[i] = i < plan[1].start ? T(0) : (i % 2 ? T(0.6) * eps : T(-0.6) * eps);
    }
    const Samples<T> x(xs), y(ys);
    for (std::size_t workers : {2u, 3u, 7u}) {
        const ChunkPlan p = make_chunk_plan(xs.size(), workers);
        EXPECT_EQ(count_x_points_parallel(x, p), collapse_x_parallel(x, y, workers).size()) << workers;
    }
    EXPECT_EQ(count_x_runs(x, 0, xs.size()).runs, collapse_x(x, y).size());
}

}  // namespace
}  // namespace rastermark
