#!/bin/sh
# Whole transitions of each effect on a 1920 x 1080 x 32-bit headless window
# (duration 0, cells of 2 and of 8), in full-frame copies (memcpy of the
# frame's 8,294,400 bytes) and in full-frame presents, both measured in the
# same run:
#
#   bench/transitions_vs_present.sh [BUILD_DIR [REPETITIONS]]   (default: build/release, 1)
#
# Builds nothing: BUILD_DIR/bench/bench_transitions must exist (tools/build
# release bench_transitions). Prints per effect the steps and the time of
# the whole transition in copies and in presents; for the blend, the time
# of one step in alpha puts of the whole frame.
#
# The goals were first set in presents, when a headless present ran at 0.07
# of the memcpy rate (about 14.3 copies); presents have since become about
# four times cheaper, so the goals are stated in copies, which mean what
# they meant then: every effect but the blend and the slides within 3 of
# those presents (43 copies); a blend step within one alpha put plus one
# such present (14.3 copies). The slides move the whole revealed picture at
# every step, so they cost about steps / 2 presents whatever the code does.
# Missed goals are printed, not turned into a failing exit status.
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
present, alpha, copy = med["BM_FullPresent"], med["BM_AlphaPut"], med["BM_Memcpy"]
FORMER_PRESENT = 1 / 0.07  # copies: a headless present when the goals were set
WHOLE_GOAL = 3 * FORMER_PRESENT
slides = {19, 33, 34, 35}
print(f"1920 x 1080 x 32 bits, headless; one full-frame copy {copy:.3f} ms, one full present {present:.3f} ms "
      f"({present / copy:.1f} copies), one alpha put {alpha:.3f} ms")
print(f"goals in copies: a whole transition within {WHOLE_GOAL:.0f} (3 presents of {FORMER_PRESENT:.1f} copies, "
      f"as when set); a blend step within an alpha put + {FORMER_PRESENT:.1f}")
print(f"{'effect':>22} {'cells 2: steps':>15} {'ms':>7} {'copies':>7} {'presents':>8} "
      f"{'cells 8: steps':>15} {'ms':>7} {'copies':>7} {'presents':>8}  goal")
missed = 0
for e in range(37):
    row, ok = [], True
    for c in (2, 8):
        name = f"BM_Transition/{e}/{c}"
        row.append(f"{steps[name]:15d} {med[name]:7.2f} {med[name] / copy:7.1f} {med[name] / present:8.2f}")
        if e == 36:
            per_step = med[name] / steps[name]
            ok = ok and per_step <= alpha + FORMER_PRESENT * copy
        elif e not in slides:
            ok = ok and med[name] / copy <= WHOLE_GOAL
    label = labels.get(f"BM_Transition/{e}/2") or "pattern"
    goal = "slides: ~steps/2 presents" if e in slides else ("met" if ok else "MISSED")
    if e == 36:
        per = med["BM_Transition/36/2"] / steps["BM_Transition/36/2"]
        goal += f" (a step {per / alpha:.2f} alpha puts, {per / (alpha + FORMER_PRESENT * copy):.2f} of the goal)"
    missed += 0 if ok else 1
    print(f"{e:3d} {label:>18} {row[0]} {row[1]}  {goal}")
print(f"goals missed: {missed}")
PY
