#!/usr/bin/env bash
# Creates (or refreshes) the project's virtual environment and builds and
# installs rastermark into it.  Prints the environment's python on stdout.
#   setup_env.sh          .venv     on a regular CPython 3.13+
#   setup_env.sh --ft     .venv-ft  on a free-threaded CPython 3.13t
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "${1:-}" = "--ft" ]; then venv=.venv-ft; find_args=(--ft); else venv=.venv; find_args=(); fi

if [ ! -x "$venv/bin/python" ]; then
  base=$(scripts/find_python.sh "${find_args[@]}")
  echo "setup_env: creating $venv with $base" >&2
  "$base" -m venv "$venv" >&2
fi
py="$root/$venv/bin/python"

pip_install() { "$py" -m pip install -q --disable-pip-version-check "$@" >&2; }
# Binary wheels only: the free-threaded interpreter would otherwise try to
# compile some of these from source (with toolchains this machine lacks).
deps=("scikit-build-core>=0.10" "numpy>=2.1" cmake ninja pytest hypothesis mypy tqdm)
if [ "$venv" = .venv ]; then deps+=(matplotlib "dask[distributed]" pyarrow h5py); fi
pip_install --only-binary=:all: "${deps[@]}"

# Warnings are errors in the project's own builds.
pip_install --no-build-isolation -Ccmake.define.RASTERMARK_WERROR=ON "$root"
echo "$py"
