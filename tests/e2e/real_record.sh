#!/usr/bin/env bash
# End to end: a session recorded in a real window replays headless. Runs
# real_record.qns in the player's SDL window on a private Xvfb server under
# --fixed-clock --record, clicks and types there with xdotool, then replays
# the record with --headless --fixed-clock --events: the replay must print
# the same lines and end with the same snapshot as the window did.
# Usage: real_record.sh BIN_DIR
# Exits 77 (skipped) when Xvfb or xdotool is missing.
set -euo pipefail
bin=$(cd "${1:?usage: real_record.sh BIN_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

. "$here/xvfb_lib.sh"
xvfb_require Xvfb xdotool
xvfb_workdir real-record
logs="xvfb.log player.out player.err session.events replay.out replay.err"

cp "$here/real_record.qns" .
"$bin/quillonc" real_record.qns || fail "quillonc rejected real_record.qns"
xvfb_start

player_start --fixed-clock --record session.events --snapshot window.png real_record.qnc
find_window '^Quillon record$' ||
  fail "not one window titled \"Quillon record\" but: $(tr '\n' ' ' <windows 2>/dev/null)"

expect_lines 1 "starting"
xdotool windowfocus --sync "$window" || fail "could not focus the window"

step 1 mousemove --window "$window" 30 40 click 1
step 1 key a
step 1 key shift+b
step 1 mousemove --window "$window" 120 60 click 3
step 1 key ctrl+x
step 1 key 7
step 1 mousemove --window "$window" 170 100 click 1
xdotool key Escape || fail "xdotool key Escape failed"
retry_for 20 player_ended || fail "the player did not end on escape"
status=0
wait "$player_pid" || status=$?
player_pid=
[ "$status" -eq 0 ] || fail "the player exited with status $status"
! grep -q -E 'Sanitizer|runtime error' player.err || fail "sanitizer report from the player"
grep -q ' down 1 30 40$' session.events || fail "the record lacks the first click"

"$bin/quillon" --headless --fixed-clock --events session.events --snapshot replay.png real_record.qnc \
  >replay.out 2>replay.err || fail "the replay failed"
diff -u player.out replay.out || fail "the replay printed other lines"
"$bin/png_compare" window.png replay.png >compare.out 2>&1 || { cat compare.out; fail "the replay's snapshot differs"; }
echo "real_record: $(grep -c -v '^#' session.events) events recorded, replayed to the same $(wc -l <replay.out) lines and snapshot"
