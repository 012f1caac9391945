#!/usr/bin/env bash
# Builds and installs the library from the source tree, once static and once
# shared, each into a prefix of its own in a temporary directory, and uses
# each installation from outside the project as a user would:
#   - the CMake package (find_package(bandsolve) with CMAKE_PREFIX_PATH): the
#     C consumer in a C-only project, then the C and C++ consumers in a C and
#     C++ project;
#   - pkg-config (PKG_CONFIG_PATH), with --static for the static library: the
#     C and C++ consumers compiled and linked by plain compiler commands; for
#     the static library the C consumer also with a plain --libs, which must
#     bring the C++ runtime by itself, and for the shared library a plain
#     --libs must name nothing but the library.
# Each consumer runs and checks its solutions.  The shared library must
# export exactly the entries of <bandsolve.h>; programs linked to it find it
# through their RUNPATH (CMake's build tree RUNPATH, or -Wl,-rpath on the
# pkg-config command line) and run with LD_LIBRARY_PATH unset.  The installed
# package and pkg-config files must not refer to the source or build tree.
#
# usage: install_test.sh --source DIR --cmake CMAKE --cc CC --cxx CXX
#                        [--generator GEN] [--make-program PROG]
#                        [--pkg-config PKG_CONFIG] [--python PYTHON]
# With --python, the static build also builds and installs the Python module
# for that interpreter, and a script run outside the source and build trees
# imports it from the prefix and solves.
# Exits 0 when everything passed, 1 on a failure, 77 (skip) when pkg-config
# is missing after everything else passed.
set -euo pipefail

source_dir="" cmake="" cc="" cxx="" generator="" make_program="" pkg_config="" python=""
while (($#)); do
    case $1 in
    --source) source_dir=$2 ;;
    --cmake) cmake=$2 ;;
    --cc) cc=$2 ;;
    --cxx) cxx=$2 ;;
    --generator) generator=$2 ;;
    --make-program) make_program=$2 ;;
    --pkg-config) pkg_config=$2 ;;
    --python) python=$2 ;;
    *)
        echo "install_test.sh: unknown argument $1" >&2
        exit 2
        ;;
    esac
    shift 2
done
if [[ -z $source_dir || -z $cmake || -z $cc || -z $cxx ]]; then
    echo "usage: install_test.sh --source DIR --cmake CMAKE --cc CC --cxx CXX [--generator GEN]" \
        "[--make-program PROG] [--pkg-config PKG_CONFIG]" >&2
    exit 2
fi
if [[ -z $pkg_config ]]; then
    pkg_config=$(command -v pkg-config || command -v pkgconf || true)
fi
consumer_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/consumer" && pwd)

# The names <bandsolve.h> declares, and nothing else, are the shared
# library's dynamic symbols.
expected_symbols=(
    count_processors set_team_size get_team_size reset_team_size set_block_parameter get_block_parameter
    band_solve_s band_solve_d band_solve_c band_solve_z
    band_factor_s band_factor_d band_factor_c band_factor_z
    band_solve_with_factor_s band_solve_with_factor_d band_solve_with_factor_c band_solve_with_factor_z
    band_factor_solve_s band_factor_solve_d band_factor_solve_c band_factor_solve_z
    band_pbsv_s band_pbsv_d band_pbsv_c band_pbsv_z
    band_pbsv_s_ band_pbsv_d_ band_pbsv_c_ band_pbsv_z_
    band_pbtrf_s band_pbtrf_d band_pbtrf_c band_pbtrf_z
    band_pbtrs_s band_pbtrs_d band_pbtrs_c band_pbtrs_z
    band_pbtrf_s_ band_pbtrf_d_ band_pbtrf_c_ band_pbtrf_z_
    band_pbtrs_s_ band_pbtrs_d_ band_pbtrs_c_ band_pbtrs_z_
)

work=$(mktemp -d "${TMPDIR:-/tmp}/bandsolve-install-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Nothing from the caller's environment may steer what is found or loaded.
unset CMAKE_PREFIX_PATH PKG_CONFIG_PATH PKG_CONFIG_LIBDIR LD_LIBRARY_PATH CMAKE_INSTALL_PREFIX
unset CMAKE_GENERATOR CMAKE_TOOLCHAIN_FILE CFLAGS CXXFLAGS LDFLAGS CPATH C_INCLUDE_PATH
unset CPLUS_INCLUDE_PATH LIBRARY_PATH

generator_args=()
[[ -n $generator ]] && generator_args+=(-G "$generator")
[[ -n $make_program ]] && generator_args+=("-DCMAKE_MAKE_PROGRAM=$make_program")
compilers=("-DCMAKE_C_COMPILER=$cc" "-DCMAKE_CXX_COMPILER=$cxx")

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
step() { echo "== $*"; }

# run <what> <program>: runs a consumer with LD_LIBRARY_PATH unset.
run() {
    local what=$1 program=$2
    if env -u LD_LIBRARY_PATH "$program"; then
        echo "   $what passed"
    else
        fail "$what exited with status $?"
    fi
}

# check_linkage <kind> <program>: a program linked to the shared library
# needs its soname; one linked to the static library does not need any
# libbandsolve.
check_linkage() {
    local kind=$1 program=$2 needed
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    if [[ $kind == shared ]]; then
        grep -qx "$soname" <<<"$needed" || fail "$program does not need $soname; needs: $(tr '\n' ' ' <<<"$needed")"
    else
        ! grep -q bandsolve <<<"$needed" || fail "$program, linked statically, needs: $(tr '\n' ' ' <<<"$needed")"
    fi
}

# Lines in the files under <dir> that name <path>.
refers_to() { grep -rnF -- "$2" "$1" 2>/dev/null || true; }

for kind in static shared; do
    build=$work/$kind/build
    prefix=$work/$kind/prefix
    shared=OFF
    [[ $kind == shared ]] && shared=ON
    python_args=(-DBANDSOLVE_BUILD_PYTHON=OFF)
    [[ $kind == static && -n $python ]] && python_args=(-DBANDSOLVE_BUILD_PYTHON=ON "-DPython3_EXECUTABLE=$python")

    step "$kind: configure, build and install the library"
    "$cmake" -S "$source_dir" -B "$build" "${generator_args[@]}" "${compilers[@]}" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=$shared \
        -DBANDSOLVE_BUILD_TESTS=OFF -DBANDSOLVE_BUILD_BENCHMARKS=OFF -DBANDSOLVE_BUILD_EXAMPLES=OFF \
        -DBANDSOLVE_BUILD_FUZZERS=OFF "${python_args[@]}" >"$work/$kind-configure.log" ||
        {
            cat "$work/$kind-configure.log"
            fail "$kind: configuring the library failed"
            continue
        }
    "$cmake" --build "$build" -j2 >"$work/$kind-build.log" 2>&1 ||
        {
            cat "$work/$kind-build.log"
            fail "$kind: building the library failed"
            continue
        }
    # The prefix is given only at install time: what is installed must not
    # depend on the prefix the tree was configured with.
    "$cmake" --install "$build" --prefix "$prefix" || {
        fail "$kind: installing failed"
        continue
    }
    libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
    libdir=${libdir:-lib}
    configured_prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")
    pydir=$(sed -n 's/^BANDSOLVE_PYTHON_INSTALL_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
    python_files='^$'
    [[ -n $pydir ]] && python_files="^$pydir/bandsolve/(__init__\.py|_linalg\.py|_core\..*\.so)$"

    step "$kind: installed files"
    for f in include/bandsolve.h include/bandsolve.hpp "$libdir/pkgconfig/bandsolve.pc" \
        "$libdir/cmake/bandsolve/bandsolveConfig.cmake" "$libdir/cmake/bandsolve/bandsolveConfigVersion.cmake" \
        "$libdir/cmake/bandsolve/bandsolveTargets.cmake"; do
        [[ -f $prefix/$f ]] || fail "$kind: $f was not installed"
    done
    if [[ $kind == shared ]]; then
        [[ -e $prefix/$libdir/libbandsolve.so ]] || fail "shared: libbandsolve.so was not installed"
        [[ ! -e $prefix/$libdir/libbandsolve.a ]] || fail "shared: libbandsolve.a was installed too"
    else
        [[ -f $prefix/$libdir/libbandsolve.a ]] || fail "static: libbandsolve.a was not installed"
        ! compgen -G "$prefix/$libdir/libbandsolve.so*" >/dev/null || fail "static: a libbandsolve.so was installed"
    fi
    # Nothing else: no programs, no helper libraries.
    unexpected=$(find "$prefix" \( -type f -o -type l \) -printf '%P\n' | grep -Ev "$python_files" |
        grep -Ev "^(include/bandsolve\.(h|hpp)|$libdir/libbandsolve\.(a|so(\.[0-9]+)*)|$libdir/pkgconfig/bandsolve\.pc|$libdir/cmake/bandsolve/bandsolve(Config|ConfigVersion|Targets(-[a-z]+)?)\.cmake)$" || true)
    [[ -z $unexpected ]] || fail "$kind: unexpected files installed: $(tr '\n' ' ' <<<"$unexpected")"
    for path in "$source_dir" "$build" "$configured_prefix"; do
        [[ -n $path ]] || continue
        found=$(refers_to "$prefix/$libdir/cmake" "$path"; refers_to "$prefix/$libdir/pkgconfig" "$path")
        [[ -z $found ]] || fail "$kind: installed files refer to $path:"$'\n'"$found"
    done

    if [[ $kind == shared ]]; then
        step "shared: exported symbols"
        library=$(readlink -f "$prefix/$libdir/libbandsolve.so")
        soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
        [[ -n $soname && -e $prefix/$libdir/$soname ]] || fail "shared: soname '$soname' missing or not installed"
        runpath=$(readelf -d "$library" | grep -E '\((RPATH|RUNPATH)\)' || true)
        [[ -z $runpath ]] || fail "shared: the installed library keeps a search path: $runpath"
        actual=$(nm -D --defined-only "$library" | awk '{print $NF}' | sort)
        expected=$(printf '%s\n' "${expected_symbols[@]}" | sort)
        if [[ $actual != "$expected" ]]; then
            fail "shared: the exported symbols differ from <bandsolve.h> (< missing, > extra):"
            diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' || true
        else
            echo "   ${#expected_symbols[@]} symbols, as declared"
        fi
    fi

    if [[ -n $pydir ]]; then
        step "$kind: the Python module from the prefix"
        for f in __init__.py _linalg.py; do
            [[ -f $prefix/$pydir/bandsolve/$f ]] || fail "$kind: $pydir/bandsolve/$f was not installed"
        done
        # From a directory outside both trees, with nothing but the prefix's
        # package directory on the path.
        mkdir -p "$work/python-user"
        if (cd "$work/python-user" && env -u PYTHONHOME PYTHONPATH="$prefix/$pydir" PYTHONDONTWRITEBYTECODE=1 \
            "$python" - "$prefix" <<'PY'); then
import sys
import numpy as np
import bandsolve
assert bandsolve.__file__.startswith(sys.argv[1]), bandsolve.__file__
n, kd = 1000, 3
ab = np.vstack([np.full((kd, n), -0.5), np.full((1, n), 4.0)])  # upper form
x_true = np.linspace(-1, 1, n)
a = np.diag(np.full(n, 4.0))
for k in range(1, kd + 1):
    a += np.diag(np.full(n - k, -0.5), k) + np.diag(np.full(n - k, -0.5), -k)
x = bandsolve.solveh_banded(ab, a @ x_true)
assert np.abs(x - x_true).max() < 1e-12, np.abs(x - x_true).max()
c = bandsolve.cholesky_banded(ab)
assert np.abs(bandsolve.cho_solve_banded((c, False), a @ x_true) - x_true).max() < 1e-12
with bandsolve.team_size(1):
    assert np.abs(bandsolve.solve_symmetric_banded(ab, a @ x_true) - x_true).max() < 1e-12
PY
            echo "   import and solve passed"
        else
            fail "$kind: importing the installed Python module and solving failed"
        fi
    fi

    step "$kind: CMake package, C-only project"
    consumer=$work/$kind/consumer-c
    if "$cmake" -S "$consumer_dir" -B "$consumer" "${generator_args[@]}" "${compilers[@]}" --no-warn-unused-cli \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
        >"$work/log" && "$cmake" --build "$consumer" >>"$work/log" 2>&1; then
        found=$(sed -n 's/^bandsolve_DIR:[A-Z]*=//p' "$consumer/CMakeCache.txt")
        [[ $found == "$prefix/$libdir/cmake/bandsolve" ]] || fail "$kind: found the package in '$found'"
        check_linkage "$kind" "$consumer/consumer_c"
        run "$kind: C consumer (CMake, C only)" "$consumer/consumer_c"
    else
        cat "$work/log"
        fail "$kind: building the C consumer with the CMake package failed"
    fi

    step "$kind: CMake package, C and C++ project"
    consumer=$work/$kind/consumer-cxx
    if "$cmake" -S "$consumer_dir" -B "$consumer" "${generator_args[@]}" "${compilers[@]}" --no-warn-unused-cli \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
        -DCONSUMER_CXX=ON >"$work/log" && "$cmake" --build "$consumer" -j2 >>"$work/log" 2>&1; then
        check_linkage "$kind" "$consumer/consumer_c"
        check_linkage "$kind" "$consumer/consumer_cxx"
        run "$kind: C consumer (CMake, C and C++)" "$consumer/consumer_c"
        run "$kind: C++ consumer (CMake)" "$consumer/consumer_cxx"
    else
        cat "$work/log"
        fail "$kind: building the consumers with the CMake package failed"
    fi

    if [[ -z $pkg_config ]]; then
        continue
    fi
    step "$kind: pkg-config"
    export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
    pc_args=()
    [[ $kind == static ]] && pc_args+=(--static)
    if ! flags=$("$pkg_config" "${pc_args[@]}" --cflags --libs bandsolve); then
        fail "$kind: pkg-config does not know bandsolve"
        unset PKG_CONFIG_PATH
        continue
    fi
    echo "   pkg-config ${pc_args[*]} --cflags --libs bandsolve: $flags"
    pc_libdir=$("$pkg_config" --variable=libdir bandsolve)
    [[ $(readlink -f "$pc_libdir") == $(readlink -f "$prefix/$libdir") ]] ||
        fail "$kind: pkg-config's libdir $pc_libdir is not $prefix/$libdir"
    unset PKG_CONFIG_PATH
    rpath=()
    [[ $kind == shared ]] && rpath+=("-Wl,-rpath,$pc_libdir")
    read -ra flag_words <<<"$flags"
    out=$work/$kind/pkg-config
    mkdir -p "$out"
    if "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "$consumer_dir/consumer.c" "${flag_words[@]}" \
        "${rpath[@]}" -o "$out/consumer_c"; then
        check_linkage "$kind" "$out/consumer_c"
        run "$kind: C consumer (pkg-config)" "$out/consumer_c"
    else
        fail "$kind: compiling and linking the C consumer with pkg-config's flags failed"
    fi
    if "$cxx" -std=c++20 -Wall -Wextra -Wpedantic -Werror "$consumer_dir/consumer.cpp" "${flag_words[@]}" \
        "${rpath[@]}" -o "$out/consumer_cxx"; then
        check_linkage "$kind" "$out/consumer_cxx"
        run "$kind: C++ consumer (pkg-config)" "$out/consumer_cxx"
    else
        fail "$kind: compiling and linking the C++ consumer with pkg-config's flags failed"
    fi

    # What a user who has not read about --static types.  The static
    # library is C++ code that the C driver does not link by itself, so its
    # plain --libs must bring the C++ runtime and threads; the shared library
    # brings them as its own dependencies and its plain --libs stays bare.
    export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
    plain_flags=$("$pkg_config" --cflags --libs bandsolve) || plain_flags=""
    plain_libs=$("$pkg_config" --libs bandsolve) || plain_libs=""
    unset PKG_CONFIG_PATH
    if [[ $kind == static ]]; then
        echo "   pkg-config --cflags --libs bandsolve: $plain_flags"
        read -ra flag_words <<<"$plain_flags"
        if "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "$consumer_dir/consumer.c" \
            "${flag_words[@]}" -o "$out/consumer_c_plain"; then
            check_linkage static "$out/consumer_c_plain"
            run "static: C consumer (pkg-config without --static)" "$out/consumer_c_plain"
        else
            fail "static: linking the C consumer with a plain pkg-config --libs failed"
        fi
    else
        extra=$(tr ' ' '\n' <<<"$plain_libs" | grep -v -e '^$' -e '^-L' -e '^-lbandsolve$' || true)
        [[ -z $extra ]] || fail "shared: pkg-config --libs names more than the library: $plain_libs"
    fi
done

if ((failures)); then
    echo "$failures failure(s)"
    exit 1
fi
if [[ -z $pkg_config ]]; then
    echo "pkg-config not found: the pkg-config file was not tried"
    exit 77
fi
echo "all passed"
