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
# and their ratio (Quillon time / Lua time). Exits 1 when any result differs.
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

status=0
printf '%-12s %10s %10s %8s\n' workload quillon lua5.4 ratio
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
  awk -v n="$name" -v s="$start" -v q="$quillon_end" -v l="$lua_end" 'BEGIN {
    tq = q - s; tl = l - q
    printf "%-12s %8.3f s %8.3f s %8.2f\n", n, tq, tl, tq / tl
  }'
done
exit $status
