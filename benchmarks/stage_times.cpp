// Times the stages of the scanline core on one input, to show where a call
// spends its time: the streaming pass (collapse and turning points), the
// threshold and the labels, against the same stages run one list at a time.
//
//   stage_times X.bin Y.bin float64|float32 WORKERS REPEATS
//
// X.bin and Y.bin hold the raw little-endian samples.  Prints one line per
// stage with the median time in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "labels.hpp"
#include "pipeline.hpp"
#include "segments.hpp"
#include "stage_by_stage.hpp"
#include "threshold.hpp"
#include "turning_points.hpp"

namespace {

using namespace rastermark;
using Clock = std::chrono::steady_clock;

template <class T>
std::vector<T> read_samples(const char* path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    const auto bytes = static_cast<std::size_t>(in.tellg());
    std::vector<T> values(bytes / sizeof(T));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(T)));
    return values;
}

template <class F>
double median_ms(int repeats, F&& body) {
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        const auto start = Clock::now();
        body();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + repeats / 2, times.end());
    return times[static_cast<std::size_t>(repeats / 2)];
}

template <class T>
void run(const char* x_path, const char* y_path, std::size_t workers, int repeats) {
    const std::vector<T> xs = read_samples<T>(x_path), ys = read_samples<T>(y_path);
    const Samples<T> x(xs), y(ys);
    const std::size_t n = xs.size();
    worker_pool::current_num_threads();

    TurningPointList<T> turns;
    T threshold{};
    const double pass = median_ms(repeats, [&] { turns = turning_points_in_one_pass(x, y, workers); });
    const double thresh = median_ms(repeats, [&] { threshold = turn_distance_threshold(turns, workers); });
    const double labels = median_ms(repeats, [&] { volatile auto l = assign_scanline_ids(n, turns, threshold).size(); (void)l; });
    const double whole = median_ms(repeats, [&] {
        volatile auto r = annotate_scanlines<T>({xs.data(), n, 1}, {ys.data(), n, 1}).index();
        (void)r;
    });

    PointList<T> xp, yp;
    const double list_x = median_ms(repeats, [&] {
        xp = workers >= 2 && n >= parallel_x_threshold ? collapse_x_parallel(x, y, workers) : collapse_x(x, y);
    });
    const double list_y = median_ms(repeats, [&] {
        yp = workers >= 2 && xp.size() >= parallel_y_threshold ? collapse_y_parallel(xp, workers) : collapse_y(xp);
    });
    const double list_turns = median_ms(repeats, [&] { turns = find_turning_points(yp); });

    std::printf("samples %zu, x-points %zu, collapsed points %zu, turning points %zu\n", n, xp.size(), yp.size(),
                turns.size());
    std::printf("single pass (collapse + turning points) %8.2f ms\n", pass);
    std::printf("threshold                               %8.2f ms\n", thresh);
    std::printf("labels                                  %8.2f ms\n", labels);
    std::printf("whole driver                            %8.2f ms\n", whole);
    std::printf("one list at a time: collapse_x          %8.2f ms\n", list_x);
    std::printf("one list at a time: collapse_y          %8.2f ms\n", list_y);
    std::printf("one list at a time: find_turning_points %8.2f ms\n", list_turns);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s X.bin Y.bin float64|float32 WORKERS REPEATS\n", argv[0]);
        return 2;
    }
    const std::size_t workers = std::strtoul(argv[4], nullptr, 10);
    const int repeats = std::max(1, std::atoi(argv[5]));
    if (std::string(argv[3]) == "float32") {
        run<float>(argv[1], argv[2], workers, repeats);
    } else {
        run<double>(argv[1], argv[2], workers, repeats);
    }
    return 0;
}
