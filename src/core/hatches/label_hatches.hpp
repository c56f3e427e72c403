// A second labeller beside the rule of annotate_scanlines: it finds the
// straight pieces the laser drew at marking speed along the layer's hatch
// directions, wherever they lie in the path, and numbers them along it.
//
// Every scale it uses is estimated from the data (the sampling interval,
// the position noise and grid, the mark step, the hatch spacing), so that
// the same layer in mm or in um, rotated or moved, splits into the same
// lines.  It assumes straight hatches, marks at a steady speed, and (unless
// a laser signal is given) jumps faster than marks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace rastermark::hatches {

template <class T>
struct HatchInput {
    const T* x = nullptr;
    const T* y = nullptr;
    const double* t = nullptr;               // time stamps; null for a fixed sampling rate
    const std::uint8_t* laser_on = nullptr;  // nonzero where the laser is on; null when unknown
    std::size_t size = 0;
};

// What the labeller derived from the data.  Lengths are in the units of x
// and y; steps are per sampling interval.
struct HatchScales {
    double sampling_interval = 1.0;  // median time between distinct samples (1 without t)
    double grid = 0.0;               // the position quantum, 0 where none shows
    double noise = 0.0;              // standard deviation of the position noise (at least the grid's)
    double deviation = 0.0;          // farthest a sample may lie from its line
    double mark_step = 0.0;          // the slowest steady marking step
    double rest_step = 0.0;          // slower than this is resting
    double jump_step = 0.0;          // faster than this is jumping
    int window = 0;                  // samples on each side of the straightness test
    double hatch_spacing = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> directions_deg;  // the hatch directions, 0 to 180 degrees from +x
    std::size_t pieces = 0;              // straight pieces at marking speed
    std::size_t hatches = 0;             // of which kept as hatches
    std::size_t repeats = 0;             // samples that repeat the one before exactly
};

struct HatchResult {
    std::string error;  // why the input cannot be judged; empty on success
    HatchScales scales;
};

// Writes one id per sample into `ids`: 1, 2, ... along the path for the
// samples of each hatch, -1 elsewhere.  A sample that repeats the one
// before it, or rests at a hatch's end, takes the id of the sample before.
// NaN and infinite positions, and laser-off samples, break lines and are
// never labelled.  Deterministic: the result does not depend on the number
// of worker threads.
template <class T>
HatchResult label_hatches(const HatchInput<T>& input, std::int32_t* ids);

}  // namespace rastermark::hatches
