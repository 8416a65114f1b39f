#!/usr/bin/env bash
# End to end in a real window: starts a private Xvfb server, runs
# real_window.qns in the player's SDL window there, reads the window's
# pixels back from the server and compares them with the headless snapshot
# of the same script, pixel for pixel (an unscaled window shows the frame
# unchanged); again after the window was hidden and shown. Then closes the
# window the way a window manager does (a WM_DELETE_WINDOW message), which
# must end the player normally, with no sanitizer report. Once with the
# renderer SDL picks and once with its software renderer.
# Usage: real_window.sh BIN_DIR
# Exits 77 (skipped) when Xvfb, xdotool, ImageMagick's import or python3 is
# missing; tools/bootstrap installs them.
set -euo pipefail
bin=$(cd "${1:?usage: real_window.sh BIN_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

for tool in Xvfb xdotool import python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (see tools/bootstrap)"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-real-window.XXXXXX")
xvfb_pid=
player_pid=
cleanup() {
  if [ -n "$player_pid" ]; then kill -KILL "$player_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then
    kill -TERM "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
fail() {
  echo "FAIL: $*"
  for f in xvfb.log player.out player.err; do
    if [ -s "$f" ]; then
      echo "--- $f"
      cat "$f"
    fi
  done
  exit 1
}

# Runs "$@" every tenth of a second until it succeeds or about `seconds`
# pass.
retry_for() {
  local end=$((SECONDS + $1 + 1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}

# Fails after showing the last comparison; the last capture is kept.
mismatch() {
  cat import.err compare.out 2>/dev/null || true
  if [ -f window.png ]; then
    cp window.png "${TMPDIR:-/tmp}/quillon-real-window-capture.png"
    echo "the last capture: ${TMPDIR:-/tmp}/quillon-real-window-capture.png"
  fi
  fail "$*"
}

cp "$here/real_window.qns" .
"$bin/quillonc" real_window.qns || fail "quillonc rejected real_window.qns"

# The expected picture.
"$bin/quillon" --headless --snapshot headless.png real_window.qnc once >headless.out 2>&1 ||
  { cat headless.out; fail "the headless run failed"; }

# A private X server on a free display. The lock file Xvfb makes names the
# server that owns the display; other servers may start at the same time.
# Without -noreset the server resets whenever its last client leaves, and a
# client connecting meanwhile (the second player) finds no server.
xvfb_up() {
  local owner
  kill -0 "$xvfb_pid" 2>/dev/null || return 0  # ended: the caller looks
  xdotool getdisplaygeometry >/dev/null 2>&1 || return 1
  read -r owner <"/tmp/.X${n}-lock" && [ "$owner" = "$xvfb_pid" ]
}
first=$((100 + $$ % 400))
for ((n = first; n < first + 20; n++)); do
  [ -e "/tmp/.X${n}-lock" ] || [ -e "/tmp/.X11-unix/X${n}" ] && continue
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >xvfb.log 2>&1 &
  xvfb_pid=$!
  export DISPLAY=:$n
  retry_for 10 xvfb_up || fail "Xvfb on $DISPLAY did not come up"
  kill -0 "$xvfb_pid" 2>/dev/null && break
  wait "$xvfb_pid" || true  # the display was taken meanwhile
  xvfb_pid=
done
[ -n "$xvfb_pid" ] || fail "no free display from :$first to :$((first + 19))"
unset WAYLAND_DISPLAY SDL_VIDEODRIVER  # the player's window goes to this server

# Sends the window what a window manager sends when its close button is
# pressed: a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW.
close_window() {
  python3 - "$1" <<'PY'
import ctypes, sys
x11 = ctypes.CDLL("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

class XEvent(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit("cannot open the display")
window = int(sys.argv[1])
event = XEvent()
event.xclient.type = 33  # ClientMessage
event.xclient.window = window
event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
event.xclient.format = 32
event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
if not x11.XSendEvent(display, window, 0, 0, ctypes.byref(event)):
    sys.exit("XSendEvent failed")
x11.XFlush(display)
x11.XCloseDisplay(display)
PY
}

find_window() { xdotool search --name '^Quillon real window$' >windows 2>/dev/null; }
captured_matches() {
  import -window "$window" png:window.png 2>import.err &&
    "$bin/png_compare" headless.png window.png >compare.out 2>&1
}
player_ended() { ! kill -0 "$player_pid" 2>/dev/null; }

# run_in_window LABEL [VAR=VALUE...]: the player in its window, with the
# given environment. The window must show the snapshot, show it again after
# being hidden and shown (the server keeps no copy of a window's pixels, so
# the player draws them anew), and a close must end the player normally.
run_in_window() {
  local label=$1
  shift
  rm -f player.out player.err window.png
  env "$@" "$bin/quillon" real_window.qnc >player.out 2>player.err &
  player_pid=$!

  retry_for 20 find_window || fail "$label: no window titled \"Quillon real window\" appeared"
  [ "$(wc -l <windows)" -eq 1 ] || fail "$label: more than one window: $(tr '\n' ' ' <windows)"
  window=$(cat windows)

  # The frame is presented right after the window is shown: take pictures
  # until one matches, or the time is up.
  retry_for 10 captured_matches || mismatch "$label: the window does not show the snapshot"

  xdotool windowunmap --sync "$window" && xdotool windowmap --sync "$window" ||
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
run_in_window "default renderer" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
# SDL's software renderer drawing straight through X11, no OpenGL loaded.
# lsan-sdl.supp names the system libraries that keep allocations until exit.
run_in_window "software renderer" SDL_RENDER_DRIVER=software SDL_FRAMEBUFFER_ACCELERATION=0 \
  LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan-sdl.supp:print_suppressions=0"

echo "real_window: both renderers showed the snapshot and closed cleanly"
