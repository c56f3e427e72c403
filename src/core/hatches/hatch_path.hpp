// The path as the hatch labeller sees it: the usable samples (finite, laser
// on) that do not repeat the one before exactly, numbered in order and cut
// into stretches at every unusable sample; and the samples its scales are
// estimated from.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "label_hatches.hpp"
#include "memory.hpp"
#include "worker_pool.hpp"

namespace rastermark::hatches {

// Samples per task of the parallel stages: fixed, so that the work (and
// every floating-point sum) is split the same way for any worker count.
constexpr std::size_t block_size = std::size_t{1} << 16;
// Below this many samples everything runs on the calling thread.
constexpr std::size_t parallel_threshold = std::size_t{1} << 20;

// Whether work over n samples goes to the worker pool: from
// parallel_threshold samples on, and only where the pool has more than one
// thread (its caller works too, so one thread would still make two).
inline bool split_over_workers(std::size_t n) {
    return n >= parallel_threshold && worker_pool::current_num_threads() > 1;
}

// Runs task(b) once for each block b of block_size samples of [0, n), on
// the worker pool where split_over_workers(n).
template <class Task>
void for_each_block(std::size_t n, const Task& task) {
    const std::size_t blocks = (n + block_size - 1) / block_size;
    if (split_over_workers(n)) {
        worker_pool::run_indexed(blocks, [&](std::size_t b) { task(b); });
    } else {
        for (std::size_t b = 0; b < blocks; ++b) task(b);
    }
}

struct Point {
    double x, y;
};

inline Point operator-(Point a, Point b) { return {a.x - b.x, a.y - b.y}; }
inline double dot(Point a, Point b) { return a.x * b.x + a.y * b.y; }
inline double cross(Point a, Point b) { return a.x * b.y - a.y * b.x; }
// Plain sqrt, not hypot: the scales here are far from overflow, and a
// layer with coordinates near 1e154 only loses its lines (inf compares false).
inline double norm(Point a) { return std::sqrt(a.x * a.x + a.y * a.y); }

// A run of usable samples without a break, as positions [begin, end) in the
// path's own numbering.
struct Stretch {
    std::size_t begin, end;
};

template <class T>
class Path {
public:
    Path(const HatchInput<T>& input) : in_(input) {}

    // Numbers the usable samples that do not repeat the one before; an
    // error text where t cannot be used.
    std::string build(std::size_t& repeats) {
        const std::size_t n = in_.size;
        if (in_.t != nullptr) {
            for (std::size_t i = 0; i < n; ++i) {
                if (!std::isfinite(in_.t[i])) return "t[" + std::to_string(i) + "] is not finite";
                if (i > 0 && !(in_.t[i] > in_.t[i - 1])) {
                    return "t must increase from sample to sample; t[" + std::to_string(i) + "] does not";
                }
            }
        }
        // A first, branch-free scan: most layers have no unusable sample
        // and no repeat, and then the path is the samples themselves.
        const T* x = in_.x;
        const T* y = in_.y;
        constexpr T largest = std::numeric_limits<T>::max();
        // Counted in double (exact below 2^53): compilers vectorise that for
        // any instruction set, integer counts of double comparisons not.
        // One read of the layer for both counts (sample 0 repeats nothing),
        // block by block: the equal pairs of each block place its moving
        // samples below.
        const std::size_t blocks = (n + block_size - 1) / block_size;
        std::vector<double> block_not_finite(blocks, 0.0), block_equal(blocks, 0.0);
        for_each_block(n, [&](std::size_t b) {
            const std::size_t lo = b * block_size, hi = std::min(n, lo + block_size);
            double not_finite = 0.0, equal_pairs = 0.0;
            if (lo == 0 && n > 0) {
                const T size_x = std::fabs(x[0]), size_y = std::fabs(y[0]);
                not_finite += ((size_x <= largest) & (size_y <= largest)) ? 0.0 : 1.0;
            }
            for (std::size_t i = std::max<std::size_t>(lo, 1); i < hi; ++i) {
                const T size_x = std::fabs(x[i]), size_y = std::fabs(y[i]);
                not_finite += ((size_x <= largest) & (size_y <= largest)) ? 0.0 : 1.0;
                equal_pairs += ((x[i] == x[i - 1]) & (y[i] == y[i - 1])) ? 1.0 : 0.0;
            }
            block_not_finite[b] = not_finite;
            block_equal[b] = equal_pairs;
        });
        double not_finite = 0.0, equal_pairs = 0.0;
        for (std::size_t b = 0; b < blocks; ++b) {
            not_finite += block_not_finite[b];
            equal_pairs += block_equal[b];
        }
        std::size_t unusable = static_cast<std::size_t>(not_finite);
        if (in_.laser_on != nullptr) {
            for (std::size_t i = 0; i < n; ++i) unusable += in_.laser_on[i] == 0;
        }
        repeats = 0;
        if (unusable == 0 && equal_pairs == 0.0) {
            if (n > 0) stretches_.push_back({0, n});
            size_ = n;
            if (in_.t != nullptr) set_clock();
            return {};
        }
        if (n - unusable > std::numeric_limits<std::uint32_t>::max()) {
            return "more than 2^32 usable samples in one layer; label it in parts";
        }
        if (unusable == 0) {
            // Repeats only: one stretch of the samples that move, gathered
            // without a branch (each slot is written, then kept or not).
            index_.resize(n);
            std::vector<std::size_t> offset(blocks + 1, 0);
            for (std::size_t b = 0; b < blocks; ++b) {
                const std::size_t length = std::min(n, (b + 1) * block_size) - b * block_size;
                offset[b + 1] = offset[b] + length - static_cast<std::size_t>(block_equal[b]);
            }
            std::uint32_t* out = index_.data();
            for_each_block(n, [&](std::size_t b) {
                const std::size_t lo = b * block_size, hi = std::min(n, lo + block_size);
                std::size_t at = offset[b];
                const std::size_t end = offset[b + 1];
                if (lo == 0) out[at++] = 0;
                // A repeat after the block's last kept sample would write
                // into the next block's slots: the guard stops it there.
                for (std::size_t i = std::max<std::size_t>(lo, 1); i < hi && at < end; ++i) {
                    out[at] = static_cast<std::uint32_t>(i);
                    at += ((x[i] == x[i - 1]) & (y[i] == y[i - 1])) ? 0 : 1;
                }
            });
            const std::size_t count = offset[blocks];
            index_.resize(count);
            repeats = n - count;
            stretches_.push_back({0, index_.size()});
            size_ = index_.size();
            if (in_.t != nullptr) set_clock();
            return {};
        }
        index_.reserve(n - unusable);
        bool open = false, previous_usable = false;
        for (std::size_t i = 0; i < n; ++i) {
            if (!usable(i)) {
                if (open) stretches_.back().end = index_.size();
                open = previous_usable = false;
                continue;
            }
            bool repeat = previous_usable && in_.x[i] == in_.x[i - 1] && in_.y[i] == in_.y[i - 1];
            previous_usable = true;
            if (repeat) {
                ++repeats;
                continue;
            }
            if (!open) stretches_.push_back({index_.size(), index_.size()});
            open = true;
            index_.push_back(static_cast<std::uint32_t>(i));
        }
        if (open) stretches_.back().end = index_.size();
        std::size_t kept = index_.size();
        size_ = kept;
        if (in_.t != nullptr) set_clock();
        return {};
    }

    std::size_t size() const { return size_; }
    bool timed() const { return in_.t != nullptr; }
    const std::vector<Stretch>& stretches() const { return stretches_; }
    double sampling_interval() const { return interval_; }

    std::size_t original(std::size_t j) const { return index_.empty() ? j : index_[j]; }
    // The original index of each distinct sample; null when they are all of them.
    const std::uint32_t* index() const { return index_.empty() ? nullptr : index_.data(); }
    const T* xs() const { return in_.x; }
    const T* ys() const { return in_.y; }
    Point at(std::size_t j) const {
        std::size_t i = original(j);
        return {static_cast<double>(in_.x[i]), static_cast<double>(in_.y[i])};
    }
    // Time in sampling intervals.
    double time(std::size_t j) const {
        return in_.t == nullptr ? static_cast<double>(j) : (in_.t[original(j)] - in_.t[0]) / interval_;
    }

    // Finite (NaN and infinities fail the comparison) and laser on.
    bool usable(std::size_t i) const {
        constexpr T largest = std::numeric_limits<T>::max();
        const T size_x = std::fabs(in_.x[i]), size_y = std::fabs(in_.y[i]);
        return (size_x <= largest) && (size_y <= largest) && (in_.laser_on == nullptr || in_.laser_on[i] != 0);
    }
    // Sample i repeats sample i - 1 exactly (both usable).
    bool repeats_previous(std::size_t i) const {
        return i > 0 && usable(i - 1) && in_.x[i] == in_.x[i - 1] && in_.y[i] == in_.y[i - 1];
    }

private:
    // The median time between consecutive distinct samples of a stretch.
    void set_clock() {
        std::vector<double> gaps;
        gaps.reserve(size_);
        for (const Stretch& s : stretches_) {
            for (std::size_t j = s.begin + 1; j < s.end; ++j) gaps.push_back(in_.t[original(j)] - in_.t[original(j - 1)]);
        }
        if (gaps.empty()) return;
        auto middle = gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2);
        std::nth_element(gaps.begin(), middle, gaps.end());
        interval_ = *middle;
    }

    const HatchInput<T>& in_;
    // Original index of each distinct sample; empty when all are.
    std::vector<std::uint32_t, UnwrittenHugePageAllocator<std::uint32_t>> index_;
    std::vector<Stretch> stretches_;
    std::size_t size_ = 0;
    double interval_ = 1.0;
};

// The samples the scales are estimated from: all of them up to a budget,
// beyond it every k-th block of consecutive samples, so that the estimate
// costs the same for any layer size and still sees every part of the path.
constexpr std::size_t estimation_block = 256;
constexpr std::size_t estimation_budget = std::size_t{1} << 18;

// Calls visit(stretch, j) for the estimation samples j of each stretch.
template <class T, class Visit>
void for_each_estimation_sample(const Path<T>& path, Visit&& visit) {
    const std::size_t stride = std::max<std::size_t>(1, path.size() / estimation_budget);
    for (const Stretch& s : path.stretches()) {
        std::size_t j = s.begin;
        while (j < s.end) {
            std::size_t block = j / estimation_block;
            if (block % stride != 0) {
                j = (block / stride + 1) * stride * estimation_block;
                continue;
            }
            std::size_t block_end = std::min(s.end, (block + 1) * estimation_block);
            for (; j < block_end; ++j) visit(s, j);
        }
    }
}

}  // namespace rastermark::hatches
