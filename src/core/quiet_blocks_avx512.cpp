// The quiet-block scan built for AVX-512 (F, DQ, VL, BW): CMake compiles this file with that
// instruction set enabled on x86-64 (GCC and Clang); the dispatch in
// quiet_blocks.cpp calls it only on a CPU that has it.
#include "quiet_blocks_isa.hpp"

#ifdef RASTERMARK_X86_DISPATCH
#include "quiet_block_scan.hpp"

namespace rastermark::isa {

std::size_t skip_quiet_blocks_avx512(const unsigned char* x, const unsigned char* y, std::size_t begin, std::size_t end,
                                  bool falling, bool is_float) {
    return is_float ? scan_quiet_blocks<float>(x, y, begin, end, falling)
                    : scan_quiet_blocks<double>(x, y, begin, end, falling);
}

std::size_t skip_moving_x_blocks_avx512(const unsigned char* x, std::size_t begin, std::size_t end, bool is_float) {
    return is_float ? scan_moving_x_blocks<float>(x, begin, end) : scan_moving_x_blocks<double>(x, begin, end);
}

}  // namespace rastermark::isa
#endif
