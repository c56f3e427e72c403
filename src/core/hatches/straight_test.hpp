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

    // Samples the test takes at a time.
    static constexpr std::size_t chunk = 1024;

    // The verdicts for samples [lo, hi) of one stretch (lo - w and
    // hi + w - 1 inside it, at most `chunk` of them) in out[j - lo]: 1 where
    // inside(j), 0 elsewhere.  Where the clock is the sample count, the same
    // test arranged for the vector unit: each half's length is computed
    // once, as the second half of one sample and the first of the sample w
    // on, from the same differences in the same order as inside().
    void verdicts(std::size_t lo, std::size_t hi, double* out) const {
        if (path_.timed()) {
            for (std::size_t j = lo; j < hi; ++j) out[j - lo] = inside(j) ? 1.0 : 0.0;
        } else if (!path_.skips()) {
            verdicts_fixed_rate(lo, hi, out, [j = lo - w_]() mutable { return j++; });
        } else {
            verdicts_fixed_rate(lo, hi, out, [walk = path_.walk_from(lo - w_)]() mutable { return walk.next(); });
        }
    }

    // The same as flags: flags[j - base] for samples [lo, hi) of one stretch.
    void fill(std::size_t lo, std::size_t hi, std::uint8_t* flags, std::size_t base) const {
        std::array<double, chunk> verdict;
        for (std::size_t start = lo; start < hi; start += chunk) {
            const std::size_t end = std::min(hi, start + chunk);
            verdicts(start, end, verdict.data());
            for (std::size_t j = start; j < end; ++j) flags[j - base] = verdict[j - start] != 0.0 ? 1 : 0;
        }
    }

    std::size_t window() const { return w_; }

private:
    // The widest window the vector form is built for (the scales choose 2 to 4).
    static constexpr std::size_t largest_window = 4;

    // The positions are first read into local arrays of doubles (`next`
    // gives the original index of each sample from lo - w on), so that the test
    // itself runs over contiguous memory; the verdicts are doubles, since
    // a select per condition keeps the loop in one lane width, which every
    // vector unit can do.
    template <class Next>
    void verdicts_fixed_rate(std::size_t lo, std::size_t hi, double* out, Next next) const {
        // The window as a constant of the loops below, which lets the
        // compiler keep the shifted loads in registers.
        switch (w_) {
            case 2:
                return verdicts_in_window<2>(lo, hi, out, next);
            case 3:
                return verdicts_in_window<3>(lo, hi, out, next);
            case 4:
                return verdicts_in_window<4>(lo, hi, out, next);
            default:
                for (std::size_t j = lo; j < hi; ++j) out[j - lo] = inside(j) ? 1.0 : 0.0;
        }
    }

    template <std::size_t w, class Next>
    void verdicts_in_window(std::size_t lo, std::size_t hi, double* out, Next& next) const {
        const T* xs = path_.xs();
        const T* ys = path_.ys();
        const double rest = rest_, jump = jump_, noise = speed_noise_, per_window = per_window_;
        const double deviation_squared = deviation_ * deviation_;
        constexpr std::size_t span = chunk + 2 * largest_window;
        std::array<double, span> px, py;  // samples lo - w .. hi + w - 1
        std::array<double, span> half;    // half[k]: speed from sample lo - w + k to lo + k
        const std::size_t from = lo - w;
        const std::size_t count = hi + w - from;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t i = next();
            px[k] = static_cast<double>(xs[i]);
            py[k] = static_cast<double>(ys[i]);
        }
        for (std::size_t k = 0; k + w < count; ++k) {
            const double dx = px[k + w] - px[k], dy = py[k + w] - py[k];
            half[k] = std::sqrt(dx * dx + dy * dy) * per_window;
        }
        for (std::size_t k = 0; k < hi - lo; ++k) {
            // Sample lo + k sits at k + w of the local arrays.
            const double h1 = half[k], h2 = half[k + w];
            const double ax = px[k], ay = py[k];
            const double fx = px[k + w] - ax, fy = py[k + w] - ay;
            const double cx = px[k + 2 * w] - ax, cy = py[k + 2 * w] - ay;
            const double low = h1 < h2 ? h1 : h2, high = h1 < h2 ? h2 : h1;
            const double off = cx * fy - cy * fx;
            double ok = low >= rest ? 1.0 : 0.0;
            ok = high <= jump ? ok : 0.0;
            ok = high - low <= 0.25 * high + noise ? ok : 0.0;
            ok = off * off <= deviation_squared * (cx * cx + cy * cy) ? ok : 0.0;
            out[k] = ok;
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

// Calls visit(run) for each run of inside samples among the samples
// [block * block_size, ... + block_size) of the path, in order, as soon as
// the test has passed its end, so that its samples are still in cache.  A
// run that starts at the block's first sample or ends at its last may go
// on in the block next to it.
template <class T, class Visit>
void straight_runs_in_block(const Path<T>& path, const StraightTest<T>& test, std::size_t block, Visit&& visit) {
    const auto& stretches = path.stretches();
    const std::size_t w = test.window();
    const std::size_t lo = block * block_size, hi = std::min(path.size(), lo + block_size);
    // Room past the verdicts for a sentinel, which ends each search below.
    std::array<double, StraightTest<T>::chunk + 1> verdict;
    auto s = std::upper_bound(stretches.begin(), stretches.end(), lo,
                              [](std::size_t v, const Stretch& st) { return v < st.end; });
    for (; s != stretches.end() && s->begin < hi; ++s) {
        if (s->end - s->begin <= 2 * w) continue;
        std::size_t from = std::max(lo, s->begin + w), to = std::min(hi, s->end - w);
        if (from >= to) continue;
        const std::size_t stretch = static_cast<std::size_t>(s - stretches.begin());
        constexpr std::size_t none = static_cast<std::size_t>(-1);
        std::size_t open = none;  // the first sample of the run in progress
        for (std::size_t start = from; start < to; start += StraightTest<T>::chunk) {
            const std::size_t end = std::min(to, start + StraightTest<T>::chunk);
            test.verdicts(start, end, verdict.data());
            // Runs are long: each search below looks only for the next
            // change, eight verdicts at a time (sums of eight zeros and
            // ones are exact), and stops at the sentinel, which differs
            // from the verdict it is searched for.
            const double* v = verdict.data() - start;
            for (std::size_t j = start; j < end;) {
                const double wanted = open == none ? 1.0 : 0.0;
                verdict[end - start] = wanted;
                const double all_unwanted = open == none ? 0.0 : 8.0;
                while (j + 8 <= end && v[j] + v[j + 1] + v[j + 2] + v[j + 3] + v[j + 4] + v[j + 5] + v[j + 6] + v[j + 7] ==
                                           all_unwanted) {
                    j += 8;
                }
                while (v[j] != wanted) ++j;
                if (j == end) break;
                if (open == none) {
                    open = j;
                } else {
                    visit(StraightRun{open, j - 1, stretch});
                    open = none;
                }
            }
        }
        if (open != none) visit(StraightRun{open, to - 1, stretch});
    }
}

// Whether run `next` continues run `run` across a block's end.
inline bool continues(const StraightRun& run, const StraightRun& next) {
    return run.stretch == next.stretch && run.last + 1 == next.first;
}

// The runs of inside samples in path order.  The test runs block by block
// (split over the workers for large layers); runs cut by a block's end are
// joined afterwards, so the runs are the same for any worker count.
template <class T>
std::vector<StraightRun> straight_runs_of(const Path<T>& path, const StraightTest<T>& test) {
    const std::size_t blocks = (path.size() + block_size - 1) / block_size;
    std::vector<std::vector<StraightRun>> found(blocks);
    auto run_block = [&](std::size_t block) {
        straight_runs_in_block(path, test, block, [&](const StraightRun& r) { found[block].push_back(r); });
    };
    if (split_over_workers(path.size())) {
        worker_pool::run_indexed(blocks, run_block);
    } else {
        for (std::size_t b = 0; b < blocks; ++b) run_block(b);
    }
    std::vector<StraightRun> runs;
    for (const auto& block : found) {
        for (const StraightRun& r : block) {
            if (!runs.empty() && continues(runs.back(), r)) {
                runs.back().last = r.last;
            } else {
                runs.push_back(r);
            }
        }
    }
    return runs;
}

}  // namespace rastermark::hatches
