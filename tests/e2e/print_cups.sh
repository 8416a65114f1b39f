#!/usr/bin/env bash
# End to end: printing through a real print server. Starts a private cupsd
# (its own configuration, spool and socket in a temporary folder) with one
# raw queue "saved" whose backend keeps each job in a folder; print_cups.qns
# prints a page to it and the same page to a file, and the job the backend
# received must equal that file byte for byte. Skipped (77) without cupsd
# or when it cannot start here.
# Usage: print_cups.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
cupsd=/usr/sbin/cupsd
[ -x "$cupsd" ] || { echo "cupsd missing: skipped"; exit 77; }
work=$(mktemp -d)
daemon=
trap '[ -z "$daemon" ] || kill "$daemon" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
chmod 755 "$work"
fail() { echo "FAIL: $*"; cat "$work"/*.err 2>/dev/null; grep -E '^[EW]' "$work"/log/error_log 2>/dev/null | tail -20; exit 1; }

# The server's folders. ServerBin holds the system's programs with our
# backend beside the system's backends.
mkdir -p etc/ppd bin/backend cache state spool/tmp log jobs
chmod 777 jobs
for d in /usr/lib/cups/*; do [ "$(basename "$d")" = backend ] || ln -s "$d" bin/; done
cat >bin/backend/save <<'SH'
#!/bin/sh
# save:FOLDER keeps each job as FOLDER/job-ID (written aside, then renamed).
[ $# -eq 0 ] && { echo 'direct save "Unknown" "Keeps jobs in a folder"'; exit 0; }
dir=${DEVICE_URI#save:}
if [ -n "${6:-}" ]; then cat "$6"; else cat; fi >"$dir/.job-$1" && mv "$dir/.job-$1" "$dir/job-$1"
SH
# 0700: cupsd run by root runs such a backend as root rather than as its
# unprivileged user, which could not be found here.
chmod 700 bin/backend/save
group=$(id -gn)
cat >etc/cups-files.conf <<CONF
ServerRoot $work/etc
ServerBin $work/bin
CacheDir $work/cache
StateDir $work/state
RequestRoot $work/spool
TempDir $work/spool/tmp
ErrorLog $work/log/error_log
AccessLog $work/log/access_log
PageLog $work/log/page_log
SystemGroup $group
FileDevice No
CONF
cat >etc/cupsd.conf <<CONF
Listen $work/cups.sock
LogLevel debug
Browsing No
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
# A queue without a PPD is raw: the document reaches the backend as sent.
cat >etc/printers.conf <<CONF
<Printer saved>
Info Jobs kept by the test
DeviceURI save:$work/jobs
State Idle
Accepting Yes
Shared No
</Printer>
CONF
"$cupsd" -f -c "$work/etc/cupsd.conf" -s "$work/etc/cups-files.conf" >cupsd.err 2>&1 &
daemon=$!
for _ in $(seq 100); do [ -S cups.sock ] && break; kill -0 "$daemon" 2>/dev/null || break; sleep 0.1; done
if [ ! -S cups.sock ]; then
  echo "cupsd cannot run here: skipped"
  cat cupsd.err 2>/dev/null; grep -E '^[EW]' log/error_log 2>/dev/null | tail -20
  exit 77
fi
export CUPS_SERVER="$work/cups.sock"

cp "$here/print_cups.qns" .
"$bin/quillonc" print_cups.qns >/dev/null
rc=0
timeout 60 "$bin/quillon" --headless --fixed-clock print_cups.qnc >print_cups.out 2>print_cups.err || rc=$?
[ $rc -eq 0 ] || fail "the player exited with $rc"
! grep -q -E 'Sanitizer|runtime error' print_cups.err || fail "sanitizer report"
cat >expected <<'OUT'
printers: [saved
] []
saved: 1 1 []
file:page.pdf: 1 1 []
OUT
tr -d '\r' <print_cups.out | diff -u expected - || fail "the script's output differs"
for _ in $(seq 200); do ls jobs/job-* >/dev/null 2>&1 && break; sleep 0.1; done
job=$(ls jobs/job-* 2>/dev/null | head -1)
[ -n "$job" ] || fail "the backend received no job"
cmp "$job" page.pdf || fail "the job the backend received differs from the PDF file"
echo "print_cups: the job equals the PDF ($(wc -c <page.pdf) bytes)"
