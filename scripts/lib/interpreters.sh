# Sourced by the scripts that run the project on several interpreters.  An
# interpreter that find_python.sh takes from the Debian unstable chroot is a
# host-side command that runs it inside; its environments, builds and the
# project's tree live inside too, at the same paths as here, so commands
# with relative paths read the same in both places.  `chroot_of PY` prints
# the chroot's folder for such an interpreter and nothing for a host one;
# `runner_of PY` prints the command that runs a program of PY's place (empty
# on the host).
chroot_of() {
  case "$1" in
    */debian-unstable.bin/*) "$(dirname "${BASH_SOURCE[0]}")/../unstable_chroot.sh" root ;;
  esac
}
runner_of() {
  case "$1" in
    */debian-unstable.bin/*) echo "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/unstable_chroot.sh run" ;;
  esac
}
