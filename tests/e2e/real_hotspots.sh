#!/usr/bin/env bash
# End to end hotspot in a real window: runs real_hotspots.qns in the
# player's SDL window on a private Xvfb server, moves the pointer over the
# hotspot and clicks there with xdotool, and compares what the script
# prints with a headless run of the same moves and clicks written as
# scripted events (real_hotspots.events): rolling in and out, a click
# released inside, and a press released outside.
# Usage: real_hotspots.sh BIN_DIR
# Exits 77 (skipped) when Xvfb or xdotool is missing; tools/bootstrap
# installs them.
set -euo pipefail
bin=$(cd "${1:?usage: real_hotspots.sh BIN_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

. "$here/xvfb_lib.sh"
xvfb_require Xvfb xdotool
xvfb_workdir real-hotspots
logs="xvfb.log headless.out player.out player.err"

headless_events real_hotspots

xvfb_start
player_start real_hotspots.qnc

find_window '^Quillon real hotspots$' ||
  fail "not one window titled \"Quillon real hotspots\" but: $(tr '\n' ' ' <windows 2>/dev/null)"

step 1  # ready
xdotool windowfocus --sync "$window" || fail "could not focus the window"
step 1 mousemove --window "$window" 60 60
step 1 mousedown 1
step 1 mouseup 1
step 1 mousemove --window "$window" 150 100
step 1 mousemove --window "$window" 70 70
step 1 mousedown 1
step 1 mousemove --window "$window" 150 100
step 1 mouseup 1

xdotool key Escape || fail "xdotool key Escape failed"
retry_for 20 player_ended || fail "the player did not end on escape"
status=0
wait "$player_pid" || status=$?
player_pid=
[ "$status" -eq 0 ] || fail "the player exited with status $status after escape"
if grep -q -E 'Sanitizer|runtime error' player.err; then fail "sanitizer report from the player"; fi
if ! diff -u headless.out player.out >diff.out; then
  cat diff.out
  fail "the real window's moves and clicks printed other lines than the scripted events"
fi
echo "real_hotspots: $(wc -l <player.out) lines from real moves and clicks, as from the scripted events"
