#!/usr/bin/env bash
# bandbench run to completion under Valgrind's memcheck: no memory error, no
# heap block left at exit (definite, indirect, possible or still reachable),
# and no file descriptor of its own left open.  Exits 77 (skipped) when
# Valgrind is not installed.
set -uo pipefail
bench=$1
valgrind=$(command -v valgrind) || { echo "valgrind not found: skipped"; exit 77; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT

"$valgrind" --tool=memcheck --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
    --track-fds=yes --error-exitcode=99 --log-file="$log" "$bench"
status=$?
cat "$log"
if [ "$status" -ne 0 ]; then
    echo "FAIL: bandbench under memcheck exited with $status (99: memory errors or leaks)"
    exit 1
fi
grep -q "ERROR SUMMARY: 0 errors" "$log" || { echo "FAIL: memcheck reported errors"; exit 1; }
# Each open descriptor is listed with where it was opened on the next line;
# the ones the test runner handed down say "<inherited from parent>".
if ! awk '/Open (file descriptor|AF_[A-Z0-9]+ socket)/ { pending = $0; next }
          pending != "" { if ($0 !~ /inherited from parent/) { print "FAIL: left open:", pending; bad = 1 }
                          pending = "" }
          END { exit bad }' "$log"; then
    exit 1
fi
echo "bandbench under memcheck: no error, no leak, no descriptor left open"
