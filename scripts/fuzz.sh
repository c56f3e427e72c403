#!/usr/bin/env bash
# Builds the libFuzzer harness of the scanline core (clang, with ASan and
# UBSan), replays every kept input, then fuzzes for the given number of
# seconds (default 60), growing fuzz/corpus.  Inputs that crash are written
# to fuzz/regressions/ to be kept; the run then fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "fuzz: installing clang and its fuzzer runtime" >&2
    (apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang libclang-rt-14-dev) >/dev/null \
      || { echo "fuzz: could not install clang with apt-get" >&2; exit 1; }
  else
    echo "fuzz: clang with libFuzzer is missing; install Debian's clang and libclang-rt-14-dev" >&2; exit 1
  fi
fi

mkdir -p fuzz/corpus fuzz/regressions
py=$("$root/scripts/setup_env.sh")
cmake_bin=$("$py" -c 'import cmake, os; print(os.path.join(cmake.CMAKE_BIN_DIR, "cmake"))')
"$cmake_bin" -S . -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM="$(dirname "$py")/ninja" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRASTERMARK_LIBFUZZER=ON -DRASTERMARK_SANITIZE=address,undefined \
  -DRASTERMARK_WERROR=ON >/dev/null
"$cmake_bin" --build build/fuzz --target fuzz_core

# Replays the kept inputs first: a regression fails here, before any fuzzing.
if ls fuzz/regressions/* >/dev/null 2>&1; then
  build/fuzz/fuzz_core -runs=0 fuzz/regressions/*
fi
RASTERMARK_NUM_THREADS=2 build/fuzz/fuzz_core fuzz/corpus -max_total_time="$seconds" -max_len=65537 \
  -artifact_prefix=fuzz/regressions/ -print_final_stats=1 2>&1 | tail -n 25
status=${PIPESTATUS[0]}
echo "fuzz: corpus holds $(ls fuzz/corpus | wc -l) inputs"
exit "$status"
