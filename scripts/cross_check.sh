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
  own_flags="-Wall -Wextra -Wpedantic -Werror -DFLT_MAX=__FLT_MAX__ -DDBL_MAX=__DBL_MAX__ -Isrc/core -Isrc/core/machine_files -isystem $gtest/include"
  {
    echo "$gtest_flags -c $gtest/src/gtest-all.cc -o $out/gtest-all.o"
    echo "$gtest_flags -c $gtest/src/gtest_main.cc -o $out/gtest_main.o"
    for source in src/core/*.cpp src/core/machine_files/*.cpp tests/cpp/*_test.cpp; do
      # The wider builds of the quiet-block test, with their instruction sets
      # as CMake gives them on x86-64.
      isa=""
      if [[ $target == x86_64* ]]; then
        case $source in
          *_avx2.cpp) isa="-mavx2" ;;
          *_avx512.cpp) isa="-mavx512f -mavx512dq -mavx512vl -mavx512bw" ;;
        esac
      fi
      echo "$own_flags $isa -c $source -o $out/$(basename "${source%.cpp}").o"
    done
  } | xargs -P "$jobs" -L 1 "$py" -m ziglang c++ -target "$target" "${flags[@]}"
  suffix=""; [[ $target == *windows* ]] && suffix=.exe
  "$py" -m ziglang c++ -target "$target" "$out"/*.o -o "$out/core_tests$suffix"
  echo "cross_check: $target: core and C++ tests compiled and linked ($(( $(date +%s) - start )) s): $(file -b "$out/core_tests$suffix" | cut -c 1-60)"
done
