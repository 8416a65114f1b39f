#!/usr/bin/env bash
# End to end in a real window: real_debug_window.qns draws a scene and turns
# single steps on, which opens the debug window beside the main window on a
# private Xvfb server. Both windows are read back: the main window must show
# the headless snapshot of the script pixel for pixel, and the debug window
# (to the right of it) its views as dark text on white, in its top rows
# (the stop and the calls) and further down (the stack and the code list).
# F10 in the debug window steps one statement; Down and F9 set a breakpoint
# on the next line, Down and a click on the cursor line one on the line
# after it; F5 stops at each, then lets the script run to its end, and the
# player ends normally.
# Usage: real_debug_window.sh BIN_DIR
# Exits 77 (skipped) when Xvfb, xdotool, ImageMagick or python3 is missing.
set -euo pipefail
bin=$(cd "${1:?usage: real_debug_window.sh BIN_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

. "$here/xvfb_lib.sh"
xvfb_require Xvfb xdotool import convert python3
xvfb_workdir real-debug-window

cp "$here/real_debug_window.qns" .
"$bin/quillonc" real_debug_window.qns || fail "quillonc rejected real_debug_window.qns"
"$bin/quillon" --headless --snapshot expected.png real_debug_window.qnc >headless.out 2>&1 ||
  { cat headless.out; fail "the headless run failed"; }

xvfb_start
# SDL's software renderer: Mesa's driver leaves allocations LeakSanitizer
# cannot attribute (see real_window.sh).
SDL_RENDER_DRIVER=software SDL_FRAMEBUFFER_ACCELERATION=0 \
  LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan-sdl.supp:print_suppressions=0" \
  "$bin/quillon" real_debug_window.qnc >player.out 2>player.err &
player_pid=$!

find_window '^Quillon debugged$' || fail "no main window"
main=$window
find_window '^Quillon Debug$' || fail "no debug window"
debug=$window

# The debug window stands to the right of the main window.
geometry() { xdotool getwindowgeometry --shell "$1"; }
eval "$(geometry "$main" | sed 's/^/main_/')"
eval "$(geometry "$debug" | sed 's/^/debug_/')"
[ "$debug_X" -ge $((main_X + main_WIDTH)) ] || fail "the debug window at $debug_X is not right of the main window"

# The main window shows the scene (the script waits at its step meanwhile).
main_matches() {
  timeout 10 import -window "$main" png:main.png 2>import.err && "$bin/png_compare" expected.png main.png >compare.out 2>&1
}
retry_for 10 main_matches || fail "the main window does not show the snapshot: $(cat compare.out import.err)"

# Dark pixels in a band of the debug window: the text drawn there.
dark_in() {  # dark_in Y HEIGHT
  timeout 10 import -window "$debug" png:debug.png 2>import.err || return 1
  local mean
  mean=$(convert debug.png -crop "700x$2+0+$1" +repage -colorspace Gray -format '%[fx:mean]' info:)
  awk -v m="$mean" 'BEGIN { exit !(m > 0.5 && m < 0.99) }'
}
retry_for 10 dark_in 0 40 || fail "the debug window shows no status and calls"
dark_in 150 200 || fail "the debug window shows no code list"
[ ! -s player.out ] || fail "the script ran past its stop: $(cat player.out)"

xdotool windowfocus --sync "$debug" || fail "could not focus the debug window"
xdotool key F10
retry_for 10 grep -qx stepped player.out || fail "F10 did not step"
grep -q continued player.out && fail "F10 ran more than one statement"
# Down moves the source view's cursor a line down, F9 sets a breakpoint
# there; Down again, and a click on the cursor's pale bar sets another.
xdotool key Down F9 Down
cursor_bar() {  # the middle row of the cursor's bar into bar_y
  timeout 10 import -window "$debug" png:debug.png 2>import.err || return 1
  bar_y=$(convert debug.png -crop 1x560+710+0 +repage txt:- | awk -F'[,:]' '/#D8E8FF/ { y[n++] = $2 } END { if (n) print y[int(n / 2)] }')
  [ -n "$bar_y" ] && [ "$bar_y" -gt 100 ]
}
retry_for 10 cursor_bar || fail "no cursor bar below the calls"
xdotool mousemove --window "$debug" 300 "$bar_y" click 1
# F5 runs on to the first breakpoint, then to the clicked one, then ends.
xdotool key F5
retry_for 10 grep -qx continued player.out || fail "F5 did not run on"
sleep 0.5
grep -q done player.out && fail "the breakpoint set with F9 did not stop the script"
xdotool key F5
retry_for 10 grep -qx done player.out || fail "F5 did not run on from the first breakpoint"
sleep 0.5
grep -q last player.out && fail "the breakpoint set with a click did not stop the script"
xdotool key F5
retry_for 20 player_ended || fail "F5 did not let the script end"
wait "$player_pid" || fail "the player ended with status $?"
player_pid=
grep -qx last player.out || fail "the script did not run to its end"
echo "real debug window: ok"
