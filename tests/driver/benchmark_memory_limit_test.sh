#!/usr/bin/env bash
# Runs bandbench with an address-space limit far below the 216 MB workspace:
# the program must start, print the two size lines and the allocation
# failure, and end with a non-zero status.
#
# usage: benchmark_memory_limit_test.sh <bandbench>
set -u

bandbench=$1
limit_kb=102400  # 100 MB: room for the program, not for its workspace
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(ulimit -v "$limit_kb" && exec timeout 120 "$bandbench") </dev/null >"$work/out" 2>"$work/err"
status=$?

printf ' number of equations:      2000000\r\n Half bandwidth:            8\r\n Unable to allocate memory\r\n' >"$work/expected"

failed=0
if ! cmp -s "$work/expected" "$work/out"; then
    echo "unexpected output; expected:"
    od -c "$work/expected"
    echo "got:"
    od -c "$work/out"
    failed=1
fi
if [ -s "$work/err" ]; then
    echo "unexpected standard error:"
    cat "$work/err"
    failed=1
fi
if [ "$status" -ne 1 ]; then
    echo "exit status $status, expected 1"
    failed=1
fi
exit "$failed"
