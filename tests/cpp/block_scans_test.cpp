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
// not quiet, for every kind of event at every position of a block.
TYPED_TEST(BlockScansTest, ScanStopsAtTheFirstBlockThatIsNotQuiet) {
    using T = TypeParam;
    constexpr std::size_t w = quiet_block_width<T>;
    for (bool falling : {false, true}) {
        for (const auto& [name, plant] : events<T>()) {
            for (std::size_t p = 2; p < 1 + 3 * w; ++p) {
                std::vector<T> xs, ys;
                serpentine(1, static_cast<int>(1 + 4 * w), xs, ys);
                if (falling) {
                    for (T& v : ys) v = -v;
                }
                plant(xs, ys, p);
                // The scalar answer: the start of the first block with a sample that is not quiet.
                std::size_t expected = 1;
                while (xs.size() - expected >= w) {
                    bool quiet = true;
                    for (std::size_t k = expected; k < expected + w; ++k) {
                        quiet = quiet && sample_is_quiet(xs[k] - xs[k - 1], ys[k] - ys[k - 1], falling);
                    }
                    if (!quiet) break;
                    expected += w;
                }
                for (const simd::BlockScans* scans : simd::runnable()) {
                    EXPECT_EQ(skip_quiet_blocks(*scans, Samples<T>(xs), Samples<T>(ys), 1, xs.size(), falling), expected)
                        << name << " at " << p << ", " << scans->name << (falling ? ", falling" : "");
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
    for (const simd::BlockScans* scans : simd::runnable()) {
        EXPECT_EQ(skip_quiet_blocks(*scans, Samples<T>(xs), Samples<T>(ys), 1, 1000, false), 1 + (999 / w) * w);
        EXPECT_EQ(skip_quiet_blocks(*scans, Samples<T>(xs), Samples<T>(ys), 1, 1000, true), 1u);
        EXPECT_EQ(skip_quiet_blocks(*scans, Samples<T>(xs), Samples<T>(ys), 5, 5 + w - 1, false), 5u);
    }
    EXPECT_EQ(skip_quiet_blocks(simd::off(), Samples<T>(xs), Samples<T>(ys), 1, 1000, false), 1u);
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
