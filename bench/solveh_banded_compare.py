#!/usr/bin/env python3
"""Times bandsolve.solveh_banded beside scipy.linalg.solveh_banded on the
benchmark problem (n = 2,000,000, kd = 8 by default), float64 and float32.

Both get the same arrays, in the same run, alternating call by call; each
solution is checked (scaled residual) before its time counts.  Two ways of
calling are timed:
  copy      solveh_banded(ab, b): the C-ordered ab is copied into the
            Fortran order the solver works in (SciPy's f2py wrapper and our
            layer both copy), b is copied;
  in place  Fortran-ordered ab and b of the working type with
            overwrite_ab=True, overwrite_b=True: nothing is copied but a
            fresh copy of the inputs, made outside the timed region.
Prints the median and min-max over the runs and the ratio of medians
(ours / SciPy's).

usage: PYTHONPATH=<build>/python python3 bench/solveh_banded_compare.py
           [--n N] [--kd KD] [--runs R] [--types float64,float32]
"""

import argparse
import statistics
import time

import numpy as np
import scipy
import scipy.linalg

import bandsolve


def problem(n, kd, dtype):
    """Upper form of a diagonally dominant SPD band matrix, and b = A * 1."""
    rng = np.random.default_rng(2026)
    ab = np.empty((kd + 1, n), dtype=np.float64)
    ab[:kd] = rng.uniform(-1, 1, (kd, n))
    for k in range(kd):
        ab[kd - 1 - k, : k + 1] = 0  # cells above the matrix
    ab[kd] = 1.0 + 2.0 * kd
    ab = ab.astype(dtype)
    ones = np.ones(n)
    b = band_product(ab, ones).astype(dtype)
    return ab, b


def band_product(ab, x):
    kd = ab.shape[0] - 1
    y = ab[kd].astype(np.float64) * x
    for k in range(1, kd + 1):
        d = ab[kd - k, k:].astype(np.float64)
        y[:-k] += d * x[k:]
        y[k:] += d * x[:-k]
    return y


def scaled_residual(ab, x, b):
    r = band_product(ab, x.astype(np.float64)) - b.astype(np.float64)
    norm = np.abs(ab.astype(np.float64)).sum(axis=0).max() * 2
    return np.abs(r).max() / (norm * np.abs(x).max() + np.abs(b).max())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=2_000_000)
    parser.add_argument("--kd", type=int, default=8)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--types", default="float64,float32")
    args = parser.parse_args()

    print(
        f"n {args.n}, kd {args.kd}, runs {args.runs}; numpy {np.__version__}, "
        f"scipy {scipy.__version__}, team size {bandsolve.get_team_size()}"
    )
    print(f"{'type':8} {'call':9} {'solver':10} {'median ms':>10} {'min-max ms':>16} {'ours/scipy':>11}")
    for name in args.types.split(","):
        dtype = np.dtype(name)
        ab, b = problem(args.n, args.kd, dtype)
        tol = 50 * (args.kd + 2) * np.finfo(dtype).eps
        solvers = [("scipy", scipy.linalg.solveh_banded), ("bandsolve", bandsolve.solveh_banded)]
        for call in ("copy", "in place"):
            times = {s: [] for s, _ in solvers}
            for _ in range(args.runs):
                for label, solve in solvers:
                    if call == "copy":
                        a_in, b_in, kw = ab, b, {}
                    else:
                        a_in, b_in = np.asfortranarray(ab.copy()), b.copy()
                        kw = {"overwrite_ab": True, "overwrite_b": True}
                    t0 = time.perf_counter()
                    x = solve(a_in, b_in, **kw)
                    t1 = time.perf_counter()
                    res = scaled_residual(ab, x, b)
                    if not res < tol:
                        raise SystemExit(f"{label} {name} {call}: residual {res:.3g} above {tol:.3g}")
                    times[label].append((t1 - t0) * 1e3)
            med = {s: statistics.median(t) for s, t in times.items()}
            for label, t in times.items():
                ratio = f"{med['bandsolve'] / med['scipy']:.2f}" if label == "bandsolve" else ""
                print(
                    f"{name:8} {call:9} {label:10} {med[label]:10.1f} "
                    f"{min(t):7.1f} - {max(t):7.1f} {ratio:>11}"
                )


if __name__ == "__main__":
    main()
