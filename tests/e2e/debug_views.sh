#!/usr/bin/env bash
# End to end: the debug views written headless by --debug-dump. A script
# that stops on an error leaves a section with the chain of calls, the
# stack, the code list with the word that raised the error framed, the
# elements and the variables of every scope (with the with-records). A
# breakpoint on a source line stops at its statement; F10 steps statement
# by statement (over a return), F5 continues, var_debug turns single steps
# on, and Esc stops the script; Ctrl+Shift+V at a stop writes the variables.
# The source view marks the statement about to run, the cursor and the
# breakpoints, which Up, Down and F9 set and clear at a stop. Code loaded
# later is shown with the lines of its own compiled file's listing.
# Usage: debug_views.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }
has() { grep -qxF -- "$2" "$1" || fail "$1 has no line '$2':"$'\n'"$(cat "$1")"; }
# debug_run NAME [OPTIONS...]: runs steps.qnc with NAME.events, dumping to
# NAME.txt; it must end with status 0 having printed "b is 10". The dump's
# section titles are then compared with standard input.
debug_run() {
  local name=$1 rc=0
  shift
  "$bin/quillon" --headless --fixed-clock "$@" --events "$name.events" --debug-dump "$name.txt" \
    steps.qnc >"$name.out" 2>"$name.err" || rc=$?
  [ $rc -eq 0 ] || fail "$name: status $rc: $(cat "$name.err")"
  [ "$(cat "$name.out")" = "b is 10" ] || fail "$name printed: $(cat "$name.out")"
  grep '^== ' "$name.txt" > sections.txt
  cat > sections.want
  diff -u sections.want sections.txt || fail "the stops of $name differ"
}

cat > fault.qns <<'QNS'
; stops in a subroutine
count = 3
gosub work 7
exit
work
  local x 14
  withpush floatdigits 2
  consolewrite @undefinedthing
  return
QNS
"$bin/quillonc" fault.qns 2>/dev/null
rc=0
"$bin/quillon" --headless --fixed-clock --debug-dump fault.txt fault.qnc 2>/dev/null || rc=$?
[ $rc -eq 1 ] || fail "fault: status $rc"
[ "$(grep -c '^== ' fault.txt)" -eq 1 ] || fail "fault: one section expected"
has fault.txt '== error: UNDEFINEDVARIABLE "undefinedthing" =='
has fault.txt '  at fault.qns:8: consolewrite @undefinedthing'
has fault.txt '  called from fault.qns:3: gosub work 7'
grep -qE '^ 0  4[0-9A-F]{7}00000000 : undefinedthing$' fault.txt || fail "the stack's top is not the name read"
# The framed word is the one that raised the error.
framed=$(grep -A1 -m1 -- '^----------------      ----' fault.txt | tail -1)
[[ "$framed" == *"undefinedthing AT _CALL "* ]] || fail "framed word: $framed"
[ "$(grep -c -- '^----------------      ----' fault.txt)" -eq 2 ] || fail "one framed word expected"
grep -q '^ *[0-9]*  PROGRAM ' fault.txt || fail "no PROGRAM element"
has fault.txt 'script:'
has fault.txt '  count = 3'
has fault.txt 'level 2:'
has fault.txt '  x = 14'
has fault.txt '  with 1:'

cat > steps.qns <<'QNS'
; stepping
b = 0
gosub twice 5
consolewrite "b is " @b
var_debug 1
c = 3
d = 4
consolewrite "not reached"
exit
twice
  b = @1 * 2
  return
QNS
cat > steps.events <<'EOF2'
5 key ctrl-shift-v
10 key f10
20 key f10
30 key f5
40 key space
50 key space
60 key esc
EOF2
"$bin/quillonc" steps.qns 2>/dev/null
debug_run steps --break steps.qns:10 <<'EOF2'
== break at steps.qns:11: b = @1 * 2 ==
== key at steps.qns:11: b = @1 * 2 ==
== step at steps.qns:12: return ==
== step at steps.qns:4: consolewrite "b is " @b ==
== step at steps.qns:6: c = 3 ==
== step at steps.qns:7: d = 4 ==
== step at steps.qns:8: consolewrite "not reached" ==
== end ==
EOF2
# A stop's chain begins at the statement it waits before.
sed -n '/^== break/,/^== key/p' steps.txt > break.txt
has break.txt '  at steps.qns:11: b = @1 * 2'
has break.txt '  called from steps.qns:3: gosub twice 5'
# The key's section holds the variables only, as they stand at the stop.
sed -n '/^== key/,/^== step/p' steps.txt > key.txt
has key.txt '-- variables --'
has key.txt '  b = 0'
has key.txt '  1 = 5'
! grep -q -- '-- code --' key.txt || fail "the variables key wrote the code view"

# Breakpoints set at a stop: Up and Down move the source view's cursor, F9
# sets a breakpoint on its line or clears it, F5 runs on to it.
cat > set.events <<'EOF2'
10 key down
11 key down
12 key f9
13 key up
14 key f9
15 key f9
16 key f5
20 key esc
EOF2
debug_run set <<'EOF2'
== step at steps.qns:6: c = 3 ==
== break at steps.qns:8: consolewrite "not reached" ==
== end ==
EOF2
sed -n '/^== step/,/^-- code/p' set.txt > step.txt
has step.txt ' =>    6  c = 3'
has step.txt '       7  d = 4'
sed -n '/^== break/,/^-- code/p' set.txt > break.txt
has break.txt '       7  d = 4'
has break.txt '*=>    8  consolewrite "not reached"'

# Code loaded later shows the lines of its own listing: a linked script of
# the same source name in another folder, and one compiled under another
# name, each beside its compiled file.
mkdir sub other
printf 'consolewrite "main"\nscriptlink "sub/main.qnc"\n' > main.qns
printf 'consolewrite @nothere\n' > sub/main.qns
printf 'x = 1\nscriptlink "other/lk.qnc"\n' > sub2.qns
printf '; compiled as lk.qnc\nconsolewrite @missing\n' > other/linked.qns
"$bin/quillonc" main.qns 2>/dev/null
"$bin/quillonc" sub2.qns 2>/dev/null
(cd sub && "$bin/quillonc" main.qns 2>/dev/null)
(cd other && "$bin/quillonc" -o lk.qnc linked.qns 2>/dev/null)
"$bin/quillon" --headless --debug-dump linked.txt main.qnc >/dev/null 2>&1 || true
has linked.txt '  at main.qns:1: consolewrite @nothere'
"$bin/quillon" --headless --debug-dump renamed.txt sub2.qnc >/dev/null 2>&1 || true
has renamed.txt '  at linked.qns:2: consolewrite @missing'

rc=0
"$bin/quillon" --headless --break steps.qns steps.qnc 2>/dev/null || rc=$?
[ $rc -eq 2 ] || fail "a breakpoint without a line: status $rc"
echo "debug views: ok"
