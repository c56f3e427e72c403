# Sourced by the scripts that fetch from Debian: debian_mirror prints the
# Debian mirror this machine's own apt sources use (deb822 files first, then
# sources.list), skipping the project's own entries, or nothing.
debian_mirror() {
  local f m
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    case "$f" in */rastermark-*) continue ;; esac
    m=$(awk '/^URIs:/ {for (i=2;i<=NF;i++) if ($i ~ /\/debian\/?$/) {print $i; exit}}' "$f")
    [ -n "$m" ] && { echo "$m"; return 0; }
  done
  if [ -f /etc/apt/sources.list ]; then
    awk '$1=="deb" {for (i=2;i<=NF;i++) if ($i ~ /\/debian\/?$/) {print $i; exit}}' /etc/apt/sources.list
  fi
}
