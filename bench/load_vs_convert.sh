#!/bin/sh
# Loading a 1920 x 1080 photograph-like picture as JPEG, PNG, TIFF and BMP,
# against ImageMagick's `convert` reading the same files, in one run:
#
#   bench/load_vs_convert.sh [BUILD_DIR [REPETITIONS]]   (default: build/release, 3)
#
# Builds nothing: BUILD_DIR/bench/bench_load must exist (tools/build release
# bench_load). The pictures are made with `convert` in a scratch folder
# (a plasma fractal, seed 1: smooth areas and fine detail, like a photo;
# JPEG at quality 90, PNG, uncompressed TIFF and 24-bit BMP). Our time is
# gfx::decode from memory (the median of the repetitions of bench_load);
# convert's is `convert FILE null:` (the median of five runs) less the
# median of five `convert` runs on a 1 x 1 picture of the same format, so
# that its start-up is not counted against it. Prints both and the ratio;
# the goal is every format at least as fast as convert. A missed goal is
# printed, not turned into a failing exit status.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
reps=${2:-3}
bench="$build/bench/bench_load"
[ -x "$bench" ] || { echo "load_vs_convert: $bench is missing (build it first)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "load_vs_convert: python3 is not installed" >&2; exit 2; }
command -v convert >/dev/null || { echo "load_vs_convert: ImageMagick's convert is not installed" >&2; exit 2; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/quillon-load-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
convert -seed 1 -size 1920x1080 plasma:fractal -depth 8 "$dir/photo.ppm"
convert -size 1x1 xc:gray -depth 8 "$dir/dot.ppm"
for name in photo dot; do
  convert "$dir/$name.ppm" -quality 90 "$dir/$name.jpg"
  convert "$dir/$name.ppm" "$dir/$name.png"
  convert "$dir/$name.ppm" -compress none "$dir/$name.tif"
  convert "$dir/$name.ppm" -type TrueColor "BMP3:$dir/$name.bmp"
done
"$bench" --benchmark_format=json --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
  "$dir/photo.jpg" "$dir/photo.png" "$dir/photo.tif" "$dir/photo.bmp" >"$dir/ours.json"

python3 - "$dir" "$here" <<'PY'
import statistics, subprocess, sys, time

sys.path.insert(0, sys.argv[2])
import medians

folder = sys.argv[1]
median = medians.load(folder + "/ours.json", "load_vs_convert")

def convert_ms(path):
    runs = []
    for _ in range(5):
        start = time.perf_counter()
        subprocess.run(["convert", path, "null:"], check=True)
        runs.append((time.perf_counter() - start) * 1000)
    return statistics.median(runs)

print("a 1920 x 1080 picture, loaded from memory (ours) and by convert FILE null: (medians, ms)")
print(f"{'format':8s} {'ours':>8s} {'convert':>8s} {'start-up':>9s} {'convert - start-up':>19s} {'ours / it':>10s}")
missed = []
for ext, label in (("jpg", "JPEG"), ("png", "PNG"), ("tif", "TIFF"), ("bmp", "BMP")):
    r = median("BM_Load_" + ext)
    ours = r["real_time"]
    if r["time_unit"] == "us":
        ours /= 1000
    total = convert_ms(f"{folder}/photo.{ext}")
    start = convert_ms(f"{folder}/dot.{ext}")
    theirs = max(total - start, 1e-3)
    if ours > theirs:
        missed.append(label)
    print(f"{label:8s} {ours:8.2f} {total:8.2f} {start:9.2f} {theirs:19.2f} {ours / theirs:10.2f}")
print("goal: every format loads at least as fast as convert " + ("met" if not missed else "MISSED (" + ", ".join(missed) + ")"))
PY
