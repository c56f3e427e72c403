#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into its own environment (.venv-asan) and runs the whole pytest suite
# against it, the sanitizer runtime preloaded into the interpreter.  Any
# report fails the run.  Leaks are checked where they can be told apart from
# the interpreter's own: by the C++ core tests under LeakSanitizer (in
# scripts/test.sh) and by the memcheck test in tests/test_reliability.py.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

base=$(scripts/find_python.sh)
venv=.venv-asan
[ -x "$venv/bin/python" ] || "$base" -m venv "$venv"
py="$root/$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check --only-binary=:all: \
  "scikit-build-core>=0.10" "numpy>=2.1" cmake ninja pytest hypothesis >&2
"$py" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
  -Cbuild-dir=build/asan -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.RASTERMARK_SANITIZE=address,undefined -Ccmake.define.RASTERMARK_WERROR=ON . >&2

asan_runtime=$(g++ -print-file-name=libasan.so)
[ -f "$asan_runtime" ] || { echo "test_sanitized: no libasan.so next to g++" >&2; exit 1; }

# The interpreter itself is not instrumented and keeps memory until exit by
# design, so process-wide leak reports would only list its objects.
export LD_PRELOAD="$asan_runtime"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export RASTERMARK_SANITIZED=1
"$py" -m pytest -q -p no:cacheprovider "$@"
