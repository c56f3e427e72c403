// The G-code interpreter of the toolkit's reader, in plain C++: a whole
// file in, its drawn moves out as straight pieces with the layer each
// belongs to.  It follows rastermark_tools/gcode.py statement for statement
// (that module documents the dialect and is the reference the tests compare
// this against); errors come back as values, only exhausted memory throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rastermark::machine_files {

// The drawn pieces of a file, one entry per piece, in file order.
struct GcodePieces {
    std::vector<double> x0, y0, x1, y1, z0, z1;
    std::vector<double> speed;  // mm/s; NaN where no feed rate was given yet
    std::vector<double> pause;  // s of dwell before the piece
    std::vector<std::int64_t> line;  // the file's line number (from 1)
    std::vector<std::int64_t> layer;
    std::vector<std::uint8_t> prints;

    std::size_t size() const { return x0.size(); }
    void clear() {
        for (auto* column : {&x0, &y0, &x1, &y1, &z0, &z1, &speed, &pause}) column->clear();
        line.clear();
        layer.clear();
        prints.clear();
    }
};

struct GcodeError {
    std::int64_t line = 0;  // 0: no error
    std::string message;    // without the file and line
};

struct GcodeResult {
    GcodePieces pieces;
    GcodeError error;
};

// Interprets `text` (the file's bytes) with arcs cut into pieces of about
// `chord` mm.
GcodeResult interpret_gcode(std::string_view text, double chord);

}  // namespace rastermark::machine_files
