// Helpers shared by the core's unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "collapse.hpp"
#include "pipeline.hpp"
#include "segments.hpp"
#include "simd/block_scans.hpp"
#include "stage_by_stage.hpp"
#include "turning_points.hpp"

namespace rastermark::testing {

using ElementTypes = ::testing::Types<double, float>;

template <class T>
std::vector<T> values(std::initializer_list<double> list) {
    std::vector<T> out;
    for (double v : list) out.push_back(static_cast<T>(v));
    return out;
}

template <class T>
FilteredPoint<T> pt(double x, double y, std::size_t start, std::size_t end) {
    return {static_cast<T>(x), static_cast<T>(y), start, end};
}

// The zig-zag of the worked examples: line k at x = k with five samples,
// one transition sample between lines; lines after `shift_after` (and the
// transition that leads to them) move right by `shift`.
template <class T>
void zigzag(int lines, std::vector<T>& xs, std::vector<T>& ys, int shift_after = -1, double shift = 50) {
    for (int k = 0; k < lines; ++k) {
        const double dx = shift_after >= 0 && k > shift_after ? shift : 0;
        for (int i = 0; i < 5; ++i) {
            xs.push_back(static_cast<T>(k + dx));
            ys.push_back(static_cast<T>(k % 2 == 0 ? i : 4 - i));
        }
        if (k < lines - 1) {
            const double tdx = shift_after >= 0 && k >= shift_after ? shift : 0;
            xs.push_back(static_cast<T>(k + 0.5 + tdx));
            ys.push_back(static_cast<T>(k % 2 == 0 ? 5 : -1));
        }
    }
}

template <class T>
PointList<T> collapsed(const std::vector<T>& xs, const std::vector<T>& ys) {
    return collapse_y(collapse_x(Samples<T>(xs), Samples<T>(ys)));
}

// Bit-identical comparison that treats equal NaNs as equal.
template <class T>
bool same_bits(T a, T b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Point lists identical field by field, bit for bit.
template <class T>
void expect_same_points(const PointList<T>& a, const PointList<T>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].start_idx, b[i].start_idx) << i;
        ASSERT_EQ(a[i].end_idx, b[i].end_idx) << i;
        ASSERT_TRUE(same_bits(a[i].x, b[i].x) && same_bits(a[i].y, b[i].y)) << i;
    }
}

// Turning-point lists identical field by field, bit for bit.
template <class T>
void expect_same_turns(const TurningPointList<T>& got, const TurningPointList<T>& expected, const std::string& what) {
    ASSERT_EQ(got.size(), expected.size()) << what;
    auto in_expected = expected.begin();
    std::size_t i = 0;
    for (auto in_got = got.begin(); in_got != got.end(); ++in_got, ++in_expected, ++i) {
        const KeptTurn<T> a = *in_got;
        const KeptTurn<T> b = *in_expected;
        ASSERT_TRUE(a.start_idx == b.start_idx && a.end_idx == b.end_idx && a.reverses_back == b.reverses_back &&
                    same_bits(a.d_same, b.d_same) && same_bits(a.d_line, b.d_line))
            << what << ", turn " << i << " of " << got.size();
    }
}

// What a turn list holding `turns` in this order gives back, worked out
// from the full records: the reversal of the legs into each turn taken
// with the two turns before it.
template <class T>
std::vector<KeptTurn<T>> kept_turns_of(const std::vector<TurningPoint<T>>& turns) {
    std::vector<KeptTurn<T>> out;
    for (std::size_t i = 0; i < turns.size(); ++i) {
        const TurningPoint<T>& t = turns[i];
        bool reverses = false;
        if (i >= 2) {
            const TurningPoint<T>& a = turns[i - 2];
            const TurningPoint<T>& b = turns[i - 1];
            reverses = is_reversal(Leg<T>{b.x - a.x, b.y - a.y}, Leg<T>{t.x - b.x, t.y - b.y});
        }
        out.push_back({t.d_same, t.d_line, t.start_idx, t.end_idx, reverses});
    }
    return out;
}

// Inputs that stress the chunked rules: values below 1 that differ by less
// than epsilon without being equal (so restarted anchors group differently),
// dwell runs, NaN and infinities, and a long run across a seam.
template <class T>
void tricky_samples(std::size_t n, unsigned seed, std::vector<T>& xs, std::vector<T>& ys) {
    std::mt19937 rng(seed);
    const T eps = std::numeric_limits<T>::epsilon();
    const T near[] = {T(0), T(0.6) * eps, T(-0.6) * eps, T(0.3) * eps, T(1.2) * eps};
    xs.resize(n);
    ys.resize(n);
    T x = T(0), yv = T(0);
    for (std::size_t i = 0; i < n; ++i) {
        switch (rng() % 16) {
            case 0: x = near[rng() % 5]; break;
            case 1: x = std::numeric_limits<T>::quiet_NaN(); break;
            case 2: x = std::numeric_limits<T>::infinity(); break;
            case 3: case 4: case 5: break;  // dwell: same x again
            default: x = static_cast<T>(static_cast<int>(rng() % 200)) * T(0.25); break;
        }
        if (rng() % 3 == 0) yv = static_cast<T>(static_cast<int>(rng() % 7)) + near[rng() % 5];
        xs[i] = x;
        ys[i] = yv;
    }
    // A run of one x across the seams of the two-chunk plan.
    for (std::size_t i = n / 2 - 1000; i < n / 2 + 1000; ++i) xs[i] = T(0.5);
    // At every seam of the three- and seven-chunk plans, a near-tie that the
    // restarted anchor groups differently: serially 0, 0, 0.6 eps | 1.2 eps;
    // chunked the 0.6 eps anchor takes 1.2 eps along and merges into 0.
    for (std::size_t workers : {3u, 7u}) {
        const ChunkPlan plan = make_chunk_plan(n, workers);
        for (std::size_t c = 1; c < plan.size(); ++c) {
            const std::size_t s = plan[c].start;
            if (s < 2 || s + 2 > n) continue;
            xs[s - 2] = xs[s - 1] = T(0);
            xs[s] = T(0.6) * eps;
            xs[s + 1] = T(1.2) * eps;
        }
    }
}

// A slanted serpentine raster: `lines` lines of `per_line` samples, each
// sample its own run and every step inside a line quiet.
// Stretches of 400 samples, x moving on by a little over 0.001 each: a
// clean line (after which a skip makes the fused walk stop at its first
// turn), y reversing at every sample, y at random, and y at random with
// infinite and NaN samples (directions that turn NaN or infinite).
template <class T>
void dense_turns(int stretches, unsigned seed, std::vector<T>& xs, std::vector<T>& ys) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> jitter(0.0, 1.0);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double x = 0.0;
    for (int stretch = 0; stretch < stretches; ++stretch) {
        const int kind = stretch % 4;
        for (int k = 0; k < 400; ++k) {
            x += 0.001 + 1e-4 * std::fabs(jitter(rng));
            double y = kind == 0 ? 0.01 * k : kind == 1 ? (k % 2 == 0 ? 1.0 : -1.0) : jitter(rng);
            if (kind == 3 && k % 97 == 5) y = k % 2 == 0 ? inf : nan;
            xs.push_back(static_cast<T>(x));
            ys.push_back(static_cast<T>(y));
        }
    }
}

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

// Makes samples p .. p + extra copies of sample p - 1 (within the arrays).
template <class T>
void copies(std::vector<T>& x, std::vector<T>& y, std::size_t p, std::size_t extra) {
    for (std::size_t k = p; k <= p + extra && k < x.size(); ++k) x[k] = x[p - 1], y[k] = y[p - 1];
}

// Everything that can end a quiet stretch, or that a quiet stretch must
// get exactly right, planted at sample p (p >= 2).
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
        {"three copies", [](V& x, V& y, std::size_t p) { copies(x, y, p, 2); }},
        {"four copies", [](V& x, V& y, std::size_t p) { copies(x, y, p, 3); }},
        {"six copies", [](V& x, V& y, std::size_t p) { copies(x, y, p, 5); }},
        {"seven copies", [](V& x, V& y, std::size_t p) { copies(x, y, p, 6); }},
        {"nine copies", [](V& x, V& y, std::size_t p) { copies(x, y, p, 8); }},
        {"five copies, step, six copies", [](V& x, V& y, std::size_t p) { copies(x, y, p, 4), copies(x, y, p + 5, 5); }},
        {"six copies of y at the summable limit", [=](V& x, V& y, std::size_t p) {
             y[p - 1] = max / T(8);
             copies(x, y, p, 5);
         }},
        {"four copies of y past the summable limit", [=](V& x, V& y, std::size_t p) {
             y[p - 1] = max / T(7);
             copies(x, y, p, 3);
         }},
        {"two pairs in a row", [](V& x, V& y, std::size_t p) { copies(x, y, p, 1), copies(x, y, p + 2, 1); }},
        {"pair, step, triple", [](V& x, V& y, std::size_t p) { copies(x, y, p, 1), copies(x, y, p + 2, 2); }},
        {"copies of +0 and -0", [](V& x, V& y, std::size_t p) { y[p - 1] = T(0), y[p] = -T(0), x[p] = x[p - 1]; }},
        {"copies of a huge y", [=](V& x, V& y, std::size_t p) { y[p - 1] = y[p] = max / T(3), x[p] = x[p - 1]; }},
        {"copies of NaN", [=](V& x, V& y, std::size_t p) { y[p - 1] = y[p] = nan, x[p] = x[p - 1]; }},
        {"same x, other y", [](V& x, V&, std::size_t p) { x[p] = x[p - 1]; }},
        {"x pair, then a copy of its second", [](V& x, V& y, std::size_t p) { x[p] = x[p - 1], copies(x, y, p + 1, 0); }},
        {"x pair, then three copies", [](V& x, V& y, std::size_t p) { x[p] = x[p - 1], copies(x, y, p + 2, 2); }},
        {"three copies, then an x pair", [](V& x, V& y, std::size_t p) { copies(x, y, p, 2), x[p + 4] = x[p + 3]; }},
        {"x triple, y moving", [](V& x, V&, std::size_t p) { x[p] = x[p + 1] = x[p - 1]; }},
        {"two x pairs in a row", [](V& x, V&, std::size_t p) { x[p] = x[p - 1], x[p + 2] = x[p + 1]; }},
        {"x pair, y reversing", [](V& x, V& y, std::size_t p) { x[p] = x[p - 1], y[p] = y[p - 2]; }},
        {"x pair, y within tolerance", [=](V& x, V& y, std::size_t p) { x[p] = x[p - 1], y[p] = y[p - 1] + eps * T(0.5); }},
        {"x pair of huge y", [=](V& x, V& y, std::size_t p) { x[p] = x[p - 1], y[p - 1] = max / T(6), y[p] = max / T(5); }},
        {"x pair of +0 and -0", [](V& x, V&, std::size_t p) { x[p - 1] = T(0), x[p] = -T(0); }},
        {"copies of a large y, a small step",
         [=](V& x, V& y, std::size_t p) {
             for (std::size_t k = 0; k < y.size(); ++k) y[k] = T(1e6) + (y[k] - T(1e6)) * T(1e-9);
             copies(x, y, p, 2);
         }},
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

// Where a block scan from `start` must stop, by sample_is_quiet alone:
// after the whole quiet blocks, the first half of the next block when that
// block fits before `end` and its first half is quiet; `repeats` receives
// the skipped samples whose x repeats the one before's.
template <class T>
std::size_t expected_quiet_stop(Samples<T> x, Samples<T> y, std::size_t start, std::size_t end, bool falling,
                                std::size_t& repeats) {
    constexpr std::size_t w = quiet_block_width<T>;
    std::size_t i = start;
    repeats = 0;
    while (end - i >= w) {
        std::size_t quiet = 0;  // quiet samples at the block's start
        while (quiet < w && sample_is_quiet(x, y, i + quiet, falling)) ++quiet;
        const std::size_t taken = quiet == w ? w : quiet >= w / 2 ? w / 2 : 0;
        for (std::size_t k = i; k < i + taken; ++k) repeats += x_repeats_previous(x, k) ? 1 : 0;
        i += taken;
        if (taken < w) break;
    }
    return i;
}

// The single pass, per sample and with every block-scan build the CPU runs,
// gives the stage-by-stage turning points bit for bit.
template <class T>
void expect_pass_matches_stages(const std::vector<T>& xs, const std::vector<T>& ys, std::size_t workers,
                                const std::string& what) {
    const Samples<T> x(xs), y(ys);
    const TurningPointList<T> reference = turning_points_stage_by_stage(x, y, workers);
    std::vector<const simd::BlockScans*> tables = simd::runnable();
    tables.insert(tables.begin(), &simd::off());
    for (const simd::BlockScans* scans : tables) {
        expect_same_turns(turning_points_in_one_pass(x, y, workers, *scans), reference,
                          what + ", " + scans->name + ", " + std::to_string(workers) + " workers");
    }
}

}  // namespace rastermark::testing
