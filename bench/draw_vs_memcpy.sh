#!/bin/sh
# Filling and presenting a 1920 x 1080 x 32-bit frame, each as a ratio to
# memcpy of the same number of bytes measured in the same run:
#
#   bench/draw_vs_memcpy.sh [BUILD_DIR [REPETITIONS]]   (default: build/release, 3)
#
# Builds nothing: BUILD_DIR/bench/bench_draw must exist (tools/build release
# bench_draw). Runs it with --benchmark_format=json, REPETITIONS times each
# benchmark, takes the median of each, and prints bytes per second, presents
# per second, both ratios and whether the goals are met:
#   the drawrect fill at least half the memcpy rate;
#   at least 120 full-frame presents per second on the headless window;
#   the full-frame present at least a quarter of the memcpy rate (it is two
#   row copies: the frame into the window's picture, that into the window).
# A missed goal is printed, not turned into a failing exit status: the
# figures depend on the machine's load.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
reps=${2:-3}
bench="$build/bench/bench_draw"
[ -x "$bench" ] || { echo "draw_vs_memcpy: $bench is missing (build it first)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "draw_vs_memcpy: python3 is not installed" >&2; exit 2; }

json=$(mktemp "${TMPDIR:-/tmp}/quillon-draw-bench.XXXXXX")
trap 'rm -f "$json"' EXIT
"$bench" --benchmark_format=json --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true >"$json"

python3 - "$json" "$here" <<'EOF'
import sys

sys.path.insert(0, sys.argv[2])
import medians

median = medians.load(sys.argv[1], "draw_vs_memcpy")

fill = median("BM_DrawRectFill")
present = median("BM_PresentFullFrame")
copy = median("BM_Memcpy")
GB = 1e9
fill_ratio = fill["bytes_per_second"] / copy["bytes_per_second"]
present_ratio = present["bytes_per_second"] / copy["bytes_per_second"]
presents = present["presents_per_second"]

def goal(ok):
    return "met" if ok else "MISSED"

print("1920 x 1080 x 32 bits, 8294400 bytes a frame (medians)")
print(f"memcpy             {copy['bytes_per_second'] / GB:8.2f} GB/s")
print(f"drawrect fill      {fill['bytes_per_second'] / GB:8.2f} GB/s")
print(f"present, headless  {present['bytes_per_second'] / GB:8.2f} GB/s  {presents:8.1f} frames/s")
print(f"fill / memcpy      {fill_ratio:8.2f}")
print(f"present / memcpy   {present_ratio:8.2f}")
print(f"goal: fill at least 0.50 of memcpy            {goal(fill_ratio >= 0.5)}")
print(f"goal: at least 120 presents a second headless {goal(presents >= 120)}")
print(f"goal: present at least 0.25 of memcpy         {goal(present_ratio >= 0.25)}")
EOF
