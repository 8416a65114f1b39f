#!/bin/sh
# quillonc as authors run it: what it writes, where, and what it leaves
# alone when a script has an error.  usage: cli_test.sh BIN_DIR
set -eu
bin=$(cd "${1:?usage: cli_test.sh BIN_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quillonc-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

printf 'consolewrite "ok"\n' >good.qns
printf 'consolewrite "ok"\nif 1\n' >bad.qns
printf 'goto nowhere\n' >warn.qns

# A sound script: the compiled file and its listing beside it.
"$bin/quillonc" good.qns || fail "good.qns was rejected"
[ -f good.qnc ] && [ -f good.log ] || fail "good.qnc or good.log missing"
printf '; %s/good.qnc\r\n' "$(pwd -P)" >expected.head
head -n 1 good.log >actual.head
cmp -s expected.head actual.head || fail "the listing does not start with the compiled file's full path"
cp good.qnc first.qnc
"$bin/quillonc" good.qns
cmp -s good.qnc first.qnc || fail "two runs gave different files"

# An error: status 1, the message names file, line and column, nothing written.
if "$bin/quillonc" bad.qns 2>bad.err; then fail "bad.qns was accepted"; fi
grep -q '^bad.qns:2:1: error: ' bad.err || fail "no located error message: $(cat bad.err)"
[ ! -e bad.qnc ] && [ ! -e bad.log ] || fail "files written for a script with an error"
ls | grep -q tmp && fail "a temporary file was left behind"

# With several scripts, one error stops them all.
rm -f good.qnc good.log
if "$bin/quillonc" good.qns bad.qns 2>/dev/null; then fail "good.qns bad.qns was accepted"; fi
[ ! -e good.qnc ] || fail "good.qnc written although bad.qns failed"

# A warning still writes the file.
"$bin/quillonc" warn.qns 2>warn.err || fail "warn.qns was rejected"
grep -q "^warn.qns:1:6: warning: the label 'nowhere' is never defined" warn.err || fail "warning missing"
[ -f warn.qnc ] || fail "warn.qnc missing"

# -o and --no-listing.
"$bin/quillonc" -o out/../named.qnc --no-listing good.qns 2>/dev/null && fail "-o into a missing directory succeeded"
"$bin/quillonc" -o named.qnc --no-listing good.qns || fail "-o named.qnc failed"
[ -f named.qnc ] && [ ! -e named.log ] || fail "-o/--no-listing wrote the wrong files"
"$bin/quillonc" -o x.qnc good.qns warn.qns 2>/dev/null && fail "-o with two scripts succeeded"

# The disassembly ends with the end word.
"$bin/quillonc" --disassemble named.qnc >words.txt || fail "--disassemble failed"
[ "$(tail -n 1 words.txt)" = "40000000" ] || fail "the disassembly does not end with the end word"
grep -q '^43000003      consolewrite _CALL$' words.txt || fail "consolewrite call missing: $(cat words.txt)"
if "$bin/quillonc" --disassemble good.qns 2>/dev/null; then fail "a source file disassembled"; fi
# --strict: a warning is an error, and nothing is written.
rm -f warn.qnc
if "$bin/quillonc" --strict warn.qns 2>strict.err; then fail "--strict accepted a warning"; fi
grep -q "^warn.qns:1:6: error: the label 'nowhere' is never defined" strict.err || fail "--strict: $(cat strict.err)"
[ ! -e warn.qnc ] || fail "--strict wrote warn.qnc"

# A script in UTF-8, with or without the byte order mark, compiles to the
# same bytes as the script in Windows-1252 (texts, names, listing).
mkdir cp1252 utf8 bom
printf 'consolewrite "caf\351 \200 \223x\224 na\357ve" ; \351t\351\nd\351j\340 = 2\nconsolewrite @d\351j\340\n' >cp1252/s.qns
printf 'consolewrite "caf\303\251 \342\202\254 \342\200\234x\342\200\235 na\303\257ve" ; \303\251t\303\251\nd\303\251j\303\240 = 2\nconsolewrite @d\303\251j\303\240\n' >utf8/s.qns
printf '\357\273\277' | cat - utf8/s.qns >bom/s.qns
for d in cp1252 utf8 bom; do "$bin/quillonc" $d/s.qns || fail "$d/s.qns was rejected"; done
tail -n +2 cp1252/s.log >listing.body
for d in utf8 bom; do
  cmp cp1252/s.qnc $d/s.qnc || fail "$d/s.qnc differs from the Windows-1252 script's"
  tail -n +2 $d/s.log | cmp -s - listing.body || fail "$d/s.log differs from the Windows-1252 script's listing"
done
# A character the code page lacks: its line and column (in characters), nothing written.
printf 'consolewrite "\303\251"\nconsolewrite "\342\206\222" ; \342\206\222 in a comment\n' >arrow.qns
if "$bin/quillonc" arrow.qns 2>arrow.err; then fail "arrow.qns was accepted"; fi
[ "$(cat arrow.err)" = "arrow.qns:2:15: error: the character $(printf '\342\206\222') (U+2192) is not in the player's code page (Windows-1252), so it cannot be written in the compiled script" ] ||
  fail "unconvertible character: $(cat arrow.err)"
[ ! -e arrow.qnc ] || fail "arrow.qnc written"

# --run compiles and runs in one step: player options before the compiled
# file, the other words after it; the exit status is the player's.
printf 'consolewrite @2 " " @3\n' >run.qns
"$bin/quillonc" --run run.qns --headless --fixed-clock one two >run.out 2>run.err || fail "--run: $(cat run.err)"
[ "$(cat run.out)" = "one two" ] || fail "--run printed: $(cat run.out) $(cat run.err)"
[ -f run.qnc ] || fail "--run wrote no run.qnc"
rc=0
"$bin/quillonc" --run bad.qns --headless >run.out 2>/dev/null || rc=$?
[ "$rc" -eq 1 ] && [ ! -s run.out ] || fail "--run ran a script with an error (status $rc)"
# Named by its source, a compiled file older than it is not run: one line says how to compile it.
touch -d '1 minute' run.qns
rc=0
"$bin/quillon" --headless run.qns >run.out 2>run.err || rc=$?
[ "$rc" -eq 3 ] || fail "a stale run.qnc ran (status $rc)"
[ "$(wc -l <run.err)" -eq 1 ] && grep -q 'run.qnc is older than run.qns: compile it again with quillonc run.qns' run.err ||
  fail "stale message: $(cat run.err)"
# --watch: each save compiles the script again and restarts the player; a
# save with an error leaves the last good program running; SIGTERM ends
# quillonc and its player.
mkdir watch
cd watch
loop='while 1\n  delay 20\nendwhile\n'
printf "fileput \"ran.txt\" \"one\"\n$loop" >w.qns
"$bin/quillonc" --watch w.qns --headless >watch.out 2>watch.err &
watcher=$!
within() {  # within COMMAND: true once the command succeeds, within 10 s
  n=0
  until eval "$1"; do
    n=$((n + 1))
    [ $n -lt 200 ] || return 1
    sleep 0.05
  done
}
player_of_watch() { pgrep -P "$watcher" | head -n 1; }
within '[ "$(cat ran.txt 2>/dev/null)" = one ]' || fail "--watch did not run the first version: $(cat watch.err)"
first=$(player_of_watch)
[ -n "$first" ] || fail "--watch runs no player"
printf 'fileput "ran.txt" "broken"\nif 1\n' >w.qns
within 'grep -q "the last good program keeps running" watch.err' || fail "--watch: no error shown: $(cat watch.err)"
kill -0 "$first" || fail "--watch ended the last good program for a script with an error"
printf "fileput \"ran.txt\" \"two\"\n$loop" >w.new
mv w.new w.qns
within '[ "$(cat ran.txt)" = two ]' || fail "--watch did not run the second version: $(cat watch.err)"
second=$(player_of_watch)
! kill -0 "$first" 2>/dev/null || fail "--watch left the first player running"
kill -TERM "$watcher"
rc=0
wait "$watcher" || rc=$?
[ "$rc" -eq 0 ] || fail "--watch ended with status $rc on SIGTERM: $(cat watch.err)"
! kill -0 "$second" 2>/dev/null || fail "the player outlived quillonc --watch"
cd ..
echo "quillonc cli: ok"
