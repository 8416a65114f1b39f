#!/usr/bin/env bash
# End to end: two players change the settings store at the same time, each
# setting 200 values of its own in one key; afterwards all 400 are there,
# and a third player reads every one back.
# Usage: settings_concurrent.sh BIN_DIR
set -euo pipefail
bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export XDG_CONFIG_HOME=$work/config
fail() { echo "FAIL: $*"; exit 1; }

cat > writer.qns <<'QNS'
for i from 1 to 200
  regsetnum "HKCU\Software\Race" (@2 $ @i) @i
next
QNS
cat > reader.qns <<'QNS'
total = 0
for i from 1 to 200
  total = @total + regget("HKCU\Software\Race", "a" $ @i, 0) + regget("HKCU\Software\Race", "b" $ @i, 0)
next
consolewrite @total
QNS
"$bin/quillonc" writer.qns >/dev/null
"$bin/quillonc" reader.qns >/dev/null
timeout 120 "$bin/quillon" --headless writer.qnc a 2>a.err &
first=$!
timeout 120 "$bin/quillon" --headless writer.qnc b 2>b.err || fail "the second writer failed: $(cat b.err)"
wait $first || fail "the first writer failed: $(cat a.err)"
[ ! -s a.err ] && [ ! -s b.err ] || fail "the writers reported: $(cat a.err b.err)"
count=$(grep -c -E '^[ab][0-9]+=number:' config/quillon/settings.ini) || true
[ "$count" = 400 ] || fail "$count values of 400 in the store"
total=$(timeout 60 "$bin/quillon" --headless reader.qnc)
[ "$total" = 40200 ] || fail "the values add up to $total, not 40200"
ls config/quillon | grep -q -v -E '^settings\.(ini|lock)$' && fail "files left behind: $(ls config/quillon)"
echo "settings store: 400 values from two writers"
