// The k-th smallest of positive values by their bits, in linear time.
//
// Why it is exact: for positive IEEE values (finite or +inf, normal or
// subnormal) the order of the values is the order of their bit patterns
// read as unsigned integers of the same width, so selecting by bits selects
// by value, and the element found is one of the inputs, bit for bit.
// Callers leave out zeros, negatives and NaN.  It finds the same value as
// std::nth_element on the same input (ties are equal bits, so which of them
// comes back does not matter).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "memory.hpp"

namespace rastermark {

template <class T>
using bits_of = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;

// std::bit_cast, which GCC 10's library lacks.
template <class T>
bits_of<T> bits(T value) {
    bits_of<T> out;
    std::memcpy(&out, &value, sizeof out);
    return out;
}

// Reorders `values` (all > 0, none NaN) and returns the one that would sit at
// position k (< values.size()) in ascending order.  Sixteen bits a pass from
// the top: each pass counts the candidates' digits, keeps the bucket that
// holds position k and packs it to the front; the last few go to nth_element.
template <class T, class Allocator>
T select_positive(std::vector<T, Allocator>& values, std::size_t k) {
    using Key = bits_of<T>;
    constexpr int digit_bits = 16;
    constexpr std::size_t buckets = std::size_t{1} << digit_bits;
    constexpr std::size_t small = 256;
    std::size_t size = values.size();
    std::vector<std::size_t> counts;
    for (int shift = static_cast<int>(sizeof(Key) * 8) - digit_bits; size > small && shift >= 0;
         shift -= digit_bits) {
        counts.assign(buckets, 0);
        auto digit = [shift](T value) {
            return static_cast<std::size_t>((bits(value) >> shift) & Key{buckets - 1});
        };
        for (std::size_t i = 0; i < size; ++i) ++counts[digit(values[i])];
        std::size_t bucket = 0;
        while (k >= counts[bucket]) k -= counts[bucket++];
        std::size_t kept = 0;
        for (std::size_t i = 0; i < size; ++i) {
            if (digit(values[i]) == bucket) values[kept++] = values[i];
        }
        size = kept;
        if (shift == 0) return values[0];  // every bit decided: the candidates are equal
    }
    const auto end = values.begin() + static_cast<std::ptrdiff_t>(size);
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(values.begin(), middle, end);
    return *middle;
}

// The same selection over values that stay where they are, in `parts`
// parts: `visit(p, take)` calls take(value) for each value of part p (all
// > 0, none NaN), the same values each time it is called, and
// `position(count)` gives the position (< count) to select once the values
// are counted; `run(parts, task)` calls task(p) once for each part, at once
// where it can.  One visit of each part counts the top sixteen bits, a
// second copies out the bucket that holds the position (a small share of
// the values unless most share their top bits: twelve, the exponent of a
// float64, left a quarter of a jittery layer's distances in one bucket),
// and the select goes on in that copy.  The parts' counts are summed, and
// the copy holds the bucket's values in some order, so the value found does
// not depend on the parts.  Returns 0 where there are none.
template <class T, class Visit, class Position, class Run>
T select_positive_in_place(std::size_t parts, Visit&& visit, Position&& position, Run&& run) {
    using Key = bits_of<T>;
    constexpr int shift = static_cast<int>(sizeof(Key) * 8) - 16;
    constexpr std::size_t buckets = std::size_t{1} << 16;
    auto digit = [](T value) { return static_cast<std::size_t>(bits(value) >> shift); };
    std::vector<std::vector<std::size_t>> counts(parts);
    run(parts, [&](std::size_t p) {
        counts[p].assign(buckets, 0);
        visit(p, [&](T value) { ++counts[p][digit(value)]; });
    });
    std::vector<std::size_t> total_counts(buckets, 0);
    for (const auto& part : counts) {
        for (std::size_t d = 0; d < buckets; ++d) total_counts[d] += part[d];
    }
    std::size_t total = 0;
    for (const std::size_t c : total_counts) total += c;
    std::size_t k = position(total);
    if (total == 0) return T(0);
    std::size_t bucket = 0;
    while (k >= total_counts[bucket]) k -= total_counts[bucket++];
    // Each part copies its share of the bucket to where the parts before
    // leave off.
    std::vector<std::size_t> offsets(parts + 1, 0);
    for (std::size_t p = 0; p < parts; ++p) offsets[p + 1] = offsets[p] + counts[p][bucket];
    std::vector<T, UnwrittenHugePageAllocator<T>> candidates(offsets[parts]);
    run(parts, [&](std::size_t p) {
        T* out = candidates.data() + offsets[p];
        visit(p, [&](T value) {
            if (digit(value) == bucket) *out++ = value;
        });
    });
    return select_positive(candidates, k);
}

}  // namespace rastermark
