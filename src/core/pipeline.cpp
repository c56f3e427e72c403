#include "pipeline.hpp"

#include <exception>
#include <new>
#include <string>

#include "labels.hpp"
#include "segments.hpp"
#include "threshold.hpp"
#include "worker_pool.hpp"

namespace rastermark {

template <class T>
std::optional<AnnotatorError> check_inputs(const InputView<T>& x, const InputView<T>& y) {
    if (x.length != y.length) {
        return AnnotatorError{"Input x and y length mismatch: " + std::to_string(x.length) + " vs " +
                              std::to_string(y.length)};
    }
    if (x.length > 1 && x.stride != 1) return AnnotatorError{"x array must be contiguous"};
    if (x.length > 1 && y.stride != 1) return AnnotatorError{"y array must be contiguous"};
    return std::nullopt;
}

template <class T>
std::optional<InternalFault> label_samples(InputView<T> x, InputView<T> y, std::span<std::int32_t> labels) {
    const std::size_t n = labels.size();
    if (n == 0) return std::nullopt;
    try {
        const Samples<T> xs(x.data, n), ys(y.data, n);
        // The pool's size never changes once it exists, so one query serves
        // both collapse steps; the first query in the process creates the pool.
        const std::size_t workers = worker_pool::current_num_threads();
        const TurningPointList<T> turns = turning_points_in_one_pass(xs, ys, workers);
        assign_scanline_ids(labels, turns, turn_distance_threshold(turns, workers), workers);
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        // Only the worker pool can get here (threads that would not start,
        // or a task that failed on a worker).
        return InternalFault{e.what()};
    }
}

template <class T>
AnnotateResult annotate_scanlines(InputView<T> x, InputView<T> y) {
    if (auto error = check_inputs(x, y)) return *std::move(error);
    LabelArray labels(x.length);
    if (auto fault = label_samples(x, y, std::span<std::int32_t>(labels.data(), labels.size()))) {
        return *std::move(fault);
    }
    return labels;
}

template std::optional<AnnotatorError> check_inputs(const InputView<double>&, const InputView<double>&);
template std::optional<AnnotatorError> check_inputs(const InputView<float>&, const InputView<float>&);
template std::optional<InternalFault> label_samples(InputView<double>, InputView<double>, std::span<std::int32_t>);
template std::optional<InternalFault> label_samples(InputView<float>, InputView<float>, std::span<std::int32_t>);
template AnnotateResult annotate_scanlines(InputView<double>, InputView<double>);
template AnnotateResult annotate_scanlines(InputView<float>, InputView<float>);

}  // namespace rastermark
