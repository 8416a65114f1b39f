#!/bin/sh
# Runs one program of the guide (docs/guide/programs/) or of the examples
# (examples/NAME/) as its reader would, headless:
#   tests/programs/run_program_test.sh BIN_DIR PATH/NAME.qns
# Copies the files of the program's folder (its pictures, sounds, data)
# into a temporary directory, compiles NAME.qns with `quillonc --strict`
# (a warning is a fault in a program that readers copy), runs
# `quillon --headless --fixed-clock --snapshot` there, with NAME.events
# when it exists and the words of NAME.args after the program, and checks:
# status 0, nothing on standard error, standard output equal to NAME.out
# when that exists, and the snapshot equal to
# NAME.png pixel for pixel (with QUILLON_SNAPSHOT_DIR set, the snapshot is
# kept there as NAME.png, to make or renew the picture after looking at it).
# When NAME.pack exists (the member files of a package, besides the
# program), the program is also packaged as its reader would package it:
# compiled as startup.qnc, packed with quillon-vk create, run as the archive
# and as a program bound from it, in a folder without the loose files; both
# must show NAME.png too.
# Every page of the guide and the README that quotes the program or one of
# its files (a line `<!-- program: RELATIVE/PATH -->` before a fenced
# block) must quote it exactly.
set -eu

bin=$(cd "${1:?usage: run_program_test.sh BIN_DIR PROGRAM.qns}" && pwd)
program=${2:?usage: run_program_test.sh BIN_DIR PROGRAM.qns}
dir=$(cd "$(dirname "$program")" && pwd)
name=$(basename "$program" .qns)
root=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-program-$name.XXXXXX")
trap 'rm -rf "$work"' EXIT
find "$dir" -maxdepth 1 -type f -exec cp {} "$work/" \;
cd "$work"
XDG_CONFIG_HOME=$work/config
XDG_DATA_HOME=$work/data
export XDG_CONFIG_HOME XDG_DATA_HOME

failed=0
if ! "$bin/quillonc" --strict "$name.qns" 2>compile.err; then
  echo "FAIL $name: quillonc --strict rejected it:" >&2
  cat compile.err >&2
  exit 1
fi
events=
[ -f "$dir/$name.events" ] && events=$dir/$name.events
words=
[ -f "$dir/$name.args" ] && words=$(cat "$dir/$name.args")
status=0
# shellcheck disable=SC2086 # the words are split as a shell splits them
"$bin/quillon" --headless --fixed-clock --snapshot "$work/actual.png" ${events:+--events "$events"} "$name.qnc" $words \
  >actual.out 2>actual.err || status=$?
if [ "$status" -ne 0 ]; then
  echo "FAIL $name: the player exited with status $status" >&2
  failed=1
fi
if [ -s actual.err ]; then
  echo "FAIL $name: the program wrote to standard error:" >&2
  cat actual.err >&2
  failed=1
fi
if [ -f "$dir/$name.out" ] && ! diff -u "$dir/$name.out" actual.out >&2; then
  echo "FAIL $name: standard output differs from $name.out" >&2
  failed=1
fi
if [ -n "${QUILLON_SNAPSHOT_DIR:-}" ] && [ -f actual.png ]; then
  cp actual.png "$QUILLON_SNAPSHOT_DIR/$name.png"
fi
if [ ! -f actual.png ]; then
  echo "FAIL $name: no snapshot written" >&2
  failed=1
elif ! "$bin/png_compare" "$dir/$name.png" actual.png >&2; then
  echo "FAIL $name: the snapshot differs from $name.png" >&2
  failed=1
fi

if [ -f "$dir/$name.pack" ]; then
  mkdir package run
  "$bin/quillonc" --no-listing -o package/startup.qnc "$name.qns"
  # shellcheck disable=SC2046 # one member file a word
  (cd "$work" && "$bin/quillon-vk" create run/app.vk package/startup.qnc $(cat "$dir/$name.pack")) >/dev/null
  "$bin/quillon-vk" bind run/app.vk -o run/app >/dev/null
  for packed in app.vk app; do
    if [ "$packed" = app ]; then player=./app; target=; else player=$bin/quillon; target=app.vk; fi
    status=0
    (cd run && "$player" --headless --fixed-clock --snapshot "$work/$packed.png" ${events:+--events "$events"} $target) \
      >/dev/null 2>"$packed.err" || status=$?
    if [ "$status" -ne 0 ] || [ -s "$packed.err" ]; then
      echo "FAIL $name: packaged as $packed, status $status:" >&2
      cat "$packed.err" >&2
      failed=1
    elif ! "$bin/png_compare" "$dir/$name.png" "$packed.png" >&2; then
      echo "FAIL $name: packaged as $packed, the snapshot differs from $name.png" >&2
      failed=1
    fi
  done
fi

# The quotes of the program in the guide's pages and the README.
for page in "$root"/docs/guide/*.md "$root/README.md"; do
  [ -f "$page" ] || continue
  pagedir=$(dirname "$page")
  for quoted in $(sed -n 's/^<!-- program: \(.*\) -->$/\1/p' "$page"); do
    # The program itself, or a file of it: NAME.events, NAME.out.
    case $(basename "$quoted") in "$name".*) ;; *) continue ;; esac
    [ "$(cd "$pagedir/$(dirname "$quoted")" 2>/dev/null && pwd)" = "$dir" ] || continue
    file=$dir/$(basename "$quoted")
    awk -v want="<!-- program: $quoted -->" '
      $0 == want { found = 1; next }
      found == 1 && /^```/ { found = 2; next }
      found == 2 && /^```/ { exit }
      found == 2 { print }' "$page" >quoted.qns
    if ! diff -u "$file" quoted.qns >&2; then
      echo "FAIL $name: $(basename "$page") quotes $(basename "$file") differently" >&2
      failed=1
    fi
  done
done
exit $failed
