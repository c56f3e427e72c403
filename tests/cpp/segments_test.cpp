#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "segments.hpp"
#include "single_pass.hpp"
#include "stage_by_stage.hpp"
#include "test_support.hpp"

namespace rastermark {
namespace {

using namespace rastermark::testing;

// The segmented pass must give the serial chunked pass's turns bit for bit,
// with and without the quiet-block fast path, and must really be cut.
template <class T>
void expect_segments_match(const std::vector<T>& xs, const std::vector<T>& ys, const std::string& what,
                           std::initializer_list<std::size_t> worker_counts = {2, 3, 5, 8}) {
    const Samples<T> x(xs), y(ys);
    for (std::size_t workers : worker_counts) {
        const TurningPointList<T> serial = turning_points_stage_by_stage(x, y, workers);
        const std::string label = what + ", " + std::to_string(workers) + " workers";
        EXPECT_EQ(plan_segments(x, y, make_chunk_plan(xs.size(), workers), workers).size(), workers) << label;
        expect_same_turns(turning_points_in_segments(x, y, workers, simd::off()), serial, label + ", per sample");
        expect_same_turns(turning_points_in_segments(x, y, workers), serial, label + ", fast");
    }
}

// Lines of `per_line` samples at `hatch` apart, serpentine, slanted; noise
// and repeated samples (dwell) on request.
template <class T>
void raster(std::size_t n, int per_line, double noise, double dwell, unsigned seed, std::vector<T>& xs,
            std::vector<T>& ys) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> jitter(0.0, noise);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0 && unit(rng) < dwell) {
            xs.push_back(xs.back());
            ys.push_back(ys.back());
            continue;
        }
        const std::size_t line = k / per_line;
        const std::size_t step = k % per_line;
        const double along = line % 2 == 0 ? step : per_line - 1 - step;
        xs.push_back(static_cast<T>(line * 0.1 + along * 0.002 + (noise > 0 ? jitter(rng) : 0.0)));
        ys.push_back(static_cast<T>(along * 0.01 + (noise > 0 ? jitter(rng) : 0.0)));
    }
}

template <class T>
class SegmentsTest : public ::testing::Test {};
TYPED_TEST_SUITE(SegmentsTest, ElementTypes);

TYPED_TEST(SegmentsTest, RasterLayers) {
    using T = TypeParam;
    for (int per_line : {500, 37}) {
        std::vector<T> xs, ys;
        raster<T>(700000, per_line, 0.0, 0.0, 1, xs, ys);
        expect_segments_match(xs, ys, "raster of " + std::to_string(per_line));
    }
}

TYPED_TEST(SegmentsTest, NoisyLayersWithDwell) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    raster<T>(900000, 300, 0.002, 0.3, 2, xs, ys);
    expect_segments_match(xs, ys, "noisy with dwell");
}

// A turn at almost every sample: many turns are pending at each start.
TYPED_TEST(SegmentsTest, JitteryPath) {
    using T = TypeParam;
    std::mt19937 rng(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<T> xs, ys;
    for (std::size_t k = 0; k < 600000; ++k) {
        xs.push_back(static_cast<T>(k * 0.001 + 1e-4 * normal(rng)));
        ys.push_back(static_cast<T>(normal(rng)));
    }
    expect_segments_match(xs, ys, "jittery");
}

// No turn at all in the first segments, then lines that only fall after
// each turn or only rise: the first turn of set_a (which is dropped), and
// the latest turns of a set, come from a segment far before.
TYPED_TEST(SegmentsTest, TurnsOfOneSetFarApart) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    for (std::size_t k = 0; k < 600000; ++k) {
        xs.push_back(static_cast<T>(k * 0.001));
        ys.push_back(static_cast<T>(k * 0.003));
    }
    raster<T>(300000, 40000, 0.0, 0.0, 4, xs, ys);
    for (std::size_t k = 600000; k < xs.size(); ++k) xs[k] += static_cast<T>(700);
    expect_segments_match(xs, ys, "one long rise, then long lines");
}

// Lines along x (each one y-run, one turn) joined by short diagonal turnarounds,
// where segments can start: the y-chunk starts fall inside y-runs, so the
// segments holding them are walked again with the y-chunks.
TYPED_TEST(SegmentsTest, YChunkStartsInsideLongYRuns) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    for (int line = 0; xs.size() < 800000; ++line) {
        const double y0 = (line % 2 == 0 ? 0.0 : 0.5) + line * 0.001;
        const double y1 = (line % 2 == 0 ? 0.5 : 0.0) + (line + 1) * 0.001;
        for (int k = 0; k < 997; ++k) {
            const double along = line % 2 == 0 ? k : 996 - k;
            xs.push_back(static_cast<T>(along * 0.013 + 0.001 * (k % 5)));
            ys.push_back(static_cast<T>(y0));
        }
        for (int k = 1; k <= 8; ++k) {
            xs.push_back(static_cast<T>(xs.back() + (line % 2 == 0 ? 0.01 : -0.01)));
            ys.push_back(static_cast<T>(y0 + (y1 - y0) * k / 9));
        }
    }
    expect_segments_match(xs, ys, "lines along x with turnarounds");
}

// Every segment walked with y-chunks that start at each x-point near a
// segment start (and one inside a long y-run): the walks joined must give
// the serial pass with the same y-chunks.
TYPED_TEST(SegmentsTest, YChunkStartsAtEveryPlaceNearASegmentStart) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    raster<T>(600000, 301, 0.0, 0.0, 5, xs, ys);
    for (std::size_t k = 100; k < 400; ++k) ys[k] = ys[99];  // a long y-run early on
    const Samples<T> x(xs), y(ys);
    const std::size_t workers = 3;
    const ChunkPlan x_plan = make_chunk_plan(xs.size(), workers);
    const ChunkPlan segments = plan_segments(x, y, x_plan, workers);
    ASSERT_EQ(segments.size(), workers);
    const SegmentedInput<T> input{x, y, x_plan, segments, simd::chosen()};
    std::vector<std::size_t> before(segments.size(), 0);
    std::size_t total = 0;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        before[s] = total;
        total += walk_segment(input, s, ChunkPlan{}, 0).x_points;
    }
    for (std::size_t s = 1; s < segments.size(); ++s) {
        for (std::size_t d = 0; d < 24; ++d) {
            const std::size_t start = before[s] + d - 12;
            const ChunkPlan y_plan{{0, 200}, {200, start}, {start, total}};
            TurningPointDetector<T> detector;
            SinglePass<T, true, true, TurningPointDetector<T>>(y_plan, detector, simd::off())
                .run_segment(x, y, x_plan, 0, xs.size(), true);
            const TurningPointList<T> serial = detector.finish();
            std::vector<SegmentWalk<T>> walks;
            for (std::size_t t = 0; t < segments.size(); ++t) {
                walks.push_back(walk_segment(input, t, y_plan, before[t]));
            }
            expect_same_turns(join_segments(walks), serial,
                              "y-chunk start " + std::to_string(d) + " - 12 x-points from segment " + std::to_string(s));
        }
    }
}

// A place where three samples look like an exact start but the x-run of the
// sample before them holds two samples whose mean y lies above the next
// one: the segment must start only past it.
TYPED_TEST(SegmentsTest, SegmentStartsNeedTheirWholeWindow) {
    using T = TypeParam;
    const std::size_t n = 600000, t = n / 2 + 16;  // where two workers look first
    std::vector<T> xs, ys;
    raster<T>(n, 1000, 0.0, 0.0, 6, xs, ys);
    for (std::size_t k = t - 20; k < t + 13; ++k) ys[k] = T(50);
    ys[t + 13] = T(100);
    ys[t + 14] = T(0);
    for (std::size_t k = t + 15; k < t + 60; ++k) ys[k] = static_cast<T>(k - t - 14);
    xs[t + 14] = xs[t + 13];
    expect_segments_match(xs, ys, "a trap before the first exact start", {2});
}

// Long runs of equal x or of equal y (axis-parallel hatches) leave few
// exact starts; where none is found the segment simply runs on.
TYPED_TEST(SegmentsTest, AxisParallelLines) {
    using T = TypeParam;
    for (bool along_x : {true, false}) {
        std::vector<T> xs, ys;
        for (std::size_t k = 0; k < 800000; ++k) {
            const std::size_t line = k / 1000, step = k % 1000;
            const double along = line % 2 == 0 ? step : 999 - step;
            const double across = line * 0.1 + (step % 7) * 0.013;
            xs.push_back(static_cast<T>(along_x ? along * 0.01 : across));
            ys.push_back(static_cast<T>(along_x ? across : along * 0.01));
        }
        const Samples<T> x(xs), y(ys);
        for (std::size_t workers : {2, 3}) {
            expect_same_turns(turning_points_in_segments(x, y, workers),
                              turning_points_stage_by_stage(x, y, workers),
                              along_x ? "lines along x" : "lines along y");
        }
    }
}

// Chunked collapse steps (two or more workers on large inputs): the fast
// path must stop at every y-chunk start and keep out of the stitches.
TYPED_TEST(SegmentsTest, FastPathMatchesTheStagesWhenChunked) {
    using T = TypeParam;
    const auto kinds = events<T>();
    std::vector<T> xs, ys;
    serpentine(41, 25000, xs, ys);  // 1,025,000 samples, almost all quiet
    std::mt19937 rng(7);
    for (int e = 0; e < 40; ++e) {
        const auto& [name, plant] = kinds[rng() % (kinds.size() - 1)];  // no long reversal
        plant(xs, ys, 2 + rng() % (xs.size() - 2));
    }
    for (std::size_t workers : {2, 3, 7}) expect_pass_matches_stages(xs, ys, workers, "chunked");
}

// Events planted right around the places where the chunked pass would
// start its segments (which then start elsewhere or not at all).
TYPED_TEST(SegmentsTest, SegmentedPassMatchesAroundEventsAtSegmentStarts) {
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
        expect_same_turns(turning_points_in_segments(x, y, workers),
                          turning_points_stage_by_stage(x, y, workers),
                          name + " at " + std::to_string(at) + ", segment start " + std::to_string(b));
        if (this->HasFatalFailure()) return;
    }
}

// Pairs of samples on one x (so that y-chunks no longer start where
// x-chunks do), a quiet stretch across the first y-chunk start, then
// horizontal lines (long y-runs) across the later ones: skipping past a
// chunk start would lose the later restarts, and the chunk stitch's
// weighted mean differs in its last bits from the serial run's sum.
TYPED_TEST(SegmentsTest, PassStopsAtEveryYChunkStart) {
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
    for (std::size_t workers : {3, 5}) expect_pass_matches_stages(xs, ys, workers, "y-chunk starts");
}

// Hatches along x on a grid: every hatch one long y-run that the pass
// takes in a tight loop, y-chunk starts inside them (so segments are walked
// again), copies at the hatch ends, and a few y wobbles that end a run.
TYPED_TEST(SegmentsTest, HatchesAlongX) {
    using T = TypeParam;
    std::vector<T> xs, ys;
    std::mt19937 rng(23);
    for (int hatch = 0; xs.size() < 700000; ++hatch) {
        const int length = 300 + static_cast<int>(rng() % 400);
        for (int k = 0; k < length; ++k) {
            const int along = hatch % 2 == 0 ? k : length - 1 - k;
            xs.push_back(static_cast<T>(0.001 * along));
            ys.push_back(static_cast<T>(0.1 * hatch + (rng() % 97 == 0 ? 0.0005 : 0.0)));
        }
        for (unsigned c = rng() % 4; c > 0; --c) xs.push_back(xs.back()), ys.push_back(ys.back());
    }
    for (std::size_t workers : {1, 2, 3, 5}) expect_pass_matches_stages(xs, ys, workers, "hatches along x");
}

}  // namespace
}  // namespace rastermark
