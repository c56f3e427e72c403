#!/usr/bin/env bash
# Creates (or refreshes) a virtual environment of the project and builds and
# installs rastermark into it.  Prints a command that runs the environment's
# python.
#   setup_env.sh                .venv     on a regular CPython 3.13+
#   setup_env.sh --ft           .venv-ft  on a free-threaded CPython 3.13t
#   setup_env.sh --version 3.X  exactly that minor version; where it comes
#                               from the Debian unstable chroot, the
#                               environment is build/venv-3.X inside it, built
#                               from a fresh copy of the tree, and the command
#                               printed (build/python-3.X) runs it there
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=lib/interpreters.sh
. scripts/lib/interpreters.sh

case "${1:-}" in
  --ft) venv=.venv-ft; find_args=(--ft) ;;
  --version) venv=.venv-$2; find_args=(--version "$2") ;;
  "") venv=.venv; find_args=() ;;
  *) echo "setup_env: unknown argument $1" >&2; exit 2 ;;
esac

base=""
if [ "$venv" != .venv ] && [ "$venv" != .venv-ft ] || [ ! -x "$venv/bin/python" ]; then
  base=$(scripts/find_python.sh "${find_args[@]}")
fi
place=$(chroot_of "$base")
if [ -n "$place" ]; then
  venv=build/venv-${venv#.venv-}
  scripts/unstable_chroot.sh sync
  wrapper=$root/build/python-${venv#build/venv-}
  mkdir -p build
  printf '#!/bin/sh\n# The environment %s of the Debian unstable chroot, run in it.\nexec "%s" run "%s" "$@"\n' \
    "$venv" "$root/scripts/unstable_chroot.sh" "$root/$venv/bin/python" >"$wrapper"
  chmod +x "$wrapper"
  py=$wrapper
  [ -x "$place$root/$venv/bin/python" ] || "$base" -m venv "$venv" >&2
else
  if [ ! -x "$venv/bin/python" ]; then
    echo "setup_env: creating $venv with $base" >&2
    "$base" -m venv "$venv" >&2
  fi
  py="$root/$venv/bin/python"
fi

pip_install() { "$py" -m pip install -q --disable-pip-version-check "$@" >&2; }
# Binary wheels only: the free-threaded interpreter would otherwise try to
# compile some of these from source (with toolchains this machine lacks).
deps=("scikit-build-core>=0.10" "numpy>=2.1" cmake ninja pytest hypothesis mypy tqdm)
pip_install --only-binary=:all: "${deps[@]}"
# The toolkit's extras where they have wheels for this interpreter (none of
# them for free-threaded Python, h5py not yet for 3.15); their tests skip
# without them, and this says so.
if [ "$venv" != .venv-ft ]; then
  for extra in matplotlib "dask[distributed]" pyarrow h5py; do
    pip_install --only-binary=:all: "$extra" 2>/dev/null \
      || echo "setup_env: $extra has no wheel for $("$py" -c 'import sys; print(sys.version.split()[0])'): its tests skip" >&2
  done
fi

# Warnings are errors in the project's own builds.
pip_install --no-build-isolation -Ccmake.define.RASTERMARK_WERROR=ON "$root"
echo "$py"
