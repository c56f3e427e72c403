// Index ranges and the chunk plan: how an input of `len` items is cut into
// one contiguous range per worker, and from what size the collapse steps
// are cut at all.  The ground floor of the parallel work: it includes no
// stage.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace rastermark {

// Smallest inputs that the collapse steps split into chunks (with two or
// more workers).
inline constexpr std::size_t parallel_x_threshold = 500000;  // samples
inline constexpr std::size_t parallel_y_threshold = 250000;  // x-points

// Half-open index range [start, end).
struct IndexRange {
    std::size_t start;
    std::size_t end;

    bool operator==(const IndexRange&) const = default;
};

using ChunkPlan = std::vector<IndexRange>;

// Contiguous chunks of ceil(len / workers) items, the last one holding the rest.
inline ChunkPlan make_chunk_plan(std::size_t len, std::size_t workers) {
    const std::size_t chunk = len / workers + (len % workers != 0 ? 1 : 0);
    ChunkPlan plan;
    if (chunk == 0) return plan;
    plan.reserve(len / chunk + 1);
    for (std::size_t start = 0; start < len; start += chunk) {
        plan.push_back({start, std::min(start + chunk, len)});
    }
    return plan;
}

}  // namespace rastermark
