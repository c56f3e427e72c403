#!/usr/bin/env bash
# Debian unstable in a folder of the cache, for what this Debian release
# cannot run: CPython 3.14 and 3.15 (Debian builds them against a newer
# glibc) and the newest GCC.  Made once with mmdebstrap, under a lock, and
# reused; remade when the package list below changes.
#   unstable_chroot.sh root            makes it if needed; prints its folder
#   unstable_chroot.sh python 3.X      prints a host-side command that runs
#                                      the chroot's python3.X (see `run`)
#   unstable_chroot.sh sync            copies the project's tree (without its
#                                      builds and environments) and the shared
#                                      real data into it, at the same paths
#   unstable_chroot.sh run CMD [ARG...]
#                                      runs CMD in it, in the folder of the
#                                      same path as the current one
# Nothing of the host is bind-mounted: the chroot gets copies of the host's
# resolv.conf and locally added CA certificates (so pip reaches the package
# index as the host does), and each `run` mounts proc, devpts and a tmpfs on
# /dev/shm in a mount namespace of its own, so they are gone when the command
# ends, however it ends.  Needs root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(dirname "$here")
cache_root="${RASTERMARK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/rastermark}"
chroot_dir="$cache_root/debian-unstable"
packages=(g++ cmake ninja-build make git ca-certificates libgtest-dev
          python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv)

say() { echo "unstable_chroot: $*" >&2; }
die() { echo "unstable_chroot: error: $*" >&2; exit 1; }

ensure_root() {
  local stamp="$chroot_dir/.rastermark-packages" wanted="${packages[*]}"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then return 0; fi
  [ "$(id -u)" = 0 ] || die "making the Debian unstable chroot needs root"
  mkdir -p "$cache_root"
  exec 9>"$cache_root/debian-unstable.lock"
  flock 9
  # Another process may have made it while this one waited.
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then exec 9>&-; return 0; fi
  if ! command -v mmdebstrap >/dev/null; then
    say "installing mmdebstrap with apt-get"
    (apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q mmdebstrap) >&2 \
      || die "could not install mmdebstrap"
  fi
  # shellcheck source=lib/debian_mirror.sh
  . "$here/lib/debian_mirror.sh"
  local mirror log partial
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || die "could not find a Debian mirror in the machine's apt sources"
  log="$cache_root/debian-unstable.log"
  partial="$chroot_dir.partial"
  rm -rf "$partial"
  say "making Debian unstable in $chroot_dir (about a minute; log: $log)"
  # The mirror's copy of unstable may carry an expired Release file.
  if ! mmdebstrap --variant=minbase --aptopt='Acquire::Check-Valid-Until "false"' \
        --include="$(IFS=,; echo "${packages[*]}")" unstable "$partial" "$mirror" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -rf "$partial"
    die "mmdebstrap failed; the full log is $log"
  fi
  cp /usr/local/share/ca-certificates/*.crt "$partial/usr/local/share/ca-certificates/" 2>/dev/null || true
  chroot "$partial" /usr/sbin/update-ca-certificates >>"$log" 2>&1 || die "update-ca-certificates failed; see $log"
  echo "$wanted" >"$partial/.rastermark-packages"
  rm -rf "$chroot_dir"
  mv "$partial" "$chroot_dir"
  exec 9>&-
}

# Runs "$@" inside the chroot with the environment a build and test needs and
# nothing else of the caller's.
run_inside() {
  ensure_root
  cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf"
  local pass=() name
  for name in $(compgen -e); do
    case "$name" in
      RASTERMARK_*|PYTHON_GIL|PIP_ONLY_BINARY|PIP_INDEX_URL|CC|CXX|CI|TSAN_OPTIONS|ASAN_OPTIONS|UBSAN_OPTIONS|\
      http_proxy|https_proxy|no_proxy|HTTP_PROXY|HTTPS_PROXY|NO_PROXY) pass+=("$name=${!name}") ;;
    esac
  done
  mkdir -p "$chroot_dir$PWD"
  unshare --mount --propagation private -- /bin/sh -c '
    r=$1; shift
    mount -t proc proc "$r/proc" &&
    mount -t devpts -o newinstance,ptmxmode=0666 devpts "$r/dev/pts" &&
    mount -t tmpfs -o mode=1777 shm "$r/dev/shm" || exit 1
    exec chroot "$r" "$@"' sh "$chroot_dir" \
    /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      PIP_CERT=/etc/ssl/certs/ca-certificates.crt SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt \
      PIP_DISABLE_PIP_VERSION_CHECK=1 "${pass[@]}" \
      /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$PWD" "$@"
}

sync_tree() {
  ensure_root
  local dest="$chroot_dir$project"
  mkdir -p "$dest"
  # The chroot's own builds and environments under build/ are kept.
  find "$dest" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
  tar -C "$project" --exclude=./build --exclude='./.venv*' --exclude=./dist --exclude=./.git \
      --exclude='*.so' --exclude=__pycache__ -cf - . | tar -C "$dest" -xf -
  local realdata="${RASTERMARK_REALDATA:-$(dirname "$project")/shared/realdata}"
  if [ -d "$realdata" ]; then
    rm -rf "$chroot_dir$realdata"
    mkdir -p "$chroot_dir$(dirname "$realdata")"
    cp -r "$realdata" "$chroot_dir$realdata"
  fi
}

case "${1:-}" in
  root) ensure_root; echo "$chroot_dir" ;;
  python)
    v=${2:?usage: unstable_chroot.sh python 3.X}
    ensure_root
    [ -x "$chroot_dir/usr/bin/python$v" ] || die "Debian unstable has no python$v package here"
    wrapper="$chroot_dir.bin/python$v"
    mkdir -p "$(dirname "$wrapper")"
    printf '#!/bin/sh\n# CPython %s of the Debian unstable chroot, run in it (scripts/unstable_chroot.sh).\nexec "%s" run /usr/bin/python%s "$@"\n' \
      "$v" "$here/unstable_chroot.sh" "$v" >"$wrapper"
    chmod +x "$wrapper"
    echo "$wrapper" ;;
  sync) sync_tree ;;
  run) shift; [ $# -gt 0 ] || die "run needs a command"; run_inside "$@" ;;
  *) echo "usage: unstable_chroot.sh root | python 3.X | sync | run CMD [ARG...]" >&2; exit 2 ;;
esac
