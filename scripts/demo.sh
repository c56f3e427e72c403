#!/usr/bin/env bash
# Builds everything, then annotates a synthetic powder-bed-fusion layer and
# the real layers shipped in data/ with the `rastermark` command line:
# pictures of both and a per-scanline table in build/demo/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
py=$(scripts/setup_env.sh)
cli=$(dirname "$py")/rastermark
out=build/demo
mkdir -p "$out"

"$py" examples/demo.py --no-plot --save-layer "$out/synthetic-layer.npz"
echo
"$cli" plot data/pbf_peregrine_P5/0000050.txt -o "$out/peregrine-0000050.png"
"$cli" plot "$out/synthetic-layer.npz" -o "$out/synthetic-layer.png"
"$cli" lines data/pbf_peregrine_P5/*.txt "$out/synthetic-layer.npz" -o "$out/scanlines.csv"
# The second labeller beside the rule: the same real layer, and both side by
# side on a small PySLM layer whose hatches are known.
"$cli" plot --method hatches data/pbf_peregrine_P5/0000050.txt -o "$out/peregrine-0000050-hatches.png"
"$py" examples/hatches.py tests/data/groundtruth/small_square-islands-bare-67deg-rests_noise_0.5um.npz \
  -o "$out/hatches-side-by-side.png"
echo
echo "first rows of $out/scanlines.csv (one row per scanline):"
head -n 4 "$out/scanlines.csv" | cut -c 1-160
echo
echo "pictures: $out/peregrine-0000050.png, $out/synthetic-layer.png, $out/peregrine-0000050-hatches.png," \
  "$out/hatches-side-by-side.png"
