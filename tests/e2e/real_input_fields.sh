#!/usr/bin/env bash
# End to end text input in a real window: runs real_input_fields.qns in the
# player's SDL window on a private Xvfb server and types into its input
# field and then into its inputbox form with xdotool, characters outside
# ASCII included: the server's keymap gets keys for them first (xkbcomp puts
# their keysyms on spare function keys), so that xdotool types them as keys
# of the keyboard and SDL gets their text as from a keyboard. (Without them
# xdotool binds a spare key code to each such character only while it types
# it, and a player that reads its events later than that, under load, finds
# the key bound to the next character or to nothing.) What the script prints, the text in the player's code page and
# its bytes, must equal a headless run of the same typing written as
# scripted events (real_input_fields.events). While the form is up, the
# window must show it (its title bar's colour).
# Usage: real_input_fields.sh BIN_DIR
# Exits 77 (skipped) when Xvfb, xdotool, xkbcomp or ImageMagick is
# missing; tools/bootstrap installs them.
set -euo pipefail
bin=$(cd "${1:?usage: real_input_fields.sh BIN_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

. "$here/xvfb_lib.sh"
xvfb_require Xvfb xdotool xkbcomp import convert
xvfb_workdir real-input-fields
logs="xvfb.log headless.out player.out player.err"

headless_events real_input_fields

xvfb_start
# Keys for ë, ü, ß and € on F13 to F16 (nothing else uses them). A server
# that has just started may not have its whole keymap yet on a loaded
# machine: read, change and load it again until the euro sign is there.
keymap_has_euro() {
  timeout 10 xkbcomp -xkb "$DISPLAY" current.xkb 2>/dev/null && grep -q 'FK16> *{ *\[ *EuroSign' current.xkb
}
tries=0
until keymap_has_euro; do
  tries=$((tries + 1))
  [ $tries -le 5 ] || fail "the server's keymap has no key for the euro sign"
  [ $tries -eq 1 ] || sleep 1
  timeout 10 xkbcomp -xkb "$DISPLAY" keymap.xkb 2>/dev/null || fail "could not read the server's keymap"
  sed -e 's/\[ *XF86Tools *\]/[ ediaeresis ]/' -e 's/\[ *XF86Launch5 *\]/[ udiaeresis ]/' \
    -e 's/\[ *XF86Launch6 *\]/[ ssharp ]/' -e 's/\[ *XF86Launch7 *\]/[ EuroSign ]/' keymap.xkb >chars.xkb
  timeout 10 xkbcomp -w0 chars.xkb "$DISPLAY" || fail "could not load the keymap with the characters"
done
player_start real_input_fields.qnc

find_window '^Quillon real input fields$' ||
  fail "not one window titled \"Quillon real input fields\" but: $(tr '\n' ' ' <windows 2>/dev/null)"

# The form's title bar (dark blue) at a point inside it.
form_shown() {
  timeout 10 import -window "$window" png:form.png 2>import.err &&
    [ "$(convert form.png -format '%[hex:p{20,48}]' info: 2>/dev/null | cut -c1-6)" = 0A246A ]
}

step 1  # ready: the field is active
timeout 10 xdotool windowfocus --sync "$window" || fail "could not focus the window"
step 0 type --delay 30 'Zoë über 5€x'
step 2 key BackSpace Return  # the field's line, and the form opens
retry_for 10 form_shown || fail "the window does not show the inputbox form"
# Into the form while the player is stopped: it reads them all at once when
# it goes on, long after they were typed.
kill -STOP "$player_pid"
timeout 10 xdotool type --delay 30 'Grüße €' || { kill -CONT "$player_pid"; fail "xdotool type failed"; }
kill -CONT "$player_pid"
step 1 key Return

retry_for 20 player_ended || fail "the player did not end after the form"
status=0
wait "$player_pid" || status=$?
player_pid=
[ "$status" -eq 0 ] || fail "the player exited with status $status"
if grep -q -E 'Sanitizer|runtime error' player.err; then fail "sanitizer report from the player"; fi
if ! diff -u headless.out player.out >diff.out; then
  cat diff.out
  fail "the text typed in the real window differs from the scripted events' text"
fi
echo "real_input_fields: the field and the form hold the bytes the scripted events give: $(grep -o "[0-9A-F]*$" player.out | tr "\n" " ")"
