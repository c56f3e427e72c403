#include "pipeline.hpp"

#include <exception>
#include <new>
#include <string>

#include "collapse.hpp"
#include "labels.hpp"
#include "parallel_collapse.hpp"
#include "threshold.hpp"
#include "turning_points.hpp"
#include "worker_pool.hpp"

namespace rastermark {

namespace {

template <class T>
LabelArray run_stages(Samples<T> x, Samples<T> y) {
    // The worker count is asked before each step; the first ask creates the pool.
    std::size_t workers = worker_pool::current_num_threads();
    PointList<T> x_runs = workers >= 2 && x.size() >= parallel_x_threshold
                              ? collapse_x_parallel(x, y, workers)
                              : collapse_x(x, y);
    PointList<T> points;
    if (!x_runs.empty()) {
        workers = worker_pool::current_num_threads();
        points = workers >= 2 && x_runs.size() >= parallel_y_threshold
                     ? collapse_y_parallel(x_runs, workers)
                     : collapse_y(x_runs);
    }
    PointList<T>().swap(x_runs);
    const TurningPointList<T> turns = find_turning_points(points);
    PointList<T>().swap(points);
    const T threshold = turn_distance_threshold(turns);
    return assign_scanline_ids(x.size(), turns, threshold);
}

}  // namespace

template <class T>
AnnotateResult annotate_scanlines(InputView<T> x, InputView<T> y) {
    if (x.length != y.length) {
        return AnnotatorError{"Input x and y length mismatch: " + std::to_string(x.length) + " vs " +
                              std::to_string(y.length)};
    }
    const std::size_t n = x.length;
    if (n == 0) return LabelArray{};
    if (n != 1 && x.stride != 1) return AnnotatorError{"x array must be contiguous"};
    if (n != 1 && y.stride != 1) return AnnotatorError{"y array must be contiguous"};
    try {
        return run_stages(Samples<T>(x.data, n), Samples<T>(y.data, n));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        // Only the worker pool can get here (threads that would not start,
        // or a task that failed on a worker).
        return InternalFault{e.what()};
    }
}

template AnnotateResult annotate_scanlines<double>(InputView<double>, InputView<double>);
template AnnotateResult annotate_scanlines<float>(InputView<float>, InputView<float>);

}  // namespace rastermark
