#include <cstdlib>
#include <string>
#include <vector>

#include "simd/block_scans.hpp"
#include "test_support.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

template <class T>
class BlockScansTest : public ::testing::Test {};
TYPED_TEST_SUITE(BlockScansTest, ElementTypes);

// The block scan stops exactly at the first block holding a sample that is
// not quiet (or half way into it, when the sample lies in its second
// half), for every kind of event at every position of a block.
TYPED_TEST(BlockScansTest, ScanStopsAtTheFirstBlockThatIsNotQuiet) {
    using T = TypeParam;
    constexpr std::size_t w = quiet_block_width<T>;
    for (bool falling : {false, true}) {
        for (const auto& [name, plant] : events<T>()) {
            for (std::size_t p = 2; p < 3 + 3 * w; ++p) {
                std::vector<T> xs, ys;
                serpentine(1, static_cast<int>(1 + 4 * w), xs, ys);
                if (falling) {
                    for (T& v : ys) v = -v;
                }
                plant(xs, ys, p);
                const Samples<T> x(xs), y(ys);
                // The scalar answer, and the repeats before it.
                std::size_t expected_repeats = 0;
                const std::size_t expected =
                    expected_quiet_stop(x, y, longest_quiet_unit, xs.size(), falling, expected_repeats);
                for (const simd::BlockScans* scans : simd::runnable()) {
                    std::size_t repeats = 0;
                    EXPECT_EQ(skip_quiet_blocks(*scans, x, y, longest_quiet_unit, xs.size(), falling, repeats),
                              expected)
                        << name << " at " << p << ", " << scans->name << (falling ? ", falling" : "");
                    EXPECT_EQ(repeats, expected_repeats) << name << " at " << p << ", " << scans->name;
                }
            }
        }
    }
}

TYPED_TEST(BlockScansTest, ScanSkipsWholeQuietBlocksOnly) {
    using T = TypeParam;
    constexpr std::size_t w = quiet_block_width<T>;
    std::vector<T> xs, ys;
    serpentine(1, 1000, xs, ys);
    const Samples<T> x(xs), y(ys);
    std::size_t repeats = 0;
    for (const simd::BlockScans* scans : simd::runnable()) {
        constexpr std::size_t start = longest_quiet_unit;
        EXPECT_EQ(skip_quiet_blocks(*scans, x, y, start, 1000, false, repeats), start + ((1000 - start) / w) * w);
        EXPECT_EQ(skip_quiet_blocks(*scans, x, y, start, 1000, true, repeats), start);
        EXPECT_EQ(skip_quiet_blocks(*scans, x, y, start + 2, start + 2 + w - 1, false, repeats), start + 2);
    }
    EXPECT_EQ(skip_quiet_blocks(simd::off(), x, y, longest_quiet_unit, 1000, false, repeats), longest_quiet_unit);
    EXPECT_EQ(repeats, 0u);
}

TEST(BlockScanChoice, EveryBuildTheCpuRunsIsListedOnceNarrowestFirst) {
    const std::vector<const simd::BlockScans*> tables = simd::runnable();
    ASSERT_FALSE(tables.empty());
    EXPECT_EQ(std::string(tables.front()->name), "baseline");
    for (const simd::BlockScans* t : tables) EXPECT_TRUE(t->scans()) << t->name;
    EXPECT_FALSE(simd::off().scans());
    const std::string chosen = simd::chosen().name;
    const char* setting = std::getenv("RASTERMARK_SIMD");
    if (setting == nullptr) {
        EXPECT_EQ(chosen, tables.back()->name);
    }
}

TEST(BlockScanChoice, AnUnknownSettingIsRefusedWithTheLevelsItMayName) {
    for (const char* good : {"off", "baseline", "avx2", "avx512"}) EXPECT_EQ(simd::setting_error(good), "") << good;
    EXPECT_EQ(simd::setting_error(nullptr), "");
    for (const char* bad : {"AVX2", "neon", "", "avx512 ", "sse4"}) {
        const std::string message = simd::setting_error(bad);
        EXPECT_EQ(message, std::string("RASTERMARK_SIMD is '") + bad + "'; expected one of off baseline avx2 avx512");
    }
}

}  // namespace
}  // namespace rastermark
