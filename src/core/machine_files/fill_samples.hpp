// Samples along straight segments: the inner loop of the toolkit's
// sampling (rastermark_tools/sampling.py decides which segments are kept,
// how many steps each takes and where the path breaks; this writes the
// samples).  The arithmetic is NumPy's for the same columns, so both give
// the same bits: fraction f = k / steps, then start + f * (end - start).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace rastermark::machine_files {

struct SegmentColumns {
    const double* x0;
    const double* y0;
    const double* x1;
    const double* y1;
    const double* z0;
    const double* z1;
    const double* start_time;
    const double* duration;  // NaN where unknown: the samples then share the start time
    const std::uint8_t* laser_on;
    const std::int64_t* vector;
    std::size_t size;
};

// The kept segments in order: which segment, its number of steps, and
// whether its first sample (k = 0) is left out because the previous
// segment ended there.
struct KeptSegments {
    const std::int64_t* index;
    const std::int64_t* steps;
    const std::uint8_t* joined;
    std::size_t size;
};

struct SampleColumns {
    double* x;
    double* y;
    double* z;  // may be null
    double* t;  // may be null
    std::int8_t* laser_on;
    std::int64_t* vector;
    std::size_t size;
};

// The number of samples the kept segments make, or nullopt (with the reason)
// where an index or a step count is out of range.
inline std::optional<std::size_t> count_samples(const SegmentColumns& segments, const KeptSegments& kept,
                                                std::string* why) {
    std::size_t total = 0;
    for (std::size_t j = 0; j < kept.size; ++j) {
        if (kept.index[j] < 0 || static_cast<std::size_t>(kept.index[j]) >= segments.size) {
            *why = "segment index out of range";
            return std::nullopt;
        }
        if (kept.steps[j] < 1 || kept.steps[j] > (std::int64_t{1} << 40)) {
            *why = "step count out of range";
            return std::nullopt;
        }
        total += static_cast<std::size_t>(kept.steps[j]) + (kept.joined[j] ? 0 : 1);
    }
    return total;
}

// Writes the samples; `samples.size` must be what count_samples gave.
inline void fill_samples(const SegmentColumns& s, const KeptSegments& kept, const SampleColumns& out) {
    std::size_t at = 0;
    for (std::size_t j = 0; j < kept.size; ++j) {
        auto i = static_cast<std::size_t>(kept.index[j]);
        std::int64_t steps = kept.steps[j];
        double dx = s.x1[i] - s.x0[i], dy = s.y1[i] - s.y0[i], dz = s.z1[i] - s.z0[i];
        double duration = std::isnan(s.duration[i]) ? 0.0 : s.duration[i];
        auto on = static_cast<std::int8_t>(s.laser_on[i] ? 1 : 0);
        for (std::int64_t k = kept.joined[j] ? 1 : 0; k <= steps; ++k, ++at) {
            double f = static_cast<double>(k) / static_cast<double>(steps);
            out.x[at] = s.x0[i] + f * dx;
            out.y[at] = s.y0[i] + f * dy;
            if (out.z) out.z[at] = s.z0[i] + f * dz;
            if (out.t) out.t[at] = s.start_time[i] + f * duration;
            out.laser_on[at] = on;
            out.vector[at] = s.vector[i];
        }
    }
}

}  // namespace rastermark::machine_files
