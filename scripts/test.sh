#!/usr/bin/env bash
# Builds everything and runs every test: the C++ core tests (also under
# ThreadSanitizer, and under AddressSanitizer with UBSan), a compile-and-link
# check of the core for macOS and Windows, a fixed-time fuzzing run of the
# core, the Python tests against a sanitized build, the Python tests on the
# regular interpreter, the wheels of every ABI whose interpreter is at hand in
# fresh environments, and the Python tests on the free-threaded interpreter.
# Exits non-zero on any failure.
#   test.sh [--full-matrix] [PYTEST ARGS...]
#     --full-matrix  also runs the whole Python suite on every other CPython
#                    3.13-3.15, regular and free-threaded, that is at hand or
#                    can be built from Debian's sources
set -euo pipefail
full_matrix=0
if [ "${1:-}" = "--full-matrix" ]; then full_matrix=1; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

section() { printf '\n==== %s ====\n' "$*"; }

if [ ! -f /usr/include/gtest/gtest.h ]; then
  section "installing GoogleTest (libgtest-dev)"
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    (apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q libgtest-dev) >/dev/null \
      || { echo "test: could not install libgtest-dev with apt-get" >&2; exit 1; }
  else
    echo "test: GoogleTest is missing; install Debian's libgtest-dev" >&2; exit 1
  fi
fi

py=$(scripts/setup_env.sh)
cmake_bin=$("$py" -c 'import cmake, os; print(os.path.join(cmake.CMAKE_BIN_DIR, "cmake"))')
ctest_bin=$(dirname "$cmake_bin")/ctest

run_core_tests() {  # build dir, extra cmake args...
  local dir=$1; shift
  "$cmake_bin" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$(dirname "$py")/ninja" \
    -DRASTERMARK_BUILD_MODULE=OFF -DRASTERMARK_BUILD_TESTS=ON -DRASTERMARK_WERROR=ON "$@" >/dev/null
  "$cmake_bin" --build "$dir" -j "$jobs"
  "$ctest_bin" --test-dir "$dir" --output-on-failure -j "$jobs"
}

section "C++ core tests"
run_core_tests build/core-tests
section "C++ core tests under ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1" run_core_tests build/core-tests-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRASTERMARK_SANITIZE=thread

section "C++ core tests under AddressSanitizer, LeakSanitizer and UBSan"
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  run_core_tests build/core-tests-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRASTERMARK_SANITIZE=address,undefined

section "Cross-compiling the core and its tests for macOS and Windows"
PYTHON="$py" scripts/cross_check.sh

section "Fuzzing the core for ${RASTERMARK_FUZZ_SECONDS:-60} s"
scripts/fuzz.sh "${RASTERMARK_FUZZ_SECONDS:-60}"

section "Python tests against the AddressSanitizer + UBSan build"
scripts/test_sanitized.sh "$@"

section "Python tests ($("$py" -c 'import sys; print(sys.version.split()[0])'))"
"$py" -m pytest -q "$@"

section "Wheels: sdist, one wheel per ABI (manylinux), auditwheel, fresh environments, oldest and newest NumPy"
scripts/test_wheels.sh

section "Python tests on free-threaded CPython (PYTHON_GIL=0)"
py_ft=$(scripts/setup_env.sh --ft)
PYTHON_GIL=0 "$py_ft" -m pytest -q "$@"

if [ $full_matrix = 1 ]; then
  for abi in 3.14 3.14t 3.15; do
    section "Python tests on CPython $abi"
    ft=(); gil=(); [[ $abi == *t ]] && { ft=(--ft); gil=(PYTHON_GIL=0); }
    if ! base=$(scripts/find_python.sh --version "${abi%t}" "${ft[@]}" 2>build/find-matrix.log); then
      echo "skipped: $(tail -n 1 build/find-matrix.log)"
      continue
    fi
    env=build/matrix-env-$abi
    [ -x "$env/bin/python" ] || "$base" -m venv "$env"
    "$env/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
      "scikit-build-core>=0.10" "numpy>=2.1" cmake ninja pytest hypothesis >&2
    "$env/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
      -Ccmake.define.RASTERMARK_WERROR=ON -Cbuild-dir="build/matrix-$abi" . >&2
    env "${gil[@]}" "$env/bin/python" -m pytest -q "$@"
  done
fi
