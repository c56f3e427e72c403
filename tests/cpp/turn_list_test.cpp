// The compact turn list against the full records it was given: offsets
// across block seams and past the span a block's offsets reach, turns too
// wide for offsets, the reversal of the legs into each turn, and joins of
// segment lists whose first turns are handed over again.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <vector>

#include "test_support.hpp"
#include "turn_list.hpp"

namespace rastermark {
namespace {

using testing::kept_turns_of;

// Every way of reading the list gives `want`, in order.
template <class List>
void expect_reads(const List& list, const std::vector<KeptTurn<double>>& want) {
    ASSERT_EQ(list.size(), want.size());
    ASSERT_EQ(list.empty(), want.empty());
    std::vector<KeptTurn<double>> seen;
    list.for_each([&](const KeptTurn<double>& r) { seen.push_back(r); });
    ASSERT_EQ(seen, want);
    seen.clear();
    for (const KeptTurn<double> r : list) seen.push_back(r);
    ASSERT_EQ(seen, want);
    for (std::size_t i = 0; i < want.size(); i += 1 + want.size() / 97) EXPECT_EQ(list[i], want[i]) << i;
}

// Turns along a path, their samples in order: gaps and spans drawn from
// `widths` (so that some reach past a block's span), positions a noisy
// zig-zag (so that legs both reverse and do not).
struct TurnMaker {
    std::mt19937_64 random;
    std::vector<std::size_t> widths;
    std::size_t next_sample = 0;
    int k = 0;

    TurningPoint<double> operator()() {
        const std::size_t start = next_sample + widths[random() % widths.size()];
        const std::size_t end = start + widths[random() % widths.size()];
        next_sample = end + 1;
        const double wobble = static_cast<double>(random() % 1000) / 250.0;
        ++k;
        return {static_cast<double>(random() % 100), static_cast<double>(random() % 50),
                static_cast<double>(k) + wobble, (k % 2 == 0 ? 10.0 : -10.0) + wobble, start, end};
    }
};

template <std::size_t span>
void check_growth(std::vector<std::size_t> widths, std::size_t count) {
    TurnList<double, span> list;
    std::vector<TurningPoint<double>> full;
    expect_reads(list, {});
    TurnMaker make{std::mt19937_64(span), std::move(widths)};
    for (std::size_t i = 0; i < count; ++i) {
        full.push_back(make());
        list.push_back(full.back());
    }
    const auto want = kept_turns_of(full);
    expect_reads(list, want);
    const TurnList<double, span> copy = list;
    expect_reads(copy, want);
    TurnList<double, span> moved = std::move(list);
    expect_reads(moved, want);
    EXPECT_TRUE(list.empty());  // NOLINT: a moved-from list is empty
}

TEST(TurnList, GrowsAcrossBlocksAndKeepsEverySample) {
    // Past the first few blocks, each twice the last, and past the cap.
    check_growth<std::size_t{1} << 31>({0, 1, 2, 7}, 400000);
    // Offsets that fill a block's span quickly, and turns wider than it.
    check_growth<16>({0, 1, 3, 15, 16, 17, 40}, 5000);
    check_growth<2>({0, 1, 2, 3}, 3000);
    // Samples in the billions: offsets stay 32-bit.
    check_growth<std::size_t{1} << 31>({0, std::size_t{1} << 30, (std::size_t{1} << 31) - 1, std::size_t{1} << 31,
                                        std::size_t{3} << 31},
                                       2000);
    const TurningPoint<double> a{1, 2, 0, 0, 5, 5}, b{3, 4, 1, 5, 9, 9}, c{5, 6, 2, 0, 12, 14};
    expect_reads(TurnList<double>{a, b, c}, kept_turns_of<double>({a, b, c}));
}

// Segments as the join sees them: each list drops its first few turns,
// and the joined list takes those again (some left out, as a dropped
// pending turn is) before the rest of the segment's blocks.
TEST(TurnList, JoinsSegmentsWhoseFirstTurnsAreHandedOverAgain) {
    std::mt19937_64 random(11);
    for (int round = 0; round < 60; ++round) {
        TurnList<double, 64> out;
        std::vector<TurningPoint<double>> want;
        TurnMaker make{std::mt19937_64(round), {0, 1, 5, 30, 63, 64, 100}};
        const int segments = 1 + static_cast<int>(random() % 6);
        for (int s = 0; s < segments; ++s) {
            TurnList<double, 64> part;
            std::vector<TurningPoint<double>> part_full;
            // Empty segments, a turn or two, and ones past a block seam.
            const std::size_t sizes[] = {0, 1, 2, 3, 4, 255, 256, 257, 3000};
            const std::size_t size = sizes[random() % 9];
            for (std::size_t k = 0; k < size; ++k) {
                part_full.push_back(make());
                part.push_back(part_full.back());
            }
            // (Two or more, or all: the legs of the third lie within the segment.)
            const std::size_t lead = std::min<std::size_t>(size, 2 + random() % 4);
            part.drop_front(lead);
            for (std::size_t k = 0; k < lead; ++k) {
                if (k + 2 < lead && random() % 3 == 0) continue;  // never one of the last two
                out.push_back(part_full[k]);
                want.push_back(part_full[k]);
            }
            out.splice(std::move(part));
            EXPECT_TRUE(part.empty());  // NOLINT: handed over
            want.insert(want.end(), part_full.begin() + static_cast<std::ptrdiff_t>(lead), part_full.end());
            expect_reads(out, kept_turns_of(want));
        }
        want.push_back(make());
        out.push_back(want.back());
        expect_reads(out, kept_turns_of(want));
    }
}

}  // namespace
}  // namespace rastermark
