#!/bin/sh
# The interpreter's workloads run in a real window against the same run
# headless, one run each:
#
#   bench/window_vs_headless.sh [BUILD_DIR] [WORKLOAD ...]   (default: build/release, count_loop fib draw_loop)
#
# Each workload bench/NAME.qns gets a first line that clears the frame, so
# that its window opens before the work starts, and runs with `quillon`
# on the display in DISPLAY (an Xvfb of its own when DISPLAY is unset) and
# with `quillon --headless`. The player asks the window system for input
# between every few script words, and draw_loop shows each drawing
# command's change in the window: the window's column shows what that
# costs. Prints both times in seconds and their ratio; the window's time
# includes opening it (the start-up line shows that alone). Exits 1 when
# the two print different results.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
[ $# -gt 0 ] && shift
bin=$(cd "$build/bin" && pwd)
workloads=${*:-count_loop fib draw_loop}

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-bench.XXXXXX")
xvfb=
cleanup() {
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  command -v Xvfb >/dev/null || { echo "window_vs_headless: no DISPLAY and no Xvfb" >&2; exit 2; }
  Xvfb :97 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=:97
  sleep 1
fi

now() { date +%s.%N; }
seconds() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.3f", e - s }'; }

printf 'drawclear 0 0 0\nexit\n' >"$work/open.qns"
"$bin/quillonc" --no-listing "$work/open.qns"
t0=$(now)
(cd "$work" && "$bin/quillon" open.qnc)
echo "start-up with a window: $(seconds "$t0" "$(now)") s"

status=0
printf '%-12s %10s %10s %8s\n' workload window headless ratio
for name in $workloads; do
  { echo 'drawclear 0 0 0'; cat "$here/$name.qns"; } >"$work/$name.qns"
  "$bin/quillonc" --no-listing "$work/$name.qns"
  t0=$(now)
  shown=$(cd "$work" && "$bin/quillon" "$name.qnc")
  t1=$(now)
  headless=$(cd "$work" && "$bin/quillon" --headless "$name.qnc")
  t2=$(now)
  if [ "$shown" != "$headless" ]; then
    echo "window_vs_headless: $name: the results differ: '$shown' in a window, '$headless' headless" >&2
    status=1
    continue
  fi
  awk -v n="$name" -v a="$t0" -v b="$t1" -v c="$t2" \
    'BEGIN { printf "%-12s %8.3f s %8.3f s %8.2f\n", n, b - a, c - b, (b - a) / (c - b) }'
done
exit $status
