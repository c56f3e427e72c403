// The hatch labeller's native core: the log histogram against sorting, a
// constructed meander with exact ids, layers no worker count changes, and
// adversarial inputs (run under the sanitizers by the full test command), and
// the vectorised straightness test against its per-sample rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "bend_search.hpp"
#include "hatch_path.hpp"
#include "label_hatches.hpp"
#include "log_histogram.hpp"
#include "straight_test.hpp"
#include "test_support.hpp"

namespace rastermark::hatches {
namespace {

using rastermark::testing::ElementTypes;

TEST(LogHistogram, BinsFromBitsAgreeWithFrexp) {
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> exponent(-180.0, 180.0);
    for (int k = 0; k < 20000; ++k) {
        double value = std::exp2(exponent(random));
        int e = 0;
        double fraction = std::frexp(value, &e);
        int want = (e - LogHistogram::lowest_exponent) * LogHistogram::per_octave +
                   std::min(LogHistogram::per_octave - 1, static_cast<int>((fraction - 0.5) * 2.0 * LogHistogram::per_octave));
        ASSERT_EQ(LogHistogram::bin_of(value), want) << value;
        // The bin holds the value: within half a bin (a 64th of 2^e wide) of its middle.
        ASSERT_LE(std::fabs(LogHistogram::centre(want) - value), std::ldexp(1.0 / 128.0, e) * (1.0 + 1e-12));
    }
    EXPECT_EQ(LogHistogram::bin_of(std::numeric_limits<double>::infinity()), LogHistogram::bins - 1);
    EXPECT_EQ(LogHistogram::bin_of(std::numeric_limits<double>::denorm_min()), 0);
    EXPECT_EQ(LogHistogram::bin_of(1e300), LogHistogram::bins - 1);
}

TEST(LogHistogram, QuantilesLandInTheBinOfTheSortedValue) {
    std::mt19937_64 random(9);
    std::lognormal_distribution<double> size(0.0, 3.0);
    std::vector<double> values;
    LogHistogram histogram;
    for (int k = 0; k < 5000; ++k) {
        double v = k % 7 == 0 ? 0.0 : size(random);
        values.push_back(v);
        histogram.add(v);
    }
    histogram.add(std::nan(""));
    values.push_back(0.0);  // NaN counts as a zero
    std::sort(values.begin(), values.end());
    for (double share : {0.1, 0.25, 0.5, 0.9, 0.99}) {
        double sorted = values[static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size()))) - 1];
        double got = histogram.quantile(share);
        if (sorted == 0.0) {
            EXPECT_EQ(got, 0.0);
        } else {
            EXPECT_EQ(LogHistogram::bin_of(got), LogHistogram::bin_of(sorted)) << share;
        }
    }
}

// A meander of `lines` hatches `length` long, `spacing` apart, sampled every
// `step` along the hatches and with two samples on each step-over; and the
// ids it must get.
template <class T>
void meander(int lines, double length, double spacing, double step, std::vector<T>& x, std::vector<T>& y,
             std::vector<std::int32_t>& ids) {
    const int per_line = static_cast<int>(std::lround(length / step));
    for (int k = 0; k < lines; ++k) {
        for (int i = 0; i <= per_line; ++i) {
            double along = k % 2 == 0 ? i * step : length - i * step;
            x.push_back(static_cast<T>(10.0 + along));
            y.push_back(static_cast<T>(20.0 + k * spacing));
            ids.push_back(k + 1);
        }
        if (k + 1 < lines) {
            for (int i = 1; i <= 2; ++i) {
                x.push_back(static_cast<T>(10.0 + (k % 2 == 0 ? length : 0.0)));
                y.push_back(static_cast<T>(20.0 + k * spacing + spacing * i / 3.0));
                ids.push_back(-1);
            }
        }
    }
}

template <class T>
class Hatches : public ::testing::Test {};
TYPED_TEST_SUITE(Hatches, ElementTypes);

TYPED_TEST(Hatches, AMeanderGetsOneIdPerHatch) {
    using T = TypeParam;
    std::vector<T> x, y;
    std::vector<std::int32_t> want;
    meander<T>(12, 1.0, 0.1, 0.01, x, y, want);
    std::vector<std::int32_t> ids(x.size(), 0);
    HatchResult result = label_hatches<T>({x.data(), y.data(), nullptr, nullptr, x.size()}, ids.data());
    ASSERT_TRUE(result.error.empty()) << result.error;
    EXPECT_EQ(ids, want);
    EXPECT_NEAR(result.scales.mark_step, 0.01, 5e-4);
    EXPECT_NEAR(result.scales.hatch_spacing, 0.1, 5e-3);
    EXPECT_EQ(result.scales.hatches, 12u);
}

// A layer large enough for every stage that splits its work over the
// workers to do so (run under the thread sanitizer by the full test
// command), with exact repeats here and there: still one id per hatch.
TYPED_TEST(Hatches, ALargeMeanderGetsOneIdPerHatchOnTheWorkers) {
    using T = TypeParam;
    std::vector<T> x, y;
    std::vector<std::int32_t> want;
    {
        std::vector<T> mx, my;
        std::vector<std::int32_t> mwant;
        meander<T>(11000, 1.0, 0.1, 0.01, mx, my, mwant);
        // A copy of every 997th sample after it (a copy in place of a
        // sample would double the step across it, which is a jump).
        for (std::size_t i = 0; i < mx.size(); ++i) {
            const int copies = i % 997 == 5 ? 2 : 1;
            for (int c = 0; c < copies; ++c) {
                x.push_back(mx[i]);
                y.push_back(my[i]);
                want.push_back(mwant[i]);
            }
        }
    }
    ASSERT_GT(x.size(), parallel_threshold);
    std::vector<std::int32_t> ids(x.size(), 0);
    HatchResult result = label_hatches<T>({x.data(), y.data(), nullptr, nullptr, x.size()}, ids.data());
    ASSERT_TRUE(result.error.empty()) << result.error;
    EXPECT_EQ(result.scales.hatches, 11000u);
    EXPECT_EQ(ids, want);
}

TYPED_TEST(Hatches, LaserOffSamplesAndNaNsAreNeverLabelled) {
    using T = TypeParam;
    std::vector<T> x, y;
    std::vector<std::int32_t> want;
    meander<T>(12, 1.0, 0.1, 0.01, x, y, want);
    ASSERT_GT(x.size(), 600u);
    std::vector<std::uint8_t> on(x.size(), 1);
    for (std::size_t i = 200; i < 240; ++i) on.at(i) = 0;
    x[500] = std::numeric_limits<T>::quiet_NaN();
    std::vector<std::int32_t> ids(x.size(), 0);
    HatchResult result = label_hatches<T>({x.data(), y.data(), nullptr, on.data(), x.size()}, ids.data());
    ASSERT_TRUE(result.error.empty()) << result.error;
    for (std::size_t i = 200; i < 240; ++i) EXPECT_EQ(ids[i], -1);
    EXPECT_EQ(ids[500], -1);
}

TEST(Hatches, TooFewMovingSamplesIsAnErrorAndEveryIdIsWritten) {
    std::vector<double> x(40, 1.0), y(40, 2.0);
    std::vector<std::int32_t> ids(x.size(), 7);
    HatchResult result = label_hatches<double>({x.data(), y.data(), nullptr, nullptr, x.size()}, ids.data());
    EXPECT_NE(result.error.find("too few marking samples"), std::string::npos) << result.error;
    EXPECT_TRUE(std::all_of(ids.begin(), ids.end(), [](std::int32_t v) { return v == -1; }));
}

TEST(Hatches, TimeStampsMustIncrease) {
    std::vector<double> x{0, 1, 2, 3}, y{0, 0, 0, 0}, t{0, 1, 1, 2};
    std::vector<std::int32_t> ids(4);
    HatchResult result = label_hatches<double>({x.data(), y.data(), t.data(), nullptr, 4}, ids.data());
    EXPECT_NE(result.error.find("t must increase"), std::string::npos) << result.error;
}

// Random walks with runs of specials: every call returns, writes every id,
// and labels no sample that is not finite.
TEST(Hatches, AdversarialInputsNeverCrash) {
    std::mt19937_64 random(21);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), 0.0, -0.0,
                               std::numeric_limits<double>::denorm_min(), 1e308, -1e308, 1.0};
    for (int trial = 0; trial < 300; ++trial) {
        std::size_t n = random() % 600;
        std::vector<double> x(n), y(n);
        std::normal_distribution<double> step(0.0, trial % 2 ? 1e-3 : 10.0);
        double px = 0, py = 0;
        for (std::size_t i = 0; i < n; ++i) {
            px += step(random);
            py += step(random);
            x[i] = random() % 5 == 0 ? specials[random() % 9] : (trial % 3 == 0 ? std::round(px) : px);
            y[i] = random() % 7 == 0 ? specials[random() % 9] : py;
            if (i > 0 && random() % 4 == 0) {
                x[i] = x[i - 1];
                y[i] = y[i - 1];
            }
        }
        std::vector<std::int32_t> ids(n, 12345);
        HatchResult result = label_hatches<double>({x.data(), y.data(), nullptr, nullptr, n}, ids.data());
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_NE(ids[i], 12345) << trial;
            if (!std::isfinite(x[i]) || !std::isfinite(y[i])) {
                ASSERT_EQ(ids[i], -1) << trial;
            }
        }
        (void)result;
    }
}

}  // namespace
}  // namespace rastermark::hatches

namespace rastermark::hatches {
namespace {

// The path's numbering against the plain one: keep each usable sample that
// does not repeat the usable one before it, cut at every unusable sample.
// Repeats come alone, in long runs and across block ends; breaks are NaN,
// infinities and laser-off samples, alone and in runs, at the ends too.
TYPED_TEST(Hatches, PathNumbersTheSamplesAsThePlainRuleDoes) {
    using T = TypeParam;
    std::mt19937_64 random(2026);
    for (int trial = 0; trial < 24; ++trial) {
        const std::size_t n = trial < 4 ? 1 + random() % 40 : (trial % 3 == 0 ? 3 * block_size + random() % 5000 : 500 + random() % 20000);
        std::vector<T> x(n), y(n);
        std::vector<std::uint8_t> laser(n, 1);
        const bool with_laser = trial % 2 == 1;
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = static_cast<T>(i % 977) * T(0.25);
            y[i] = static_cast<T>(i / 977);
            const auto roll = random() % 1000;
            if (i > 0 && roll < 150) {  // a repeat, now and then a long run of them
                x[i] = x[i - 1];
                y[i] = y[i - 1];
            } else if (roll < 155) {
                x[i] = std::numeric_limits<T>::quiet_NaN();
            } else if (roll < 158) {
                y[i] = -std::numeric_limits<T>::infinity();
            }
            if (with_laser && random() % 100 == 0) laser[i] = 0;
        }
        // Runs of copies around the block ends.
        for (std::size_t end = block_size; end + 40 < n; end += block_size) {
            for (std::size_t i = end - 20; i < end + 20; ++i) {
                x[i] = x[end - 21];
                y[i] = y[end - 21];
            }
        }
        HatchInput<T> input{x.data(), y.data(), nullptr, with_laser ? laser.data() : nullptr, n};
        Path<T> path(input);
        std::size_t repeats = 0;
        ASSERT_TRUE(path.build(repeats).empty());
        std::vector<std::size_t> kept;
        std::vector<Stretch> stretches;
        std::size_t want_repeats = 0;
        bool previous_usable = false, open = false;
        for (std::size_t i = 0; i < n; ++i) {
            const bool usable = std::isfinite(x[i]) && std::isfinite(y[i]) && (!with_laser || laser[i] != 0);
            if (!usable) {
                if (open) stretches.back().end = kept.size();
                open = previous_usable = false;
                continue;
            }
            const bool repeat = previous_usable && x[i] == x[i - 1] && y[i] == y[i - 1];
            previous_usable = true;
            if (repeat) {
                ++want_repeats;
                continue;
            }
            if (!open) stretches.push_back({kept.size(), kept.size()});
            open = true;
            kept.push_back(i);
        }
        if (open) stretches.back().end = kept.size();
        ASSERT_EQ(path.size(), kept.size()) << trial;
        EXPECT_EQ(repeats, want_repeats) << trial;
        ASSERT_EQ(path.stretches().size(), stretches.size()) << trial;
        for (std::size_t s = 0; s < stretches.size(); ++s) {
            EXPECT_EQ(path.stretches()[s].begin, stretches[s].begin) << trial;
            EXPECT_EQ(path.stretches()[s].end, stretches[s].end) << trial;
        }
        for (std::size_t j = 0; j < kept.size(); ++j) ASSERT_EQ(path.original(j), kept[j]) << trial << " " << j;
        for (std::size_t start : {std::size_t{0}, kept.size() / 3, kept.size() / 2}) {
            auto walk = path.walk_from(start);
            for (std::size_t j = start; j < kept.size(); ++j) ASSERT_EQ(walk.next(), kept[j]) << trial << " " << j;
        }
    }
}

// The bend search against the plain loop it replaces: every stride-th
// sample and the last, the first of the farthest.  Zig-zags on a coarse grid
// give many samples at exactly the same distance (ties across chunks),
// repeats make the path skip samples, and a starting `farthest` above some
// chunks' maxima must keep them from counting.
TYPED_TEST(Hatches, BendSearchFindsWhatThePlainLoopFinds) {
    using T = TypeParam;
    std::mt19937_64 random(909);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = 50 + random() % 3000;
        std::vector<T> x(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = static_cast<T>(i);
            y[i] = trial % 2 == 0 ? static_cast<T>(random() % 4) : static_cast<T>(std::sin(0.01 * i) * 50.0);
            // One trial in four has no repeats: its path is the samples themselves.
            if (trial % 4 != 3 && i > 0 && random() % 10 == 0) {
                x[i] = x[i - 1];
                y[i] = y[i - 1];
            }
        }
        HatchInput<T> input{x.data(), y.data(), nullptr, nullptr, n};
        Path<T> path(input);
        std::size_t repeats = 0;
        ASSERT_TRUE(path.build(repeats).empty());
        ASSERT_EQ(path.skips(), trial % 4 != 3);
        for (int query = 0; query < 20; ++query) {
            const std::size_t a = random() % (path.size() - 3);
            const std::size_t b = a + 2 + random() % (path.size() - a - 2);
            const std::size_t stride = 1 + random() % 4;
            const Point origin = path.at(a), chord = path.at(b) - origin;
            const double length = norm(chord);
            if (!(length > 0)) continue;
            const Point unit{chord.x / length, chord.y / length};
            const double start = query % 4 == 0 ? 1.5 : 0.0;
            std::size_t want_far = a, far = a;
            double want = start, got = start;
            for (std::size_t k = a + 1; k < b; k = k + stride < b || k + 1 == b ? k + stride : b - 1) {
                double d = std::fabs(cross(unit, path.at(k) - origin));
                if (d > want) {
                    want = d;
                    want_far = k;
                }
            }
            farthest_from_line(path, a + 1, b - 1, stride, origin, unit, far, got);
            ASSERT_EQ(far, want_far) << trial << " " << query;
            ASSERT_EQ(got, want) << trial << " " << query;
        }
    }
}

// The vectorised straightness test against its per-sample rule: random
// walks with repeats, breaks and turns, for several windows, also scaled so
// far up that squares overflow and so far down that differences are
// subnormal.
TYPED_TEST(Hatches, StraightRunsAgreeWithTheRuleSampleBySample) {
    using T = TypeParam;
    const double scales_tried[] = {1.0, std::is_same_v<T, float> ? 1e34 : 1e152,
                                   std::is_same_v<T, float> ? 1e-36 : 1e-306};
    std::mt19937_64 random(77);
    for (int trial = 0; trial < 60; ++trial) {
        const double scale = trial % 5 == 4 ? scales_tried[1 + trial / 5 % 2] : scales_tried[0];
        std::size_t n = 200 + random() % 3000;
        std::vector<T> x(n), y(n);
        std::normal_distribution<double> wobble(0.0, trial % 3 == 0 ? 0.002 : 0.0005);
        double px = 5, py = 7, heading = 0.3;
        for (std::size_t i = 0; i < n; ++i) {
            if (random() % 40 == 0) heading += 1.5;
            double step = random() % 50 == 0 ? 0.04 : 0.01;
            px += step * std::cos(heading);
            py += step * std::sin(heading);
            x[i] = static_cast<T>(scale * (px + wobble(random)));
            y[i] = static_cast<T>(scale * (py + wobble(random)));
            if (i > 0 && random() % 9 == 0) {
                x[i] = x[i - 1];
                y[i] = y[i - 1];
            }
            if (random() % 200 == 0) x[i] = std::numeric_limits<T>::quiet_NaN();
        }
        HatchInput<T> input{x.data(), y.data(), nullptr, nullptr, n};
        Path<T> path(input);
        std::size_t repeats = 0;
        ASSERT_TRUE(path.build(repeats).empty());
        HatchScales scales;
        scales.window = 2 + trial % 3;
        scales.mark_step = 0.01 * scale;
        scales.rest_step = 0.004 * scale;
        scales.jump_step = 0.0175 * scale;
        scales.noise = (trial % 3 == 0 ? 0.002 : 0.0005) * scale;
        scales.deviation = 5.0 * scales.noise;
        StraightTest<T> test(path, scales);
        std::vector<StraightRun> runs = straight_runs_of(path, test);
        // The runs the rule gives, sample by sample.
        const std::size_t w = static_cast<std::size_t>(scales.window);
        std::vector<StraightRun> want;
        std::size_t inside = 0;
        for (std::size_t s = 0; s < path.stretches().size(); ++s) {
            const Stretch& st = path.stretches()[s];
            for (std::size_t j = st.begin; j < st.end; ++j) {
                if (!(j >= st.begin + w && j + w < st.end && test.inside(j))) continue;
                ++inside;
                if (!want.empty() && want.back().stretch == s && want.back().last + 1 == j) {
                    want.back().last = j;
                } else {
                    want.push_back({j, j, s});
                }
            }
        }
        ASSERT_EQ(runs.size(), want.size()) << trial;
        for (std::size_t r = 0; r < runs.size(); ++r) {
            ASSERT_EQ(runs[r].first, want[r].first) << trial;
            ASSERT_EQ(runs[r].last, want[r].last) << trial;
            ASSERT_EQ(runs[r].stretch, want[r].stretch) << trial;
        }
        // The walks do have straight stretches (the tiny ones lose them).
        if (scale >= 1.0) {
            EXPECT_GT(inside, path.size() / 4) << trial;
        }
    }
}

}  // namespace
}  // namespace rastermark::hatches
