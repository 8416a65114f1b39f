#!/bin/sh
# Whole transitions of each effect on a 1920 x 1080 x 32-bit headless window
# (duration 0, cells of 2 and of 8), as a ratio to one full-frame present,
# measured in the same run:
#
#   bench/transitions_vs_present.sh [BUILD_DIR [REPETITIONS]]   (default: build/release, 1)
#
# Builds nothing: BUILD_DIR/bench/bench_transitions must exist (tools/build
# release bench_transitions). Prints per effect the steps and the time of
# the whole transition in full-frame presents; for the blend, the time of
# one step in alpha puts of the whole frame. The goals: every effect but
# the blend and the slides within 3 presents; a blend step within one alpha
# put plus one present (the step shows what it mixed). The slides move the
# whole revealed picture at every step, so they cost about steps / 2
# presents whatever the code does. Missed goals are printed, not turned
# into a failing exit status.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
reps=${2:-1}
bench="$build/bench/bench_transitions"
[ -x "$bench" ] || { echo "transitions_vs_present: $bench is missing (build it first)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "transitions_vs_present: python3 is not installed" >&2; exit 2; }

json=$(mktemp "${TMPDIR:-/tmp}/quillon-transitions-bench.XXXXXX")
trap 'rm -f "$json"' EXIT
"$bench" --benchmark_format=json --benchmark_repetitions="$reps" >"$json"

python3 - "$json" <<'PY'
import json, statistics, sys

runs = json.load(open(sys.argv[1]))["benchmarks"]
times, steps, labels = {}, {}, {}
for r in runs:
    if r.get("run_type") == "aggregate":
        continue
    if "error_message" in r:
        sys.exit(f"transitions_vs_present: {r['run_name']}: {r['error_message']}")
    name = "/".join(p for p in r["run_name"].split("/") if not p.startswith("min_time"))
    times.setdefault(name, []).append(r["real_time"])
    steps[name] = int(r.get("steps", 0))
    labels[name] = r.get("label", "")
med = {k: statistics.median(v) for k, v in times.items()}
present, alpha = med["BM_FullPresent"], med["BM_AlphaPut"]
slides = {19, 33, 34, 35}
print(f"1920 x 1080 x 32 bits, headless; one full present {present:.3f} ms, one alpha put {alpha:.3f} ms")
print(f"{'effect':>22} {'cells 2: steps':>15} {'presents':>9} {'cells 8: steps':>15} {'presents':>9}  goal")
missed = 0
for e in range(37):
    row, ok = [], True
    for c in (2, 8):
        name = f"BM_Transition/{e}/{c}"
        ratio = med[name] / present
        row.append(f"{steps[name]:15d} {ratio:9.2f}")
        if e == 36:
            per_step = med[name] / steps[name]
            ok = ok and per_step <= alpha + present
        elif e not in slides:
            ok = ok and ratio <= 3
    label = labels.get(f"BM_Transition/{e}/2") or "pattern"
    goal = "slides: ~steps/2" if e in slides else ("met" if ok else "MISSED")
    if e == 36:
        per = med["BM_Transition/36/2"] / steps["BM_Transition/36/2"]
        goal += f" (a step {per / alpha:.2f} alpha puts, {per / (alpha + present):.2f} of put + present)"
    missed += 0 if ok else 1
    print(f"{e:3d} {label:>18} {row[0]} {row[1]}  {goal}")
print(f"goals missed: {missed}")
PY
