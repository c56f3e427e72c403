// libFuzzer harness over the scanline core, for both element types.
//
// Input bytes: one flag byte, then x/y values as raw bit patterns (every float
// bit pattern is reachable).  Flag bits: 0 element type (float32 when set),
// 1-3 worker count for the chunked collapse (1..8), 4-5 a stride given to x
// or y.  After each run the labels' invariants are checked, and the chunked
// collapse is compared with the serial one where the two must agree.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <variant>
#include <vector>

#include "collapse.hpp"
#include "pipeline.hpp"
#include "segments.hpp"
#include "simd/block_scans.hpp"
#include "stage_by_stage.hpp"

namespace {

using namespace rastermark;

constexpr std::size_t max_samples = 4096;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

// Labels: -1 or at least 1; each id one contiguous stretch; ids increase
// along the path.
void check_labels(const LabelArray& labels, std::size_t n) {
    check(labels.size() == n, "one label per sample");
    std::int32_t last_id = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t id = labels[i];
        check(id == -1 || id >= 1, "labels are -1 or at least 1");
        if (id == -1) continue;
        if (id != last_id) {
            check(id > last_id, "ids increase along the path");
            last_id = id;
        } else {
            check(labels[i - 1] == id, "each id is one contiguous stretch");
        }
    }
}

template <class T>
void check_partition(const PointList<T>& points, std::size_t n) {
    check(!points.empty(), "a non-empty input gives points");
    check(points.front().start_idx == 0 && points.back().end_idx == n - 1, "points cover every sample");
    for (std::size_t i = 0; i < points.size(); ++i) {
        check(points[i].start_idx <= points[i].end_idx, "point ranges are non-empty");
        if (i > 0) check(points[i].start_idx == points[i - 1].end_idx + 1, "point ranges are consecutive");
    }
}

// True when every member of every run equals its anchor exactly: then chunk
// boundaries cannot change the grouping, only the averaged coordinate.
template <class T, class Compared>
bool runs_are_exact(const PointList<T>& runs, Compared&& compared_at, Axis axis) {
    for (const FilteredPoint<T>& run : runs) {
        const T anchor = axis == Axis::x ? run.x : run.y;
        for (std::size_t i = run.start_idx; i <= run.end_idx; ++i) {
            if (!(compared_at(i) == anchor)) return false;
        }
    }
    return true;
}

template <class T>
void check_same_grouping(const PointList<T>& serial, const PointList<T>& chunked, Axis axis) {
    check(serial.size() == chunked.size(), "chunked collapse groups like the serial one");
    for (std::size_t i = 0; i < serial.size(); ++i) {
        check(serial[i].start_idx == chunked[i].start_idx && serial[i].end_idx == chunked[i].end_idx,
              "chunked collapse keeps the serial runs");
        const T a = axis == Axis::x ? serial[i].x : serial[i].y;
        const T b = axis == Axis::x ? chunked[i].x : chunked[i].y;
        check(std::memcmp(&a, &b, sizeof(T)) == 0, "chunked collapse keeps the anchors");
    }
}

// One step of the walk for a byte: mostly a plain step along the current
// direction, sometimes an event.
template <class T>
T walk_step(std::uint8_t byte, T& direction) {
    const T eps = std::numeric_limits<T>::epsilon();
    switch (byte) {
        case 0:
            return T(0);
        case 1:
            return std::numeric_limits<T>::quiet_NaN();
        case 2:
            return std::numeric_limits<T>::infinity();
        case 3:
            return T(0.5) * eps * direction;
        case 4:
            return eps * direction;
        case 5:
            return std::numeric_limits<T>::max() / T(3) * direction;
        case 6:
        case 7:
            direction = -direction;
            return direction;
        default:
            return direction * static_cast<T>(byte) * T(0.01);
    }
}

template <class T>
void make_walk(const std::uint8_t* data, std::size_t size, std::vector<T>& xs, std::vector<T>& ys) {
    const std::size_t n = std::min(size / 2, max_samples);
    xs.resize(n);
    ys.resize(n);
    T x = T(0), y = T(0), x_direction = T(1), y_direction = T(1);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint8_t x_byte = data[2 * k], y_byte = data[2 * k + 1];
        // x bytes 8 to 15: the sample repeats the one before bit for bit,
        // as a controller that samples faster than it updates reports it
        // (runs of such copies are what the fast path takes as units).
        if (k > 0 && x_byte >= 8 && x_byte < 16) {
            xs[k] = xs[k - 1];
            ys[k] = ys[k - 1];
            continue;
        }
        xs[k] = x + walk_step(x_byte, x_direction);
        ys[k] = y + walk_step(y_byte, y_direction);
        // NaN, infinite and huge steps are one-sample events: the walk goes
        // on from where it was, so that later steps stay plain.
        if (std::isfinite(xs[k]) && x_byte != 5) x = xs[k];
        if (std::isfinite(ys[k]) && y_byte != 5) y = ys[k];
    }
}

template <class T>
bool same_bits(T a, T b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof(T)) == 0;
}

template <class T>
void check_single_pass(const Samples<T>& x, const Samples<T>& y, std::size_t workers) {
    const TurningPointList<T> reference = turning_points_stage_by_stage(x, y, workers);
    for (const simd::BlockScans* scans : {&simd::off(), &simd::chosen()}) {
        const TurningPointList<T> pass = turning_points_in_one_pass(x, y, workers, *scans);
        check(pass.size() == reference.size(), "the single pass finds as many turning points as the stages");
        auto in_reference = reference.begin();
        for (auto in_pass = pass.begin(); in_pass != pass.end(); ++in_pass, ++in_reference) {
            const KeptTurn<T> a = *in_pass;
            const KeptTurn<T> b = *in_reference;
            check(a.start_idx == b.start_idx && a.end_idx == b.end_idx && a.reverses_back == b.reverses_back &&
                      same_bits(a.d_same, b.d_same) && same_bits(a.d_line, b.d_line),
                  "the single pass finds the stages' turning points");
        }
    }
}

template <class T>
void run(const std::uint8_t* data, std::size_t size, std::uint8_t flags) {
    std::vector<T> xs, ys;
    if (flags & 64) {
        make_walk(data, size, xs, ys);
    } else {
        const std::size_t samples = std::min(size / (2 * sizeof(T)), max_samples);
        xs.resize(samples);
        ys.resize(samples);
        if (samples > 0) {
            std::memcpy(xs.data(), data, samples * sizeof(T));
            std::memcpy(ys.data(), data + samples * sizeof(T), samples * sizeof(T));
        }
    }
    const std::size_t n = xs.size();

    // Stride variants: the driver must refuse them for two or more samples.
    const int stride_case = (flags >> 4) & 3;
    InputView<T> xv{xs.data(), n, 1}, yv{ys.data(), n, 1};
    if (stride_case == 1) xv.stride = -1;
    if (stride_case == 2) yv.stride = 2;
    if (stride_case == 3) xv.stride = 0;
    const AnnotateResult result = annotate_scanlines<T>(xv, yv);
    if (stride_case != 0 && n >= 2) {
        const auto* error = std::get_if<AnnotatorError>(&result);
        check(error != nullptr, "non-contiguous input is refused");
        check(error->message == (stride_case == 2 ? "y array must be contiguous" : "x array must be contiguous"),
              "the refusal names the array");
        return;
    }
    const auto* labels = std::get_if<LabelArray>(&result);
    check(labels != nullptr, "contiguous input gives labels");
    check_labels(*labels, n);
    if (n == 0) return;

    const std::size_t workers = 1 + ((flags >> 1) & 7);
    const Samples<T> x(xs), y(ys);
    check_single_pass(x, y, workers);
    const PointList<T> serial_x = collapse_x(x, y);
    const PointList<T> chunked_x = collapse_x_parallel(x, y, workers);
    check_partition(serial_x, n);
    check_partition(chunked_x, n);
    if (runs_are_exact(serial_x, [&](std::size_t i) { return xs[i]; }, Axis::x)) {
        check_same_grouping(serial_x, chunked_x, Axis::x);
    }
    const PointList<T> serial_y = collapse_y(serial_x);
    const PointList<T> chunked_y = collapse_y_parallel(serial_x, workers);
    check_partition(serial_y, n);
    check_partition(chunked_y, n);
    // Compared coordinate of a collapse_y input is the y of each x-run.
    std::vector<T> run_y(n);
    for (const auto& p : serial_x) {
        for (std::size_t i = p.start_idx; i <= p.end_idx; ++i) run_y[i] = p.y;
    }
    if (runs_are_exact(serial_y, [&](std::size_t i) { return run_y[i]; }, Axis::y)) {
        check_same_grouping(serial_y, chunked_y, Axis::y);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t flags = data[0];
    if (flags & 1) {
        run<float>(data + 1, size - 1, flags);
    } else {
        run<double>(data + 1, size - 1, flags);
    }
    return 0;
}
