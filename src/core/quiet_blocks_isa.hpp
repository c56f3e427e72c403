// The quiet-block scans built for wider x86-64 instruction sets, each in a
// translation unit of its own (see quiet_block_scan.hpp).  Only where GCC or
// Clang targets x86-64; elsewhere the baseline build is the only one.
#pragma once

#include <cstddef>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define RASTERMARK_X86_DISPATCH 1

namespace rastermark::isa {

std::size_t skip_quiet_blocks_avx2(const unsigned char* x, const unsigned char* y, std::size_t begin, std::size_t end,
                                   bool falling, bool is_float);
std::size_t skip_quiet_blocks_avx512(const unsigned char* x, const unsigned char* y, std::size_t begin,
                                     std::size_t end, bool falling, bool is_float);

std::size_t skip_moving_x_blocks_avx2(const unsigned char* x, std::size_t begin, std::size_t end, bool is_float);
std::size_t skip_moving_x_blocks_avx512(const unsigned char* x, std::size_t begin, std::size_t end, bool is_float);

}  // namespace rastermark::isa
#endif
