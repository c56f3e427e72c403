#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "segments.hpp"
#include "single_pass.hpp"
#include "stage_by_stage.hpp"
#include "test_support.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

template <class T>
PointList<T> stepwise_points(Samples<T> x, Samples<T> y, std::size_t workers) {
    return collapse_both(x, y, workers);
}

template <class T>
PointList<T> single_pass_points(Samples<T> x, Samples<T> y, std::size_t workers) {
    PointList<T> out;
    CollectPoints<T> collect{out};
    for_each_collapsed_point(x, y, workers, collect);
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
            // The points themselves where the pass runs in one walk.
            if (workers < 2 || n < parallel_x_threshold) expect_same_points(single_pass_points(x, y, workers), stepwise);
            expect_same_turns(turning_points_in_one_pass(x, y, workers), find_turning_points(stepwise), "turns");
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

// The whole pass with the fast path gives the per-sample machine's turning
// points bit for bit, with every event at every position of the first lines.
TYPED_TEST(SinglePassTest, FastPathMatchesTheStagesAroundEveryEvent) {
    using T = TypeParam;
    for (const auto& [name, plant] : events<T>()) {
        for (std::size_t p = 2; p < 120; ++p) {
            std::vector<T> xs, ys;
            serpentine(6, 37, xs, ys);
            plant(xs, ys, p);
            expect_pass_matches_stages(xs, ys, 1, name + " at " + std::to_string(p));
            if (this->HasFatalFailure()) return;
        }
    }
}

TYPED_TEST(SinglePassTest, FastPathMatchesTheStagesOnRandomEvents) {
    using T = TypeParam;
    const auto kinds = events<T>();
    for (unsigned seed = 0; seed < 200; ++seed) {
        std::mt19937 rng(seed);
        std::vector<T> xs, ys;
        serpentine(8, 29 + static_cast<int>(seed % 40), xs, ys);
        const std::size_t planted = 1 + seed % 6;
        for (std::size_t e = 0; e < planted; ++e) {
            const auto& [name, plant] = kinds[rng() % kinds.size()];
            plant(xs, ys, 2 + rng() % (xs.size() - 2));
        }
        expect_pass_matches_stages(xs, ys, 1, "seed " + std::to_string(seed));
        if (this->HasFatalFailure()) return;
    }
}

// Short lines of every length from 3 to 40 samples, some with noise along
// x and y: the fast path takes up the skips soon after each turn (and half
// blocks before it), and the pass still gives the stages' turns.
TYPED_TEST(SinglePassTest, ShortLinesOfEveryLengthMatchTheStages) {
    using T = TypeParam;
    std::mt19937 rng(31);
    std::normal_distribution<double> noise(0.0, 0.004);
    std::vector<T> xs, ys;
    double x = 0.0;
    for (int line = 0; line < 6000; ++line) {
        const int length = 3 + line % 38;
        const bool noisy = line % 5 == 0;
        for (int k = 0; k < length; ++k) {
            x += 0.002;
            const double along = 0.1 * (line % 2 == 0 ? k : length - 1 - k);
            xs.push_back(static_cast<T>(x + (noisy ? 0.02 * noise(rng) : 0.0)));
            ys.push_back(static_cast<T>(along + (noisy ? noise(rng) : 0.0)));
        }
    }
    for (std::size_t workers : {1, 2, 3}) expect_pass_matches_stages(xs, ys, workers, "short lines");
}

// Turns at random, so that the fused walk takes them one after another,
// between clean lines and with directions it leaves to the stages
// (dense_turns); long enough to be walked in segments.
TYPED_TEST(SinglePassTest, DenseTurnsMatchTheStages) {
    std::vector<TypeParam> xs, ys;
    dense_turns(1400, 41, xs, ys);
    for (std::size_t workers : {1, 2, 3}) expect_pass_matches_stages(xs, ys, workers, "dense turns");
}

// A raster from a controller that samples faster than it updates: runs of
// one to nine copies of each sample, so that the fast path skips units of
// one to six samples and leaves longer runs to the per-sample machine.
TYPED_TEST(SinglePassTest, OversampledRasterMatchesTheStages) {
    using T = TypeParam;
    std::vector<T> line_x, line_y;
    serpentine(30, 20000, line_x, line_y);
    std::mt19937 rng(17);
    std::vector<T> xs, ys;
    for (std::size_t k = 0; k < line_x.size(); ++k) {
        const unsigned r = rng() % 12;
        const std::size_t copies = r < 6 ? 1 : r < 9 ? 2 : r < 11 ? 3 : 4 + rng() % 6;
        for (std::size_t c = 0; c < copies; ++c) xs.push_back(line_x[k]), ys.push_back(line_y[k]);
    }
    for (std::size_t workers : {1, 2, 3}) expect_pass_matches_stages(xs, ys, workers, "oversampled");
    // The block scan goes through copies: from a plain stretch it passes
    // blocks that hold pairs, triples and runs of six, and stops at seven.
    std::vector<T> px, py;
    serpentine(1, 200, px, py);
    for (std::size_t k = 40; k < 200; k += 3) px[k] = px[k - 1], py[k] = py[k - 1];
    for (std::size_t k = 100; k < 200; k += 7) px[k + 1] = px[k], py[k + 1] = py[k];
    for (std::size_t k = 150; k < 155; ++k) px[k] = px[k - 1], py[k] = py[k - 1];  // six of sample 149
    constexpr std::size_t start = longest_quiet_unit;
    for (const simd::BlockScans* scans : simd::runnable()) {
        std::size_t repeats = 0;
        const std::size_t stop =
            skip_quiet_blocks(*scans, Samples<T>(px), Samples<T>(py), start, 200, false, repeats);
        EXPECT_EQ(stop, start + (200 - start) / quiet_block_width<T> * quiet_block_width<T>) << scans->name;
        EXPECT_GT(repeats, 50u) << scans->name;
    }
    px[155] = px[154], py[155] = py[154];  // seven
    // The scan stops at the block that holds the seventh copy, or half way
    // into it when the copy lies in its second half.
    constexpr std::size_t w = quiet_block_width<T>;
    const std::size_t holding = start + (155 - start) / w * w;
    for (const simd::BlockScans* scans : simd::runnable()) {
        std::size_t repeats = 0;
        const std::size_t stop =
            skip_quiet_blocks(*scans, Samples<T>(px), Samples<T>(py), start, 200, false, repeats);
        EXPECT_EQ(stop, holding + (155 - holding >= w / 2 ? w / 2 : 0)) << scans->name;
    }
}

// A layer as an encoder reports it: hatches steeper than one grid step per
// sample give x-pairs (x repeats once while y moves on), and a controller
// that samples faster than it updates adds copies.  The pass matches the
// stages for one, two and three workers, and on a line without copies the
// block scan goes through the x-pairs.
TYPED_TEST(SinglePassTest, QuantisedRasterMatchesTheStages) {
    using T = TypeParam;
    const double pi = std::acos(-1.0);
    std::mt19937 rng(23);
    for (double angle : {85.0, 89.0, 60.0}) {
        const double c = std::cos(angle * pi / 180), s = std::sin(angle * pi / 180);
        auto on_grid = [](double v) { return static_cast<T>(std::round(v / 0.001) * 0.001); };
        std::vector<T> xs, ys;
        for (int line = 0; line < 70; ++line) {
            for (int k = 0; k < 8000; ++k) {
                const double along = 0.01 * (line % 2 == 0 ? k : 7999 - k);
                const T x = on_grid(10.0 + along * c + 0.1 * line * s);
                const T y = on_grid(20.0 + along * s - 0.1 * line * c);
                const std::size_t copies = line == 0 ? 1 : rng() % 4 != 0 ? 1 : 2 + rng() % 6;
                for (std::size_t k2 = 0; k2 < copies; ++k2) xs.push_back(x), ys.push_back(y);
            }
        }
        for (std::size_t workers : {1, 2, 3}) {
            expect_pass_matches_stages(xs, ys, workers, "quantised at " + std::to_string(angle));
            if (this->HasFatalFailure()) return;
        }
        // The first line, 8000 samples without copies, rising (at 89 degrees
        // x stays for about six samples: those x-runs are the per-sample
        // machine's).
        if (angle == 89.0) continue;
        constexpr std::size_t start = longest_quiet_unit;
        for (const simd::BlockScans* scans : simd::runnable()) {
            std::size_t repeats = 0;
            const std::size_t stop =
                skip_quiet_blocks(*scans, Samples<T>(xs), Samples<T>(ys), start, 8000, false, repeats);
            EXPECT_EQ(stop, start + (8000 - start) / quiet_block_width<T> * quiet_block_width<T>)
                << angle << ", " << scans->name;
        }
    }
}

}  // namespace
}  // namespace rastermark
