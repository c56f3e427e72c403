#include "pipeline.hpp"

#include <exception>
#include <new>
#include <string>

#include "labels.hpp"
#include "single_pass.hpp"
#include "threshold.hpp"
#include "worker_pool.hpp"

namespace rastermark {

namespace {

template <class T>
LabelArray run_stages(Samples<T> x, Samples<T> y) {
    // The pool's size never changes once it exists, so one query serves both
    // collapse steps; the first query in the process creates the pool.
    const std::size_t workers = worker_pool::current_num_threads();
    const TurningPointList<T> turns = turning_points_in_one_pass(x, y, workers);
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
