#!/bin/sh
# The same counting loop in a Quillon script and in Lua 5.4, side by side:
#
#   bench/script_vs_lua.sh [BUILD_DIR]      (default: build/release)
#
# Builds nothing: BUILD_DIR/bin must hold quillonc and a release quillon
# (tools/build release). Compiles bench/count_loop.qns into a temporary
# directory, runs it with `quillon --headless` and bench/count_loop.lua with
# lua5.4, checks that both print the same sum, and prints both times in
# seconds and their ratio (Quillon time / Lua time).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
bin=$(cd "$build/bin" && pwd)
for tool in "$bin/quillonc" "$bin/quillon"; do
  [ -x "$tool" ] || { echo "script_vs_lua: $tool is missing (build it first)" >&2; exit 2; }
done
command -v lua5.4 >/dev/null || { echo "script_vs_lua: lua5.4 is not installed" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$here/count_loop.qns" "$work/"
"$bin/quillonc" --no-listing "$work/count_loop.qns"

now() { date +%s.%N; }

start=$(now)
quillon_sum=$(cd "$work" && "$bin/quillon" --headless count_loop.qnc)
quillon_end=$(now)
lua_sum=$(lua5.4 "$here/count_loop.lua")
lua_end=$(now)

if [ "$quillon_sum" != "$lua_sum" ]; then
  echo "script_vs_lua: the sums differ: quillon $quillon_sum, lua $lua_sum" >&2
  exit 1
fi
awk -v s="$start" -v q="$quillon_end" -v l="$lua_end" -v sum="$lua_sum" 'BEGIN {
  tq = q - s; tl = l - q
  printf "sum            %s\n", sum
  printf "quillon        %.3f s\n", tq
  printf "lua5.4         %.3f s\n", tl
  printf "quillon / lua  %.2f\n", tq / tl
}'
