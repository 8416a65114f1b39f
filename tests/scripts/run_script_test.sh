#!/bin/sh
# Runs one script test:
#   tests/scripts/run_script_test.sh NAME [BIN_DIR]
# Copies tests/scripts/NAME.qns (and the helper scripts and data files in
# NAME.d/, if any) into a temporary directory, compiles every script there
# with quillonc,
# runs `quillon --headless --fixed-clock NAME.qnc` with that directory as the
# working directory (so scriptlink finds the helpers by name), and compares
# standard output with NAME.out and, when NAME.err exists, standard error
# with it. When NAME.png exists the player also writes a snapshot
# (--snapshot), which png_compare checks against NAME.png pixel for pixel;
# with QUILLON_SNAPSHOT_DIR set the snapshot is kept there as NAME.png (to
# make or renew an expected picture after looking at it). When NAME.events
# exists it is passed with --events (scripted input). XDG_CONFIG_HOME and
# XDG_DATA_HOME are folders of the test (the settings store starts empty). The player must exit
# with status 0, or with the number in NAME.status (1: the script stops on
# an error). BIN_DIR (default: $QUILLON_BIN, else build/test/bin) holds
# quillonc, quillon and png_compare, and is given to the script as the
# environment variable QUILLON_TEST_BIN (`@quillon_test_bin`), where it
# finds libraries built for tests. Exits 0 when everything matches.
set -eu

name=${1:?usage: run_script_test.sh NAME [BIN_DIR]}
here=$(cd "$(dirname "$0")" && pwd)
bin=${2:-${QUILLON_BIN:-$here/../../build/test/bin}}
bin=$(cd "$bin" && pwd)
export QUILLON_TEST_BIN="$bin"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-script-$name.XXXXXX")
trap 'rm -rf "$work"' EXIT

cp "$here/$name.qns" "$work/"
if [ -d "$here/$name.d" ]; then
  cp "$here/$name.d/"* "$work/"
fi

cd "$work"
# The settings store and the desktop's data folder are the test's own.
XDG_CONFIG_HOME=$work/config
XDG_DATA_HOME=$work/data
export XDG_CONFIG_HOME XDG_DATA_HOME
for source in *.qns; do
  if ! "$bin/quillonc" "$source" 2>compile.err; then
    echo "FAIL $name: quillonc rejected $source:" >&2
    cat compile.err >&2
    exit 1
  fi
done

snapshot=
if [ -f "$here/$name.png" ] || [ -n "${QUILLON_SNAPSHOT_DIR:-}" ]; then
  snapshot=$work/actual.png
fi
events=
if [ -f "$here/$name.events" ]; then
  events=$here/$name.events
fi
status=0
expected_status=0
if [ -f "$here/$name.status" ]; then
  expected_status=$(cat "$here/$name.status")
fi
"$bin/quillon" --headless --fixed-clock ${snapshot:+--snapshot "$snapshot"} ${events:+--events "$events"} "$name.qnc" \
  >actual.out 2>actual.err || status=$?
failed=0
if [ "$status" -ne "$expected_status" ]; then
  echo "FAIL $name: the player exited with status $status, not $expected_status" >&2
  cat actual.err >&2
  failed=1
fi
if ! diff -u "$here/$name.out" actual.out >&2; then
  echo "FAIL $name: standard output differs from $name.out" >&2
  failed=1
fi
if [ -f "$here/$name.err" ] && ! diff -u "$here/$name.err" actual.err >&2; then
  echo "FAIL $name: standard error differs from $name.err" >&2
  failed=1
fi
if [ -n "${QUILLON_SNAPSHOT_DIR:-}" ] && [ -f actual.png ]; then
  cp actual.png "$QUILLON_SNAPSHOT_DIR/$name.png"
fi
if [ -f "$here/$name.png" ]; then
  if [ ! -f actual.png ]; then
    echo "FAIL $name: no snapshot written" >&2
    failed=1
  elif ! "$bin/png_compare" "$here/$name.png" actual.png >&2; then
    echo "FAIL $name: the snapshot differs from $name.png" >&2
    failed=1
  fi
fi
exit $failed
