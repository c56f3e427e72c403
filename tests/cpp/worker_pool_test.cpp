#include <atomic>
#include <new>
#include <vector>

#include "test_support.hpp"
#include "worker_pool.hpp"

namespace rastermark {
namespace {

TEST(WorkerPool, SizeRules) {
    using worker_pool::pool_size_from;
    const std::size_t d = 6;
    EXPECT_EQ(pool_size_from(nullptr, nullptr, d), d);
    EXPECT_EQ(pool_size_from("3", nullptr, d), 3u);
    EXPECT_EQ(pool_size_from("0003", "9", d), 3u);
    EXPECT_EQ(pool_size_from("0", "9", d), d);  // primary 0: the default at once
    EXPECT_EQ(pool_size_from("00", "9", d), d);
    for (const char* bad : {"", "-1", "abc", " 4", "4 ", "+4", "1e3", "4.0", "0x4"}) {
        EXPECT_EQ(pool_size_from(bad, nullptr, d), d) << bad;
        EXPECT_EQ(pool_size_from(bad, "5", d), 5u) << bad;
    }
    EXPECT_EQ(pool_size_from(nullptr, "0", d), d);
    EXPECT_EQ(pool_size_from(nullptr, "x", d), d);
    EXPECT_EQ(pool_size_from("255", nullptr, d), 255u);
    EXPECT_EQ(pool_size_from("256", nullptr, d), 255u);
    EXPECT_EQ(pool_size_from("99999999999999999999", nullptr, d), 255u);
    EXPECT_EQ(pool_size_from(nullptr, "99999999999999999999999999", d), 255u);
    EXPECT_EQ(pool_size_from(nullptr, nullptr, 1000), 255u);
    EXPECT_EQ(pool_size_from(nullptr, nullptr, 0), 1u);
    EXPECT_GE(worker_pool::default_pool_size(), 1u);
}

TEST(WorkerPool, OrderedMapAndFailures) {
    EXPECT_GE(worker_pool::current_num_threads(), 1u);
    std::vector<int> items(100);
    for (int i = 0; i < 100; ++i) items[i] = i;
    auto squares = worker_pool::parallel_map<int>(items, [](int v) { return v * v; });
    for (int i = 0; i < 100; ++i) EXPECT_EQ(squares[i], i * i);

    std::atomic<int> ran{0};
    EXPECT_THROW(worker_pool::parallel_map<int>(items,
                                                [&](int v) {
                                                    ++ran;
                                                    if (v % 10 == 3) throw std::bad_alloc();
                                                    return v;
                                                }),
                 std::bad_alloc);
    EXPECT_EQ(ran.load(), 100);  // every task ran before the error came back
}

}  // namespace
}  // namespace rastermark
