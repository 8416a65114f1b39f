#!/bin/sh
# Drawing a 2000-character paragraph with wrapping against measuring it with
# textwidth, in characters per second, measured in the same run:
#
#   bench/text_vs_layout.sh [BUILD_DIR [REPETITIONS]]   (default: build/release, 3)
#
# Builds nothing: BUILD_DIR/bench/bench_text must exist (tools/build release
# bench_text). Prints the medians and how many times dearer drawing is than
# layout alone, for a 1-bit and an anti-aliased font, and the goals:
# drawing at most 10 times layout with the 1-bit font, 20 times with the
# anti-aliased one. A missed goal is printed, not turned into a failing exit
# status: the figures depend on the machine's load.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
reps=${2:-3}
bench="$build/bench/bench_text"
[ -x "$bench" ] || { echo "text_vs_layout: $bench is missing (build it first)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "text_vs_layout: python3 is not installed" >&2; exit 2; }

json=$(mktemp "${TMPDIR:-/tmp}/quillon-text-bench.XXXXXX")
trap 'rm -f "$json"' EXIT
"$bench" --benchmark_format=json --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true >"$json"

python3 - "$json" "$here" <<'PY'
import sys

sys.path.insert(0, sys.argv[2])
import medians

median = medians.load(sys.argv[1], "text_vs_layout")
def rate(name):
    return median(name)["items_per_second"]

width = rate("BM_TextWidth")
print("a 2000-character paragraph, DejaVu Sans 16 px, 640 x 480 x 32 (medians)")
print(f"textwidth (layout only)      {width / 1e6:8.2f} M chars/s")
goals = []
for name, label, most in (("BM_TextDrawWrapped1Bit", "1-bit", 10), ("BM_TextDrawWrappedAnti", "anti-aliased", 20)):
    draw = rate(name)
    print(f"text, wrapped, {label:13s} {draw / 1e6:8.2f} M chars/s   drawing costs {width / draw:5.1f} x layout")
    goals.append(f"goal: {label} drawing at most {most} x layout {'met' if width / draw <= most else 'MISSED'}")
print("\n".join(goals))
PY
