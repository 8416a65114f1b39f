#!/usr/bin/env bash
# End to end: a compiled script written by the assembler, packed into an
# archive, bound to the player and run; then malformed scripts and archives
# run through the player without a crash, a hang or a sanitizer report.
# Usage: player_files.sh BIN_DIR
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }

# Prints the last command-line word it was given (@1 is the script's own
# name when run by name, so it prints @2 when there is one).
cat > hello.qasm <<'ASM'
"hello.qns" LINE_TAIL#1
  TAIL 2 AT  TAIL 1 AT  "hello from the archive, argument "  consolewrite CALL
ASM
"$bin/quillon-asm" hello.qasm -o startup
cp startup hello.qnc

# A script by name, with its argument as @1.
out=$("$bin/quillon" --headless hello.qnc world)
[ "$out" = "hello from the archive, argument hello.qncworld" ] || fail "script by name printed: $out"

# An archive by name runs its start-up member.
"$bin/quillon-vk" create app.vk startup
out=$("$bin/quillon" app.vk)
[ "$out" = "hello from the archive, argument app.vk" ] || fail "archive by name printed: $out"
"$bin/quillon-vk" list app.vk | grep -q " startup$" || fail "list does not show the member"

# A bound program runs its archive's start-up script with no arguments.
"$bin/quillon-vk" bind app.vk -o app
out=$(./app)
[ "$out" = "hello from the archive, argument " ] || fail "bound program printed: $out"

# scriptlink: the first script replaces itself by the second and continues
# at a label, which receives the arguments; a missing script is an error.
cat > first.qasm <<'ASM'
"first.qns" LINE_TAIL#1  TAIL "before the link" consolewrite CALL
"first.qns" LINE_TAIL#2  TAIL 20 10 greet "second.qns" scriptlink CALL
"first.qns" LINE_TAIL#3  TAIL "not reached" consolewrite CALL
ASM
cat > second.qasm <<'ASM'
"second.qns" LINE_TAIL#1  TAIL "second from the top" consolewrite CALL
  TAIL exit CALL
LABEL:greet
"second.qns" LINE_TAIL#5  TAIL 2 AT TAIL 1 AT "greet " consolewrite CALL
"second.qns" LINE_TAIL#6  TAIL "missing.qns" scriptlink CALL
ASM
"$bin/quillon-asm" first.qasm -o first.qnc
"$bin/quillon-asm" second.qasm -o second.qnc
rc=0
out=$("$bin/quillon" first.qnc 2>link.err) || rc=$?
[ "$rc" -eq 1 ] || fail "a link to a missing script exited $rc, not 1"
expected=$'before the link\ngreet 1020'
[ "$out" = "$expected" ] || fail "scriptlink printed: $out"
grep -q 'Error: MISSINGFILE Script "missing.qns" at line 6 in second.qns' link.err || fail "no MISSINGFILE message: $(cat link.err)"

# A label that calls itself and consumes the frame it opened recurses
# without growing the value stack: the depth of label calls is limited, so
# it ends with STACKOVERFLOW instead of taking all memory.
cat > self.qasm <<'ASM'
LABEL:self  TAIL self CALL
ASM
"$bin/quillon-asm" self.qasm -o self.qnc
timeout 60 "$bin/quillon" --headless self.qnc >/dev/null 2>self.err || true
grep -q 'Error: STACKOVERFLOW' self.err || fail "a self-calling label: $(head -c 300 self.err)"

# Errors name the line that failed: a trigger's command action fails on
# its when line, and after a subroutine returns the caller's statement is
# its own line again.
cat > trig.qns <<'QNS'
when t after 5 imageload "missing.gif"
delay 10
QNS
cat > back.qns <<'QNS'
consolewrite @undefined sub()
exit
sub
  return 1
QNS
"$bin/quillonc" trig.qns && "$bin/quillonc" back.qns
"$bin/quillon" --headless --fixed-clock trig.qnc >/dev/null 2>trig.err || true
grep -q 'Error: MISSINGFILE Image "missing.gif" at line 1 in trig.qns' trig.err || fail "trigger action: $(cat trig.err)"
"$bin/quillon" --headless back.qnc >/dev/null 2>back.err || true
grep -q 'Error: UNDEFINEDVARIABLE "undefined" at line 1 in back.qns' back.err || fail "after a return: $(cat back.err)"

# Bad input for the tool: clear message, non-zero status.
if "$bin/quillon-vk" list missing.vk 2>err.txt; then fail "list of a missing archive succeeded"; fi
[ -s err.txt ] || fail "no message for a missing archive"
if "$bin/quillon-vk" list "$bin/quillon" >list.out 2>err.txt; then fail "the player itself listed as an archive"; fi
grep -q "is not a library archive" err.txt && [ ! -s list.out ] || fail "listing the player: $(head -c 300 list.out err.txt)"
# Member names are printed escaped and never extracted as they stand.
printf 'x' > "$(printf 'evil\033[31m')"
"$bin/quillon-vk" create evil.vk startup "$(printf 'evil\033[31m')"
"$bin/quillon-vk" list evil.vk | grep -q -F ' evil\x1b[31m' || fail "list does not escape a member name"
mkdir out && (cd out && ! "$bin/quillon-vk" extract ../evil.vk 2>../err.txt >/dev/null) || fail "extract took a name with an escape"
grep -q -F "refusing to extract member 'evil\x1b[31m'" err.txt || fail "extract: $(cat err.txt)"

# Exit status and messages: 0 for a normal end, 1 for a script that stops on
# an error, 3 with the reason for a script or archive that cannot run.
expect_status() {  # STATUS MESSAGE-PATTERN COMMAND...
  local want=$1 pattern=$2 rc=0
  shift 2
  timeout 10 "$@" >run.out 2>run.err || rc=$?
  [ "$rc" -eq "$want" ] || fail "$* exited $rc, not $want: $(cat run.err)"
  [ -z "$pattern" ] || grep -q -E "$pattern" run.err || fail "$*: no message like '$pattern' but: $(cat run.err)"
}
cat > fails.qasm <<'ASM'
"fails.qns" LINE_TAIL#1  TAIL nosuchcommand CALL
ASM
"$bin/quillon-asm" fails.qasm -o fails.qnc
expect_status 1 'Error: UNKNOWNCOMMAND "nosuchcommand" at line 1' "$bin/quillon" --headless fails.qnc
expect_status 3 'nothere.qnc: no such script' "$bin/quillon" --headless nothere.qnc
touch never.qns
expect_status 3 'compile never.qns with quillonc first' "$bin/quillon" --headless never.qns
touch -d '1 minute' hello.qns
expect_status 0 'hello.qnc is older than hello.qns' "$bin/quillon" --headless hello.qnc
cp hello.qnc startup.qnc && "$bin/quillon-vk" create compiled.vk startup.qnc
expect_status 0 '' "$bin/quillon" --headless compiled.vk
[ "$(cat run.out)" = "hello from the archive, argument compiled.vk" ] || fail "startup.qnc member printed: $(cat run.out)"
"$bin/quillon-vk" create nostart.vk hello.qnc
expect_status 3 'no start-up script|with a start-up script' "$bin/quillon" --headless nostart.vk
expect_status 1 'holds no start-up script' "$bin/quillon-vk" bind nostart.vk -o nostart
# Bound programs with a damaged trailer, directory or script each say so.
app_size=$(stat -c %s app)
head -c $((app_size - 8)) app > damaged && printf '\xff\xff\xff\xff\xff\xff\x00\x00' >> damaged
cp app damaged_dir && printf 'AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA' |
  dd of=damaged_dir bs=1 seek=$((app_size - 16 - $(stat -c %s app.vk) + 2)) conv=notrunc status=none
# (the first entry of the directory gives the member's offset: its data
# follows a 4-byte length there)
member=$(od -A n -t u4 -j 2 -N 4 app.vk | tr -d ' ')
cp app damaged_code && printf 'NOSCRIPT' |
  dd of=damaged_code bs=1 seek=$((app_size - 16 - $(stat -c %s app.vk) + member + 4)) conv=notrunc status=none
chmod +x damaged damaged_dir damaged_code
expect_status 3 'bound archive is cut short' ./damaged
expect_status 3 'start-up script' ./damaged_dir
expect_status 3 'is not a compiled script' ./damaged_code

# Malformed compiled scripts: every truncation and a spread of corruptions.
# Each runs, stops on an error or is refused (status 0, 1 or 3), and a
# failure always comes with a message.
size=$(stat -c %s hello.qnc)
run_bad() {
  local rc=0
  timeout 10 "$bin/quillon" --headless "$1" >/dev/null 2>bad.err || rc=$?
  if [ $rc -ne 0 ] && [ $rc -ne 1 ] && [ $rc -ne 3 ] || grep -q -E 'Sanitizer|runtime error' bad.err ||
    { [ $rc -ne 0 ] && [ ! -s bad.err ]; }; then
    cat bad.err
    fail "$2 (exit $rc)"
  fi
}
for ((n = 0; n < size; n++)); do
  head -c "$n" hello.qnc > cut.qnc
  run_bad cut.qnc "truncated at $n"
done
for ((at = 8; at < size; at += 3)); do
  cp hello.qnc bad.qnc
  printf '\xff' | dd of=bad.qnc bs=1 seek="$at" conv=notrunc status=none
  run_bad bad.qnc "byte $at set to 0xff"
done

# Malformed archives: truncations and a directory chained to itself.
asize=$(stat -c %s app.vk)
for ((n = 0; n < asize; n += 2)); do
  head -c "$n" app.vk > cut.vk
  run_bad cut.vk "archive truncated at $n"
done
# Directory of one 17-byte entry with an empty name pointing at offset 0.
printf '\x11\x00\x00\x00\x00\x00' > cycle.vk
head -c 13 /dev/zero >> cycle.vk
printf '\x00\x00' | dd of=cycle.vk bs=1 seek=2 conv=notrunc status=none
run_bad cycle.vk "directory cycle"

echo "player_files: all passed"
