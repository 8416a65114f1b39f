#!/usr/bin/env bash
# End to end input in a real window: runs real_input.qns in the player's SDL
# window on a private Xvfb server and types and clicks there with xdotool,
# which goes through the server's XTEST extension, so SDL gets what a
# keyboard and a mouse give. The same input written as scripted events
# (real_input.events) goes to a headless run, and the two runs must print
# the same lines. Keys are typed one at a time, then a burst of them while
# the player is stopped (SDL then reads each key's press, text and release
# together, as when a script is busy); then left, right and middle clicks,
# a key with a button held, the side buttons and the wheel (no buttons of
# the player's), and escape, which ends the script.
# Usage: real_input.sh BIN_DIR
# Exits 77 (skipped) when Xvfb or xdotool is missing; tools/bootstrap
# installs them.
set -euo pipefail
bin=$(cd "${1:?usage: real_input.sh BIN_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

. "$here/xvfb_lib.sh"
xvfb_require Xvfb xdotool
xvfb_workdir real-input
logs="xvfb.log headless.out player.out player.err"

headless_events real_input

xvfb_start

player_start real_input.qnc

find_window '^Quillon real input$' ||
  fail "not one window titled \"Quillon real input\" but: $(tr '\n' ' ' <windows 2>/dev/null)"

# The script prints a line for each key and each button going down; every
# step waits for its lines, so that input is never sent before the script
# is ready for it (a click is seen as a new place of the last button down).

expect_lines 1 "starting"  # ready

# Keys go to the window that has the focus; with no window manager nobody
# else gives it.
xdotool windowfocus --sync "$window" || fail "could not focus the window"
[ "$(xdotool getwindowfocus)" = "$window" ] || fail "the window did not take the focus"

for key in a shift+a ctrl+a alt+a shift+F1 Return Left 7 space Tab shift+Tab BackSpace Delete \
  ctrl+Left comma F12 exclam ctrl+1; do
  step 1 key "$key"
done

# A burst while the player is stopped: it reads the server's events all at
# once when it goes on.
burst=(alt+a a ctrl+1 ctrl+comma alt+x shift+F1 exclam Home shift+a)
kill -STOP "$player_pid"
xdotool key "${burst[@]}" || { kill -CONT "$player_pid"; fail "xdotool key ${burst[*]} failed"; }
kill -CONT "$player_pid"
expect_lines "${#burst[@]}" "the burst ${burst[*]}"

# The X server numbers the buttons left 1, middle 2, right 3. The window
# is unscaled: its coordinates are the frame's.
step 1 mousemove --window "$window" 10 20 click 1
step 1 mousemove --window "$window" 150 30 click 3
step 1 mousemove --window "$window" 199 149 click 2
step 1 mousemove --window "$window" 100 75 mousedown 3
step 1 key x
xdotool mouseup 3 || fail "xdotool mouseup 3 failed"
# Side buttons (8, 9) and the wheel (4, 5): the next key shows no button
# held and no new place of a button down.
xdotool mousemove --window "$window" 60 70 click 8 click 9 click 4 click 5 || fail "xdotool click 8 9 4 5 failed"
step 1 key y

xdotool key Escape || fail "xdotool key Escape failed"
retry_for 20 player_ended || fail "the player did not end on escape"
status=0
wait "$player_pid" || status=$?
player_pid=
[ "$status" -eq 0 ] || fail "the player exited with status $status after escape"
if grep -q -E 'Sanitizer|runtime error' player.err; then fail "sanitizer report from the player"; fi
if ! diff -u headless.out player.out >diff.out; then
  cat diff.out
  fail "the real window's input printed other lines than the scripted events"
fi
echo "real_input: $(wc -l <player.out) lines from real keys and clicks, as from the scripted events"
