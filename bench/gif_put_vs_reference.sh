#!/bin/sh
# GIF decoding against giflib and image puts against memcpy, measured in the
# same run:
#
#   bench/gif_put_vs_reference.sh [BUILD_DIR [REPETITIONS]]   (default: build/release, 3)
#
# Builds nothing: BUILD_DIR/bench/bench_gif_put must exist (a Release build
# with -DQUILLON_BENCH=ON and giflib installed; ninja bench_gif_put). Runs it
# with --benchmark_format=json, REPETITIONS times each benchmark, takes the
# median of each, and prints the rates, the ratios and whether the goals are
# met:
#   our reader decodes the 20-frame 640 x 480 animation at least 1.5 times
#   as fast as giflib's DGifSlurp;
#   the alpha-blended 1920 x 1080 put at least half of the memcpy rate;
#   the opaque 1920 x 1080 put at least half of the memcpy rate.
# A missed goal is printed, not turned into a failing exit status: the
# figures depend on the machine's load.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
reps=${2:-3}
bench="$build/bench/bench_gif_put"
[ -x "$bench" ] || { echo "gif_put_vs_reference: $bench is missing (build it first)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "gif_put_vs_reference: python3 is not installed" >&2; exit 2; }

json=$(mktemp "${TMPDIR:-/tmp}/quillon-gif-put-bench.XXXXXX")
trap 'rm -f "$json"' EXIT
"$bench" --benchmark_format=json --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true >"$json"

python3 - "$json" "$here" <<'PY'
import sys

sys.path.insert(0, sys.argv[2])
import medians

median = medians.load(sys.argv[1], "gif_put_vs_reference")

ours = median("BM_GifReadOurs")
giflib = median("BM_GifReadGiflib")
alpha = median("BM_PutAlpha")
opaque = median("BM_PutOpaque")
copy = median("BM_Memcpy")
M = 1e6
GB = 1e9
read_ratio = ours["bytes_per_second"] / giflib["bytes_per_second"]
alpha_ratio = alpha["bytes_per_second"] / copy["bytes_per_second"]
opaque_ratio = opaque["bytes_per_second"] / copy["bytes_per_second"]

def goal(ok):
    return "met" if ok else "MISSED"

print("GIF: 20 frames of 640 x 480, 6144000 pixels a file (medians)")
print(f"our reader         {ours['bytes_per_second'] / M:8.1f} Mpixels/s  {ours['real_time']:8.2f} {ours['time_unit']} a file")
print(f"giflib DGifSlurp   {giflib['bytes_per_second'] / M:8.1f} Mpixels/s  {giflib['real_time']:8.2f} {giflib['time_unit']} a file")
print(f"ours / giflib      {read_ratio:8.2f}")
print("put: 1920 x 1080 x 32 bits, 8294400 bytes a frame (medians)")
print(f"memcpy             {copy['bytes_per_second'] / GB:8.2f} GB/s")
print(f"alpha put          {alpha['bytes_per_second'] / GB:8.2f} GB/s")
print(f"opaque put         {opaque['bytes_per_second'] / GB:8.2f} GB/s")
print(f"alpha / memcpy     {alpha_ratio:8.2f}")
print(f"opaque / memcpy    {opaque_ratio:8.2f}")
print(f"goal: our reader at least 1.5 x giflib        {goal(read_ratio >= 1.5)}")
print(f"goal: alpha put at least 0.50 of memcpy        {goal(alpha_ratio >= 0.5)}")
print(f"goal: opaque put at least 0.50 of memcpy       {goal(opaque_ratio >= 0.5)}")
PY
