#include <atomic>
#include <cstddef>
#include <limits>
#include <random>
#include <thread>

#include "stage_by_stage.hpp"
#include "test_support.hpp"
#include "worker_pool.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

template <class T>
class ParallelCollapse : public ::testing::Test {};
TYPED_TEST_SUITE(ParallelCollapse, ElementTypes);

// Integer-valued raster: runs of equal x of random length, so parallel and
// serial results agree exactly.
template <class T>
void raster(std::size_t n, std::vector<T>& xs, std::vector<T>& ys, unsigned seed) {
    std::mt19937 rng(seed);
    xs.resize(n);
    ys.resize(n);
    int x = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (rng() % 4 == 0) x = static_cast<int>(rng() % 50);
        xs[i] = static_cast<T>(x);
        ys[i] = static_cast<T>(static_cast<int>(rng() % 8));
    }
}

TYPED_TEST(ParallelCollapse, AgreesWithSerialOnOrdinaryData) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    raster<T>(60000, xs, ys, 7);
    const Samples<T> x(xs), y(ys);
    const PointList<T> serial_x = collapse_x(x, y);
    const PointList<T> serial_y = collapse_y(serial_x);
    for (std::size_t workers : {1u, 2u, 3u, 7u, 64u}) {
        const PointList<T> px = collapse_x_parallel(x, y, workers);
        ASSERT_EQ(px.size(), serial_x.size()) << workers;
        for (std::size_t i = 0; i < px.size(); ++i) {
            EXPECT_EQ(px[i].start_idx, serial_x[i].start_idx);
            EXPECT_EQ(px[i].end_idx, serial_x[i].end_idx);
            EXPECT_EQ(px[i].x, serial_x[i].x);
            EXPECT_NEAR(px[i].y, serial_x[i].y, 1e-4);
        }
        const PointList<T> py = collapse_y_parallel(serial_x, workers);
        ASSERT_EQ(py.size(), serial_y.size()) << workers;
        for (std::size_t i = 0; i < py.size(); ++i) {
            EXPECT_EQ(py[i].start_idx, serial_y[i].start_idx);
            EXPECT_EQ(py[i].end_idx, serial_y[i].end_idx);
            EXPECT_EQ(py[i].y, serial_y[i].y);
        }
        // Deterministic: the same again, bit for bit.
        EXPECT_EQ(collapse_x_parallel(x, y, workers), px);
    }
}

TYPED_TEST(ParallelCollapse, NoNeighboursShareXGivesEveryPoint) {
    using T = TypeParam;
    std::vector<T> xs(1000), ys(1000);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        xs[i] = static_cast<T>(i % 2);
        ys[i] = static_cast<T>(i);
    }
    EXPECT_EQ(collapse_x_parallel(Samples<T>(xs), Samples<T>(ys), 7), collapse_x(Samples<T>(xs), Samples<T>(ys)));
}

TYPED_TEST(ParallelCollapse, RunSpanningWholeChunksBecomesOnePoint) {
    using T = TypeParam;
    std::vector<T> xs(500000, T(3)), ys(500000, T(2));
    const PointList<T> out = collapse_x_parallel(Samples<T>(xs), Samples<T>(ys), 2);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], pt<T>(3, 2, 0, 499999));
    const PointList<T> out7 = collapse_x_parallel(Samples<T>(xs), Samples<T>(ys), 7);
    EXPECT_EQ(out7, out);
}

TYPED_TEST(ParallelCollapse, RunAcrossOneSeamAveragesAllSamples) {
    using T = TypeParam;
    // Two chunks of 5: samples 3..6 share x; y values 0, 1, 2, 5.
    auto xs = values<T>({0, 1, 2, 9, 9, 9, 9, 4, 5, 6});
    auto ys = values<T>({0, 0, 0, 0, 1, 2, 5, 0, 0, 0});
    const PointList<T> out = collapse_x_parallel(Samples<T>(xs), Samples<T>(ys), 2);
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[3], pt<T>(9, 2, 3, 6));
}

TYPED_TEST(ParallelCollapse, WeightedMergeOfYRunsAcrossASeam) {
    using T = TypeParam;
    // P (x 0, one sample) | Q (x 10, three samples), both at y = 4.
    PointList<T> points{pt<T>(0, 4, 0, 0), pt<T>(10, 4, 1, 3)};
    EXPECT_EQ(collapse_y(points), (PointList<T>{pt<T>(5, 4, 0, 3)}));
    EXPECT_EQ(collapse_y_parallel(points, 2), (PointList<T>{pt<T>(7.5, 4, 0, 3)}));
}

TEST(ParallelCollapseFloat32, MergeIsComputedInDoubleAndRoundedOnce) {
    // For these values (a*1 + b*2) / 3 in double, rounded once, differs from
    // the same expression evaluated in float32 steps.
    const float a = 0.3031948208808899f, b = 0.45349788665771484f;
    ASSERT_NE((b * 2.0f + a) / 3.0f,
              static_cast<float>((static_cast<double>(b) * 2 + static_cast<double>(a)) / 3));
    PointList<float> points{{a, 1.0f, 0, 0}, {b, 1.0f, 1, 2}};
    const float want = static_cast<float>((static_cast<double>(b) * 2 + static_cast<double>(a)) / 3);
    const PointList<float> out = collapse_y_parallel(points, 2);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].x, want);
}

TYPED_TEST(ParallelCollapse, NaNAndInfinityAtAChunkStartNeverMerge) {
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    const T nan = std::numeric_limits<T>::quiet_NaN();
    for (T special : {inf, nan}) {
        std::vector<T> xs{T(0), T(1), special, special, special, T(5)};
        std::vector<T> ys(6, T(1));
        const PointList<T> out = collapse_x_parallel(Samples<T>(xs), Samples<T>(ys), 2);
        EXPECT_EQ(out.size(), 6u);
    }
}

TYPED_TEST(ParallelCollapse, ChunkRestartsItsAnchorBelowMagnitudeOne) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    // Serially 0.75 eps joins the anchor 0 and 1.5 eps does not; with a seam
    // before 1.5 eps, the second chunk anchors there and is merged into the
    // first chunk's point only if |1.5 eps - 0| < eps: it is not.
    std::vector<T> xs{T(0), T(0.75) * eps, T(1.5) * eps, T(1.5) * eps};
    std::vector<T> ys(4, T(1));
    EXPECT_EQ(collapse_x(Samples<T>(xs), Samples<T>(ys)).size(), 2u);
    EXPECT_EQ(collapse_x_parallel(Samples<T>(xs), Samples<T>(ys), 2).size(), 2u);
    // A seam after 0.75 eps: chunk two anchors at 1.5 eps; 0.75 eps ... the
    // stitch compares 1.5 eps with the output's last point (x 0): no merge.
    std::vector<T> zs{T(0), T(0.75) * eps, T(0.75) * eps, T(1.5) * eps};
    const PointList<T> out = collapse_x_parallel(Samples<T>(zs), Samples<T>(ys), 2);
    // Chunk two: 0.75 eps anchors, 1.5 eps is within eps of it and joins; the
    // stitch merges that run into x 0 (0.75 eps from it): one point, unlike
    // the serial two.
    EXPECT_EQ(collapse_x(Samples<T>(zs), Samples<T>(ys)).size(), 2u);
    EXPECT_EQ(out.size(), 1u);
}

TEST(ParallelCollapse, ManyCallersAtOnce) {
    std::vector<std::jthread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            std::vector<double> xs, ys;
            raster<double>(20000 + 1000 * static_cast<std::size_t>(t), xs, ys, static_cast<unsigned>(t));
            const auto serial = collapse_x(Samples<double>(xs), Samples<double>(ys));
            for (int rep = 0; rep < 20; ++rep) {
                auto px = collapse_x_parallel(Samples<double>(xs), Samples<double>(ys), 3);
                if (px.size() != serial.size()) ++wrong;
            }
        });
    }
    callers.clear();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace rastermark
