#include <limits>
#include <random>

#include "test_support.hpp"
#include "threshold.hpp"
#include "turning_points.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

template <class T>
class TurningPoints : public ::testing::Test {};
TYPED_TEST_SUITE(TurningPoints, ElementTypes);

template <class T>
PointList<T> path(std::initializer_list<std::pair<double, double>> xy) {
    PointList<T> out;
    std::size_t i = 0;
    for (auto [x, y] : xy) {
        out.push_back(pt<T>(x, y, i, i));
        ++i;
    }
    return out;
}

// The first samples of the turns (on the paths here, each point is one
// sample, so these are the points' positions too).
template <class T>
std::vector<std::size_t> indices(const TurningPointList<T>& turns) {
    std::vector<std::size_t> out;
    for (const auto& t : turns) out.push_back(t.start_idx);
    return out;
}

TYPED_TEST(TurningPoints, ShortPathsHaveNone) {
    using T = TypeParam;
    EXPECT_TRUE(find_turning_points(PointList<T>{}).empty());
    EXPECT_TRUE(find_turning_points(path<T>({{0, 0}})).empty());
    EXPECT_TRUE(find_turning_points(path<T>({{0, 0}, {1, 5}})).empty());
    EXPECT_TRUE(find_turning_points(path<T>({{0, 0}, {1, 1}, {2, 2}, {3, 3}})).empty());
    EXPECT_TRUE(find_turning_points(path<T>({{0, 9}, {1, 5}, {2, 2}, {3, -3}})).empty());
}

TYPED_TEST(TurningPoints, SingleReversals) {
    using T = TypeParam;
    // Rising then falling: recorded in set_a, removed by the trim.
    EXPECT_TRUE(find_turning_points(path<T>({{0, 0}, {1, 5}, {2, 0}})).empty());
    // Falling then rising: recorded in set_b, kept.
    auto turns = find_turning_points(path<T>({{0, 5}, {1, 0}, {2, 5}}));
    ASSERT_EQ(turns.size(), 1u);
    EXPECT_EQ(turns[0].start_idx, 1u);
    EXPECT_EQ(turns[0].d_same, T(26));
    EXPECT_EQ(turns[0].d_line, T(1));
}

TYPED_TEST(TurningPoints, DegenerateFirstSegmentCountsAsRising) {
    using T = TypeParam;
    auto turns = find_turning_points(path<T>({{0, 0}, {1, 0}, {2, -5}, {3, 0}}));
    EXPECT_EQ(indices(turns), (std::vector<std::size_t>{2}));
}

TYPED_TEST(TurningPoints, NaNAlwaysTurns) {
    using T = TypeParam;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto turns = find_turning_points(path<T>({{0, 0}, {1, 5}, {nan, 0}, {3, 5}, {4, 0}, {5, 5}}));
    EXPECT_EQ(indices(turns), (std::vector<std::size_t>{1, 2, 4}));
}

TYPED_TEST(TurningPoints, SixLineZigzag) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    zigzag(6, xs, ys);
    auto points = collapsed(xs, ys);
    ASSERT_EQ(points.size(), 11u);
    EXPECT_EQ(points[0], pt<T>(0, 2, 0, 4));
    EXPECT_EQ(points[3], pt<T>(1.5, -1, 11, 11));
    EXPECT_EQ(points[10], pt<T>(5, 2, 30, 34));
    auto turns = find_turning_points(points);
    ASSERT_EQ(indices(turns), (std::vector<std::size_t>{points[3].start_idx, points[5].start_idx, points[7].start_idx,
                                                        points[9].start_idx}));
    const T line = T(144) / T(37);
    EXPECT_EQ(turns[0].d_same, T(11.25));
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(turns[i].d_line, line, 4 * std::numeric_limits<T>::epsilon() * line);
        if (i > 0) {
            EXPECT_EQ(turns[i].d_same, T(4));
        }
    }
    EXPECT_NEAR(turn_distance_threshold(turns), T(100) * line, T(1e-4));
}

TYPED_TEST(TurningPoints, RepeatedNaNDirectionRecordsAgain) {
    using T = TypeParam;
    const double inf = std::numeric_limits<double>::infinity();
    // inf - inf is NaN: two consecutive NaN directions make two turns.
    auto turns = find_turning_points(path<T>({{0, 0}, {1, 1}, {inf, 2}, {inf, 3}, {4, 4}, {5, 0}}));
    EXPECT_GE(turns.size(), 2u);
    for (std::size_t i = 1; i < turns.size(); ++i) EXPECT_LT(turns[i - 1].start_idx, turns[i].start_idx);
}

template <class T>
TurningPointList<T> with_line_distances(std::initializer_list<double> d_lines) {
    TurningPointList<T> out;
    std::size_t i = 0;
    for (double d : d_lines) {
        out.push_back({T(0), static_cast<T>(d), T(0), T(0), i, i});
        ++i;
    }
    return out;
}

TYPED_TEST(TurningPoints, ThresholdIsHundredTimesUpperMedian) {
    using T = TypeParam;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(turn_distance_threshold(TurningPointList<T>{}), T(1));
    EXPECT_EQ(turn_distance_threshold(with_line_distances<T>({0, 1e-8, nan, 1e-8})), T(1));
    EXPECT_EQ(turn_distance_threshold(with_line_distances<T>({3, 1, 2, 4})), T(300));
    EXPECT_EQ(turn_distance_threshold(with_line_distances<T>({2, 1, 3})), T(200));
    EXPECT_EQ(turn_distance_threshold(with_line_distances<T>({0.005})), T(1));
    EXPECT_EQ(turn_distance_threshold(with_line_distances<T>({0.01})), T(100) * T(0.01) > T(1) ? T(100) * T(0.01) : T(1));
    // NaN and 1e-8 do not count towards k: the median of {5, 7} is 7.
    EXPECT_EQ(turn_distance_threshold(with_line_distances<T>({nan, 5, 1e-8, 7})), T(700));
    // A list long enough to be visited in one part per worker.
    TurningPointList<T> many;
    std::mt19937_64 random(3);
    for (std::size_t i = 0; i < parallel_threshold_turns + 777; ++i) {
        const T d = i % 11 == 0 ? T(0) : static_cast<T>(std::ldexp(1.0 + static_cast<double>(random() % 4096), -20));
        many.push_back({T(0), d, T(0), T(0), i, i});
    }
    const T serial = turn_distance_threshold(many);
    for (std::size_t workers : {2, 3, 8}) EXPECT_EQ(turn_distance_threshold(many, workers), serial) << workers;
    const T big = std::numeric_limits<T>::max();
    EXPECT_EQ(turn_distance_threshold(with_line_distances<T>({static_cast<double>(big)})),
              std::numeric_limits<T>::infinity());
}

}  // namespace
}  // namespace rastermark

namespace rastermark {
namespace {

using namespace rastermark::testing;

// The quotient the direction value stands for, computed the plain way.
template <class T>
T plain_direction(const FilteredPoint<T>& a, const FilteredPoint<T>& b, T carried) {
    if (same_coordinate(a.x, b.x) || same_coordinate(a.y, b.y)) return carried;
    const T dy = b.y - a.y;
    const T dx = b.x - a.x;
    return b.x > a.x ? dy / dx : -dy / dx;
}

TYPED_TEST(TurningPoints, DirectionShortcutAgreesWithTheQuotient) {
    using T = TypeParam;
    using L = std::numeric_limits<T>;
    const T specials[] = {T(0), T(-0.0), T(1), T(-1), T(0.5), L::epsilon(), -L::epsilon(), L::denorm_min(),
                          L::min(), L::max(), -L::max(), L::max() / T(4), L::max() / T(3), L::infinity(),
                          -L::infinity(), L::quiet_NaN(), T(1e10), T(-3e-5), T(7)};
    std::size_t compared = 0;
    for (T ax : specials) {
        for (T ay : specials) {
            for (T bx : specials) {
                for (T by : specials) {
                    const FilteredPoint<T> a{ax, ay, 0, 0}, b{bx, by, 1, 1};
                    for (T carried : {T(1), T(-1), L::quiet_NaN()}) {
                        const T fast = direction_value(a, b, carried);
                        const T plain = plain_direction(a, b, carried);
                        // Everything the detector asks of a direction value.
                        ASSERT_EQ(std::isnan(fast), std::isnan(plain));
                        ASSERT_EQ(fast < T(0), plain < T(0));
                        if (!std::isnan(plain)) {
                            ASSERT_EQ(std::signbit(fast), std::signbit(plain));
                        }
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 300000u);
}

}  // namespace
}  // namespace rastermark
