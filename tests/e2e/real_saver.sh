#!/usr/bin/env bash
# The player as a screen saver and a preview on a private Xvfb server: it
# draws into a window it did not open (here the root window) when given
# --window-id, --root with XSCREENSAVER_WINDOW, or /p with the window's
# number; ends on SIGTERM as a saver daemon ends it; and refuses a window
# number that names no window with a message.
# Usage: real_saver.sh BIN_DIR
set -euo pipefail
bin=$(cd "${1:?usage: real_saver.sh BIN_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

. "$here/xvfb_lib.sh"
xvfb_require Xvfb xdotool import xwininfo
# SDL leaves two small blocks of the X libraries it loads (and unloads at
# exit, so they cannot be named in lsan-sdl.supp) behind for a window it did
# not make: leaks are not looked for here; the other sanitizer checks stay.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
xvfb_workdir real-saver
cp "$here/real_saver.qns" .
"$bin/quillonc" real_saver.qns || fail "quillonc rejected real_saver.qns"
xvfb_start
root=$(xwininfo -root | awk '/Window id:/ {print $4}')

# The colour of the middle of the screen, as #RRGGBB.
middle() { timeout 10 import -window root -crop 1x1+640+512 -depth 8 txt:- 2>/dev/null | grep -o '#[0-9A-F]\{6\}'; }
middle_is() { [ "$(middle)" = "$1" ]; }
middle_is_not() { [ "$(middle)" != "$1" ]; }

# saver LABEL CHECK COLOUR ENV... -- PLAYER ARGS: the middle of the root
# window must pass the check with the colour (middle_is, middle_is_not),
# and the player must end at once on SIGTERM.
saver() {
  local label=$1 check=$2 colour=$3
  shift 3
  local envs=()
  while [ "$1" != -- ]; do envs+=("$1"); shift; done
  shift
  env ${envs[@]+"${envs[@]}"} "$bin/quillon" "$@" >player.out 2>player.err &
  player_pid=$!
  retry_for 20 "$check" "$colour" || fail "$label: the middle of the root window fails $check $colour"
  kill -TERM "$player_pid"
  retry_for 5 player_ended || fail "$label: the player did not end on SIGTERM"
  local status=0
  wait "$player_pid" || status=$?
  player_pid=
  [ "$status" -eq 0 ] || fail "$label: the player ended with status $status on SIGTERM"
}

saver "--window-id" middle_is "#AA0000" -- --window-id "$root" real_saver.qnc red
grep -q "^drawn 80 1280$" player.out || fail "--window-id: the script did not run: $(cat player.out)"
saver "--root" middle_is "#00FF00" XSCREENSAVER_WINDOW="$root" -- --root real_saver.qnc lime
grep -q "^drawn 80 1280$" player.out || fail "--root: the script did not run: $(cat player.out)"
# A preview runs the program's own archive (here the built-in start-up
# script, whose picture is not lime) in the parent window.
saver "/p" middle_is_not "#00FF00" -- /p "$((root))"
grep -q "is ready" player.out || fail "/p: the start-up script did not run: $(cat player.out)"

# A number that names no window: a message and an error status, no crash.
set +e
timeout 20 "$bin/quillon" --window-id 0x7ffffff real_saver.qnc red >player.out 2>player.err
status=$?
set -e
[ "$status" -eq 2 ] || fail "a window number naming no window gave the status $status, not 2"
grep -q "there is no window 0x7ffffff" player.err || fail "no message for a missing window"
echo "the player drew into the root window through --window-id, --root and /p"
