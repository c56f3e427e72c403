// The pipeline driver of the scanline core: checks the two input views, then
// runs the stages in order.  The top of the core: pipeline.cpp includes the
// stages, and no stage includes this header.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "records.hpp"

namespace rastermark {

// The driver's input checks, in order: lengths, then the contiguity of x and
// of y.  Returns the first failing check's error, or nothing.
template <class T>
std::optional<AnnotatorError> check_inputs(const InputView<T>& x, const InputView<T>& y);

// Labels the samples of two views that passed check_inputs into `labels`,
// which the caller owns (one entry per sample, typically the memory of the
// result array): collapses, finds the turning points, derives the threshold
// and assigns the labels.  Returns a fault of the worker pool, or nothing;
// throws only std::bad_alloc.
template <class T>
std::optional<InternalFault> label_samples(InputView<T> x, InputView<T> y, std::span<std::int32_t> labels);

// The whole driver: check_inputs, then label_samples into a new label array.
template <class T>
AnnotateResult annotate_scanlines(InputView<T> x, InputView<T> y);

}  // namespace rastermark
