// Counting x-runs without building them: the single pass decides from the
// number of x-points whether collapse_y is chunked, before it starts.
#pragma once

#include <algorithm>
#include <cstddef>

#include "element_traits.hpp"
#include "records.hpp"
#include "simd/block_scans.hpp"

namespace rastermark {

// Number of x-runs among samples [begin, end), begin < end: what collapse_x
// of those samples would return, from the compared coordinate alone.
template <class T>
std::size_t count_x_runs(Samples<T> x, std::size_t begin, std::size_t end,
                         const simd::BlockScans& scans = simd::chosen()) {
    T anchor = x[begin];
    std::size_t runs = 1;
    std::size_t i = begin + 1;
    while (i < end) {
        // Where the run is anchored at the previous sample's x (equal, so
        // the comparisons are the same) and x keeps moving, each sample
        // starts a run: whole blocks of them are counted at once.
        if (anchor == x[i - 1]) {
            const std::size_t stop = skip_moving_x_blocks(scans, x, i, end);
            if (stop != i) {
                runs += stop - i;
                anchor = x[stop - 1];
                i = stop;
                if (i == end) break;
            }
        }
        // Skip whole blocks that stay in the run: four independent tests
        // instead of a chain through a conditionally updated anchor.
        constexpr std::size_t block = 4;
        while (i + block <= end && same_coordinate(x[i], anchor) && same_coordinate(x[i + 1], anchor) &&
               same_coordinate(x[i + 2], anchor) && same_coordinate(x[i + 3], anchor)) {
            i += block;
        }
        const std::size_t stop = std::min(i + block, end);
        for (; i < stop; ++i) {
            const T c = x[i];
            if (!same_coordinate(c, anchor)) {
                anchor = c;
                ++runs;
            }
        }
    }
    return runs;
}

}  // namespace rastermark
