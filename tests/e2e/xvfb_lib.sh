# shellcheck shell=bash
# What the end-to-end tests that run the player on a private Xvfb server
# share (real_window.sh, real_input.sh). Sourced by a script running under
# `set -euo pipefail`.
#
#   xvfb_require TOOL...  exits 77 (skipped) when a tool is missing
#   xvfb_workdir NAME     makes a work directory and moves into it; at exit
#                         the player is killed, the server stopped and the
#                         directory removed
#   fail MESSAGE          shows the message and the logs, exits 1
#   retry_for SECONDS CMD...
#   xvfb_start            a private server on a free display, in DISPLAY
#   find_window REGEX     the one window whose title matches into `window`
#   close_window ID       closes the window as a window manager does
#   player_ended          true once the player's process is gone
#   player_start ARGS...  runs "$bin/quillon" ARGS... in the background, its
#                         output in player.out and player.err
#   expect_lines N WHAT   waits until the player has printed N more lines
#   step N [XDOTOOL-ARGS...]  sends the input with xdotool, then expect_lines
#   headless_events NAME  compiles NAME.qns of this folder and runs it
#                         headless on NAME.events: what the real window
#                         must print goes to headless.out
#
# The player's process id goes into `player_pid` (empty when none runs);
# `logs` names the files `fail` shows. player_start needs `bin` (the
# folder of the programs) and `here` (the folder of this file).

xvfb_pid=
player_pid=
logs="xvfb.log player.out player.err"

xvfb_require() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIP: $tool is not installed (see tools/bootstrap)"
      exit 77
    fi
  done
}

xvfb_cleanup() {
  if [ -n "$player_pid" ]; then kill -KILL "$player_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then
    kill -TERM "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}

xvfb_workdir() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-$1.XXXXXX")
  trap xvfb_cleanup EXIT
  cd "$work" || exit 1
}

fail() {
  echo "FAIL: $*"
  local f
  for f in $logs; do
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

# The lock file Xvfb makes names the server that owns the display; other
# servers may start at the same time.
xvfb_up() {
  local owner
  kill -0 "$xvfb_pid" 2>/dev/null || return 0  # ended: the caller looks
  xdotool getdisplaygeometry >/dev/null 2>&1 || return 1
  read -r owner <"/tmp/.X${n}-lock" && [ "$owner" = "$xvfb_pid" ]
}

# Without -noreset the server resets whenever its last client leaves, and a
# client connecting meanwhile (the next player) finds no server.
xvfb_start() {
  local first=$((100 + $$ % 400)) n
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
}

player_ended() { ! kill -0 "$player_pid" 2>/dev/null; }

headless_events() {
  cp "$here/$1.qns" "$here/$1.events" .
  "$bin/quillonc" "$1.qns" || fail "quillonc rejected $1.qns"
  "$bin/quillon" --headless --fixed-clock --events "$1.events" "$1.qnc" >headless.out 2>headless.err ||
    { cat headless.err; fail "the headless run failed"; }
}

# SDL's software renderer, with no OpenGL loaded: Mesa's drivers leave
# allocations LeakSanitizer cannot attribute; lsan-sdl.supp names what the
# system libraries keep until exit.
player_start() {
  SDL_RENDER_DRIVER=software SDL_FRAMEBUFFER_ACCELERATION=0 \
    LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan-sdl.supp:print_suppressions=0" \
    "$bin/quillon" "$@" >player.out 2>player.err &
  player_pid=$!
}

# The lines the script has printed so far, as the steps expect them: each
# step waits for its lines, so that no input overtakes the script.
printed=0
has_printed() { [ "$(wc -l <player.out)" -ge "$printed" ]; }
expect_lines() {
  printed=$((printed + $1))
  retry_for 10 has_printed || fail "$2: the script printed $(wc -l <player.out) lines, not $printed"
}
step() {
  local lines=$1
  shift
  if [ "$#" -gt 0 ]; then timeout 10 xdotool "$@" || fail "xdotool $* failed"; fi
  expect_lines "$lines" "after xdotool $*"
}

windows_titled() { xdotool search --name "$1" >windows 2>/dev/null; }

# One window titled so, still the same one a moment later and still there:
# SDL may replace the window it made first (when its renderer wants another
# visual), and the first id then names no window any more.
window_settled() {
  local id
  windows_titled "$1" && [ "$(wc -l <windows)" -eq 1 ] || return 1
  id=$(cat windows)
  sleep 0.2
  windows_titled "$1" && [ "$(cat windows)" = "$id" ] || return 1
  xdotool getwindowgeometry "$id" >/dev/null 2>&1 || return 1
  window=$id
}

# Waits for a window whose title matches the regular expression and puts
# its id into `window`; false when none settles within 20 seconds or more
# than one is there (the file `windows` lists them).
find_window() {
  rm -f windows
  retry_for 20 window_settled "$1"
}

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
