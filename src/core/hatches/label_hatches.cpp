// The hatch labeller, stage by stage:
//
//   1. the path (hatch_path.hpp): usable samples (finite, laser on), exact
//      repeats set aside, cut into stretches at every unusable sample;
//   2. the scales: noise and grid from second differences, the mark step
//      as the slowest strong mode of the speeds, and from them the
//      straightness bound, the rest and jump steps and the window;
//   3. straight samples (straight_test.hpp): a sample is inside a line when
//      it lies near the chord of its +-w neighbours and both halves move at
//      one marking speed (per sample, so split over the workers);
//   4. pieces: runs of inside samples, split where they curve, rejoined
//      where noise broke a line, each taking back the on-line samples at
//      its ends;
//   5. hatches: pieces along the layer's main directions (a length-weighted
//      histogram of angles) with a parallel neighbour about one hatch
//      spacing away among the nearest such pieces along the path;
//   6. ids along the path; rests at a hatch's end and exact repeats take
//      the id of the sample before them.
#include "label_hatches.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "bend_search.hpp"
#include "hatch_path.hpp"
#include "log_histogram.hpp"
#include "straight_test.hpp"
#include "worker_pool.hpp"

namespace rastermark::hatches {

namespace {

constexpr double pi = 3.14159265358979323846;

// ---------------------------------------------------------------------------
// 2. The scales.

// Chord length over this many samples measures speed: long enough that
// noise of a fifth of a step hardly moves it, short enough to fit hatches.
constexpr std::size_t speed_lag = 4;
// A speed mode is strong when its smoothed count reaches this share of the
// largest mode's.
constexpr double strong_mode_share = 0.25;
// A Gaussian second difference has sigma * sqrt(6); its median absolute
// value is 0.6745 times that.
// Nonzero second differences are common on a grid: at least this share.
constexpr double grid_share = 0.1;
constexpr double median_second_difference_per_sigma = 0.6745 * 2.449489742783178;

template <class T>
std::string estimate_scales(const Path<T>& path, HatchScales& scales) {
    // The rounding of the coordinates themselves: differences below it are
    // arithmetic, not noise, and count as zeros.
    const EstimationSamples samples(path, speed_lag);
    const auto& stretches = path.stretches();
    double magnitude = 0.0;
    samples.for_each([&](std::size_t, std::size_t j, const EstimationSamples::Near& near) {
        Point p = near.at(j);
        magnitude = std::max({magnitude, std::fabs(p.x), std::fabs(p.y)});
    });
    // Each coordinate is within half an ulp, so a second difference of three
    // within 2 eps |x|.
    const double rounding = 2.0 * std::numeric_limits<T>::epsilon() * magnitude;
    LogHistogram second;
    samples.for_each([&](std::size_t stretch, std::size_t j, const EstimationSamples::Near& near) {
        const Stretch& s = stretches[stretch];
        if (j == s.begin || j + 1 >= s.end) return;
        Point p = near.at(j), before = near.at(j - 1), after = near.at(j + 1);
        double t0 = path.time(j - 1), t1 = path.time(j), t2 = path.time(j + 1);
        Point v0 = p - before, v1 = after - p;
        double a_x = std::fabs(v1.x / (t2 - t1) - v0.x / (t1 - t0));
        double a_y = std::fabs(v1.y / (t2 - t1) - v0.y / (t1 - t0));
        second.add(a_x > rounding ? a_x : 0.0);
        second.add(a_y > rounding ? a_y : 0.0);
    });
    double median_noise = second.quantile(0.5) / median_second_difference_per_sigma;
    // A grid shows as the lowest populated size of nonzero differences, where
    // rounding to it makes them common; exact positions have them only at
    // corners.
    int grid_bin = -1;
    if (second.positive() >= grid_share * static_cast<double>(second.positive() + second.zeros())) {
        grid_bin = second.lowest_bin_holding(0.005);
    }
    double grid = grid_bin >= 0 ? LogHistogram::centre(grid_bin) : 0.0;
    scales.grid = grid;
    // A uniform rounding error on a grid q has q / sqrt(12).
    scales.noise = std::max({median_noise, grid / std::sqrt(12.0), rounding});
    scales.deviation = std::max({5.0 * median_noise, 2.0 * grid, 4.0 * rounding});

    LogHistogram speeds;
    const double moving = std::max(3.0 * scales.noise, grid);
    std::size_t chords = 0;
    samples.for_each([&](std::size_t stretch, std::size_t j, const EstimationSamples::Near& near) {
        if (j + speed_lag >= stretches[stretch].end) return;
        double speed = norm(near.at(j + speed_lag) - near.at(j)) / (path.time(j + speed_lag) - path.time(j));
        ++chords;
        if (speed > moving) speeds.add(speed);
    });
    if (path.size() == 0) {
        return "no usable samples: every position is NaN or infinite, or the laser is off";
    }
    if (speeds.positive() < 8) {
        return "too few marking samples to find a mark step: " + std::to_string(speeds.positive()) + " of " +
               std::to_string(chords) + " stretches of " + std::to_string(speed_lag) +
               " samples move more than the noise";
    }
    // Smoothed counts, then the slowest strong local maximum.
    const int bins = LogHistogram::bins;
    std::vector<double> smooth(static_cast<std::size_t>(bins), 0.0);
    constexpr std::array<double, 5> kernel{1, 2, 3, 2, 1};
    double top = 0.0;
    for (int b = 0; b < bins; ++b) {
        double sum = 0.0;
        for (int k = -2; k <= 2; ++k) {
            if (b + k >= 0 && b + k < bins) sum += kernel[static_cast<std::size_t>(k + 2)] * static_cast<double>(speeds.count(b + k));
        }
        smooth[static_cast<std::size_t>(b)] = sum;
        top = std::max(top, sum);
    }
    int peak = -1;
    for (int b = 0; b < bins && peak < 0; ++b) {
        double here = smooth[static_cast<std::size_t>(b)];
        bool left = b == 0 || here > smooth[static_cast<std::size_t>(b - 1)];
        bool right = b + 1 == bins || here >= smooth[static_cast<std::size_t>(b + 1)];
        if (left && right && here >= strong_mode_share * top) peak = b;
    }
    double count = 0.0, sum = 0.0;
    for (int b = std::max(0, peak - 3); b <= std::min(bins - 1, peak + 3); ++b) {
        count += static_cast<double>(speeds.count(b));
        sum += speeds.sum(b);
    }
    scales.mark_step = sum / count;
    scales.rest_step = 0.4 * scales.mark_step;
    scales.jump_step = 1.75 * scales.mark_step;
    // Noise moves a chord's middle by about noise * 1.2; the window makes
    // the speed of each half steady against it.
    double relative = scales.noise / scales.mark_step;
    scales.window = relative <= 0.08 ? 2 : relative <= 0.15 ? 3 : 4;
    scales.sampling_interval = path.sampling_interval();
    return {};
}

// ---------------------------------------------------------------------------
// 4. Pieces.

struct Piece {
    std::size_t first, last;  // inclusive, in the path's numbering
    std::size_t stretch;
    // Filled by measure():
    Point start{}, end{}, direction{};
    double length = 0.0;
    double angle = 0.0;  // degrees, [0, 180)
    int family = -1;
    bool hatch = false;
    bool curved = false;  // a chord of a run that bends (a contour's arc)
};

// How many pieces ahead the work per piece asks for their ends: far enough
// to hide a trip to memory, near enough that they are still in cache.
constexpr std::size_t prefetch_distance = 8;

template <class T>
void prefetch_ends(const Path<T>& path, const std::vector<Piece>& pieces, std::size_t k) {
    if (k + prefetch_distance < pieces.size()) {
        const Piece& ahead = pieces[k + prefetch_distance];
        path.prefetch_position(ahead.first);
        path.prefetch_position(ahead.last);
    }
}

// The position of original sample i.
template <class T>
Point position(const Path<T>& path, std::size_t i) {
    return {static_cast<double>(path.xs()[i]), static_cast<double>(path.ys()[i])};
}

template <class T>
double distance_from_line(const Path<T>& path, std::size_t j, Point origin, Point unit) {
    return std::fabs(cross(unit, path.at(j) - origin));
}

template <class T>
void measure(const Path<T>& path, Piece& piece) {
    piece.start = path.at(piece.first);
    piece.end = path.at(piece.last);
    Point d = piece.end - piece.start;
    piece.length = norm(d);
    // A piece between coordinates near the largest doubles has no finite
    // length; it counts as a point (no direction, no hatch).
    if (!(piece.length < std::numeric_limits<double>::infinity())) piece.length = 0.0;
    piece.direction = piece.length > 0 ? Point{d.x / piece.length, d.y / piece.length} : Point{1.0, 0.0};
}

// The direction as an angle, [0, 180) degrees.
void measure_angle(Piece& piece) {
    double angle = std::atan2(piece.direction.y, piece.direction.x) * 180.0 / pi;
    angle = std::fmod(angle + 360.0, 180.0);
    piece.angle = angle >= 180.0 ? 0.0 : angle;
}

// The parts of a run still to split, [first, last]: kept from run to run,
// so that a run costs no allocation.
using SplitStack = std::vector<std::pair<std::size_t, std::size_t>>;

// A run of inside samples, split at the sample farthest from the chord
// while it bends more than twice the deviation.
template <class T>
void split_run(const Path<T>& path, const StraightRun& run, double deviation, std::size_t stride,
               std::vector<Piece>& pieces, SplitStack& pending) {
    pending.assign(1, {run.first, run.last});
    const std::size_t start = pieces.size();
    while (!pending.empty()) {
        auto [a, b] = pending.back();
        pending.pop_back();
        Point origin = path.at(a), chord = path.at(b) - origin;
        double length = norm(chord);
        std::size_t far = a;
        double farthest = 0.0;
        if (length > 0 && b > a + 1) {
            Point unit{chord.x / length, chord.y / length};
            // Every stride-th sample, and the last before b: each one between
            // lies within the deviation of its own chord, so the bend is not
            // missed.
            farthest_from_line(path, a + 1, b - 1, stride, origin, unit, far, farthest);
        }
        if (farthest > 2.0 * deviation) {
            // Second half first on the stack, so pieces come out in order.
            pending.push_back({far, b});
            pending.push_back({a, far - 1});
        } else {
            pieces.push_back({a, b, run.stretch});
        }
    }
    // A run that needs three chords or more follows a curve: its chords are
    // no hatches, however straight each one is.
    if (pieces.size() - start >= 3) {
        for (std::size_t k = start; k < pieces.size(); ++k) pieces[k].curved = true;
    }
}

// The straight pieces of the path, in order: the straightness test and the
// bend search block by block, each run split as soon as the test has passed
// it, while its samples are still in cache (split over the workers for large layers).  A
// run that touches a block's end may go on in the next block: it is split
// once joined.  The pieces are the same for any worker count.
template <class T>
std::vector<Piece> straight_pieces(const Path<T>& path, const StraightTest<T>& test, double deviation,
                                   std::size_t stride) {
    struct Found {
        StraightRun run;
        std::size_t pieces_begin, pieces_end;  // its pieces in the block's list, once split
        bool split;
    };
    struct Block {
        std::vector<Found> runs;
        std::vector<Piece> pieces;
    };
    const std::size_t blocks = (path.size() + block_size - 1) / block_size;
    std::vector<Block> found(blocks);
    auto run_block = [&](std::size_t b) {
        const std::size_t lo = b * block_size, hi = std::min(path.size(), lo + block_size);
        Block& block = found[b];
        SplitStack pending;
        straight_runs_in_block(path, test, b, [&](const StraightRun& r) {
            if (r.first == lo || r.last + 1 == hi) {
                block.runs.push_back({r, 0, 0, false});
                return;
            }
            const std::size_t begin = block.pieces.size();
            split_run(path, r, deviation, stride, block.pieces, pending);
            block.runs.push_back({r, begin, block.pieces.size(), true});
        });
    };
    if (split_over_workers(path.size())) {
        worker_pool::run_indexed(blocks, run_block);
    } else {
        for (std::size_t b = 0; b < blocks; ++b) run_block(b);
    }
    // Room for every piece found so far and one for each run still to
    // split: a fresh list grown piece by piece would be copied and faulted
    // in several times over.
    std::size_t expected = 0;
    for (const Block& block : found) {
        expected += block.pieces.size();
        for (const Found& f : block.runs) expected += f.split ? 0 : 1;
    }
    std::vector<Piece> pieces;
    pieces.reserve(expected);
    const Found* pending = nullptr;
    const Block* pending_block = nullptr;
    StraightRun joined{};
    SplitStack split_stack;
    auto flush = [&] {
        if (pending == nullptr) return;
        if (pending->split) {
            pieces.insert(pieces.end(), pending_block->pieces.begin() + static_cast<std::ptrdiff_t>(pending->pieces_begin),
                          pending_block->pieces.begin() + static_cast<std::ptrdiff_t>(pending->pieces_end));
        } else {
            split_run(path, joined, deviation, stride, pieces, split_stack);
        }
    };
    for (const Block& block : found) {
        for (const Found& f : block.runs) {
            // Only a run at a block's end can continue one, and it was not split.
            if (pending != nullptr && !pending->split && !f.split && continues(joined, f.run)) {
                joined.last = f.run.last;
                continue;
            }
            flush();
            pending = &f;
            pending_block = &block;
            joined = f.run;
        }
    }
    flush();
    return pieces;
}

// A sample next to a piece's end belongs to it when it lies on the piece's
// line, one marking step on along it: the step from sample `from` (at a) to
// sample `to` (at b).
template <class T>
bool on_line_step(const Path<T>& path, const Piece& p, std::size_t from, std::size_t to, Point a, Point b,
                  const HatchScales& scales) {
    Point d = b - a;
    double step = norm(d) / std::fabs(path.time(to) - path.time(from));
    double along = dot(d, p.direction) * (to > from ? 1.0 : -1.0);
    return step >= scales.rest_step && step <= scales.jump_step && along > 0 &&
           std::fabs(cross(p.direction, b - p.start)) <= scales.deviation;
}

// Piece k takes back the on-line samples at its ends, up to its
// neighbours: the piece before it (already extended) and the one after it
// (pieces[k + 1] where k + 1 < count, not yet extended).
template <class T>
void extend_piece(const Path<T>& path, std::vector<Piece>& pieces, std::size_t k, std::size_t count,
                  const HatchScales& scales) {
    const std::size_t reach = 2 * static_cast<std::size_t>(scales.window) + 2;
    const auto& stretches = path.stretches();
    Piece& p = pieces[k];
    std::size_t floor = stretches[p.stretch].begin;
    if (k > 0 && pieces[k - 1].stretch == p.stretch) floor = pieces[k - 1].last + 1;
    std::size_t ceiling = stretches[p.stretch].end;
    if (k + 1 < count && pieces[k + 1].stretch == p.stretch) ceiling = pieces[k + 1].first;
    std::size_t first = p.first;
    for (Point here = p.start; first > floor && p.first - first < reach; --first) {
        const Point before = path.at(first - 1);
        if (!on_line_step(path, p, first, first - 1, here, before, scales)) break;
        here = before;
    }
    std::size_t last = p.last;
    for (Point here = p.end; last + 1 < ceiling && last - p.last < reach; ++last) {
        const Point after = path.at(last + 1);
        if (!on_line_step(path, p, last, last + 1, here, after, scales)) break;
        here = after;
    }
    p.first = first;
    p.last = last;
    measure(path, p);
}

// The path goes on from a piece's end at marking speed, turning less than
// a contour's corner: where it does so at both ends the piece is a chord of
// a curve.  `side` is +1 for the last end, -1 for the first.
constexpr double smooth_turn_cos = 0.866;  // 30 degrees

template <class T>
bool continues_smoothly(const Path<T>& path, const Piece& p, int side, const HatchScales& scales) {
    const auto& stretch = path.stretches()[p.stretch];
    const std::size_t w = static_cast<std::size_t>(scales.window);
    std::size_t from = side > 0 ? p.last : p.first, to;
    if (side > 0) {
        if (from + w >= stretch.end) return false;
        to = from + w;
    } else {
        if (from < stretch.begin + w) return false;
        to = from - w;
    }
    Point d = path.at(to) - path.at(from);
    double length = norm(d);
    double speed = length / std::fabs(path.time(to) - path.time(from));
    if (!(speed >= scales.rest_step && speed <= scales.jump_step)) return false;
    return dot(d, p.direction) * side >= smooth_turn_cos * length;
}

// The pieces as lines, in one sweep while their samples are in cache: each
// is joined with the pieces after it that one line holds (noise threw a few
// samples of a hatch out of the straightness test); once the next piece is
// known not to join it, it takes back the on-line samples at its ends, and
// its angle is measured and chords of curves marked.
template <class T>
void shape_pieces(const Path<T>& path, std::vector<Piece>& pieces, const HatchScales& scales) {
    // In place: pieces[0, kept) are the joined pieces so far.
    std::size_t kept = 0;
    auto finish = [&](std::size_t m) {
        extend_piece(path, pieces, m, kept, scales);
        Piece& q = pieces[m];
        measure_angle(q);
        if (continues_smoothly(path, q, +1, scales) && continues_smoothly(path, q, -1, scales)) q.curved = true;
    };
    const std::size_t gap = 2 * static_cast<std::size_t>(scales.window) + 2;
    const double bound = 2.0 * scales.deviation;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        prefetch_ends(path, pieces, k);
        Piece& p = pieces[k];
        measure(path, p);
        if (kept > 0) {
            Piece& q = pieces[kept - 1];
            if (q.stretch == p.stretch && p.first - q.last <= gap && q.length > 0 && p.length > 0 &&
                dot(q.direction, p.direction) > 0 && std::fabs(cross(q.direction, p.start - q.start)) <= bound &&
                std::fabs(cross(q.direction, p.end - q.start)) <= bound) {
                bool steady = true;
                Point here = q.end;
                for (std::size_t j = q.last; j < p.first && steady; ++j) {
                    const Point next = path.at(j + 1);
                    double step = norm(next - here) / (path.time(j + 1) - path.time(j));
                    steady = step >= scales.rest_step && step <= scales.jump_step &&
                             std::fabs(cross(q.direction, next - q.start)) <= bound;
                    here = next;
                }
                if (steady) {
                    q.last = p.last;
                    measure(path, q);
                    continue;
                }
            }
        }
        pieces[kept++] = p;
        if (kept >= 2) finish(kept - 2);
    }
    if (kept >= 1) finish(kept - 1);
    pieces.resize(kept);
}

// ---------------------------------------------------------------------------
// 5. Hatches.

// Pieces (or members) per task where the work per piece is split over the
// workers.
constexpr std::size_t pieces_per_task = 4096;

// Candidate hatch directions: peaks of at least this share of the highest,
// at most this many.  Generous, since a piece must still have a neighbour
// at the hatch spacing: contour edges and jumps along a candidate rarely do.
constexpr double least_family_share = 0.03;
constexpr std::size_t max_families = 8;

double axial_difference(double a, double b) {
    double d = std::fabs(a - b);
    return std::min(d, 180.0 - d);
}

// The main directions: peaks of the length-weighted angle histogram (one
// degree per bin), at least 5 degrees apart, each refined to the weighted
// mean of its pieces' angles.
std::vector<double> main_directions(const std::vector<Piece>& pieces) {
    constexpr int bins = 180;
    std::array<double, bins> weight{};
    for (const Piece& p : pieces) {
        if (p.curved || !(p.length > 0) || !(p.angle >= 0.0 && p.angle < 180.0)) continue;
        weight[static_cast<std::size_t>(std::min(bins - 1, static_cast<int>(p.angle)))] += p.length;
    }
    std::array<double, bins> smooth{};
    for (int b = 0; b < bins; ++b) {
        smooth[static_cast<std::size_t>(b)] = weight[static_cast<std::size_t>((b + bins - 1) % bins)] +
                                              2.0 * weight[static_cast<std::size_t>(b)] +
                                              weight[static_cast<std::size_t>((b + 1) % bins)];
    }
    std::vector<int> peaks;
    for (int b = 0; b < bins; ++b) {
        double here = smooth[static_cast<std::size_t>(b)];
        if (here > 0 && here > smooth[static_cast<std::size_t>((b + bins - 1) % bins)] &&
            here >= smooth[static_cast<std::size_t>((b + 1) % bins)]) {
            peaks.push_back(b);
        }
    }
    std::sort(peaks.begin(), peaks.end(), [&](int a, int b) {
        return smooth[static_cast<std::size_t>(a)] > smooth[static_cast<std::size_t>(b)] ||
               (smooth[static_cast<std::size_t>(a)] == smooth[static_cast<std::size_t>(b)] && a < b);
    });
    std::vector<double> directions;
    for (int b : peaks) {
        if (directions.size() == max_families || smooth[static_cast<std::size_t>(b)] < least_family_share * smooth[static_cast<std::size_t>(peaks[0])]) break;
        double centre = b + 0.5;
        bool apart = std::all_of(directions.begin(), directions.end(),
                                 [&](double d) { return axial_difference(d, centre) >= 5.0; });
        if (!apart) continue;
        // Axial mean: average the doubled angles.
        double c = 0.0, s = 0.0;
        for (const Piece& p : pieces) {
            if (!p.curved && axial_difference(p.angle, centre) <= 3.0) {
                c += p.length * std::cos(2.0 * p.angle * pi / 180.0);
                s += p.length * std::sin(2.0 * p.angle * pi / 180.0);
            }
        }
        double mean = std::atan2(s, c) * 90.0 / pi;
        directions.push_back(std::fmod(mean + 180.0, 180.0));
    }
    return directions;
}

// Perpendicular distance of q's middle from p's line, and whether the two
// overlap along p (within `margin`).
std::pair<double, bool> beside(const Piece& p, const Piece& q, double margin) {
    Point middle{(q.start.x + q.end.x) / 2.0, (q.start.y + q.end.y) / 2.0};
    double across = std::fabs(cross(p.direction, middle - p.start));
    double a = dot(p.direction, q.start - p.start), b = dot(p.direction, q.end - p.start);
    bool overlap = std::min(a, b) <= p.length + margin && std::max(a, b) >= -margin;
    return {across, overlap};
}

// Samples from the end of one piece to the start of the other.
std::size_t path_gap(const Piece& p, const Piece& q) { return q.first > p.last ? q.first - p.last : p.first - q.last; }

// The path may always take this many samples from one hatch to the next.
constexpr std::size_t next_hatch_reach = 32;

// The path from member `before` to member `after` marks (moves at marking
// speed) on at most `limit` samples outside the members between them, and
// jumps or rests between each two of them.
template <class T>
bool marks_only_members(const Path<T>& path, const std::vector<Piece>& pieces, const std::vector<std::size_t>& members,
                        std::size_t before, std::size_t after, const HatchScales& scales, double limit) {
    double marking = 0.0;
    const Piece& p = pieces[members[before]];
    const Piece& q = pieces[members[after]];
    // A neighbouring part of a cut line lies a few jumps away, not across
    // the layer: the walk is bounded by the two pieces' own lengths.
    std::size_t walk = 16 * ((p.last - p.first) + (q.last - q.first)) + 256;
    std::size_t j = p.last;
    for (std::size_t m = before + 1; m <= after; ++m) {
        const Piece& next = pieces[members[m]];
        if (p.stretch != next.stretch || next.first - j > walk) return false;
        walk -= next.first - j;
        bool jumped = false;
        auto samples = path.walk_from(j);
        Point here = position(path, samples.next());
        for (; j < next.first; ++j) {
            const Point ahead = position(path, samples.next());
            double step = norm(ahead - here) / (path.time(j + 1) - path.time(j));
            here = ahead;
            bool marks = step >= scales.rest_step && step <= scales.jump_step;
            if (marks && ++marking > limit) return false;
            jumped = jumped || !marks;
        }
        // The edges of a contour follow one another at marking speed.
        if (!jumped) return false;
        j = next.last;
    }
    return true;
}

template <class T>
void choose_hatches(const Path<T>& path, std::vector<Piece>& pieces, HatchScales& scales) {
    std::vector<double> directions = main_directions(pieces);
    scales.directions_deg = directions;
    std::vector<std::size_t> members;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        Piece& p = pieces[k];
        if (p.length <= 0 || p.curved) continue;
        double tolerance = 1.5 + std::atan2(3.0 * scales.deviation, p.length) * 180.0 / pi;
        double best = tolerance;
        for (std::size_t f = 0; f < directions.size(); ++f) {
            double d = axial_difference(p.angle, directions[f]);
            if (d <= best) {
                best = d;
                p.family = static_cast<int>(f);
            }
        }
        if (p.family >= 0) members.push_back(k);
    }
    // Members of each family in path order.
    std::vector<std::vector<std::size_t>> by_family(directions.size());
    for (std::size_t k : members) by_family[static_cast<std::size_t>(pieces[k].family)].push_back(k);
    // The hatch spacing: the median distance between consecutive members of
    // a family that lie side by side, not on one line, and are long for
    // their distance (step-overs drawn at marking speed run across a family
    // and would give the length of the hatches instead).
    std::vector<double> spacings;
    for (const auto& family : by_family) {
        for (std::size_t m = 0; m + 1 < family.size(); ++m) {
            const Piece& p = pieces[family[m]];
            const Piece& q = pieces[family[m + 1]];
            auto [across, overlap] = beside(p, q, 0.0);
            if (overlap && across > 2.0 * scales.deviation && 2.0 * across <= std::max(p.length, q.length)) {
                spacings.push_back(across);
            }
        }
    }
    if (spacings.empty()) return;
    auto middle = spacings.begin() + static_cast<std::ptrdiff_t>(spacings.size() / 2);
    std::nth_element(spacings.begin(), middle, spacings.end());
    const double spacing = *middle;
    scales.hatch_spacing = spacing;
    // A hatch has a parallel neighbour one spacing away near it along the
    // path.  Among the nearest members, the path must reach it in fewer
    // samples than the two take, members on the way not counted: a
    // step-over, a jump back along the hatch, the other half of a line cut
    // by a hole (then two spacings away); not the rest of a contour's loop
    // to the contour inside it.  A member a few further on qualifies where
    // the path between jumps from member to member and marks nothing else:
    // the neighbouring part of a line cut by several holes, scanned after
    // the other parts of its own line.
    constexpr std::size_t nearest = 2, farther = 6;
    const double marking_between = 4.0 * scales.window + 3.0 * spacing / scales.mark_step;
    std::vector<std::size_t> member_samples(members.size() + 1, 0);  // prefix sums
    for (std::size_t m = 0; m < members.size(); ++m) {
        const Piece& p = pieces[members[m]];
        member_samples[m + 1] = member_samples[m] + (p.last - p.first + 1);
    }
    // Candidates nearest first: the farther ones need a walk along the path.
    std::vector<std::ptrdiff_t> order;
    for (std::ptrdiff_t d = 1; d <= static_cast<std::ptrdiff_t>(farther); ++d) {
        order.push_back(-d);
        order.push_back(d);
    }
    const auto count = static_cast<std::ptrdiff_t>(members.size());
    // Each member decides for itself from its neighbours' shapes alone (no
    // other member's verdict), so the members are judged in parts, over the
    // workers for large layers.
    const bool parallel = split_over_workers(path.size());
    for_each_part(members.size(), pieces_per_task, parallel, [&](std::size_t begin, std::size_t end) {
        for (std::size_t m = begin; m < end; ++m) {
            Piece& p = pieces[members[m]];
            for (std::ptrdiff_t offset : order) {
                if (p.hatch) break;
                std::ptrdiff_t at = static_cast<std::ptrdiff_t>(m) + offset;
                if (at < 0 || at >= count) continue;
                std::size_t k = static_cast<std::size_t>(at);
                const Piece& q = pieces[members[k]];
                if (q.family != p.family) continue;
                std::size_t before = std::min(k, m), after = std::max(k, m);
                auto [across, overlap] = beside(p, q, spacing);
                // Two spacings away only with a line in between: a member on the
                // way one spacing from p (the part of the line between, on the
                // other side of a hole).
                bool line_between = false;
                for (std::size_t r = before + 1; r < after && !line_between; ++r) {
                    double apart = beside(p, pieces[members[r]], spacing).first;
                    line_between = pieces[members[r]].family == p.family && apart >= 0.6 * spacing &&
                                   apart <= 1.67 * spacing;
                }
                if (!overlap || across < 0.6 * spacing || across > (line_between ? 2.5 : 1.67) * spacing) continue;
                if (after - before <= nearest) {
                    std::size_t on_members = member_samples[after] - member_samples[before + 1];
                    std::size_t gap = path_gap(p, q);
                    gap = gap > on_members ? gap - on_members : 0;
                    p.hatch = gap <= std::max(next_hatch_reach, (p.last - p.first) + (q.last - q.first));
                } else {
                    p.hatch = marks_only_members(path, pieces, members, before, after, scales, marking_between);
                }
            }
        }
    });
}

// Hatches too short for the straightness test (fewer than 2w + 1 samples:
// the ends of lines at a curved edge): a run of at least three samples
// between pieces that moves at marking speed along one line, in a hatch
// direction, beside the hatch before or after it along the path.
constexpr std::size_t shortest_hatch = 3;

template <class T>
void recover_short_hatches(const Path<T>& path, std::vector<Piece>& pieces, const HatchScales& scales) {
    if (!(scales.hatch_spacing > 0) || scales.directions_deg.empty()) return;
    const double spacing = scales.hatch_spacing;
    const std::size_t longest = 4 * static_cast<std::size_t>(scales.window) + 2;
    const auto& stretches = path.stretches();
    // The gaps before pieces [begin, end) (the one after the last piece as
    // well, for the last part), in parts over the workers for large layers;
    // what each part finds goes into a list of its own.
    const std::size_t gaps = pieces.size() + 1;
    std::vector<std::vector<Piece>> found_in((gaps + pieces_per_task - 1) / pieces_per_task);
    for_each_part(gaps, pieces_per_task, split_over_workers(path.size()), [&](std::size_t begin, std::size_t end) {
        std::vector<Piece>& found = found_in[begin / pieces_per_task];
        auto accepts = [&](std::size_t a, std::size_t b, std::size_t stretch, const Piece* before, const Piece* after) {
            if (b < a + shortest_hatch - 1 || b - a + 1 > longest) return false;
            Piece candidate{a, b, stretch};
            measure(path, candidate);
            if (!(candidate.length > 0)) return false;
            for (std::size_t j = a + 1; j < b; ++j) {
                if (distance_from_line(path, j, candidate.start, candidate.direction) > scales.deviation) return false;
            }
            measure_angle(candidate);
            double tolerance = 1.5 + std::atan2(3.0 * scales.deviation, candidate.length) * 180.0 / pi;
            bool along = std::any_of(scales.directions_deg.begin(), scales.directions_deg.end(),
                                     [&](double d) { return axial_difference(candidate.angle, d) <= tolerance; });
            if (!along) return false;
            for (const Piece* next : {before, after}) {
                if (next == nullptr) continue;
                auto [across, overlap] = beside(*next, candidate, spacing);
                if (overlap && across >= 0.6 * spacing && across <= 1.67 * spacing) {
                    candidate.hatch = true;
                    found.push_back(candidate);
                    return true;
                }
            }
            return false;
        };
        // The steps into and out of a hatch are part jump, part mark, and may
        // pass as marking: a run may carry one sample of the jump at each end.
        auto consider = [&](std::size_t a, std::size_t b, std::size_t stretch, const Piece* before,
                            const Piece* after) {
            if (b < a + shortest_hatch - 1) return;
            if (accepts(a, b, stretch, before, after) || accepts(a + 1, b, stretch, before, after) ||
                accepts(a, b - 1, stretch, before, after)) {
                return;
            }
            accepts(a + 1, b - 1, stretch, before, after);
        };
        // The kept hatch nearest before piece k (or none), and after.
        const Piece* last_hatch = nullptr;
        for (std::size_t k = begin; k-- > 0 && last_hatch == nullptr;) {
            if (pieces[k].hatch) last_hatch = &pieces[k];
        }
        for (std::size_t k = begin; k < end; ++k) {
            prefetch_ends(path, pieces, k);
            // The gap before piece k (or after the last piece).
            std::size_t from = k == 0 ? 0 : pieces[k - 1].last + 1;
            std::size_t to = k < pieces.size() ? pieces[k].first : path.size();
            const Piece* next_hatch = nullptr;
            for (std::size_t m = k; m < pieces.size() && m < k + 3 && next_hatch == nullptr; ++m) {
                if (pieces[m].hatch) next_hatch = &pieces[m];
            }
            // The stretches that overlap the gap, from the first that ends after it starts.
            auto first = std::upper_bound(stretches.begin(), stretches.end(), from,
                                          [](std::size_t v, const Stretch& st) { return v < st.end; });
            for (std::size_t s = static_cast<std::size_t>(first - stretches.begin()); s < stretches.size(); ++s) {
                if (stretches[s].begin >= to) break;
                std::size_t lo = std::max(from, stretches[s].begin), hi = std::min(to, stretches[s].end);
                if (lo >= hi) continue;
                // Runs of marking steps in [lo, hi).
                std::size_t a = lo;
                auto walk = path.walk_from(lo);
                Point here = position(path, walk.next());
                for (std::size_t j = lo; j + 1 <= hi; ++j) {
                    bool marks = false;
                    if (j + 1 < hi) {
                        const Point next = position(path, walk.next());
                        double step = norm(next - here) / (path.time(j + 1) - path.time(j));
                        marks = step >= scales.rest_step && step <= scales.jump_step;
                        here = next;
                    }
                    if (!marks) {
                        consider(a, j, s, last_hatch, next_hatch);
                        a = j + 1;
                    }
                }
            }
            if (k < pieces.size() && pieces[k].hatch) last_hatch = &pieces[k];
        }
    });
    std::vector<Piece> found;
    for (std::vector<Piece>& part : found_in) {
        found.insert(found.end(), part.begin(), part.end());
        part = {};
    }
    if (found.empty()) return;
    // Merged in place, from the back: both lists are in path order.
    std::size_t from_pieces = pieces.size(), from_found = found.size();
    pieces.resize(pieces.size() + found.size());
    for (std::size_t to = pieces.size(); from_found > 0;) {
        if (from_pieces > 0 && pieces[from_pieces - 1].first > found[from_found - 1].first) {
            pieces[--to] = pieces[--from_pieces];
        } else {
            pieces[--to] = found[--from_found];
        }
    }
}

// ---------------------------------------------------------------------------
// 6. Ids.

// The original samples a hatch covers, [from, to]: from its first sample to
// the last of the rests and repeats after its last.  `from` is `none` for a
// piece that is no hatch.
struct Span {
    static constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::size_t from = none, to = none;
};

template <class T>
void write_ids(const HatchInput<T>& input, const Path<T>& path, const std::vector<Piece>& pieces,
               const HatchScales& scales, std::int32_t* ids) {
    std::vector<Span> spans(pieces.size());
    const bool parallel = split_over_workers(input.size);
    const auto& stretches = path.stretches();
    for_each_part(pieces.size(), pieces_per_task, parallel, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            prefetch_ends(path, pieces, k);
            const Piece& p = pieces[k];
            if (!p.hatch) continue;
            // Rests at the end: samples that stay by the last one.
            std::size_t ceiling = stretches[p.stretch].end;
            if (k + 1 < pieces.size() && pieces[k + 1].stretch == p.stretch) ceiling = pieces[k + 1].first;
            std::size_t last = p.last;
            for (Point here = p.end; last + 1 < ceiling; ++last) {
                const Point next = path.at(last + 1);
                if (!(norm(next - p.end) <= 2.0 * scales.deviation &&
                      norm(next - here) < scales.rest_step * (path.time(last + 1) - path.time(last)))) {
                    break;
                }
                here = next;
            }
            std::size_t to = path.original(last);
            // Exact repeats of the last sample take its id too.
            while (scales.repeats > 0 && to + 1 < input.size && path.usable(to + 1) && path.repeats_previous(to + 1)) {
                ++to;
            }
            spans[k] = {path.original(p.first), to};
        }
    });
    // Each part writes its hatches' ids and the -1 before each of them, from
    // the end of the hatch before (in a part before it, perhaps); the last
    // part also the -1 after the last hatch.  Ids count the hatches along the
    // path.
    const std::size_t parts = (pieces.size() + pieces_per_task - 1) / pieces_per_task;
    std::vector<std::int32_t> first_id(parts, 1);
    std::vector<std::size_t> written_before(parts, 0);
    std::int32_t next = 1;
    std::size_t written = 0;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        if (k % pieces_per_task == 0) {
            first_id[k / pieces_per_task] = next;
            written_before[k / pieces_per_task] = written;
        }
        if (spans[k].from == Span::none) continue;
        ++next;
        written = spans[k].to + 1;
    }
    if (pieces.empty()) {
        std::fill(ids, ids + input.size, -1);
        return;
    }
    for_each_part(pieces.size(), pieces_per_task, parallel, [&](std::size_t begin, std::size_t end) {
        std::int32_t id = first_id[begin / pieces_per_task];
        std::size_t done = written_before[begin / pieces_per_task];
        for (std::size_t k = begin; k < end; ++k) {
            const Span span = spans[k];
            if (span.from == Span::none) continue;
            std::fill(ids + done, ids + span.from, -1);
            // Between the first and last distinct sample, repeats share the
            // id, and no unusable sample lies inside a stretch.
            std::fill(ids + span.from, ids + span.to + 1, id++);
            done = span.to + 1;
        }
        if (end == pieces.size()) std::fill(ids + done, ids + input.size, -1);
    });
}

template <class T>
HatchResult label_stages(const HatchInput<T>& input, std::int32_t* ids) {
    HatchResult result;
    HatchScales& scales = result.scales;
    Path<T> path(input);
    result.error = path.build(scales.repeats);
    if (result.error.empty()) result.error = estimate_scales(path, scales);
    if (!result.error.empty()) {
        std::fill(ids, ids + input.size, -1);
        return result;
    }
    StraightTest<T> test(path, scales);
    std::vector<Piece> pieces = straight_pieces(path, test, scales.deviation, static_cast<std::size_t>(scales.window));
    shape_pieces(path, pieces, scales);
    scales.pieces = pieces.size();
    choose_hatches(path, pieces, scales);
    recover_short_hatches(path, pieces, scales);
    write_ids(input, path, pieces, scales, ids);
    scales.hatches = static_cast<std::size_t>(std::count_if(pieces.begin(), pieces.end(), [](const Piece& p) { return p.hatch; }));
    return result;
}

}  // namespace

template <class T>
HatchResult label_hatches(const HatchInput<T>& input, std::int32_t* ids) {
    try {
        return label_stages(input, ids);
    } catch (const worker_pool::PoolStartError& e) {
        // The pool's threads would not start: an error like any other;
        // only exhausted memory leaves as an exception.
        HatchResult result;
        result.error = e.what();
        std::fill(ids, ids + input.size, -1);
        return result;
    }
}

template HatchResult label_hatches<float>(const HatchInput<float>&, std::int32_t*);
template HatchResult label_hatches<double>(const HatchInput<double>&, std::int32_t*);

}  // namespace rastermark::hatches
