// The block list of turning points against a plain vector doing the same:
// growth across block seams, renumbering, replacing and erasing among the
// first records, joining lists, and every way of reading it back.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <vector>

#include "turn_list.hpp"

namespace rastermark {
namespace {

struct Rec {
    std::size_t index;
    double value;
    bool operator==(const Rec&) const = default;
};

// Every way of reading the list gives `want`, in order.
void expect_reads(const TurnList<Rec>& list, const std::vector<Rec>& want) {
    ASSERT_EQ(list.size(), want.size());
    ASSERT_EQ(list.empty(), want.empty());
    std::vector<Rec> seen;
    list.for_each([&](const Rec& r) { seen.push_back(r); });
    EXPECT_EQ(seen, want);
    seen.clear();
    for (const Rec r : list) seen.push_back(r);
    EXPECT_EQ(seen, want);
    std::size_t count = 0;
    list.for_each_stored([&](const Rec& r) {
        EXPECT_EQ(r.value, want[count].value);
        ++count;
    });
    EXPECT_EQ(count, want.size());
    for (std::size_t i = 0; i < want.size(); i += 1 + want.size() / 97) EXPECT_EQ(list[i], want[i]) << i;
}

TEST(TurnList, GrowsAcrossBlocksAsAVectorDoes) {
    TurnList<Rec> list;
    std::vector<Rec> want;
    expect_reads(list, want);
    // Past the first few blocks, each twice the last, and past the cap.
    for (std::size_t k = 0; k < 400000; ++k) {
        list.push_back({k, 0.5 * static_cast<double>(k)});
        want.push_back({k, 0.5 * static_cast<double>(k)});
    }
    expect_reads(list, want);
    TurnList<Rec> copy = list;
    expect_reads(copy, want);
    TurnList<Rec> moved = std::move(copy);
    expect_reads(moved, want);
    expect_reads(TurnList<Rec>{{1, 2.0}, {3, 4.0}}, {{1, 2.0}, {3, 4.0}});
}

// Segments as the join sees them: each list renumbered by the points
// before it, some of its first records recomputed or dropped, then handed
// over; records added after a join go on at the end.
TEST(TurnList, JoinsRenumberedListsWithTheirFirstRecordsChanged) {
    std::mt19937_64 random(11);
    for (int round = 0; round < 40; ++round) {
        TurnList<Rec> out;
        std::vector<Rec> want;
        std::size_t points = 0;
        const int segments = 1 + static_cast<int>(random() % 6);
        for (int s = 0; s < segments; ++s) {
            TurnList<Rec> part;
            std::vector<Rec> part_want;
            // Empty segments, a record or two, and ones past a block seam.
            const std::size_t sizes[] = {0, 1, 2, 255, 256, 257, 3000};
            const std::size_t size = sizes[random() % 7];
            for (std::size_t k = 0; k < size; ++k) {
                const Rec r{k, static_cast<double>(random() % 1000)};
                part.push_back(r);
                part_want.push_back({k + points, r.value});
            }
            part.shift_indices(points);
            for (std::size_t k = 0; k < 3 && !part_want.empty(); ++k) {
                const std::size_t at = random() % std::min<std::size_t>(part_want.size(), 3);
                if (random() % 2 == 0) {
                    part.erase(at);
                    part_want.erase(part_want.begin() + static_cast<std::ptrdiff_t>(at));
                } else {
                    Rec changed = part[at];
                    EXPECT_EQ(changed, part_want[at]);
                    changed.value = -changed.value - 1.0;
                    part.replace(at, changed);
                    part_want[at] = changed;
                }
            }
            expect_reads(part, part_want);
            out.splice(std::move(part));
            EXPECT_TRUE(part.empty());
            want.insert(want.end(), part_want.begin(), part_want.end());
            points += size + 10;
        }
        out.push_back({7, 7.0});
        want.push_back({7, 7.0});
        expect_reads(out, want);
    }
}

}  // namespace
}  // namespace rastermark
