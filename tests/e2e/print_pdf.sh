#!/usr/bin/env bash
# End to end: printing to a PDF file. The file of print_pdf.qns (a 150-dpi
# picture on one page, the window on the other) must equal print_pdf.pdf
# byte for byte (no date or ID in it, so every run gives the same bytes) and
# pass qpdf --check; bad requests give their documented messages. No print
# server is reachable here (CUPS_SERVER names a missing socket), so asking
# for printers answers at once that there is none.
# Usage: print_pdf.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; cat "$work"/*.err 2>/dev/null; exit 1; }

export CUPS_SERVER="$work/no-server.sock"
cp "$here/print_pdf.qns" .
"$bin/quillonc" print_pdf.qns >/dev/null
rc=0
timeout 60 "$bin/quillon" --headless --fixed-clock print_pdf.qnc >print_pdf.out 2>print_pdf.err || rc=$?
[ $rc -eq 0 ] || fail "the player exited with $rc"
cat >expected <<'OUT'
select: 1 [file:out.pdf] [out.pdf]
settings: Letter landscape []
start: 1
pages: 2
end: [] 1
no document: [no page is started]
bad paper: [unknown paper B9] Letter
twice: 0 [a document is already started]
no page: [no page is started]
freed: [no picture to print]
page ended twice: [no page is started]
blank page: [] 1
no document: [no document is started]
unknown printer: 0 [no print server is running] [file:blank.pdf]
printers: [] [no print server is running]
OUT
diff -u expected print_pdf.out || fail "the script's output differs"
cmp "$here/print_pdf.pdf" out.pdf || fail "out.pdf differs from print_pdf.pdf"
if command -v qpdf >/dev/null; then
  qpdf --check out.pdf >qpdf.log || { cat qpdf.log; fail "qpdf --check rejects out.pdf"; }
else
  echo "qpdf missing: the structure check is skipped"
fi
echo "print_pdf: ok"
