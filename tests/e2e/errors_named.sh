#!/usr/bin/env bash
# End to end: run-time errors name what went wrong. Each case is a small
# script; the player must end with status 1 and write exactly the expected
# message on standard error: the error's name, its subject (the variable,
# the label, the file, the refused argument with its command), its line,
# and after a subroutine or trigger call the chain of calls as source
# lines read from the listing quillonc writes beside the compiled file.
# Usage: errors_named.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failed=0

# check NAME: NAME.qns compiled and run; its standard error against NAME.want.
check() {
  "$bin/quillonc" "$1.qns" 2>/dev/null
  [ -z "${2:-}" ] || rm -f "$1.log"  # a second argument: run without the listing
  local rc=0
  timeout 20 "$bin/quillon" --headless --fixed-clock "$1.qnc" >/dev/null 2>"$1.err" || rc=$?
  if [ $rc -ne 1 ]; then
    echo "FAIL $1: status $rc, not 1"; cat "$1.err"; failed=1
  fi
  if ! diff -u "$1.want" "$1.err"; then
    echo "FAIL $1: the message differs"; failed=1
  fi
}

cat > variable.qns <<'QNS'
total = 1
consolewrite @totl
QNS
cat > variable.want <<'TXT'
Error: UNDEFINEDVARIABLE "totl" at line 2 in variable.qns
TXT
check variable

# A label called with gosub that no script defines; without the listing the
# call cannot be told from a command's, and is an unknown command.
cat > label.qns <<'QNS'
consolewrite "before"
gosub nowhere 1 2
QNS
cat > label.want <<'TXT'
Error: LABELNOTFOUND "nowhere" at line 2 in label.qns
TXT
check label
cp label.qns command.qns
sed 's/LABELNOTFOUND/UNKNOWNCOMMAND/; s/label\.qns/command.qns/' label.want > command.want
check command nolisting

cat > jump.qns <<'QNS'
target = "nolabel"
goto @target
QNS
cat > jump.want <<'TXT'
Error: LABELNOTFOUND "nolabel" at line 2 in jump.qns
TXT
check jump

cat > file.qns <<'QNS'
imageload "missing.gif"
QNS
cat > file.want <<'TXT'
Error: MISSINGFILE Image "missing.gif" at line 1 in file.qns
TXT
check file

cat > argument.qns <<'QNS'
screensaver keypress bogus
QNS
cat > argument.want <<'TXT'
Error: SYNTAXERROR "bogus" (argument 2 of screensaver) at line 1 in argument.qns
TXT
check argument

# The chain: a trigger calls a label, which calls another.
cat > chain.qns <<'QNS'
when late after 50 gosub ontime
delay 100
exit
ontime
  gosub show 1
  return
show
  consolewrite @missing_total
  return
QNS
cat > chain.want <<'TXT'
Error: UNDEFINEDVARIABLE "missing_total" at line 8 in chain.qns
  at chain.qns:8: consolewrite @missing_total
  called from chain.qns:5: gosub show 1
  called by the trigger made at chain.qns:1, interrupting chain.qns:2: delay 100
TXT
check chain

exit $failed
