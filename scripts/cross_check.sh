#!/usr/bin/env bash
# Compiles and links the core and its C++ tests for macOS (arm64, x86-64) and
# Windows (x86-64, MinGW ABI) with Zig's cross toolchain, as a check that the
# core builds beyond Linux; running the tests there is for hosted CI.
#   cross_check.sh [TARGET...]     default: aarch64-macos x86_64-macos x86_64-windows-gnu
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
py=${PYTHON:-$root/.venv/bin/python}
"$py" -m pip install -q --disable-pip-version-check --only-binary=:all: ziglang >&2
gtest=/usr/src/googletest/googletest
[ -f "$gtest/src/gtest-all.cc" ] || { echo "cross_check: GoogleTest sources missing (Debian's googletest)" >&2; exit 1; }

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(aarch64-macos x86_64-macos x86_64-windows-gnu)
flags=(-std=c++20 -O1 -ffp-contract=off -fno-fast-math)
jobs=$(nproc 2>/dev/null || echo 2)
for target in "${targets[@]}"; do
  out=build/cross/$target
  rm -rf "$out" && mkdir -p "$out"
  start=$(date +%s)
  # One compile per line: GoogleTest as it is (its headers draw warnings from
  # newer compilers, and use FLT_MAX and DBL_MAX, which Zig's macOS headers
  # lose), the project's sources with warnings as errors.
  gtest_flags="-w -DFLT_MAX=__FLT_MAX__ -DDBL_MAX=__DBL_MAX__ -isystem $gtest/include -I$gtest"
  own_flags="-Wall -Wextra -Wpedantic -Werror -DFLT_MAX=__FLT_MAX__ -DDBL_MAX=__DBL_MAX__ -Isrc/core -Isrc/core/machine_files -Isrc/core/hatches -isystem $gtest/include"
  {
    echo "$gtest_flags -c $gtest/src/gtest-all.cc -o $out/gtest-all.o"
    echo "$gtest_flags -c $gtest/src/gtest_main.cc -o $out/gtest_main.o"
    x86=""; [[ $target == x86_64* ]] && x86="-DRASTERMARK_SIMD_X86=1"
    for source in src/core/*.cpp src/core/simd/dispatch.cpp src/core/machine_files/*.cpp src/core/hatches/*.cpp tests/cpp/*_test.cpp; do
      echo "$own_flags $x86 -c $source -o $out/$(basename "${source%.cpp}").o"
    done
    # The block-scan kernels, one build per instruction set as CMake makes them.
    kernels="baseline:"
    [ -n "$x86" ] && kernels="$kernels avx2:-mavx2 avx512:-mavx512f,-mavx512dq,-mavx512vl,-mavx512bw"
    for kernel in $kernels; do
      name=${kernel%%:*}; isa=${kernel#*:}
      echo "$own_flags ${isa//,/ } -DRASTERMARK_SIMD_TARGET=$name -c src/core/simd/block_scan_kernels.cpp -o $out/block_scans_$name.o"
    done
  } | xargs -P "$jobs" -L 1 "$py" -m ziglang c++ -target "$target" "${flags[@]}"
  suffix=""; [[ $target == *windows* ]] && suffix=.exe
  "$py" -m ziglang c++ -target "$target" "$out"/*.o -o "$out/core_tests$suffix"
  echo "cross_check: $target: core and C++ tests compiled and linked ($(( $(date +%s) - start )) s): $(file -b "$out/core_tests$suffix" | cut -c 1-60)"
done
