// The straightness test of the hatch labeller: whether a sample lies on a
// line drawn at one marking speed.  `inside` is the rule, sample by sample;
// `fill` computes the same for a range, arranged for the vector unit, and is
// tested against it.  Both compute h1, h2 and the cross product from the
// same differences in the same order, so they agree to the bit.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hatch_path.hpp"
#include "label_hatches.hpp"
#include "memory.hpp"
#include "worker_pool.hpp"

namespace rastermark::hatches {


template <class T>
class StraightTest {
public:
    StraightTest(const Path<T>& path, const HatchScales& scales)
        : path_(path),
          w_(static_cast<std::size_t>(scales.window)),
          deviation_(scales.deviation),
          rest_(scales.rest_step),
          jump_(scales.jump_step),
          speed_noise_(3.0 * std::sqrt(2.0) * scales.noise / static_cast<double>(scales.window)),
          per_window_(1.0 / static_cast<double>(scales.window)) {}

    // Sample j lies within the deviation of the chord from j - w to j + w,
    // and both halves move at one speed between resting and jumping.
    bool inside(std::size_t j) const {
        Point a = path_.at(j - w_), b = path_.at(j), c = path_.at(j + w_);
        Point first = b - a, second = c - b;
        double h1 = norm(first), h2 = norm(second);
        if (path_.timed()) {
            h1 /= path_.time(j) - path_.time(j - w_);
            h2 /= path_.time(j + w_) - path_.time(j);
        } else {
            h1 *= per_window_;
            h2 *= per_window_;
        }
        if (!(std::min(h1, h2) >= rest_ && std::max(h1, h2) <= jump_)) return false;
        if (std::fabs(h1 - h2) > 0.25 * std::max(h1, h2) + speed_noise_) return false;
        Point chord = c - a;
        double off = cross(chord, first);
        return off * off <= deviation_ * deviation_ * dot(chord, chord);
    }

    // Flags samples [lo, hi) of one stretch (lo - w and hi + w - 1 inside
    // it) in flags[j - base]: the same test as inside(), arranged for the vector unit where
    // the clock is the sample count.  Each half's length is computed once,
    // as the second half of one sample and the first of the sample w on.
    void fill(std::size_t lo, std::size_t hi, std::uint8_t* flags, std::size_t base) const {
        if (path_.timed()) {
            for (std::size_t j = lo; j < hi; ++j) flags[j - base] = inside(j) ? 1 : 0;
            return;
        }
        if (path_.index() == nullptr) {
            fill_fixed_rate(lo, hi, flags, base, [](std::size_t j) { return j; });
        } else {
            const std::uint32_t* index = path_.index();
            fill_fixed_rate(lo, hi, flags, base, [index](std::size_t j) { return static_cast<std::size_t>(index[j]); });
        }
    }

    std::size_t window() const { return w_; }

private:
    static constexpr std::size_t fill_chunk = 1024;
    static constexpr std::size_t largest_window = 4;

    template <class Original>
    void fill_fixed_rate(std::size_t lo, std::size_t hi, std::uint8_t* flags, std::size_t base, Original original) const {
        const T* xs = path_.xs();
        const T* ys = path_.ys();
        const std::size_t w = w_;
        const double rest = rest_, jump = jump_, noise = speed_noise_, per_window = per_window_;
        const double deviation_squared = deviation_ * deviation_;
        std::array<double, fill_chunk + largest_window> half;  // half[k]: speed from sample from + k to from + k + w
        for (std::size_t start = lo; start < hi; start += fill_chunk) {
            const std::size_t end = std::min(hi, start + fill_chunk);
            const std::size_t from = start - w;
            for (std::size_t k = 0; k < end - from; ++k) {
                std::size_t a = original(from + k), b = original(from + k + w);
                double dx = static_cast<double>(xs[b]) - static_cast<double>(xs[a]);
                double dy = static_cast<double>(ys[b]) - static_cast<double>(ys[a]);
                half[k] = std::sqrt(dx * dx + dy * dy) * per_window;
            }
            for (std::size_t j = start; j < end; ++j) {
                double h1 = half[j - w - from], h2 = half[j - from];
                std::size_t a = original(j - w), b = original(j), c = original(j + w);
                double ax = static_cast<double>(xs[a]), ay = static_cast<double>(ys[a]);
                double fx = static_cast<double>(xs[b]) - ax, fy = static_cast<double>(ys[b]) - ay;
                double cx = static_cast<double>(xs[c]) - ax, cy = static_cast<double>(ys[c]) - ay;
                double low = h1 < h2 ? h1 : h2, high = h1 < h2 ? h2 : h1;
                double off = cx * fy - cy * fx;
                bool ok = (low >= rest) & (high <= jump) & (high - low <= 0.25 * high + noise) &
                          (off * off <= deviation_squared * (cx * cx + cy * cy));
                flags[j - base] = ok ? 1 : 0;
            }
        }
    }

    const Path<T>& path_;
    std::size_t w_;
    double deviation_, rest_, jump_, speed_noise_, per_window_;
};

// A maximal run of samples inside lines: [first, last] of one stretch.
struct StraightRun {
    std::size_t first, last, stretch;
};

// The runs of inside samples in path order.  The test runs block by block
// (split over the workers for large layers), each block's flags in a buffer
// of its own; runs cut by a block's end are joined afterwards, so the runs
// are the same for any worker count.
template <class T>
std::vector<StraightRun> straight_runs_of(const Path<T>& path, const StraightTest<T>& test) {
    const auto& stretches = path.stretches();
    const std::size_t w = test.window();
    const std::size_t blocks = (path.size() + block_size - 1) / block_size;
    std::vector<std::vector<StraightRun>> found(blocks);
    auto run_block = [&](std::size_t block) {
        std::vector<std::uint8_t> flags(block_size, 0);
        const std::size_t lo = block * block_size, hi = std::min(path.size(), lo + block_size);
        auto s = std::upper_bound(stretches.begin(), stretches.end(), lo,
                                  [](std::size_t v, const Stretch& st) { return v < st.end; });
        for (; s != stretches.end() && s->begin < hi; ++s) {
            if (s->end - s->begin <= 2 * w) continue;
            std::size_t from = std::max(lo, s->begin + w), to = std::min(hi, s->end - w);
            if (from >= to) continue;
            test.fill(from, to, flags.data(), lo);
            const std::size_t stretch = static_cast<std::size_t>(s - stretches.begin());
            for (std::size_t j = from; j < to;) {
                if (!flags[j - lo]) {
                    ++j;
                    continue;
                }
                std::size_t first = j;
                while (j < to && flags[j - lo]) ++j;
                found[block].push_back({first, j - 1, stretch});
            }
        }
    };
    if (split_over_workers(path.size())) {
        worker_pool::run_indexed(blocks, run_block);
    } else {
        for (std::size_t b = 0; b < blocks; ++b) run_block(b);
    }
    std::vector<StraightRun> runs;
    for (const auto& block : found) {
        for (const StraightRun& r : block) {
            if (!runs.empty() && runs.back().stretch == r.stretch && runs.back().last + 1 == r.first) {
                runs.back().last = r.last;
            } else {
                runs.push_back(r);
            }
        }
    }
    return runs;
}

}  // namespace rastermark::hatches
