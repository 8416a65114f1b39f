#!/usr/bin/env bash
# End to end in a real window: starts a private Xvfb server, runs
# real_window.qns in the player's SDL window there, reads the window's
# pixels back from the server and compares them with the headless snapshot
# of the same script, pixel for pixel (an unscaled window shows the frame
# unchanged); again after the window was hidden and shown. Then closes the
# window the way a window manager does (a WM_DELETE_WINDOW message), which
# must end the player normally, with no sanitizer report. Once with the
# renderer SDL picks and once with its software renderer. Then the window
# must show the script's last drawings while the script is away in a long
# library call, and the player must end when its display goes away.
# Usage: real_window.sh BIN_DIR
# Exits 77 (skipped) when Xvfb, xdotool, ImageMagick's import or python3 is
# missing; tools/bootstrap installs them.
set -euo pipefail
bin=$(cd "${1:?usage: real_window.sh BIN_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

. "$here/xvfb_lib.sh"
xvfb_require Xvfb xdotool import python3
xvfb_workdir real-window

# Options before the script's name and words after it, for run_in_window.
player_args=()
script_words=()

# Fails after showing the last comparison; the last capture is kept.
mismatch() {
  cat import.err compare.out 2>/dev/null || true
  if [ -f window.png ]; then
    cp window.png "${TMPDIR:-/tmp}/quillon-real-window-capture.png"
    echo "the last capture: ${TMPDIR:-/tmp}/quillon-real-window-capture.png"
  fi
  fail "$*"
}

# The expected pictures: shapes, a frame drawn by text commands alone, and
# mark-up text with the final pictures of two transitions.
for script in real_window real_window_text real_window_markup; do
  cp "$here/$script.qns" .
  "$bin/quillonc" "$script.qns" || fail "quillonc rejected $script.qns"
  "$bin/quillon" --headless --snapshot "$script.png" "$script.qnc" once >headless.out 2>&1 ||
    { cat headless.out; fail "the headless run of $script failed"; }
done

# A sprite layer moving over a scene: stopped part-way on the fixed clock
# (the same engine-clock time in the window and headless), and left to end
# its motion on the running clock (the layer timer thread).
cp "$here/real_window_layers.qns" .
"$bin/quillonc" real_window_layers.qns || fail "quillonc rejected real_window_layers.qns"
"$bin/quillon" --headless --fixed-clock --snapshot real_window_layers.png real_window_layers.qnc once \
  >headless.out 2>&1 || { cat headless.out; fail "the headless run of real_window_layers failed"; }
"$bin/quillon" --headless --snapshot real_window_layers_settle.png real_window_layers.qnc once settle \
  >headless.out 2>&1 || { cat headless.out; fail "the headless settled run of real_window_layers failed"; }
cp real_window_layers.qnc real_window_layers_settle.qnc

# A private X server on a free display.
xvfb_start

captured_matches() {
  timeout 10 import -window "$window" png:window.png 2>import.err &&
    "$bin/png_compare" "$script.png" window.png >compare.out 2>&1
}

# run_in_window LABEL SCRIPT [VAR=VALUE...]: the player running SCRIPT in
# its window, with the given environment. The window must show the
# snapshot, show it again after being hidden and shown (the server keeps no
# copy of a window's pixels, so the player draws them anew), and a close
# must end the player normally.
run_in_window() {
  local label="$1: $2"
  script=$2
  shift 2
  rm -f player.out player.err window.png
  env "$@" "$bin/quillon" ${player_args[@]+"${player_args[@]}"} "$script.qnc" \
    ${script_words[@]+"${script_words[@]}"} >player.out 2>player.err &
  player_pid=$!

  find_window '^Quillon real window$' ||
    fail "$label: not one window titled \"Quillon real window\" but: $(tr '\n' ' ' <windows 2>/dev/null)"

  # The frame is presented right after the window is shown: take pictures
  # until one matches, or the time is up.
  retry_for 10 captured_matches || mismatch "$label: the window does not show the snapshot"

  # --sync waits for the server's notice, which a loaded machine can lose:
  # bounded, so a lost notice fails the step instead of hanging the test.
  timeout 10 xdotool windowunmap --sync "$window" && timeout 10 xdotool windowmap --sync "$window" ||
    fail "$label: could not hide and show the window"
  retry_for 10 captured_matches || mismatch "$label: shown again, the window does not show the snapshot"

  close_window "$window" || fail "$label: could not send WM_DELETE_WINDOW"
  retry_for 20 player_ended || fail "$label: the player did not end when its window was closed"
  local status=0
  wait "$player_pid" || status=$?
  player_pid=
  [ "$status" -eq 0 ] || fail "$label: the player exited with status $status after the close"
  [ "$(cat player.out)" = drawn ] || fail "$label: the player printed: $(cat player.out)"
  if grep -q -E 'Sanitizer|runtime error' player.err; then fail "$label: sanitizer report from the player"; fi
}

# What SDL picks: on Xvfb its OpenGL renderer on Mesa's software driver.
# That driver is unloaded when the display closes, and LeakSanitizer then
# charges what it kept to the player without a name to suppress; so leaks
# are checked in the second run, which runs the same code of ours.
no_leaks=ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
run_in_window "default renderer" real_window "$no_leaks"
run_in_window "default renderer" real_window_text "$no_leaks"
# SDL's software renderer drawing straight through X11, no OpenGL loaded.
# lsan-sdl.supp names the system libraries that keep allocations until exit.
software=(SDL_RENDER_DRIVER=software SDL_FRAMEBUFFER_ACCELERATION=0
  LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan-sdl.supp:print_suppressions=0")
run_in_window "software renderer" real_window "${software[@]}"
run_in_window "software renderer" real_window_text "${software[@]}"
run_in_window "software renderer" real_window_markup "${software[@]}"
player_args=(--fixed-clock)
run_in_window "software renderer, fixed clock" real_window_layers "${software[@]}"
player_args=()
script_words=(settle)
run_in_window "software renderer" real_window_layers_settle "${software[@]}"
script_words=()

# Drawings held back after a burst reach the window before a long library
# call returns: the window must show the snapshot while the script sleeps.
script=real_window
env "$no_leaks" "$bin/quillon" real_window.qnc native >player.out 2>player.err &
player_pid=$!
find_window '^Quillon real window$' || fail "native call: no window"
retry_for 10 captured_matches || mismatch "native call: the window does not show the last drawings during the call"
kill -TERM "$player_pid"
wait "$player_pid" 2>/dev/null || true
player_pid=

# The display server goes away under a waiting script: the player must end
# as if its window were closed, not spin.
script=real_window
env "$no_leaks" "$bin/quillon" real_window.qnc >player.out 2>player.err &
player_pid=$!
find_window '^Quillon real window$' || fail "lost display: no window"
drawn() { [ "$(cat player.out)" = drawn ]; }
retry_for 10 drawn || fail "lost display: the script did not draw"
sleep 0.5  # idling in `forever`, pumping the window's events
kill -TERM "$xvfb_pid"
wait "$xvfb_pid" 2>/dev/null || true
xvfb_pid=
retry_for 10 player_ended || fail "the player did not end when its display went away"
status=0
wait "$player_pid" || status=$?
player_pid=
[ "$status" -eq 0 ] || fail "the player exited with status $status when its display went away"

echo "real_window: both renderers showed the shapes and the text snapshots and closed cleanly; a moving layer shows as headless; drawings reach the window before a long library call; a lost display ends the player"
