// Helpers shared by the core's unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "collapse.hpp"
#include "pipeline.hpp"
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

// Turning-point lists identical field by field, bit for bit.
template <class T>
void expect_same_turns(const TurningPointList<T>& got, const TurningPointList<T>& expected, const std::string& what) {
    ASSERT_EQ(got.size(), expected.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const TurningPoint<T>& a = got[i];
        const TurningPoint<T>& b = expected[i];
        ASSERT_TRUE(a.index == b.index && a.start_idx == b.start_idx && a.end_idx == b.end_idx &&
                    same_bits(a.x, b.x) && same_bits(a.y, b.y) && same_bits(a.d_same, b.d_same) &&
                    same_bits(a.d_line, b.d_line))
            << what << ", turn " << i << " of " << got.size();
    }
}

}  // namespace rastermark::testing
