// Records that pass between the stages of the scanline core and the core's
// error values.  Plain C++: nothing here knows of Python.  The lowest file of
// the core: every stage includes it, it includes no stage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "memory.hpp"

namespace rastermark {

// Read-only view of one caller-owned coordinate array.  `stride` counts
// elements; a byte stride that is no whole multiple of the element size is
// given as 0 by the caller, so it is never taken for a contiguous array.
template <class T>
struct InputView {
    const void* data = nullptr;
    std::size_t length = 0;
    std::ptrdiff_t stride = 1;
};

// Contiguous samples of T that may sit at any byte address: every element is
// read with memcpy, which compiles to a plain (unaligned) load.
template <class T>
class Samples {
public:
    Samples() = default;
    Samples(const void* data, std::size_t size)
        : bytes_(static_cast<const unsigned char*>(data)), size_(size) {}
    explicit Samples(const std::vector<T>& values) : Samples(values.data(), values.size()) {}

    std::size_t size() const { return size_; }
    const unsigned char* bytes() const { return bytes_; }
    T operator[](std::size_t i) const {
        T value;
        std::memcpy(&value, bytes_ + i * sizeof(T), sizeof(T));
        return value;
    }

private:
    const unsigned char* bytes_ = nullptr;
    std::size_t size_ = 0;
};

// One run of consecutive samples collapsed into a point; indices inclusive.
template <class T>
struct FilteredPoint {
    T x;
    T y;
    std::size_t start_idx;
    std::size_t end_idx;

    bool operator==(const FilteredPoint&) const = default;
};

template <class T>
using PointList = std::vector<FilteredPoint<T>>;

// A turning point in full: the collapsed point where the path reverses in y,
// with its squared distances to the latest turn of the same set (d_same) and
// to the line through the latest turns of both sets (d_line).
template <class T>
struct TurningPoint {
    T d_same;
    T d_line;
    T x;
    T y;
    std::size_t start_idx;
    std::size_t end_idx;

    bool operator==(const TurningPoint&) const = default;
};

// The core's only error: an input the core refuses (raised as ValueError).
struct AnnotatorError {
    std::string message;
};

// A failure of something that cannot fail on valid input, such as worker
// threads that could not be started.  Reported to Python as PanicException.
struct InternalFault {
    std::string message;
};

using LabelArray = std::vector<std::int32_t, HugePageAllocator<std::int32_t>>;
using AnnotateResult = std::variant<LabelArray, AnnotatorError, InternalFault>;

}  // namespace rastermark
