#!/usr/bin/env bash
# Builds the sdist and the wheels (scripts/build_wheels.sh), then installs
# each wheel into a fresh virtual environment of its own interpreter (in the
# Debian unstable chroot for 3.14 and 3.15) and runs the module's contract
# and scanline tests there, against the oldest NumPy release series from the
# one the package claims (2.1) on that has a binary wheel for the
# interpreter, and against the newest.
# Prints per ABI the auditwheel verdict (from the build) and each test run's
# pass line.
#   test_wheels.sh [ABI...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/build_wheels.sh "$@"
rm -rf build/wheel-envs
mkdir -p build/wheel-envs
quiet=(-q --disable-pip-version-check)
# shellcheck source=lib/interpreters.sh
. scripts/lib/interpreters.sh

smoke='import numpy as np, rastermark
xs, ys = [], []
for k in range(6):
    xs += [k] * 5; ys += [0, 1, 2, 3, 4] if k % 2 == 0 else [4, 3, 2, 1, 0]
    if k < 5: xs.append(k + 0.5); ys.append(5 if k % 2 == 0 else -1)
ids = rastermark.annotate_scanlines(np.array(xs, float), np.array(ys, float))
assert ids.tolist() == [-1] * 12 + [1] * 6 + [2] * 6 + [3] * 6 + [-1] * 5, ids
print("smoke call ok:", rastermark.__file__, "numpy", np.__version__)'

tested=0
synced=0
for wheel in dist/rastermark-*manylinux*.whl; do
  abi=$(basename "$wheel" | cut -d- -f4)
  version="3.${abi:3:2}"
  ft=(); gil=(); [[ $abi == *t ]] && { ft=(--ft); gil=(PYTHON_GIL=0); }
  base=$(scripts/find_python.sh --version "$version" "${ft[@]}")
  place=$(chroot_of "$base"); run=$(runner_of "$base")
  if [ -n "$place" ]; then
    [ $synced = 1 ] || { scripts/unstable_chroot.sh sync; synced=1; }
    mkdir -p "$place$root/dist" && cp "$wheel" "$place$root/$wheel"
  else
    base=$("$base" -c 'import sys; print(sys._base_executable)')
  fi
  # The oldest series from 2.1 on with a wheel for this interpreter, then the newest.
  probe=build/wheel-envs/$abi-probe
  "$base" -m venv --clear "$probe"
  oldest=""
  for minor in $(seq 1 20); do
    if $run "$probe/bin/python" -m pip download "${quiet[@]}" --only-binary=:all: --no-deps -d "$probe/downloads" \
         "numpy>=2.$minor,<2.$((minor + 1))" >/dev/null 2>&1; then
      oldest="numpy>=2.$minor,<2.$((minor + 1))"; break
    fi
  done
  [ -n "$oldest" ] || { echo "test_wheels: no NumPy 2.x wheel for $abi" >&2; exit 1; }
  for numpy_req in "$oldest" "numpy"; do
    env=build/wheel-envs/$abi-${numpy_req//[^0-9a-z]/_}
    "$base" -m venv --clear "$env"
    $run "$env/bin/python" -m pip install "${quiet[@]}" --only-binary=:all: "$numpy_req" pytest hypothesis >&2
    $run "$env/bin/python" -m pip install "${quiet[@]}" --no-deps "$wheel" >&2
    echo "== $abi ($(basename "$wheel")) with NumPy $($run "$env/bin/python" -c 'import numpy; print(numpy.__version__)')"
    (cd build/wheel-envs && env "${gil[@]}" $run "$root/$env/bin/python" -c "$smoke")
    env "${gil[@]}" $run "$env/bin/python" -m pytest -q -p no:cacheprovider tests/test_module.py tests/test_scanlines.py \
      | tail -n 1
    [ "${PIPESTATUS[0]}" = 0 ] || { echo "test_wheels: tests failed for $abi with $numpy_req" >&2; exit 1; }
    tested=$((tested + 1))
  done
done
[ $tested -gt 0 ] || { echo "test_wheels: no wheel was tested" >&2; exit 1; }
