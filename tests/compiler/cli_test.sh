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
echo "quillonc cli: ok"
