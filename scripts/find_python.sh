#!/usr/bin/env bash
# Prints the path of a CPython interpreter.
#   find_python.sh                      a regular (GIL) CPython 3.13 or later
#   find_python.sh --ft                 a free-threaded one (3.13t or later)
#   find_python.sh --version 3.14 [--ft]  exactly that minor version
# Looks on PATH, under pyenv and in the cache folder first.  Failing that, a
# regular 3.14 or later comes from Debian unstable's binary packages in a
# chroot (scripts/unstable_chroot.sh; the path printed is a command that runs
# it there), and anything else is built from the source in Debian's
# python3.X source package (python3.13 from trixie, later versions from
# unstable), under a lock so that two callers never build the same one,
# installed under the cache folder and reused from then on.  A build that
# fails is an error, and its log is kept.  Progress goes to stderr; only the
# interpreter's path goes to stdout.
set -euo pipefail

want_ft=0
version=""
while [ $# -gt 0 ]; do
  case "$1" in
    --ft) want_ft=1 ;;
    --version) version=$2; shift ;;
    *) echo "find_python: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
tag=$([ $want_ft = 1 ] && echo t || true)

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib/debian_mirror.sh
. "$here/lib/debian_mirror.sh"
cache_root="${RASTERMARK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/rastermark}"
say() { echo "find_python: $*" >&2; }
die() { echo "find_python: error: $*" >&2; exit 1; }

# True when $1 runs, is of the wanted version (or 3.13+), and has (ft=1) or
# lacks (ft=0) free threading.
fits() {
  "$1" - "$want_ft" "$version" <<'PY' >/dev/null 2>&1
import sys, sysconfig
want_ft, version = sys.argv[1] == "1", sys.argv[2]
ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
ok = ft == want_ft and (sys.version_info[:2] == tuple(map(int, version.split("."))) if version
                        else sys.version_info >= (3, 13))
import venv, ensurepip  # the project's venv needs both
sys.exit(0 if ok else 1)
PY
}

versions=(${version:-3.13 3.14 3.15})
candidates=()
for v in "${versions[@]}"; do
  candidates+=("$cache_root/cpython-$v$tag/bin/python$v$tag")
  # The cache folders of earlier versions of this script.
  [ "$v" = 3.13 ] && candidates+=("$cache_root/cpython$([ $want_ft = 1 ] && echo -ft || true)/bin/python3.13$tag")
  command -v "python$v$tag" >/dev/null 2>&1 && candidates+=("$(command -v "python$v$tag")")
  for d in "$HOME"/.pyenv/versions/"$v"*; do
    [ -x "$d/bin/python3" ] && candidates+=("$d/bin/python3")
  done
done
for c in "${candidates[@]}"; do
  if [ -x "$c" ] && fits "$c"; then echo "$c"; exit 0; fi
done

v=${versions[0]}
# Debian unstable's packages, where they exist: no build needed.
if [ $want_ft = 0 ] && [ "$v" != 3.13 ]; then
  py=$("$here/unstable_chroot.sh" python "$v") || die "no CPython $v from the Debian unstable chroot"
  fits "$py" || die "CPython $v of the Debian unstable chroot does not work ($py)"
  echo "$py"
  exit 0
fi

# Nothing usable: build from Debian's source package, one build at a time.
prefix="$cache_root/cpython-$v$tag"
mkdir -p "$cache_root"
exec 9>"$cache_root/build-cpython-$v$tag.lock"
flock 9
py="$prefix/bin/python$v$tag"
if [ -x "$py" ] && fits "$py"; then echo "$py"; exit 0; fi  # built while this one waited
extra=(); [ $want_ft = 1 ] && extra=(--disable-gil)
suite=$([ "$v" = 3.13 ] && echo trixie || echo unstable)
say "no suitable interpreter found; building CPython $v$tag into $prefix (several minutes)"
[ "$(id -u)" = 0 ] || die "building CPython needs root to install build dependencies with apt-get; install python$v yourself or run as root"
command -v apt-get >/dev/null || die "apt-get is missing: install CPython $v by hand"

# The mirror is the one this machine already uses for its Debian packages.
mirror=$(debian_mirror)
[ -n "$mirror" ] || die "could not find a Debian mirror in the machine's apt sources"

srcfile=/etc/apt/sources.list.d/rastermark-python-src$([ $suite = trixie ] || echo "-$suite").sources
if [ ! -f "$srcfile" ]; then
  say "adding a deb-src entry for $suite in $srcfile"
  cat > "$srcfile" <<SRC
Types: deb-src
URIs: $mirror
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >&2 || die "apt-get update failed"
apt-get install -y -q build-essential pkg-config libssl-dev zlib1g-dev libffi-dev \
  libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev uuid-dev xz-utils >&2 \
  || die "could not install CPython's build dependencies"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
( cd "$work" && apt-get source --download-only -q "python$v/$suite" >&2 ) \
  || die "apt-get source python$v/$suite failed (the mirror does not serve it)"
orig=$(ls "$work"/python"$v"_*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n1)
[ -n "$orig" ] || die "the python$v source package holds no upstream tarball"
tar -xf "$orig" -C "$work"
srcdir=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -n1)
[ -f "$srcdir/configure" ] || die "no configure script in $orig"
log="$cache_root/build-cpython-$v$tag.log"
say "building $(basename "$srcdir") ${extra[*]} (log: $log)"
# The machine's own compiler, whatever the caller chose for its own builds (a
# cross toolchain for wheels would make an interpreter this machine can't run).
unset CC CXX CFLAGS CXXFLAGS CPPFLAGS LDFLAGS
if ! ( cd "$srcdir" && ./configure --prefix="$prefix" --with-ensurepip=install "${extra[@]}" \
       && make -j"$(nproc)" && make install ) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  die "building CPython failed; the full log is $log"
fi
py="$prefix/bin/python$v$tag"
fits "$py" || die "the freshly built $py does not work"
echo "$py"
