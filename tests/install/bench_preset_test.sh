#!/usr/bin/env bash
# The README's benchmark command on a machine without the test packages:
# configures the `bench` preset into a temporary directory with GoogleTest,
# LAPACK, Python and pybind11 made unfindable, builds the library and
# bandbench, runs it through the preset's build target as
# `cmake --workflow --preset bench` does, and checks that the report names
# the problem and times team size 1.
#
# usage: bench_preset_test.sh SOURCE_DIR CMAKE CC CXX GENERATOR [MAKE_PROGRAM]
# Exits 0 when everything passed, 1 on a failure.
set -euo pipefail

if (($# < 5)); then
    echo "usage: bench_preset_test.sh SOURCE_DIR CMAKE CC CXX GENERATOR [MAKE_PROGRAM]" >&2
    exit 2
fi
source_dir=$1 cmake=$2 cc=$3 cxx=$4 generator=$5 make_program=${6:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

configure=(--preset bench -B "$work/build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx"
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_LAPACK=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON)
configure+=(-G "$generator")
[[ -n $make_program ]] && configure+=(-DCMAKE_MAKE_PROGRAM="$make_program")

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

(cd "$source_dir" && "$cmake" "${configure[@]}") >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; fail "the bench preset does not configure without the test packages"; }
"$cmake" --build "$work/build" --target run_bench >"$work/run.log" 2>&1 ||
    { cat "$work/run.log" >&2; fail "the bench preset's build (library, bandbench and its run) failed"; }
tr -d '\r' <"$work/run.log" | grep -q '^ number of equations: *2000000$' ||
    { cat "$work/run.log" >&2; fail "bandbench did not report the problem size"; }
tr -d '\r' <"$work/run.log" | grep -q '^ Processor:  1$' ||
    { cat "$work/run.log" >&2; fail "bandbench did not time team size 1"; }
echo "bench preset: configured without GoogleTest, LAPACK or Python, built and ran bandbench"
