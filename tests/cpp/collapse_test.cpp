#include <limits>

#include "collapse.hpp"
#include "test_support.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

template <class T>
class Collapse : public ::testing::Test {};
TYPED_TEST_SUITE(Collapse, ElementTypes);

TYPED_TEST(Collapse, MergesRunsOfEqualX) {
    using T = TypeParam;
    auto x = values<T>({0, 0, 1, 1, 1, 2});
    auto y = values<T>({1, 3, 5, 6, 7, 9});
    PointList<T> want{pt<T>(0, 2, 0, 1), pt<T>(1, 6, 2, 4), pt<T>(2, 9, 5, 5)};
    EXPECT_EQ(collapse_x(Samples<T>(x), Samples<T>(y)), want);
}

TYPED_TEST(Collapse, MeanOfYRunIgnoresSampleCounts) {
    using T = TypeParam;
    PointList<T> in{pt<T>(0, 2, 0, 1), pt<T>(4, 2, 2, 4), pt<T>(8, 3, 5, 5)};
    PointList<T> want{pt<T>(2, 2, 0, 4), pt<T>(8, 3, 5, 5)};
    EXPECT_EQ(collapse_y(in), want);
}

TYPED_TEST(Collapse, SingleAndEmptyInputs) {
    using T = TypeParam;
    auto x = values<T>({3.5});
    auto y = values<T>({-2});
    PointList<T> one{pt<T>(3.5, -2, 0, 0)};
    EXPECT_EQ(collapse_x(Samples<T>(x), Samples<T>(y)), one);
    EXPECT_EQ(collapse_y(one), one);
    EXPECT_TRUE(collapse_y(PointList<T>{}).empty());
}

TYPED_TEST(Collapse, AllEqualXGivesOnePointWithMeanY) {
    using T = TypeParam;
    auto x = values<T>({7, 7, 7, 7});
    auto y = values<T>({1, 2, 3, 6});
    PointList<T> want{pt<T>(7, 3, 0, 3)};
    EXPECT_EQ(collapse_x(Samples<T>(x), Samples<T>(y)), want);
}

TYPED_TEST(Collapse, AlternatingValuesNeverMerge) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    std::vector<T> x, y;
    for (int i = 0; i < 9; ++i) {
        x.push_back(i % 2 ? T(1) + eps : T(1));
        y.push_back(static_cast<T>(i));
    }
    auto out = collapse_x(Samples<T>(x), Samples<T>(y));
    ASSERT_EQ(out.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(out[i].y, y[i]);
}

TYPED_TEST(Collapse, RunsCompareWithTheirFirstMember) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    // Differences of eps/2, then eps from the anchor: the strict test splits.
    std::vector<T> x{T(0), eps / 2, eps};
    std::vector<T> y{T(1), T(2), T(3)};
    auto out = collapse_x(Samples<T>(x), Samples<T>(y));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (FilteredPoint<T>{T(0), T(1.5), 0, 1}));
    // 0.75 eps from the anchor joins; 1.5 eps from it does not, although it
    // is only 0.75 eps from the previous member.
    std::vector<T> x2{T(0), T(0.75) * eps, T(1.5) * eps};
    auto out2 = collapse_x(Samples<T>(x2), Samples<T>(y));
    ASSERT_EQ(out2.size(), 2u);
    EXPECT_EQ(out2[1].start_idx, 2u);
}

TYPED_TEST(Collapse, OneAndItsSuccessorStaySeparateButSignedZerosMerge) {
    using T = TypeParam;
    std::vector<T> x{T(1), std::nextafter(T(1), T(2))};
    std::vector<T> y{T(0), T(0)};
    EXPECT_EQ(collapse_x(Samples<T>(x), Samples<T>(y)).size(), 2u);
    std::vector<T> z{T(-0.0), T(0.0)};
    auto out = collapse_x(Samples<T>(z), Samples<T>(y));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(std::signbit(out[0].x));
}

TYPED_TEST(Collapse, NaNAndInfinityNeverMerge) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const T inf = std::numeric_limits<T>::infinity();
    std::vector<T> x{T(1), nan, nan, T(1), inf, inf};
    std::vector<T> y{T(1), T(2), T(3), T(4), T(5), T(6)};
    EXPECT_EQ(collapse_x(Samples<T>(x), Samples<T>(y)).size(), 6u);
    // A NaN y spoils only its own run's mean.
    std::vector<T> x2{T(0), T(0), T(1), T(1)};
    std::vector<T> y2{T(1), nan, T(2), T(4)};
    auto out = collapse_x(Samples<T>(x2), Samples<T>(y2));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(std::isnan(out[0].y));
    EXPECT_EQ(out[1].y, T(3));
}

TEST(CollapseFloat32, SumsAndCountsStayInFloat32) {
    // 2^24 + 1 samples of y = 1: the float32 sum stops growing at 2^24 and
    // the count rounds to 2^24, so the mean is exactly 1 only by float32 rules.
    const std::size_t n = (1u << 24) + 3;
    std::vector<float> x(n, 0.0f), y(n, 1.0f);
    auto out = collapse_x(Samples<float>(x), Samples<float>(y));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].y, 16777216.0f / static_cast<float>(n));
    EXPECT_EQ(out[0].end_idx, n - 1);
}

TEST(CollapseFloat32, UsesFloat32Tolerance) {
    std::vector<float> x{1.0f, 1.0f + 5e-8f, 1.0f + 2.5e-7f};
    std::vector<float> y{0, 0, 0};
    // 5e-8 rounds to 1.0 in float32 (same point); 2.5e-7 is two float32 ulps away.
    EXPECT_EQ(collapse_x(Samples<float>(x), Samples<float>(y)).size(), 2u);
    std::vector<double> xd{1.0, 1.0 + 5e-8, 1.0 + 2.5e-7};
    std::vector<double> yd{0, 0, 0};
    EXPECT_EQ(collapse_x(Samples<double>(xd), Samples<double>(yd)).size(), 3u);
}

TEST(CollapseSamples, ReadsUnalignedData) {
    std::vector<unsigned char> buffer(1 + 3 * sizeof(double));
    const double v[3] = {4, 4, 5};
    std::memcpy(buffer.data() + 1, v, sizeof v);
    Samples<double> s(buffer.data() + 1, 3);
    auto out = collapse_x(s, s);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], (FilteredPoint<double>{5, 5, 2, 2}));
}

}  // namespace
}  // namespace rastermark
