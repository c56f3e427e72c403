// The native G-code interpreter on its own: worked programs, the place and
// text of its errors, and arbitrary bytes (which must end in pieces or an
// error, never in undefined behaviour: this runs under the sanitizers).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "gcode_interpreter.hpp"

namespace {

using rastermark::machine_files::interpret_gcode;

TEST(GcodeInterpreter, LinesArcsAndLayers) {
    auto result = interpret_gcode("G0 X0 Y0 Z0.2\nG1 X10 E1 F600\nG2 X20 Y0 I5 J0 E2\nG0 Z0.4\nG1 X0 E3\n", 0.5);
    ASSERT_EQ(result.error.line, 0);
    const auto& p = result.pieces;
    ASSERT_GT(p.size(), 3U);
    EXPECT_EQ(p.x0[0], 0.0);
    EXPECT_EQ(p.x1[0], 10.0);
    EXPECT_EQ(p.speed[0], 10.0);  // F600 mm/min
    EXPECT_EQ(p.line[1], 3);
    EXPECT_EQ(p.x1[p.size() - 2], 20.0);  // the arc ends exactly on its end point
    for (std::size_t k = 1; k + 1 < p.size(); ++k) {
        EXPECT_NEAR(std::hypot(p.x1[k] - 15.0, p.y1[k]), 5.0, 1e-12);
        EXPECT_GE(p.y1[k], -1e-12);  // clockwise from (10, 0) about (15, 0) goes up
    }
    EXPECT_EQ(p.layer.front(), 0);
    EXPECT_EQ(p.layer.back(), 1);
}

TEST(GcodeInterpreter, ErrorsNameTheirLine) {
    struct Case {
        const char* program;
        std::int64_t line;
        const char* message;
    };
    const Case cases[] = {
        {"G0 X0 Y0\nG1 X1e-05 S9\n", 2, "a number with an exponent ('G1 X1e-05 S9'): G-code numbers are plain decimals"},
        {"G0 X0 Y0\n\nG5 X1\n", 3, "G5 (spline moves) is not supported"},
        {"G0 X0 Y0\nG1 X2000000\n", 2, "X2000000 is out of range (at most 1e+06 from zero)"},
        {"G0 X0 Y0\nG2 X10 Y0 R1 S5\n", 2, "arc radius R1 cannot join points 10 mm apart"},
        {"G0 X0 Y0\nG1 X1 ?\n", 2, "expected words of a letter and a number, could not read '?'"},
    };
    for (const Case& c : cases) {
        auto result = interpret_gcode(c.program, 0.1);
        EXPECT_EQ(result.error.line, c.line) << c.program;
        EXPECT_EQ(result.error.message, c.message) << c.program;
    }
}

TEST(GcodeInterpreter, LongNumbersRoundAsStrtodDoes) {
    auto result = interpret_gcode("G0 X0 Y0\nG1 X0.1000000000000000055511151231257827 Y123456.789012345678 S1\n", 0.1);
    ASSERT_EQ(result.error.line, 0);
    EXPECT_EQ(result.pieces.x1[0], 0.1);
    EXPECT_EQ(result.pieces.y1[0], std::strtod("123456.789012345678", nullptr));
}

TEST(GcodeInterpreter, ArbitraryBytesEndInPiecesOrAnError) {
    std::mt19937 random(7);
    const std::string alphabet = "GMXYZEFSIJRPL0123456789.-+ ;()\"\n\r%eE\t";
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        auto length = random() % 200;
        for (std::size_t k = 0; k < length; ++k) {
            text.push_back(random() % 8 == 0 ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()]);
        }
        auto result = interpret_gcode(text, 0.5);
        const auto& p = result.pieces;
        ASSERT_EQ(p.x0.size(), p.layer.size());
        ASSERT_EQ(p.prints.size(), p.line.size());
    }
}

}  // namespace
