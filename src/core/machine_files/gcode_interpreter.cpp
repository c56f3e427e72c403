#include "gcode_interpreter.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <utility>

namespace rastermark::machine_files {

namespace {

constexpr double max_coordinate_mm = 1e6;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view strip(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// The length of a number [-+]?(\d+\.?\d*|\.\d+) at the start of s, or 0.
std::size_t number_length(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    std::size_t digits = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i > digits) {
        if (i < s.size() && s[i] == '.') {
            ++i;
            while (i < s.size() && is_digit(s[i])) ++i;
        }
        return i;
    }
    if (i < s.size() && s[i] == '.' && i + 1 < s.size() && is_digit(s[i + 1])) {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i;
        return i;
    }
    return 0;
}

// A plain decimal [-+]?(\d+\.?\d*|\.\d+) as Python's float() reads it:
// correctly rounded.  Up to 15 significant digits and 22 decimals the
// quotient of two exact doubles is; longer numbers go to strtod, written
// without a decimal point so that the C locale's separator cannot matter.
double parse_number(std::string_view s) {
    static constexpr std::array<double, 23> powers = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    bool negative = false;
    std::size_t i = 0;
    if (s[i] == '-' || s[i] == '+') negative = s[i++] == '-';
    std::string digits;
    int decimals = 0;
    bool fractional = false;
    for (; i < s.size(); ++i) {
        if (s[i] == '.') {
            fractional = true;
            continue;
        }
        if (digits.empty() && s[i] == '0') {
            if (fractional) ++decimals;
            continue;
        }
        digits.push_back(s[i]);
        if (fractional) ++decimals;
    }
    double value = 0.0;
    if (digits.empty()) {
        value = 0.0;
    } else if (digits.size() <= 15 && decimals < static_cast<int>(powers.size())) {
        value = static_cast<double>(std::stoull(digits)) / powers[static_cast<std::size_t>(decimals)];
    } else {
        digits += "e-" + std::to_string(decimals);
        value = std::strtod(digits.c_str(), nullptr);
    }
    return negative ? -value : value;
}

// Python's f"{value:g}".
std::string format_g(double value) {
    std::array<char, 64> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%g", value);
    return buffer.data();
}

// One line's words; reused from line to line, so that its buffers are
// allocated once per file.
struct Line {
    std::vector<std::string> codes;  // G and M codes as gcode.py spells them
    std::array<double, 26> values{};
    std::uint32_t present = 0;  // bit k: the letter 'A' + k has a value
    std::string leftover;
    // Scratch space of the parser.
    std::string text, plain;

    void clear() {
        codes.clear();
        present = 0;
        leftover.clear();
    }
    bool has(const char* code) const { return std::find(codes.begin(), codes.end(), code) != codes.end(); }
    bool has_word(char letter) const { return (present >> (letter - 'A')) & 1U; }
    double word(char letter) const { return values[static_cast<std::size_t>(letter - 'A')]; }
    void set(char letter, double value) {
        values[static_cast<std::size_t>(letter - 'A')] = value;
        present |= 1U << (letter - 'A');
    }
};

// A G or M code as gcode.py's _code spells it ("G1", "G2.1", ...).
std::string code_of(char letter, std::string_view number) {
    double value = parse_number(number);
    std::string code;
    code.push_back(letter);
    if (!std::isfinite(value) || std::abs(value) > 1e6) {
        code.append(number);
    } else if (value == std::trunc(value)) {
        code.append(std::to_string(static_cast<long long>(value)));
    } else {
        code.append(format_g(value));
    }
    return code;
}

// Visits the words of `text` as gcode.py's _WORD.findall finds them (a
// letter, spaces, a number) and collects what is left between them.
template <typename Visit>
void for_each_word(std::string_view text, std::string* leftover, Visit visit) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (is_letter(text[i])) {
            std::size_t j = i + 1;
            while (j < text.size() && is_space(text[j])) ++j;
            std::size_t length = number_length(text.substr(j));
            if (length > 0) {
                visit(text[i], text.substr(j, length));
                i = j + length;
                continue;
            }
        }
        leftover->push_back(text[i]);
        ++i;
    }
}

// The text without its quoted strings ("..."), as gcode.py's _QUOTED.sub
// leaves it.
void unquoted(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            std::size_t close = text.find('"', i + 1);
            if (close != std::string_view::npos) {
                i = close;
                continue;
            }
        }
        out.push_back(text[i]);
    }
}

// The first number with an exponent, (\d|\.)([eE][-+]\d|e\d): its start
// and end, or nullopt.
std::optional<std::pair<std::size_t, std::size_t>> exponent_in(std::string_view u) {
    for (std::size_t i = 0; i + 2 < u.size(); ++i) {
        if (!(is_digit(u[i]) || u[i] == '.') || (u[i + 1] != 'e' && u[i + 1] != 'E')) continue;
        if ((u[i + 2] == '-' || u[i + 2] == '+') && i + 3 < u.size() && is_digit(u[i + 3])) {
            return std::pair{i, i + 4};
        }
        if (u[i + 1] == 'e' && is_digit(u[i + 2])) return std::pair{i, i + 3};
    }
    return std::nullopt;
}

bool is_text_command(const std::string& code) {
    static const std::array<const char*, 7> text_commands = {"M23", "M28", "M30", "M32", "M117", "M118", "M928"};
    return std::any_of(text_commands.begin(), text_commands.end(), [&](const char* c) { return code == c; });
}

const char* unsupported_motion(const std::string& code) {
    if (code == "G5" || code == "G5.1") return "spline moves";
    if (code == "G18" || code == "G19") return "arcs outside the XY plane";
    if (code == "G2.1") return "helical arcs";
    return nullptr;
}

std::string python_slice(std::string_view s, std::size_t n) { return std::string(s.substr(0, std::min(n, s.size()))); }

struct ModalState {
    bool absolute_xy = true, absolute_e = true;
    double scale = 1.0;
    double x = 0.0, y = 0.0, z = 0.0, e = 0.0;
    bool known_x = false, known_y = false, known_z = true;
    double feed = nan;
    double power = 0.0;
    bool laser_enabled = true;
    std::string motion;  // empty: none
    double pause = 0.0;

    double& axis(char a) { return a == 'X' ? x : a == 'Y' ? y : z; }
    bool& known(char a) { return a == 'X' ? known_x : a == 'Y' ? known_y : known_z; }
};

// Parses one line into `line`; false for lines with nothing to do (or a
// failure, which is then set).
bool parse_line(std::string_view raw, Line& line, std::string* failure) {
    line.clear();
    std::string& text = line.text;
    text.clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == ';') break;
        if (c == '(') {
            std::size_t close = raw.find(')', i + 1);
            if (close != std::string_view::npos) {
                i = close;
                continue;
            }
        }
        text.push_back(c);
    }
    std::string_view stripped = strip(text);
    // A block-delete mark in front (executed: the switch is off) and a
    // checksum after (*digits), as hosts add them, are dropped.
    if (!stripped.empty() && stripped.front() == '/') stripped.remove_prefix(1);
    std::size_t digits = 0;
    while (digits < stripped.size() && is_digit(stripped[stripped.size() - 1 - digits])) ++digits;
    if (digits > 0 && digits < stripped.size() && stripped[stripped.size() - 1 - digits] == '*') {
        stripped.remove_suffix(digits + 1);
    }
    stripped = strip(stripped);
    if (stripped.empty() || stripped.front() == '%') return false;
    if (is_letter(stripped.front())) {
        std::size_t j = 1;
        while (j < stripped.size() && is_space(stripped[j])) ++j;
        std::size_t length = number_length(stripped.substr(j));
        if (length > 0 && is_text_command(code_of(upper(stripped.front()), stripped.substr(j, length)))) {
            return false;
        }
    }
    std::string& plain = line.plain;
    unquoted(stripped, plain);
    if (auto at = exponent_in(plain)) {
        std::size_t from = at->first >= 8 ? at->first - 8 : 0;
        *failure = "a number with an exponent ('" + plain.substr(from, at->second + 4 - from) +
                   "'): G-code numbers are plain decimals";
        return false;
    }
    std::string& leftover = line.leftover;
    bool ok = true;
    for_each_word(stripped, &leftover, [&](char raw_letter, std::string_view number) {
        if (!ok) return;
        char letter = upper(raw_letter);
        if (letter == 'G' || letter == 'M') {
            line.codes.push_back(code_of(letter, number));
            return;
        }
        double value = parse_number(number);
        if (!std::isfinite(value) || std::abs(value) > max_coordinate_mm) {
            failure->push_back(letter);
            failure->append(python_slice(number, 40));
            failure->append(" is out of range (at most " + format_g(max_coordinate_mm) + " from zero)");
            ok = false;
            return;
        }
        line.set(letter, value);
    });
    if (!ok) return false;
    leftover = std::string(strip(leftover));
    for (const std::string& c : line.codes) {
        if (const char* what = unsupported_motion(c)) {
            *failure = c + " (" + what + ") is not supported";
            return false;
        }
    }
    return true;
}

void set_modes(ModalState& state, const Line& line) {
    for (const std::string& c : line.codes) {
        if (c == "G20") {
            state.scale = 25.4;
        } else if (c == "G21") {
            state.scale = 1.0;
        } else if (c == "G90") {
            state.absolute_xy = state.absolute_e = true;
        } else if (c == "G91") {
            state.absolute_xy = state.absolute_e = false;
        } else if (c == "M82") {
            state.absolute_e = true;
        } else if (c == "M83") {
            state.absolute_e = false;
        } else if (c == "M3" || c == "M4") {
            state.laser_enabled = true;
        } else if (c == "M5") {
            state.laser_enabled = false;
        }
    }
    bool own = line.has("G4") || std::any_of(line.codes.begin(), line.codes.end(), [](const std::string& c) {
                   return c[0] == 'M' && c != "M3" && c != "M4" && c != "M5";
               });
    if (line.has_word('S') && !own) state.power = line.word('S');
    if (line.has_word('F') && !own) state.feed = line.word('F') * state.scale / 60.0;
}

bool non_modal(ModalState& state, const Line& line) {
    if (line.has("G4")) {
        double seconds = line.has_word('P') ? line.word('P') / 1000.0 : (line.has_word('S') ? line.word('S') : 0.0);
        state.pause += std::max(seconds, 0.0);
        return true;
    }
    if (line.has("G92") || (line.has("G10") && line.has_word('L') && line.word('L') == 20)) {
        for (char a : {'X', 'Y', 'Z'}) {
            if (line.has_word(a)) {
                state.axis(a) = line.word(a) * state.scale;
                state.known(a) = true;
            }
        }
        if (line.has_word('E')) state.e = line.word('E');
        return true;
    }
    if (line.has("G10")) {
        if (line.has_word('L') && line.word('L') == 2) {
            for (char a : {'X', 'Y'}) {
                if (line.has_word(a)) state.known(a) = false;
            }
        }
        return true;
    }
    if (line.has("G28") || line.has("G30") || line.has("G53")) {
        bool named = false;
        for (char a : {'X', 'Y', 'Z'}) {
            if (line.has_word(a)) {
                state.known(a) = false;
                named = true;
            }
        }
        if (!named && !line.has("G53")) state.known_x = state.known_y = state.known_z = false;
        return true;
    }
    if (line.has("G80")) {
        state.motion.clear();
        return true;
    }
    return false;
}

struct Point {
    double x, y;
};

// Vertices along a G2 (clockwise) or G3 arc, end included; as gcode.py's _arc_points.
bool arc_points(double x0, double y0, double x1, double y1, const std::map<char, double>& words, bool clockwise,
                double chord, std::vector<Point>& out, std::string* failure) {
    double cx, cy, radius;
    if (words.count('I') || words.count('J')) {
        cx = x0 + (words.count('I') ? words.at('I') : 0.0);
        cy = y0 + (words.count('J') ? words.at('J') : 0.0);
        radius = std::hypot(x0 - cx, y0 - cy);
    } else if (words.count('R')) {
        radius = words.at('R');
        double d = std::hypot(x1 - x0, y1 - y0);
        if (d == 0 || std::abs(radius) < d / 2 - 1e-9) {
            *failure = "arc radius R" + format_g(radius) + " cannot join points " + format_g(d) + " mm apart";
            return false;
        }
        double h = std::sqrt(std::max(radius * radius - d * d / 4, 0.0));
        double side = (clockwise ? -1.0 : 1.0) * (radius > 0 ? 1.0 : -1.0);
        cx = (x0 + x1) / 2 + side * h * -(y1 - y0) / d;
        cy = (y0 + y1) / 2 + side * h * (x1 - x0) / d;
        radius = std::abs(radius);
    } else {
        *failure = "arc without I/J or R";
        return false;
    }
    double a0 = std::atan2(y0 - cy, x0 - cx);
    double a1 = std::atan2(y1 - cy, x1 - cx);
    double sweep = a1 - a0;
    constexpr double two_pi = 2 * 3.141592653589793;
    if (clockwise && sweep >= 0) {
        sweep -= two_pi;
    } else if (!clockwise && sweep <= 0) {
        sweep += two_pi;
    }
    double wanted = std::ceil(std::abs(sweep) * radius / chord);
    if (!(wanted <= 1e8)) {
        *failure = "an arc of radius " + format_g(radius) + " mm would take more than 10^8 pieces";
        return false;
    }
    auto pieces = std::max<std::int64_t>(4, static_cast<std::int64_t>(wanted));
    for (std::int64_t k = 1; k <= pieces; ++k) {
        double angle = a0 + sweep * static_cast<double>(k) / static_cast<double>(pieces);
        out.push_back({cx + radius * std::cos(angle), cy + radius * std::sin(angle)});
    }
    out.back() = {x1, y1};
    return true;
}

struct Move {
    std::size_t first_piece = 0, pieces = 0;
    bool prints = false;
    double z_start = 0.0, z_end = 0.0;
};

// Applies a motion line; appends its pieces to `staged` and returns the move where it draws one.
std::optional<Move> apply_move(ModalState& state, const Line& line, std::int64_t number, double chord,
                               GcodePieces& staged, std::vector<Point>& vertices, std::string* failure) {
    bool axis_word = line.has_word('X') || line.has_word('Y') || line.has_word('Z') || line.has_word('E');
    if (state.motion.empty() || !axis_word) return std::nullopt;
    double sx = state.x, sy = state.y, sz = state.z;
    bool start_known = state.known_x && state.known_y;
    for (char a : {'X', 'Y', 'Z'}) {
        if (!line.has_word(a)) continue;
        double value = line.word(a) * state.scale;
        if (state.absolute_xy) {
            state.axis(a) = value;
        } else {
            double base = state.known(a) ? state.axis(a) : 0.0;
            state.axis(a) = base + value;
        }
        state.known(a) = true;
    }
    bool extrudes = false;
    if (line.has_word('E')) {
        double e = line.word('E');
        extrudes = state.absolute_e ? e > state.e : e > 0;
        state.e = state.absolute_e ? e : state.e + e;
    }
    if (std::abs(state.x) > max_coordinate_mm || std::abs(state.y) > max_coordinate_mm) {
        *failure = "the move leaves the range of " + format_g(max_coordinate_mm) + " mm from zero";
        return std::nullopt;
    }
    const std::string& motion = state.motion;
    bool prints = extrudes || (motion != "G0" && state.laser_enabled && state.power > 0);
    if (!start_known && state.absolute_xy) return std::nullopt;
    vertices.clear();
    if (motion == "G2" || motion == "G3") {
        if (!line.has_word('I') && !line.has_word('J') && !line.has_word('R')) {
            *failure = "arc without I/J or R";
            return std::nullopt;
        }
        std::map<char, double> arc_words;
        for (char k : {'I', 'J', 'R'}) {
            if (line.has_word(k)) arc_words[k] = line.word(k) * state.scale;
        }
        if (!arc_points(sx, sy, state.x, state.y, arc_words, motion == "G2", chord, vertices, failure)) {
            return std::nullopt;
        }
    } else if (state.x != sx || state.y != sy) {
        vertices.push_back({state.x, state.y});
    } else {
        return std::nullopt;
    }
    Move move{staged.size(), vertices.size(), prints, sz, state.z};
    double cx = sx, cy = sy;
    auto count = static_cast<double>(vertices.size());
    for (std::size_t k = 0; k < vertices.size(); ++k) {
        staged.x0.push_back(cx);
        staged.y0.push_back(cy);
        staged.x1.push_back(vertices[k].x);
        staged.y1.push_back(vertices[k].y);
        staged.z0.push_back(sz + (state.z - sz) * static_cast<double>(k) / count);
        staged.z1.push_back(sz + (state.z - sz) * static_cast<double>(k + 1) / count);
        staged.speed.push_back(state.feed);
        staged.pause.push_back(k == 0 ? state.pause : 0.0);
        staged.line.push_back(number);
        staged.layer.push_back(-1);
        staged.prints.push_back(prints ? 1 : 0);
        cx = vertices[k].x;
        cy = vertices[k].y;
    }
    state.pause = 0.0;
    return move;
}

// The lines of a text as Python's str.splitlines() cuts them (ASCII and
// UTF-8 line breaks alike).
template <typename Visit>
void for_each_line(std::string_view text, Visit visit) {
    std::size_t start = 0, i = 0;
    std::int64_t number = 0;
    auto emit = [&](std::size_t end, std::size_t next) {
        visit(++number, text.substr(start, end - start));
        start = i = next;
    };
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\v' || c == '\f' || c == 0x1c || c == 0x1d || c == 0x1e) {
            emit(i, i + 1);
        } else if (c == '\r') {
            emit(i, (i + 1 < text.size() && text[i + 1] == '\n') ? i + 2 : i + 1);
        } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
            emit(i, i + 2);
        } else if (c == 0xe2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xa8 ||
                    static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
            emit(i, i + 3);
        } else {
            ++i;
        }
    }
    if (start < text.size()) visit(++number, text.substr(start));
}

void append_pieces(GcodePieces& to, const GcodePieces& from, std::int64_t layer) {
    to.x0.insert(to.x0.end(), from.x0.begin(), from.x0.end());
    to.y0.insert(to.y0.end(), from.y0.begin(), from.y0.end());
    to.x1.insert(to.x1.end(), from.x1.begin(), from.x1.end());
    to.y1.insert(to.y1.end(), from.y1.begin(), from.y1.end());
    to.z0.insert(to.z0.end(), from.z0.begin(), from.z0.end());
    to.z1.insert(to.z1.end(), from.z1.begin(), from.z1.end());
    to.speed.insert(to.speed.end(), from.speed.begin(), from.speed.end());
    to.pause.insert(to.pause.end(), from.pause.begin(), from.pause.end());
    to.line.insert(to.line.end(), from.line.begin(), from.line.end());
    to.layer.insert(to.layer.end(), from.size(), layer);
    to.prints.insert(to.prints.end(), from.prints.begin(), from.prints.end());
}

// round(z, 6), the layer's key in gcode.py: the nearest double to z's
// decimal rounding.
double rounded_height(double z) {
    std::array<char, 512> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%.6f", z);
    return std::strtod(buffer.data(), nullptr);
}

}  // namespace

GcodeResult interpret_gcode(std::string_view text, double chord) {
    GcodeResult result;
    GcodePieces& out = result.pieces;
    ModalState state;
    // Travel waits here until the next printing move tells its layer.
    GcodePieces pending;
    std::map<double, std::int64_t> layer_of_height;
    std::int64_t layer = -1;
    std::optional<double> last_z;
    bool stop = false;
    GcodePieces staged;
    Line line;
    std::vector<Point> vertices;
    std::string failure;
    for_each_line(text, [&](std::int64_t number, std::string_view raw) {
        if (stop) return;
        auto fail = [&](std::string message) {
            result.error = {number, std::move(message)};
            stop = true;
        };
        bool parsed = parse_line(raw, line, &failure);
        if (!failure.empty()) return fail(failure);
        if (!parsed) return;
        set_modes(state, line);
        if (non_modal(state, line)) return;
        std::string moving;
        for (const std::string& c : line.codes) {
            if (c == "G0" || c == "G1" || c == "G2" || c == "G3") moving = c;
        }
        bool axis_word = line.has_word('X') || line.has_word('Y') || line.has_word('Z');
        if (!line.leftover.empty() && (!moving.empty() || (!state.motion.empty() && axis_word))) {
            return fail("expected words of a letter and a number, could not read '" +
                        python_slice(line.leftover, 40) + "'");
        }
        if (!moving.empty()) state.motion = moving;
        if (std::any_of(line.codes.begin(), line.codes.end(), [](const std::string& c) { return c[0] == 'M'; })) {
            return;
        }
        staged.clear();
        std::optional<Move> move = apply_move(state, line, number, chord, staged, vertices, &failure);
        if (!failure.empty()) return fail(failure);
        if (!move) return;
        if (!move->prints) {
            append_pieces(pending, staged, -1);
            return;
        }
        bool climbing = last_z && move->z_start == *last_z && move->z_end != move->z_start;
        if (!climbing && (!last_z || move->z_start != *last_z || layer < 0)) {
            double height = rounded_height(move->z_start);
            auto found = layer_of_height.find(height);
            if (found == layer_of_height.end()) {
                found = layer_of_height.emplace(height, static_cast<std::int64_t>(layer_of_height.size())).first;
            }
            layer = found->second;
        }
        append_pieces(out, pending, layer);
        pending.clear();
        append_pieces(out, staged, layer);
        last_z = move->z_end;
    });
    if (result.error.line == 0 && layer < 0) append_pieces(out, pending, 0);
    return result;
}

}  // namespace rastermark::machine_files
