#!/usr/bin/env bash
# Builds the sdist and the wheels (scripts/build_wheels.sh), then installs
# each wheel into a fresh virtual environment of its own interpreter and runs
# the module's contract and scanline tests there, against the oldest NumPy
# the package claims (2.1) and against the newest, each as a binary wheel.
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

smoke='import numpy as np, rastermark
xs, ys = [], []
for k in range(6):
    xs += [k] * 5; ys += [0, 1, 2, 3, 4] if k % 2 == 0 else [4, 3, 2, 1, 0]
    if k < 5: xs.append(k + 0.5); ys.append(5 if k % 2 == 0 else -1)
ids = rastermark.annotate_scanlines(np.array(xs, float), np.array(ys, float))
assert ids.tolist() == [-1] * 12 + [1] * 6 + [2] * 6 + [3] * 6 + [-1] * 5, ids
print("smoke call ok:", rastermark.__file__, "numpy", np.__version__)'

tested=0
for wheel in dist/rastermark-*manylinux*.whl; do
  abi=$(basename "$wheel" | cut -d- -f4)
  version="3.${abi:3:2}"
  ft=(); gil=(); [[ $abi == *t ]] && { ft=(--ft); gil=(PYTHON_GIL=0); }
  base=$(scripts/find_python.sh --version "$version" "${ft[@]}")
  base=$("$base" -c 'import sys; print(sys._base_executable)')
  for numpy_req in "numpy>=2.1,<2.2" "numpy"; do
    env=build/wheel-envs/$abi-${numpy_req//[^0-9a-z]/_}
    "$base" -m venv "$env"
    if ! "$env/bin/python" -m pip install "${quiet[@]}" --only-binary=:all: "$numpy_req" pytest hypothesis >&2; then
      echo "== $abi with $numpy_req: skipped, NumPy has no such wheel for this interpreter"
      continue
    fi
    "$env/bin/python" -m pip install "${quiet[@]}" --no-deps "$wheel" >&2
    echo "== $abi ($(basename "$wheel")) with NumPy $("$env/bin/python" -c 'import numpy; print(numpy.__version__)')"
    (cd build/wheel-envs && env "${gil[@]}" "$root/$env/bin/python" -c "$smoke")
    env "${gil[@]}" "$env/bin/python" -m pytest -q -p no:cacheprovider tests/test_module.py tests/test_scanlines.py \
      | tail -n 1
    [ "${PIPESTATUS[0]}" = 0 ] || { echo "test_wheels: tests failed for $abi with $numpy_req" >&2; exit 1; }
    tested=$((tested + 1))
  done
done
[ $tested -gt 0 ] || { echo "test_wheels: no wheel was tested" >&2; exit 1; }
