#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "quiet_blocks.hpp"
#include "single_pass.hpp"
#include "test_support.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

// The fast levels this CPU can run, narrowest first.
std::vector<SimdLevel> fast_levels() {
    std::vector<SimdLevel> levels;
    for (SimdLevel level : {SimdLevel::baseline, SimdLevel::avx2, SimdLevel::avx512}) {
        if (level <= simd_level()) levels.push_back(level);
    }
    return levels;
}

template <class T>
void expect_fast_matches_reference(const std::vector<T>& xs, const std::vector<T>& ys, std::size_t workers,
                                   const std::string& what) {
    const Samples<T> x(xs), y(ys);
    const TurningPointList<T> reference = turning_points_serially(x, y, workers, SimdLevel::off);
    for (SimdLevel level : fast_levels()) {
        expect_same_turns(turning_points_in_one_pass(x, y, workers, level), reference,
                          what + ", " + simd_level_name(level) + ", " + std::to_string(workers) + " workers");
    }
}

// A slanted serpentine raster: `lines` lines of `per_line` samples, each
// sample its own run and every step inside a line quiet.
template <class T>
void serpentine(int lines, int per_line, std::vector<T>& xs, std::vector<T>& ys) {
    for (int j = 0; j < lines; ++j) {
        for (int k = 0; k < per_line; ++k) {
            const int along = j % 2 == 0 ? k : per_line - 1 - k;
            xs.push_back(static_cast<T>(0.25 + 3.0 * j + 0.01 * along));
            ys.push_back(static_cast<T>(0.5 * along + 0.001 * (k % 3)));
        }
    }
}

// Everything that can end a quiet stretch, planted at sample p (p >= 2).
template <class T>
std::vector<std::pair<std::string, std::function<void(std::vector<T>&, std::vector<T>&, std::size_t)>>> events() {
    using V = std::vector<T>;
    const T eps = std::numeric_limits<T>::epsilon();
    const T inf = std::numeric_limits<T>::infinity();
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const T max = std::numeric_limits<T>::max();
    return {
        {"x repeat", [](V& x, V&, std::size_t p) { x[p] = x[p - 1]; }},
        {"y repeat", [](V&, V& y, std::size_t p) { y[p] = y[p - 1]; }},
        {"dwell", [](V& x, V& y, std::size_t p) { x[p] = x[p - 1], y[p] = y[p - 1]; }},
        {"x within tolerance", [=](V& x, V&, std::size_t p) { x[p - 1] = T(0), x[p] = T(0.75) * eps; }},
        {"x drifts around its anchor",
         [=](V& x, V&, std::size_t p) { x[p - 2] = T(0), x[p - 1] = T(-0.6) * eps, x[p] = T(0.6) * eps; }},
        {"x exactly the tolerance", [=](V& x, V&, std::size_t p) { x[p - 1] = T(0), x[p] = eps; }},
        {"y within tolerance", [=](V&, V& y, std::size_t p) { y[p - 1] = T(0), y[p] = T(-0.5) * eps; }},
        {"y exactly the tolerance", [=](V&, V& y, std::size_t p) { y[p - 1] = T(0), y[p] = -eps; }},
        {"+0 then -0", [](V&, V& y, std::size_t p) { y[p - 1] = T(0), y[p] = -T(0); }},
        {"subnormal step", [](V& x, V&, std::size_t p) { x[p - 1] = T(0), x[p] = std::numeric_limits<T>::denorm_min(); }},
        {"NaN x", [=](V& x, V&, std::size_t p) { x[p] = nan; }},
        {"NaN y", [=](V&, V& y, std::size_t p) { y[p] = nan; }},
        {"+inf x", [=](V& x, V&, std::size_t p) { x[p] = inf; }},
        {"-inf y", [=](V&, V& y, std::size_t p) { y[p] = -inf; }},
        {"huge x step", [=](V& x, V&, std::size_t p) { x[p] = max / T(2); }},
        {"huge y step", [=](V&, V& y, std::size_t p) { y[p] = -max / T(2) * T(1.5); }},
        {"one sample back", [](V&, V& y, std::size_t p) { y[p] = y[p - 1] - (y[p - 1] - y[p - 2]) * T(2); }},
        {"reversal", [](V&, V& y, std::size_t p) {
             const T pivot = y[p - 1];
             for (std::size_t k = p; k < y.size(); ++k) y[k] = pivot - (y[k] - pivot);
         }},
    };
}

template <class T>
class QuietBlocksTest : public ::testing::Test {};
TYPED_TEST_SUITE(QuietBlocksTest, ElementTypes);

// The block scan stops exactly at the first block holding a sample that is
// not quiet, for every kind of event at every position of a block.
TYPED_TEST(QuietBlocksTest, ScanStopsAtTheFirstBlockThatIsNotQuiet) {
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
                for (SimdLevel level : fast_levels()) {
                    EXPECT_EQ(skip_quiet_blocks(Samples<T>(xs), Samples<T>(ys), 1, xs.size(), falling, level), expected)
                        << name << " at " << p << ", " << simd_level_name(level) << (falling ? ", falling" : "");
                }
            }
        }
    }
}

TYPED_TEST(QuietBlocksTest, ScanSkipsWholeQuietBlocksOnly) {
    using T = TypeParam;
    constexpr std::size_t w = quiet_block_width<T>;
    std::vector<T> xs, ys;
    serpentine(1, 1000, xs, ys);
    for (SimdLevel level : fast_levels()) {
        EXPECT_EQ(skip_quiet_blocks(Samples<T>(xs), Samples<T>(ys), 1, 1000, false, level), 1 + (999 / w) * w);
        EXPECT_EQ(skip_quiet_blocks(Samples<T>(xs), Samples<T>(ys), 1, 1000, true, level), 1u);
        EXPECT_EQ(skip_quiet_blocks(Samples<T>(xs), Samples<T>(ys), 5, 5 + w - 1, false, level), 5u);
    }
    EXPECT_EQ(skip_quiet_blocks(Samples<T>(xs), Samples<T>(ys), 1, 1000, false, SimdLevel::off), 1u);
}

// The whole pass with the fast path gives the per-sample machine's turning
// points bit for bit, with every event at every position of the first lines.
TYPED_TEST(QuietBlocksTest, PassMatchesThePerSampleMachineAroundEveryEvent) {
    using T = TypeParam;
    for (const auto& [name, plant] : events<T>()) {
        for (std::size_t p = 2; p < 120; ++p) {
            std::vector<T> xs, ys;
            serpentine(6, 37, xs, ys);
            plant(xs, ys, p);
            expect_fast_matches_reference(xs, ys, 1, name + " at " + std::to_string(p));
            if (this->HasFatalFailure()) return;
        }
    }
}

TYPED_TEST(QuietBlocksTest, PassMatchesThePerSampleMachineOnRandomEvents) {
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
        expect_fast_matches_reference(xs, ys, 1, "seed " + std::to_string(seed));
        if (this->HasFatalFailure()) return;
    }
}

// Chunked collapse steps (two or more workers on large inputs): the fast
// path must stop at every y-chunk start and keep out of the stitches.
TYPED_TEST(QuietBlocksTest, PassMatchesThePerSampleMachineWhenChunked) {
    using T = TypeParam;
    const auto kinds = events<T>();
    std::vector<T> xs, ys;
    serpentine(41, 25000, xs, ys);  // 1,025,000 samples, almost all quiet
    std::mt19937 rng(7);
    for (int e = 0; e < 40; ++e) {
        const auto& [name, plant] = kinds[rng() % (kinds.size() - 1)];  // no long reversal
        plant(xs, ys, 2 + rng() % (xs.size() - 2));
    }
    for (std::size_t workers : {2, 3, 7}) expect_fast_matches_reference(xs, ys, workers, "chunked");
}

// The count of x-runs that decides whether collapse_y is chunked skips
// blocks where x keeps moving; it must count as the per-sample loop does.
TYPED_TEST(QuietBlocksTest, RunCountMatchesThePerSampleCount) {
    using T = TypeParam;
    auto same_count = [](const RunCount<T>& a, const RunCount<T>& b) {
        bool same = a.runs == b.runs && same_bits(a.last_anchor, b.last_anchor);
        for (std::size_t k = 0; k < RunCount<T>::leading; ++k) {
            same = same && same_bits(a.first_anchors[k], b.first_anchors[k]);
        }
        return same;
    };
    for (const auto& [name, plant] : events<T>()) {
        for (std::size_t p = 2; p < 80; ++p) {
            std::vector<T> xs, ys;
            serpentine(3, 37, xs, ys);
            plant(xs, ys, p);
            const Samples<T> x(xs);
            for (std::size_t begin : {std::size_t{0}, std::size_t{1}, p - 1, p}) {
                const RunCount<T> reference = count_x_runs(x, begin, xs.size(), SimdLevel::off);
                for (SimdLevel level : fast_levels()) {
                    ASSERT_TRUE(same_count(count_x_runs(x, begin, xs.size(), level), reference))
                        << name << " at " << p << " from " << begin << ", " << simd_level_name(level);
                }
            }
            for (std::size_t workers : {2, 3}) {
                const ChunkPlan plan = make_chunk_plan(xs.size(), workers);
                const std::size_t reference = count_x_points_parallel(x, plan, SimdLevel::off);
                for (SimdLevel level : fast_levels()) {
                    ASSERT_EQ(count_x_points_parallel(x, plan, level), reference) << name << " at " << p;
                }
            }
        }
    }
}

// Events planted right around the places where the chunked pass would
// start its segments (which then start elsewhere or not at all).
TYPED_TEST(QuietBlocksTest, SegmentedPassMatchesAroundEventsAtSegmentStarts) {
    using T = TypeParam;
    const auto kinds = events<T>();
    std::vector<T> clean_x, clean_y;
    serpentine(21, 25000, clean_x, clean_y);  // 525,000 samples
    const std::size_t workers = 3;
    const ChunkPlan segments =
        plan_segments(Samples<T>(clean_x), Samples<T>(clean_y), make_chunk_plan(clean_x.size(), workers), workers);
    ASSERT_EQ(segments.size(), workers);
    std::mt19937 rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<T> xs = clean_x, ys = clean_y;
        const std::size_t b = segments[1 + rng() % (workers - 1)].start;
        const std::size_t at = b - 10 + rng() % 20;
        const auto& [name, plant] = kinds[rng() % (kinds.size() - 1)];  // no long reversal
        plant(xs, ys, at);
        const Samples<T> x(xs), y(ys);
        expect_same_turns(turning_points_in_segments(x, y, workers, simd_level()),
                          turning_points_serially(x, y, workers, SimdLevel::off),
                          name + " at " + std::to_string(at) + ", segment start " + std::to_string(b));
        if (this->HasFatalFailure()) return;
    }
}

// Pairs of samples on one x (so that y-chunks no longer start where
// x-chunks do), a quiet stretch across the first y-chunk start, then
// horizontal lines (long y-runs) across the later ones: skipping past a
// chunk start would lose the later restarts, and the chunk stitch's
// weighted mean differs in its last bits from the serial run's sum.
TYPED_TEST(QuietBlocksTest, PassStopsAtEveryYChunkStart) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    for (int k = 0; k < 300000; ++k) {
        xs.push_back(static_cast<T>(-5000 + 0.01 * (k / 2)));
        ys.push_back(static_cast<T>(-5000 + 0.5 * k));
    }
    serpentine(1, 700000, xs, ys);
    for (int j = 0; j < 12; ++j) {
        for (int k = 0; k < 50000; ++k) {
            const int along = j % 2 == 0 ? k : 49999 - k;
            xs.push_back(static_cast<T>(0.1234567 + 0.0013 * along + 1e-7 * (k % 7)));
            ys.push_back(static_cast<T>(1e6 + 0.5 * (j % 2) + 0.01 * j));
        }
    }
    for (std::size_t workers : {3, 5}) expect_fast_matches_reference(xs, ys, workers, "y-chunk starts");
}

}  // namespace
}  // namespace rastermark
