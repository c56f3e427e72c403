// The bend search of the hatch labeller: the sample of a run farthest from
// the run's chord, where a run that curves is split.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "hatch_path.hpp"

namespace rastermark::hatches {

// Of samples first, first + stride, ... up to last, and last itself, the
// one farthest from the line through `origin` along `unit`: moves `far`
// and `farthest` to it where it lies farther than `farthest` (the first of
// equals; a NaN distance never does).  The distances go through local
// arrays a chunk at a time, so that they are computed lane by lane; each
// lane keeps its own maximum (the maximum of numbers does not depend on
// the order it is taken in), and the first sample at the chunk's maximum
// is then looked up.
template <class T>
void farthest_from_line(const Path<T>& path, std::size_t first, std::size_t last, std::size_t stride, Point origin,
                        Point unit, std::size_t& far, double& farthest) {
    constexpr std::size_t chunk = 256, lanes = 8;
    std::array<double, chunk> px, py, distance;
    const std::size_t count = (last - first) / stride + 1;  // first, first + stride, ... <= last
    const bool last_apart = (last - first) % stride != 0;
    const T* xs = path.xs();
    const T* ys = path.ys();
    auto walk = path.walk_from(first);
    const bool skips = path.skips();
    for (std::size_t begin = 0; begin < count + (last_apart ? 1 : 0); begin += chunk) {
        const std::size_t size = std::min(chunk, count + (last_apart ? 1 : 0) - begin);
        // The samples' own indices where the path skips none (most layers):
        // no walk to keep up in the loop.
        const std::size_t strided = std::min(size, count - std::min(count, begin));
        if (skips) {
            for (std::size_t m = 0; m < strided; ++m) {
                const std::size_t i = walk.original_of(first + (begin + m) * stride);
                px[m] = static_cast<double>(xs[i]);
                py[m] = static_cast<double>(ys[i]);
            }
        } else {
            const T* x = xs + first + begin * stride;
            const T* y = ys + first + begin * stride;
            for (std::size_t m = 0; m < strided; ++m) {
                px[m] = static_cast<double>(x[m * stride]);
                py[m] = static_cast<double>(y[m * stride]);
            }
        }
        if (strided < size) {  // the last sample, apart from the stride
            const std::size_t i = skips ? walk.original_of(last) : last;
            px[strided] = static_cast<double>(xs[i]);
            py[strided] = static_cast<double>(ys[i]);
        }
        for (std::size_t m = 0; m < size; ++m) {
            distance[m] = std::fabs(unit.x * (py[m] - origin.y) - unit.y * (px[m] - origin.x));
        }
        std::array<double, lanes> lane_max{};
        std::size_t m = 0;
        for (; m + lanes <= size; m += lanes) {
            for (std::size_t l = 0; l < lanes; ++l) {
                lane_max[l] = distance[m + l] > lane_max[l] ? distance[m + l] : lane_max[l];
            }
        }
        double most = 0.0;
        for (double v : lane_max) most = v > most ? v : most;
        for (; m < size; ++m) most = distance[m] > most ? distance[m] : most;
        if (!(most > farthest)) continue;
        for (m = 0; distance[m] != most; ++m) {
        }
        farthest = most;
        far = begin + m < count ? first + (begin + m) * stride : last;
    }
}

}  // namespace rastermark::hatches
