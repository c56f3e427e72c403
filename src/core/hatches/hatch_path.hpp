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
#include "platform.hpp"
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

// Runs task(begin, end) over [0, count) in parts of `part` items, on the
// worker pool where `parallel` (the parts are fixed, so the work is split the
// same way for any worker count).
template <class Task>
void for_each_part(std::size_t count, std::size_t part, bool parallel, const Task& task) {
    const std::size_t parts = (count + part - 1) / part;
    auto run = [&](std::size_t c) { task(c * part, std::min(count, (c + 1) * part)); };
    if (parallel && parts > 1) {
        worker_pool::run_indexed(parts, run);
    } else {
        for (std::size_t c = 0; c < parts; ++c) run(c);
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

// The samples of [lo, hi) that are not finite, and those (from sample 1 on)
// that repeat the one before exactly.
struct BreakTally {
    std::size_t not_finite = 0, equal_pairs = 0;
};

// Tallies run in lanes of T, each counting at most block_size / tally_lanes
// (exact in float): one lane width and selects only, which every vector
// unit does (integer counts of double comparisons it does not everywhere).
// x - x is 0 exactly where x is finite, NaN elsewhere.
constexpr std::size_t tally_lanes = 16;
static_assert(block_size / tally_lanes <= (std::size_t{1} << 24), "a lane's count must stay exact in float");

template <class T>
BreakTally tally_breaks(const T* x, const T* y, std::size_t lo, std::size_t hi) {
    BreakTally tally;
    std::size_t i = lo;
    if (i == 0 && hi > 0) {
        tally.not_finite += ((x[0] - x[0] == T(0)) & (y[0] - y[0] == T(0))) ? 0 : 1;
        i = 1;
    }
    T not_finite[tally_lanes] = {}, equal[tally_lanes] = {};
    for (; i + tally_lanes <= hi; i += tally_lanes) {
        for (std::size_t l = 0; l < tally_lanes; ++l) {
            const T xi = x[i + l], yi = y[i + l];
            T broken = xi - xi == T(0) ? T(0) : T(1);
            broken = yi - yi == T(0) ? broken : T(1);
            T same = xi == x[i + l - 1] ? T(1) : T(0);
            same = yi == y[i + l - 1] ? same : T(0);
            not_finite[l] += broken;
            equal[l] += same;
        }
    }
    for (std::size_t l = 0; l < tally_lanes; ++l) {
        tally.not_finite += static_cast<std::size_t>(not_finite[l]);
        tally.equal_pairs += static_cast<std::size_t>(equal[l]);
    }
    for (; i < hi; ++i) {
        tally.not_finite += ((x[i] - x[i] == T(0)) & (y[i] - y[i] == T(0))) ? 0 : 1;
        tally.equal_pairs += ((x[i] == x[i - 1]) & (y[i] == y[i - 1])) ? 1 : 0;
    }
    return tally;
}

template <class T>
class Path {
public:
    explicit Path(const HatchInput<T>& input) : in_(input) {}

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
        // One read of the layer, block by block: a branch-free count of
        // what breaks the path, and where something does, the samples set
        // aside, found while the block is still in cache: the repeats, and
        // the unusable samples, which also cut the path.  Most layers have
        // neither, and then the path is the samples themselves.
        struct Skipped {
            std::vector<std::size_t> all, breaks;
        };
        const std::size_t blocks = (n + block_size - 1) / block_size;
        std::vector<Skipped> skipped(blocks);
        for_each_block(n, [&](std::size_t b) {
            const std::size_t lo = b * block_size, hi = std::min(n, lo + block_size);
            const BreakTally tally = tally_breaks(in_.x, in_.y, lo, hi);
            if (tally.not_finite + tally.equal_pairs == 0 && in_.laser_on == nullptr) return;
            Skipped& out = skipped[b];
            if (tally.not_finite == 0 && in_.laser_on == nullptr) {
                // Every sample usable: only repeats to find.
                const T* x = in_.x;
                const T* y = in_.y;
                for (std::size_t i = std::max<std::size_t>(lo, 1); i < hi; ++i) {
                    if ((x[i] == x[i - 1]) & (y[i] == y[i - 1])) out.all.push_back(i);
                }
                return;
            }
            for (std::size_t i = lo; i < hi; ++i) {
                if (!usable(i)) {
                    out.all.push_back(i);
                    out.breaks.push_back(i);
                } else if (repeats_previous(i)) {
                    out.all.push_back(i);
                }
            }
        });
        std::size_t count = 0;
        for (const Skipped& block : skipped) count += block.all.size();
        repeats = 0;
        if (count == 0) {
            if (n > 0) stretches_.push_back({0, n});
            size_ = n;
            if (in_.t != nullptr) set_clock();
            return {};
        }
        // shifted_[k] is the k-th skipped sample's index less k; a path
        // sample j is then original sample j + (entries <= j).  An unusable
        // sample cuts the path before path sample (its index less the
        // skipped samples before it).
        shifted_.reserve(count);
        std::vector<std::size_t> cuts;
        for (Skipped& block : skipped) {
            std::size_t at = 0;
            for (std::size_t i : block.all) {
                const std::size_t k = shifted_.size();
                if (at < block.breaks.size() && block.breaks[at] == i) {
                    cuts.push_back(i - k);
                    ++at;
                }
                shifted_.push_back(i - k);
            }
            block = Skipped{};
        }
        size_ = n - count;
        repeats = count;
        std::size_t begin = 0;
        for (std::size_t cut : cuts) {
            repeats -= 1;
            if (cut > begin) stretches_.push_back({begin, cut});
            begin = cut;
        }
        if (size_ > begin) stretches_.push_back({begin, size_});
        // lookup_[g]: the entries below g * lookup_step.
        const std::size_t groups = size_ / lookup_step + 2;
        lookup_.assign(groups, shifted_.size());
        std::size_t k = 0;
        for (std::size_t g = 0; g < groups; ++g) {
            while (k < shifted_.size() && shifted_[k] < g * lookup_step) ++k;
            lookup_[g] = k;
        }
        if (in_.t != nullptr) set_clock();
        return {};
    }

    std::size_t size() const { return size_; }
    bool timed() const { return in_.t != nullptr; }
    const std::vector<Stretch>& stretches() const { return stretches_; }
    double sampling_interval() const { return interval_; }
    // Whether path samples and original samples differ in number.
    bool skips() const { return !shifted_.empty(); }

    // The original index of path sample j.
    std::size_t original(std::size_t j) const {
        if (shifted_.empty()) return j;
        const std::size_t g = std::min(j / lookup_step, lookup_.size() - 2);
        const std::size_t below = lookup_[g], end = lookup_[g + 1];
        if (below == end) return j + below;  // nothing skipped around j: the common case
        const auto first = shifted_.begin() + static_cast<std::ptrdiff_t>(below);
        const auto last = shifted_.begin() + static_cast<std::ptrdiff_t>(end);
        return j + static_cast<std::size_t>(std::upper_bound(first, last, j) - shifted_.begin());
    }

    // The original indices of path samples j, j + 1, ... in turn (next()),
    // or of any samples from j on in increasing order (original_of()),
    // without a search for each.
    class Walk {
    public:
        Walk(const Path& path, std::size_t j) : shifted_(path.shifted_), j_(j), skipped_(path.original(j) - j) {}
        std::size_t next() { return original_of(j_++); }
        std::size_t original_of(std::size_t j) {
            while (skipped_ < shifted_.size() && shifted_[skipped_] <= j) ++skipped_;
            return j + skipped_;
        }

    private:
        const std::vector<std::size_t>& shifted_;
        std::size_t j_, skipped_;
    };
    Walk walk_from(std::size_t j) const { return Walk(*this, j); }

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

    // A hint for the work on the samples around j that is coming: the work
    // per piece jumps through the layer from one piece's ends to the next,
    // and without hints each jump waits on memory.
    void prefetch_position(std::size_t j) const {
        if (j >= size_) return;
        const std::size_t i = original(j);
        platform::prefetch(in_.x + i);
        platform::prefetch(in_.y + i);
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
            Walk walk = walk_from(s.begin);
            std::size_t previous = walk.next();
            for (std::size_t j = s.begin + 1; j < s.end; ++j) {
                const std::size_t i = walk.next();
                gaps.push_back(in_.t[i] - in_.t[previous]);
                previous = i;
            }
        }
        if (gaps.empty()) return;
        auto middle = gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2);
        std::nth_element(gaps.begin(), middle, gaps.end());
        interval_ = *middle;
    }

    // original() searches shifted_ within groups of this many path samples.
    static constexpr std::size_t lookup_step = 64;

    const HatchInput<T>& in_;
    std::vector<std::size_t> shifted_;  // never decreasing; empty when no sample is skipped
    std::vector<std::size_t> lookup_;
    std::vector<Stretch> stretches_;
    std::size_t size_ = 0;
    double interval_ = 1.0;
};

// The samples the scales are estimated from: all of them up to a budget,
// beyond it every k-th block of consecutive samples, so that the estimate
// costs the same for any layer size and still sees every part of the path.
constexpr std::size_t estimation_block = 256;
constexpr std::size_t estimation_budget = std::size_t{1} << 18;

// The estimation samples of a path with their neighbours' positions, read
// from the layer once for all the estimates: for each run of estimation
// samples (one block of a stretch), the positions from one sample before
// its first to `reach` samples after its last, within the stretch.
class EstimationSamples {
public:
    template <class T>
    EstimationSamples(const Path<T>& path, std::size_t reach) {
        const std::size_t stride = std::max<std::size_t>(1, path.size() / estimation_budget);
        for (std::size_t s = 0; s < path.stretches().size(); ++s) {
            const Stretch& stretch = path.stretches()[s];
            std::size_t j = stretch.begin;
            while (j < stretch.end) {
                std::size_t block = j / estimation_block;
                if (block % stride != 0) {
                    j = (block / stride + 1) * stride * estimation_block;
                    continue;
                }
                const std::size_t block_end = std::min(stretch.end, (block + 1) * estimation_block);
                const std::size_t from = j > stretch.begin ? j - 1 : j;
                runs_.push_back({s, j, block_end, from, positions_.size()});
                auto walk = path.walk_from(from);
                for (std::size_t k = from; k < std::min(stretch.end, block_end + reach); ++k) {
                    const std::size_t i = walk.next();
                    positions_.push_back({static_cast<double>(path.xs()[i]), static_cast<double>(path.ys()[i])});
                }
                j = block_end;
            }
        }
    }

    // The position of path sample k near the run being visited.
    class Near {
    public:
        Point at(std::size_t k) const { return first_[k - from_]; }

    private:
        friend class EstimationSamples;
        Near(const Point* first, std::size_t from) : first_(first), from_(from) {}
        const Point* first_;
        std::size_t from_;
    };

    // Calls visit(stretch index, j, near) for each estimation sample j, in
    // path order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const Run& run : runs_) {
            const Near near(positions_.data() + run.offset, run.from);
            for (std::size_t j = run.first; j < run.end; ++j) visit(run.stretch, j, near);
        }
    }

private:
    struct Run {
        std::size_t stretch, first, end;  // visits samples [first, end) of the stretch
        std::size_t from, offset;         // positions_[offset] is sample `from`
    };
    std::vector<Run> runs_;
    std::vector<Point> positions_;
};

}  // namespace rastermark::hatches
