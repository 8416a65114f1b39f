#!/bin/sh
# The interpreter's workloads in Quillon scripts and in Lua 5.4, side by
# side, one run each:
#
#   bench/script_vs_lua.sh [BUILD_DIR] [WORKLOAD ...]   (default: build/release, all)
#
# The workloads are the pairs bench/NAME.qns and bench/NAME.lua: count_loop
# (a counting loop over a global sum), strings (appending, measuring,
# searching), arrays (filling, summing, an insertion sort), fib (recursive
# subroutine calls with an argument and a local), mandel (floating point),
# commands (a cheap built-in command with three arguments). The Lua twins
# use global variables, as the scripts do.
#
# Builds nothing: BUILD_DIR/bin must hold quillonc and a release quillon
# (tools/build release). Compiles the scripts into a temporary directory,
# runs each with `quillon --headless` and its twin with lua5.4, checks that
# both print the same result, and prints a table of both times in seconds
# and their ratio (Quillon time / Lua time). The last column is the ratio
# without the start-up of either program (the quickest of three runs of an
# empty script and of an empty Lua chunk): the player's start, mostly the
# dynamic loader binding its libraries, weighs on the short workloads.
# Exits 1 when any result differs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
[ $# -gt 0 ] && shift
bin=$(cd "$build/bin" && pwd)
for tool in "$bin/quillonc" "$bin/quillon"; do
  [ -x "$tool" ] || { echo "script_vs_lua: $tool is missing (build it first)" >&2; exit 2; }
done
command -v lua5.4 >/dev/null || { echo "script_vs_lua: lua5.4 is not installed" >&2; exit 2; }
workloads=${*:-count_loop strings arrays fib mandel commands}

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }

# The quickest of three starts of each program doing nothing.
printf 'exit\n' >"$work/empty.qns"
"$bin/quillonc" --no-listing "$work/empty.qns"
quillon_start=9999
lua_start=9999
for run in 1 2 3; do
  t0=$(now)
  (cd "$work" && "$bin/quillon" --headless empty.qnc)
  t1=$(now)
  lua5.4 -e ''
  t2=$(now)
  quillon_start=$(awk -v a="$quillon_start" -v s="$t0" -v e="$t1" 'BEGIN { t = e - s; print (t < a ? t : a) }')
  lua_start=$(awk -v a="$lua_start" -v s="$t1" -v e="$t2" 'BEGIN { t = e - s; print (t < a ? t : a) }')
done

status=0
awk -v q="$quillon_start" -v l="$lua_start" 'BEGIN { printf "start-up: quillon %.3f s, lua5.4 %.3f s\n", q, l }'
printf '%-12s %10s %10s %8s %12s\n' workload quillon lua5.4 ratio "net ratio"
for name in $workloads; do
  cp "$here/$name.qns" "$work/"
  "$bin/quillonc" --no-listing "$work/$name.qns"
  start=$(now)
  quillon_out=$(cd "$work" && "$bin/quillon" --headless "$name.qnc")
  quillon_end=$(now)
  lua_out=$(lua5.4 "$here/$name.lua")
  lua_end=$(now)
  if [ "$quillon_out" != "$lua_out" ]; then
    echo "script_vs_lua: $name: the results differ: quillon '$quillon_out', lua '$lua_out'" >&2
    status=1
    continue
  fi
  awk -v n="$name" -v s="$start" -v q="$quillon_end" -v l="$lua_end" \
      -v qs="$quillon_start" -v ls="$lua_start" 'BEGIN {
    tq = q - s; tl = l - q
    net = (tl - ls > 0) ? (tq - qs) / (tl - ls) : 0
    printf "%-12s %8.3f s %8.3f s %8.2f %12.2f\n", n, tq, tl, tq / tl, net
  }'
done
exit $status
