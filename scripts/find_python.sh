#!/usr/bin/env bash
# Prints the path of a CPython interpreter of 3.13 or later.
#   find_python.sh           a regular (GIL) interpreter
#   find_python.sh --ft      a free-threaded interpreter (3.13t)
# Looks on PATH and under pyenv first; failing that, builds CPython from the
# source that Debian's python3.13 source package carries, installs it under
# the cache folder and reuses it from then on.  Progress goes to stderr; only
# the interpreter's path goes to stdout.
set -euo pipefail

want_ft=0
[ "${1:-}" = "--ft" ] && want_ft=1

cache_root="${RASTERMARK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/rastermark}"
say() { echo "find_python: $*" >&2; }
die() { echo "find_python: error: $*" >&2; exit 1; }

# True when $1 runs, is 3.13+, and has (ft=1) or lacks (ft=0) free threading.
fits() {
  "$1" - "$want_ft" <<'PY' >/dev/null 2>&1
import sys, sysconfig
want_ft = sys.argv[1] == "1"
ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
ok = sys.version_info >= (3, 13) and ft == want_ft
import venv, ensurepip  # the project's venv needs both
sys.exit(0 if ok else 1)
PY
}

candidates=()
if [ $want_ft = 1 ]; then
  candidates+=("$cache_root/cpython-ft/bin/python3.13t")
  for v in 3.15t 3.14t 3.13t; do command -v "python$v" >/dev/null 2>&1 && candidates+=("$(command -v python$v)"); done
  for d in "$HOME"/.pyenv/versions/3.1[3-9]*t; do [ -x "$d/bin/python3" ] && candidates+=("$d/bin/python3"); done
else
  for v in 3.13 3.14 3.15; do command -v "python$v" >/dev/null 2>&1 && candidates+=("$(command -v python$v)"); done
  for d in "$HOME"/.pyenv/versions/3.1[3-9]*; do [ -x "$d/bin/python3" ] && candidates+=("$d/bin/python3"); done
  candidates+=("$cache_root/cpython/bin/python3.13")
fi
for c in "${candidates[@]}"; do
  if [ -x "$c" ] && fits "$c"; then echo "$c"; exit 0; fi
done

# Nothing usable: build from Debian's python3.13 source package.
if [ $want_ft = 1 ]; then prefix="$cache_root/cpython-ft"; extra=(--disable-gil); else prefix="$cache_root/cpython"; extra=(); fi
say "no suitable interpreter found; building CPython 3.13$([ $want_ft = 1 ] && echo t) into $prefix (several minutes)"
[ "$(id -u)" = 0 ] || die "building CPython needs root to install build dependencies with apt-get; install python3.13 yourself or run as root"
command -v apt-get >/dev/null || die "apt-get is missing: install CPython 3.13 by hand"

# The mirror is the one this machine already uses for its Debian packages.
mirror=""
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  m=$(awk '/^URIs:/ {for (i=2;i<=NF;i++) if ($i ~ /\/debian\/?$/) {print $i; exit}}' "$f")
  [ -n "$m" ] && { mirror=$m; break; }
done
if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
  mirror=$(awk '$1=="deb" {for (i=2;i<=NF;i++) if ($i ~ /\/debian\/?$/) {print $i; exit}}' /etc/apt/sources.list)
fi
[ -n "$mirror" ] || die "could not find a Debian mirror in the machine's apt sources"

srcfile=/etc/apt/sources.list.d/rastermark-python-src.sources
if [ ! -f "$srcfile" ]; then
  say "adding a deb-src entry for python3.13 in $srcfile"
  cat > "$srcfile" <<SRC
Types: deb-src
URIs: $mirror
Suites: trixie
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
( cd "$work" && apt-get source --download-only -q python3.13 >&2 ) \
  || die "apt-get source python3.13 failed (is the deb-src entry reachable?)"
orig=$(ls "$work"/python3.13_*.orig.tar.* 2>/dev/null | head -n1)
[ -n "$orig" ] || die "the python3.13 source package holds no upstream tarball"
tar -xf "$orig" -C "$work"
srcdir=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -n1)
[ -f "$srcdir/configure" ] || die "no configure script in $orig"
mkdir -p "$cache_root"
log="$cache_root/build-$(basename "$prefix").log"
say "building $(basename "$srcdir") ${extra[*]} (log: $log)"
if ! ( cd "$srcdir" && ./configure --prefix="$prefix" --with-ensurepip=install "${extra[@]}" \
       && make -j"$(nproc)" && make install ) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  die "building CPython failed; the full log is $log"
fi
py="$prefix/bin/python3.13$([ $want_ft = 1 ] && echo t)"
fits "$py" || die "the freshly built $py does not work"
echo "$py"
