#!/usr/bin/env bash
# End to end through the clipboard of a private Xvfb server: the player
# reads a text and a PNG picture that xclip put there, puts a picture that
# xclip reads back, and offers a text that xclip reads while the player
# runs. Every X client call is bounded in time.
# Usage: real_clipboard.sh BIN_DIR
# Exits 77 (skipped) when Xvfb, xdotool, xclip, ImageMagick or python3 is
# missing; tools/bootstrap installs them.
set -euo pipefail
bin=$(cd "${1:?usage: real_clipboard.sh BIN_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

. "$here/xvfb_lib.sh"
xvfb_require Xvfb xdotool xclip convert python3
xvfb_workdir real-clipboard
cp "$here/real_clipboard.qns" .
"$bin/quillonc" real_clipboard.qns || fail "quillonc rejected real_clipboard.qns"
xvfb_start
export SDL_RENDER_DRIVER=software SDL_FRAMEBUFFER_ACCELERATION=0
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan-sdl.supp:print_suppressions=0"

# xclip keeps serving what it put (in the background) until another
# client takes the clipboard.
printf 'from xclip' | timeout 10 xclip -selection clipboard -i || fail "xclip could not put the text"
clip_text=$(timeout 10 xclip -selection clipboard -o) || fail "xclip could not read the text back"
[ "$clip_text" = "from xclip" ] || fail "xclip read back \"$clip_text\""

timeout 60 "$bin/quillon" real_clipboard.qnc >player.out 2>player.err || fail "the player failed"
grep -qx 'text: from xclip' player.out || fail "the player read: $(cat player.out)"

convert -size 3x2 xc:'#00ff00' green.png
timeout 10 xclip -selection clipboard -t image/png -i green.png || fail "xclip could not put the picture"
timeout 60 "$bin/quillon" real_clipboard.qnc >player.out 2>player.err || fail "the player failed"
grep -qx 'picture: 3 x 2' player.out || fail "the player read the picture as: $(cat player.out)"
grep -qx 'picture put' player.out || fail "the player did not put its picture"
timeout 10 xclip -selection clipboard -t image/png -o >red.png || fail "xclip could not read the picture"
[ "$(convert red.png -format '%w x %h %[hex:p{0,0}]' info:)" = "4 x 3 FF0000" ] ||
  fail "the picture on the clipboard is $(convert red.png -format '%w x %h %[hex:p{0,0}]' info: 2>&1)"

"$bin/quillon" real_clipboard.qnc text >player.out 2>player.err &
player_pid=$!
find_window '^Quillon clipboard$' || fail "no window titled \"Quillon clipboard\""
text_put() { grep -qx 'text put' player.out; }
retry_for 10 text_put || fail "the player did not put its text"
clip_text=$(timeout 10 xclip -selection clipboard -o) || fail "xclip could not read the player's text"
[ "$clip_text" = "from quillon" ] || fail "xclip read \"$clip_text\" from the player"
close_window "$window"
retry_for 10 player_ended || fail "the player did not end when its window was closed"
wait "$player_pid" || fail "the player ended with an error"
player_pid=
! grep -q -E 'Sanitizer|runtime error' player.err || fail "sanitizer report"
echo "clipboard: text and picture both ways"
