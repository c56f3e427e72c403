#include "chunk_plan.hpp"
#include "test_support.hpp"

namespace rastermark {
namespace {

TEST(ChunkPlan, MatchesTheTable) {
    struct Row {
        std::size_t len, workers, entries;
        IndexRange last;
    };
    for (const Row& row : {Row{500000, 2, 2, {250000, 500000}}, Row{500000, 3, 3, {333334, 500000}},
                           Row{500000, 7, 7, {428574, 500000}}, Row{250000, 48, 48, {244823, 250000}},
                           Row{500000, 255, 255, {498094, 500000}}}) {
        const ChunkPlan plan = make_chunk_plan(row.len, row.workers);
        ASSERT_EQ(plan.size(), row.entries) << row.len << "/" << row.workers;
        EXPECT_EQ(plan.back(), row.last);
        EXPECT_EQ(plan.front().start, 0u);
        for (std::size_t i = 1; i < plan.size(); ++i) EXPECT_EQ(plan[i].start, plan[i - 1].end);
    }
    EXPECT_EQ(make_chunk_plan(500000, 3),
              (ChunkPlan{{0, 166667}, {166667, 333334}, {333334, 500000}}));
    // Small lengths can give fewer entries than workers.
    EXPECT_EQ(make_chunk_plan(5, 4), (ChunkPlan{{0, 2}, {2, 4}, {4, 5}}));
}

}  // namespace
}  // namespace rastermark
