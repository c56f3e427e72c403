#!/usr/bin/env bash
# Builds the module and the C++ core tests and runs the tests:
#   test.sh [PYTEST ARGS...]          the quick run: the C++ core tests (with
#                                     the check of the instruction-set builds'
#                                     symbols) and the Python tests on the
#                                     interpreter at hand
#   test.sh --full [PYTEST ARGS...]   everything, as CI runs it (below)
# The full run: the C++ core tests (also under
# ThreadSanitizer, and under AddressSanitizer with UBSan), a compile-and-link
# check of the core for macOS and Windows, a fixed-time fuzzing run of the
# core, the Python tests against a sanitized build, the Python tests on
# CPython 3.13, the wheels of cp313, cp313t, cp314 and cp315 in fresh
# environments, the Python tests on free-threaded 3.13t, on 3.14 and on 3.15
# (those two from Debian unstable's packages in a chroot), and the C++ core
# tests built by Debian unstable's GCC.  Any failure, or an interpreter that
# cannot be had, fails the run.
set -euo pipefail
full=0
case "${1:-}" in
  --full | --full-matrix) full=1; shift ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

section() { printf '\n==== %s (%s, %d s into the run) ====\n' "$*" "$(date +%T)" "$SECONDS"; }

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

if [ "$full" = 0 ]; then
  section "Python tests ($("$py" -c 'import sys; print(sys.version.split()[0])'))"
  "$py" -m pytest -q "$@"
  echo "==== done ($(date +%T), $SECONDS s; the full run is: $0 --full) ===="
  exit 0
fi

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

for version in 3.14 3.15; do
  section "Python tests on CPython $version (Debian unstable's package, in a chroot)"
  py_v=$(scripts/setup_env.sh --version "$version")
  "$py_v" -c 'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)'
  "$py_v" -m pytest -q "$@"
done

section "C++ core tests built by Debian unstable's GCC"
# The newest GCC's headers include less by themselves: a missing #include
# shows here before users of current distributions meet it.
scripts/unstable_chroot.sh sync
scripts/unstable_chroot.sh run sh -c 'g++ --version | head -n 1 &&
  cmake -S . -B build/core-tests-unstable -G Ninja -DRASTERMARK_BUILD_MODULE=OFF -DRASTERMARK_BUILD_TESTS=ON \
    -DRASTERMARK_WERROR=ON >/dev/null &&
  cmake --build build/core-tests-unstable -j "$(nproc)" &&
  ctest --test-dir build/core-tests-unstable --output-on-failure -j "$(nproc)"'
echo "==== done ($(date +%T), $SECONDS s into the run) ===="
