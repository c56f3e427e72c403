// The radix select against std::nth_element on adversarial bit patterns:
// ties, neighbours one bit apart, subnormals, +inf, one value, every
// position of small inputs, and sizes around the switch to nth_element.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <vector>

#include "radix_select.hpp"

namespace {

template <class T>
class RadixSelect : public ::testing::Test {};
using Types = ::testing::Types<float, double>;
TYPED_TEST_SUITE(RadixSelect, Types);

// The parts of an in-place select, run one after another, in order or in
// reverse.
const auto in_order = [](std::size_t parts, auto&& task) {
    for (std::size_t p = 0; p < parts; ++p) task(p);
};
const auto in_reverse = [](std::size_t parts, auto&& task) {
    for (std::size_t p = parts; p-- > 0;) task(p);
};

template <class T>
T by_sorting(std::vector<T> values, std::size_t k) {
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

// Both selects: the one that reorders its vector, and the one that visits
// values where they lie (here with zeros, negatives and NaN between them,
// which the caller leaves out as the threshold does).
template <class T>
void expect_same_bits(std::vector<T> values, std::size_t k) {
    const T want = by_sorting(values, k);
    std::vector<T> stored;
    for (const T v : values) {
        stored.push_back(v);
        if (stored.size() % 3 == 0) stored.push_back(std::numeric_limits<T>::quiet_NaN());
        if (stored.size() % 5 == 0) stored.push_back(-v);
        if (stored.size() % 7 == 0) stored.push_back(T(0));
    }
    std::size_t visits = 0;
    const T in_place = rastermark::select_positive_in_place<T>(
        1,
        [&](std::size_t, auto&& take) {
            ++visits;
            for (const T v : stored) {
                if (v > T(0)) take(v);
            }
        },
        [&](std::size_t count) {
            EXPECT_EQ(count, values.size());
            return k;
        },
        in_order);
    EXPECT_EQ(rastermark::bits(in_place), rastermark::bits(want)) << "in place, k = " << k << " of " << values.size();
    EXPECT_LE(visits, 2u);
    // In parts of uneven length (one empty), the parts run in reverse.
    const std::size_t cuts[] = {0, stored.size() / 5, stored.size() / 5, stored.size() / 2, stored.size()};
    const T in_parts = rastermark::select_positive_in_place<T>(
        4,
        [&](std::size_t p, auto&& take) {
            for (std::size_t i = cuts[p]; i < cuts[p + 1]; ++i) {
                if (stored[i] > T(0)) take(stored[i]);
            }
        },
        [&](std::size_t) { return k; }, in_reverse);
    EXPECT_EQ(rastermark::bits(in_parts), rastermark::bits(want)) << "in parts, k = " << k << " of " << values.size();
    const T got = rastermark::select_positive(values, k);
    EXPECT_EQ(rastermark::bits(got), rastermark::bits(want)) << "k = " << k << " of " << values.size();
}

TEST(RadixSelectInPlace, NoValuesGiveZero) {
    EXPECT_EQ(rastermark::select_positive_in_place<double>(
                  1, [](std::size_t, auto&&) {}, [](std::size_t) { return 0; }, in_order),
              0.0);
}

TYPED_TEST(RadixSelect, AgreesWithNthElementOnAdversarialPatterns) {
    using T = TypeParam;
    std::mt19937_64 random(11);
    const T tiny = std::numeric_limits<T>::denorm_min();
    const T inf = std::numeric_limits<T>::infinity();
    std::vector<std::vector<T>> inputs;
    inputs.push_back({T(3)});
    inputs.push_back(std::vector<T>(5000, T(0.25)));  // all ties
    std::vector<T> neighbours;                         // one bit apart, shuffled
    for (int i = 0; i < 3000; ++i) neighbours.push_back(T(1) + T(i) * std::numeric_limits<T>::epsilon());
    std::shuffle(neighbours.begin(), neighbours.end(), random);
    inputs.push_back(neighbours);
    std::vector<T> mixed;  // subnormals, +inf, the largest finite, powers of two, repeats
    for (int i = 0; i < 4000; ++i) {
        switch (random() % 6) {
            case 0: mixed.push_back(tiny * T(1 + random() % 7)); break;
            case 1: mixed.push_back(inf); break;
            case 2: mixed.push_back(std::numeric_limits<T>::max()); break;
            case 3: mixed.push_back(std::ldexp(T(1), static_cast<int>(random() % 60) - 30)); break;
            default: mixed.push_back(T(1) + T(random() % 1000) / T(1000)); break;
        }
    }
    inputs.push_back(mixed);
    std::vector<T> spread;
    std::uniform_real_distribution<double> uniform(1e-6, 1e6);
    for (int i = 0; i < 100000; ++i) spread.push_back(static_cast<T>(uniform(random)));
    inputs.push_back(spread);
    for (const auto& input : inputs) {
        for (std::size_t k : {std::size_t{0}, input.size() / 2, input.size() - 1, input.size() / 3}) {
            expect_same_bits(input, k);
        }
    }
}

TYPED_TEST(RadixSelect, EveryPositionAroundTheSwitchToNthElement) {
    using T = TypeParam;
    std::mt19937_64 random(5);
    for (std::size_t size : {1, 2, 255, 256, 257, 600}) {
        std::vector<T> values;
        for (std::size_t i = 0; i < size; ++i) values.push_back(T(1 + random() % 50));
        for (std::size_t k = 0; k < size; ++k) expect_same_bits(values, k);
    }
}

}  // namespace
