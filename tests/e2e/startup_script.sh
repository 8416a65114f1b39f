#!/usr/bin/env bash
# The player's built-in start-up script (assets/startup.qns, compiled into
# the player's own archive):
# - run by the name "resource:" with the word "still", it greets, draws its
#   picture and ends; the snapshot must equal startup_script.png pixel for
#   pixel (with QUILLON_SNAPSHOT_DIR set it is kept there as
#   startup_script.png, to renew the expected picture after looking at it);
# - run with no name at all, it greets and then stays until its window is
#   closed;
# - its tour, driven by startup_tour.events to the hotspot screen and a
#   click on a square, must end on startup_tour.png.
# Usage: startup_script.sh BIN_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-startup.XXXXXX")
idle=
trap '[ -n "$idle" ] && kill "$idle" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

version=$("$bin/quillon" --version)
version=${version#quillon }
greeting="Quillon $version is ready: no script was named."

status=0
"$bin/quillon" --headless --snapshot still.png resource: still >still.out 2>still.err || status=$?
[ "$status" -eq 0 ] || { cat still.err >&2; fail "the player exited with status $status"; }
[ "$(cat still.out)" = "$greeting" ] || fail "the start-up script printed: $(cat still.out)"
[ ! -s still.err ] || { cat still.err >&2; fail "the start-up script wrote to standard error"; }
[ -f still.png ] || fail "no snapshot written"
if [ -n "${QUILLON_SNAPSHOT_DIR:-}" ]; then
  cp still.png "$QUILLON_SNAPSHOT_DIR/startup_script.png"
fi
"$bin/png_compare" "$here/startup_script.png" still.png || fail "the picture differs from startup_script.png"

status=0
"$bin/quillon" --headless --fixed-clock --events "$here/startup_tour.events" --snapshot tour.png >tour.out 2>tour.err || status=$?
[ "$status" -eq 0 ] || { cat tour.err >&2; fail "the tour ended with status $status"; }
[ ! -s tour.err ] || { cat tour.err >&2; fail "the tour wrote to standard error"; }
if [ -n "${QUILLON_SNAPSHOT_DIR:-}" ]; then
  cp tour.png "$QUILLON_SNAPSHOT_DIR/startup_tour.png"
fi
"$bin/png_compare" "$here/startup_tour.png" tour.png || fail "the tour's picture differs from startup_tour.png"

# Without "still" the script waits for its window to close: the player is
# still running well after the greeting (and the drawing after it).
"$bin/quillon" --headless >idle.out 2>idle.err &
idle=$!
for _ in $(seq 600); do
  [ -s idle.out ] && break
  kill -0 "$idle" 2>/dev/null || break
  sleep 0.1
done
[ "$(cat idle.out)" = "$greeting" ] || fail "with no name the player printed: $(cat idle.out)"
sleep 3
kill -0 "$idle" 2>/dev/null || fail "with no name the start-up script ended without its window being closed"
kill "$idle"
wait "$idle" 2>/dev/null || true
idle=
