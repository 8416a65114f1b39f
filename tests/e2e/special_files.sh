#!/usr/bin/env bash
# End to end: names that are no regular files, and files too large to read
# whole. A FIFO, a device and a directory are refused as if missing (the
# player never waits for a FIFO's writer nor reads /dev/zero for ever);
# a file larger than a whole-file read allows is refused with a note, never
# cut short and handed back as if whole; files of /proc, which report no
# size, are still read. The commands that treat a missing file as an error
# (imageload, fontload) raise MISSINGFILE for such names.
# Usage: special_files.sh BIN_DIR
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }

mkfifo pipe
truncate -s 3G big   # sparse: no disk space taken
mkdir folder

run() {  # run NAME: compiles NAME.qns, runs it (20 s at most), output in NAME.out and NAME.err
  "$bin/quillonc" "$1.qns" >/dev/null
  local rc=0
  timeout 20 "$bin/quillon" --headless --fixed-clock "$1.qnc" >"$1.out" 2>"$1.err" || rc=$?
  [ $rc -ne 124 ] || fail "$1 did not end: $(cat "$1.err")"
  ! grep -q -E 'Sanitizer|runtime error' "$1.err" || fail "$1: $(cat "$1.err")"
}

cat > reads.qns <<'QNS'
readall "pipe"
readall "/dev/zero"
readall "folder"
readall "big"
s = fileget("/proc/self/status")
consolewrite "proc: " strsearch(@s, "Threads:")>0
consolewrite "others: " filecopy("pipe", "copy") " [" iniget("pipe", "a", "b", "none") "] [" fileget("resource:pipe") "]"
exit

readall
  consolewrite @1 ": [" fileget(@1) "] " filegetarray(@1) " " fileopen(@1)!=0
  memload @1 m
  consolewrite "memload: " ele_len(m)
  return
QNS
run reads
cat > reads.expected <<'OUT'
pipe: [] 0 0
memload: 0
/dev/zero: [] 0 0
memload: 0
folder: [] 0 0
memload: 0
big: [] 0 1
memload: 0
proc: 1
others: 0 [none] []
OUT
diff -u reads.expected reads.out || fail "reads printed other results"
[ "$(grep -c '"big" is not read: it holds more than' reads.err)" = 3 ] || fail "no note for the large file: $(cat reads.err)"

# A file of /proc that reports no size and is far larger than any file of
# its kind is cut at the cap of unknown sizes: refused, not cut short.
if head -c 8 /proc/self/pagemap >/dev/null 2>&1; then
  echo 'consolewrite "pagemap: [" strlen(fileget("/proc/self/pagemap")) "]"' > pagemap.qns
  run pagemap
  [ "$(cat pagemap.out)" = "pagemap: [0]" ] || fail "pagemap read as: $(cat pagemap.out)"
fi

for kind in image font; do
  for name in pipe /dev/zero big; do
    echo "${kind}load \"$name\"" > load.qns
    run load
    grep -q "Error: MISSINGFILE ${kind^} \"$name\"" load.err || fail "${kind}load $name: $(cat load.err)"
  done
done

echo "special_files: all passed"
