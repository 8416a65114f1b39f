#!/bin/sh
# Mixing eight streams resampled from 44.1 kHz to 48 kHz stereo, against
# memcpy of the same samples, measured in the same run:
#
#   bench/mixer_vs_memcpy.sh [BUILD_DIR [REPETITIONS]]   (default: build/release, 3)
#
# Builds nothing: BUILD_DIR/bench/bench_mixer must exist (tools/build
# release bench_mixer). Prints the medians, the share of one core that
# real-time output at 48 kHz takes, the ratio to memcpy and whether the
# goal is met: under 1 % of one core. A missed goal is printed, not turned
# into a failing exit status.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
reps=${2:-3}
bench="$build/bench/bench_mixer"
[ -x "$bench" ] || { echo "mixer_vs_memcpy: $bench is missing (build it first)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "mixer_vs_memcpy: python3 is not installed" >&2; exit 2; }

json=$(mktemp "${TMPDIR:-/tmp}/quillon-mixer-bench.XXXXXX")
trap 'rm -f "$json"' EXIT
"$bench" --benchmark_format=json --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true >"$json"

python3 - "$json" "$here" <<'PY'
import sys

sys.path.insert(0, sys.argv[2])
import medians

median = medians.load(sys.argv[1], "mixer_vs_memcpy")
mix = median("BM_Mix8Resampled")
copy = median("BM_Memcpy8")
frames = mix["items_per_second"]
share = 48000 / frames * 100
ratio = copy["bytes_per_second"] / mix["bytes_per_second"]
print("8 streams, 44.1 kHz resampled to 48 kHz stereo 16-bit, 1024 frames a call (medians)")
print(f"mixer   {frames / 1e6:8.2f} M output frames/s")
print(f"memcpy  {copy['items_per_second'] / 1e6:8.2f} M frames/s of the same samples")
print(f"mixer / memcpy time   {ratio:8.1f}")
print(f"one core in real time {share:8.3f} %")
print(f"goal: under 1 % of one core  {'met' if share < 1 else 'MISSED'}")
PY
