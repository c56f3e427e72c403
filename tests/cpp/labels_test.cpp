#include <cmath>
#include <numbers>
#include <random>
#include <span>

#include "labels.hpp"
#include "threshold.hpp"
#include "test_support.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

template <class T>
class Labels : public ::testing::Test {};
TYPED_TEST_SUITE(Labels, ElementTypes);

LabelArray stretches(std::size_t n, std::initializer_list<std::tuple<int, std::size_t, std::size_t>> parts) {
    LabelArray out(n, -1);
    for (auto [id, first, last] : parts) {
        for (std::size_t i = first; i <= last; ++i) out[i] = id;
    }
    return out;
}

template <class T>
LabelArray annotate(const std::vector<T>& xs, const std::vector<T>& ys) {
    auto result = annotate_scanlines<T>({xs.data(), xs.size(), 1}, {ys.data(), ys.size(), 1});
    return std::get<LabelArray>(result);
}

TYPED_TEST(Labels, SixLineZigzagEndToEnd) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    zigzag(6, xs, ys);
    EXPECT_EQ(annotate(xs, ys), stretches(35, {{1, 12, 17}, {2, 18, 23}, {3, 24, 29}}));
}

TYPED_TEST(Labels, ZigzagWithAJumpEndToEnd) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    zigzag(10, xs, ys, 5);
    ASSERT_EQ(xs.size(), 59u);
    EXPECT_EQ(annotate(xs, ys), stretches(59, {{1, 12, 17}, {2, 18, 23}, {3, 24, 29}, {4, 30, 34},
                                               {5, 42, 47}, {6, 48, 53}}));
}

template <class T>
Leg<T> at_angle(double degrees) {
    const double r = degrees * std::numbers::pi / 180;
    return {static_cast<T>(std::cos(r)), static_cast<T>(std::sin(r))};
}

TYPED_TEST(Labels, ReversalNeedsMoreThan150Degrees) {
    using T = TypeParam;
    const Leg<T> u{T(1), T(0)};
    EXPECT_TRUE(is_reversal(u, at_angle<T>(160)));
    EXPECT_TRUE(is_reversal(u, at_angle<T>(180)));
    EXPECT_FALSE(is_reversal(u, at_angle<T>(140)));
    EXPECT_FALSE(is_reversal(u, at_angle<T>(90)));
    EXPECT_FALSE(is_reversal(u, Leg<T>{std::numeric_limits<T>::quiet_NaN(), T(0)}));
}

TYPED_TEST(Labels, CandidateBoundsAreInclusive) {
    using T = TypeParam;
    EXPECT_TRUE(is_candidate(T(4), T(2), T(4)));  // d_same == t, 0.5 d_same == d_line
    EXPECT_FALSE(is_candidate(T(4), T(2), T(3.9)));
    EXPECT_FALSE(is_candidate(T(4), T(1.9), T(4)));
    // A NaN distance never rejects.
    EXPECT_TRUE(is_candidate(std::numeric_limits<T>::quiet_NaN(), T(1.9), T(4)));
    EXPECT_TRUE(is_candidate(T(4), std::numeric_limits<T>::quiet_NaN(), T(4)));
}

template <class T>
TurningPoint<T> rec(double x, double y, std::size_t start, std::size_t end, double d_same = 1,
                    double d_line = 1) {
    return {static_cast<T>(d_same), static_cast<T>(d_line), static_cast<T>(x), static_cast<T>(y), start, end};
}

TYPED_TEST(Labels, FewerThanThreeRecordsLabelNothing) {
    using T = TypeParam;
    EXPECT_EQ(assign_scanline_ids<T>(5, {}, T(1)), LabelArray(5, -1));
    EXPECT_EQ(assign_scanline_ids<T>(5, {rec<T>(0, 0, 1, 1)}, T(1)), LabelArray(5, -1));
    EXPECT_EQ(assign_scanline_ids<T>(5, {rec<T>(0, 0, 1, 1), rec<T>(1, 5, 3, 3)}, T(100)), LabelArray(5, -1));
}

TYPED_TEST(Labels, MultiSampleTurnSplitsAtItsMidpoint) {
    using T = TypeParam;
    // Turns alternate between y = 0 and y = 5; the second covers 40..43.
    TurningPointList<T> turns{rec<T>(0, 0, 10, 10), rec<T>(1, 5, 40, 43), rec<T>(2, 0, 60, 60),
                              rec<T>(3, 5, 80, 80)};
    auto labels = assign_scanline_ids<T>(100, turns, T(100));
    EXPECT_EQ(labels, stretches(100, {{1, 11, 41}, {2, 42, 60}, {3, 61, 80}}));
}

TYPED_TEST(Labels, RejectedTurnAtTheCursorStillAdvancesTheId) {
    using T = TypeParam;
    // Record 2 is accepted (mid 20, cursor 21); record 3 starts at 21 and is
    // rejected by its d_same: it labels nothing but closes the scanline.
    TurningPointList<T> turns{rec<T>(0, 0, 10, 10), rec<T>(1, 5, 20, 20), rec<T>(2, 0, 21, 21, 1e9),
                              rec<T>(3, 5, 30, 30), rec<T>(4, 0, 40, 40)};
    auto labels = assign_scanline_ids<T>(50, turns, T(100));
    EXPECT_EQ(labels, stretches(50, {{1, 11, 20}, {3, 22, 30}, {4, 31, 40}}));
}

}  // namespace
}  // namespace rastermark

namespace rastermark {
namespace {

// The turns judged in parts on the pool give the labels of the walk in
// path order: random layers whose turns are dense, sparse and rejected in
// runs, cut into every number of parts (more parts than turns included).
TEST(ParallelLabelFill, TurnsJudgedInPartsMatchThePathOrder) {
    std::mt19937_64 random(21);
    int labelled_rounds = 0;
    for (int round = 0; round < 30; ++round) {
        std::vector<double> xs, ys;
        const std::size_t n = 200 + random() % 3000;
        double x = 0, y = 0;
        for (std::size_t i = 0; i < n; ++i) {
            // Steps that mostly reverse in y, some that dwell, a few jumps.
            const unsigned kind = static_cast<unsigned>(random() % 10);
            if (kind < 6) {
                y = (random() % 2 == 0 ? -1.0 : 1.0) * static_cast<double>(1 + random() % 5);
                x += 0.5;
            } else if (kind < 8) {
                x += 0.25;
            } else if (kind == 8) {
                x += static_cast<double>(random() % 100);
                y += static_cast<double>(random() % 100);
            }
            xs.push_back(x);
            ys.push_back(y);
        }
        const TurningPointList<double> turns =
            find_turning_points(collapse_y(collapse_x(Samples<double>(xs), Samples<double>(ys))));
        const double threshold = round % 3 == 0 ? 1.0 : turn_distance_threshold(turns);
        const LabelArray ordered = assign_scanline_ids(xs.size(), turns, threshold);
        if (*std::max_element(ordered.begin(), ordered.end()) > 10) ++labelled_rounds;
        for (std::size_t parts = 1; parts <= 9; ++parts) {
            LabelArray filled(xs.size(), 12345);
            assign_scanline_ids_in_parts(std::span<std::int32_t>(filled.data(), filled.size()), turns, threshold,
                                         parts);
            ASSERT_EQ(filled, ordered) << "round " << round << ", " << parts << " parts, " << turns.size() << " turns";
        }
    }
    EXPECT_GE(labelled_rounds, 25);
}

// The labels filled range by range on the pool are the ones filled in one
// ordered sweep, for rasters whose lines and gaps straddle the ranges (the
// last with turns enough to be judged in parts).
TEST(ParallelLabelFill, MatchesTheOrderedFill) {
    for (int shift_after : {-1, 60000, 119000, 150000}) {
        std::vector<double> xs, ys;
        zigzag(shift_after == 150000 ? 160000 : 120000, xs, ys, shift_after);
        const TurningPointList<double> turns = find_turning_points(collapse_y(collapse_x(
            Samples<double>(xs), Samples<double>(ys))));
        const double threshold = turn_distance_threshold(turns);
        const LabelArray ordered = assign_scanline_ids(xs.size(), turns, threshold);
        ASSERT_GT(*std::max_element(ordered.begin(), ordered.end()), 1);
        for (std::size_t workers : {2, 3, 7}) {
            LabelArray filled(xs.size(), 12345);
            assign_scanline_ids(std::span<std::int32_t>(filled.data(), filled.size()), turns, threshold, workers);
            EXPECT_EQ(filled, ordered) << "jump after line " << shift_after << ", " << workers << " workers";
        }
    }
}

}  // namespace
}  // namespace rastermark
