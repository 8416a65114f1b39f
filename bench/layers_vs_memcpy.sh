#!/bin/sh
# Composing 200 moving 64 x 64 alpha layers over a 1280 x 720 x 32-bit
# scene, as a ratio to memcpy of the pixels the layers cover (their old and
# new bounds), measured in the same run:
#
#   bench/layers_vs_memcpy.sh [BUILD_DIR [REPETITIONS]]   (default: build/release, 3)
#
# Builds nothing: BUILD_DIR/bench/bench_layers must exist (tools/build
# release bench_layers). Prints the medians, the time of a composed frame,
# the ratio and whether the goal is met: a frame at most 4 times the copy.
# A missed goal is printed, not turned into a failing exit status.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
reps=${2:-3}
bench="$build/bench/bench_layers"
[ -x "$bench" ] || { echo "layers_vs_memcpy: $bench is missing (build it first)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "layers_vs_memcpy: python3 is not installed" >&2; exit 2; }

json=$(mktemp "${TMPDIR:-/tmp}/quillon-layers-bench.XXXXXX")
trap 'rm -f "$json"' EXIT
"$bench" --benchmark_format=json --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true >"$json"

python3 - "$json" "$here" <<'PY'
import sys

sys.path.insert(0, sys.argv[2])
import medians

median = medians.load(sys.argv[1], "layers_vs_memcpy")
compose = median("BM_LayerCompose")
copy = median("BM_CoveredMemcpy")
ratio = copy["bytes_per_second"] / compose["bytes_per_second"]
print("200 layers of 64 x 64 x 32-bit alpha over 1280 x 720 x 32 bits, all moving (medians)")
print(f"compose a frame        {compose['real_time']:8.3f} {compose['time_unit']}")
print(f"memcpy of the covered  {copy['real_time']:8.3f} {copy['time_unit']}")
print(f"compose / memcpy       {ratio:8.2f}")
print(f"goal: at most 4 times the copy  {'met' if ratio <= 4 else 'MISSED'}")
PY
