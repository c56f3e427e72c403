#!/usr/bin/env bash
# Builds everything and annotates a synthetic powder-bed-fusion layer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=$("$root/scripts/setup_env.sh")
exec "$py" "$root/examples/demo.py" "$@"
