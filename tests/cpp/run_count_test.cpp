#include <string>
#include <vector>

#include "run_count.hpp"
#include "test_support.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

template <class T>
class RunCountTest : public ::testing::Test {};
TYPED_TEST_SUITE(RunCountTest, ElementTypes);

// The count of x-runs that decides whether collapse_y is chunked skips
// blocks where x keeps moving; it must count what collapse_x returns, for
// every event at every place and from every start near it.
TYPED_TEST(RunCountTest, CountsWhatCollapseXReturnsAroundEveryEvent) {
    using T = TypeParam;
    for (const auto& [name, plant] : events<T>()) {
        for (std::size_t p = 2; p < 80; ++p) {
            std::vector<T> xs, ys;
            serpentine(3, 37, xs, ys);
            plant(xs, ys, p);
            const Samples<T> x(xs), y(ys);
            for (std::size_t begin : {std::size_t{0}, std::size_t{1}, p - 1, p}) {
                const std::size_t expected = collapse_x_range(x, y, begin, xs.size()).size();
                ASSERT_EQ(count_x_runs(x, begin, xs.size(), simd::off()), expected) << name << " at " << p;
                for (const simd::BlockScans* scans : simd::runnable()) {
                    ASSERT_EQ(count_x_runs(x, begin, xs.size(), *scans), expected)
                        << name << " at " << p << " from " << begin << ", " << scans->name;
                }
            }
        }
    }
}

}  // namespace
}  // namespace rastermark
