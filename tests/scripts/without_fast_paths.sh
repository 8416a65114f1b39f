#!/bin/sh
# The differential check of the interpreter's shortcuts (src/vm/fast_paths.h,
# src/vm/runs.h):
#   tests/scripts/without_fast_paths.sh [BIN_DIR]
# Runs every script test (tests/scripts/*.qns, through run_script_test.sh)
# with QUILLON_NO_FAST_PATHS=1, so that only the generic cases of the main
# loop run. The ordinary script tests run the same programs with the
# shortcuts on against the same expected output, snapshots and exit status,
# so the two ways agree wherever both pass. Prints the names that fail and
# exits 1 when any does.
set -u
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-${QUILLON_BIN:-$here/../../build/test/bin}}
QUILLON_NO_FAST_PATHS=1
export QUILLON_NO_FAST_PATHS
failed=
count=0
for script in "$here"/*.qns; do
  name=$(basename "$script" .qns)
  count=$((count + 1))
  if ! sh "$here/run_script_test.sh" "$name" "$bin" 2>"${TMPDIR:-/tmp}/without_fast_paths.$$.err"; then
    cat "${TMPDIR:-/tmp}/without_fast_paths.$$.err" >&2
    failed="$failed $name"
  fi
done
rm -f "${TMPDIR:-/tmp}/without_fast_paths.$$.err"
if [ -n "$failed" ]; then
  echo "without fast paths, these script tests fail:$failed" >&2
  exit 1
fi
echo "$count script tests pass without fast paths"
