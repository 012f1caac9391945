"""The Python module against scipy.linalg: solutions and factors of every
dtype in both storage forms (to rounding, and by the residual), the pair
cholesky_banded / cho_solve_banded bit for bit equal to solveh_banded, each
library's factor solved by the other's cho_solve_banded, SciPy's dtype
conversions, shapes and errors, the overwrite flags, non-contiguous inputs,
and bit-identical results across team sizes."""

import os
import subprocess
import sys

import numpy as np
import pytest
import scipy.linalg as sl
from numpy.linalg import LinAlgError

import bandsolve

DTYPES = [np.float32, np.float64, np.complex64, np.complex128]
# (n, kd): kd = 0, the tridiagonal case SciPy sends to ?ptsv, kd >= n.
SHAPES = [(1, 0), (7, 0), (50, 1), (60, 3), (9, 12), (300, 8)]


def eps(dtype):
    return np.finfo(dtype).eps


def band_matrix(n, kd, dtype, seed, hermitian=True):
    """A diagonally dominant (so positive-definite) band matrix: its
    diagonals (``diagonals[k]``: a[i, i + k]) and its upper and lower forms.
    Complex: Hermitian (with an imaginary part on the stored diagonal that a
    Hermitian solver must ignore) or complex symmetric."""
    rng = np.random.default_rng(seed)
    complex_ = np.issubdtype(dtype, np.complexfloating)
    diagonals = [None]
    row_sums = np.zeros(n)
    for k in range(1, min(kd, n - 1) + 1):
        d = rng.uniform(-1, 1, n - k)
        if complex_:
            d = d + 1j * rng.uniform(-1, 1, n - k)
        d = d.astype(dtype)
        diagonals.append(d)
        row_sums[:-k] += np.abs(d)
        row_sums[k:] += np.abs(d)
    diagonals[0] = (1.0 + 1.5 * row_sums).astype(dtype)
    upper = np.zeros((kd + 1, n), dtype=dtype)
    lower = np.zeros((kd + 1, n), dtype=dtype)
    for k, d in enumerate(diagonals):
        upper[kd - k, k:] = d
        lower[k, : n - k] = d.conj() if hermitian else d
    if complex_ and hermitian:
        noise = (1j * rng.uniform(-1, 1, n)).astype(dtype)
        upper[kd] += noise
        lower[0] += noise
    return (diagonals, hermitian), upper, lower


def band_product(a, x):
    """a x in extended precision (complex128), for the residual."""
    diagonals, hermitian = a
    x = x.astype(np.complex128)
    y = diagonals[0].astype(np.complex128)[:, None] * x
    for k, d in enumerate(diagonals[1:], start=1):
        d = d.astype(np.complex128)[:, None]
        y[:-k] += d * x[k:]
        y[k:] += (d.conj() if hermitian else d) * x[:-k]
    return y


def row_norm(a):
    diagonals, _ = a
    n = diagonals[0].shape[0]
    s = np.abs(diagonals[0]).astype(np.float64)
    for k, d in enumerate(diagonals[1:], start=1):
        s[:-k] += np.abs(d)
        s[k:] += np.abs(d)
    return s.max(initial=0) if n else 0.0


def rhs(n, shape, dtype, seed):
    rng = np.random.default_rng(seed + 1000)
    b = rng.uniform(-1, 1, (n,) + shape)
    if np.issubdtype(dtype, np.complexfloating):
        b = b + 1j * rng.uniform(-1, 1, b.shape)
    return b.astype(dtype)


def close(x, y, kd, dtype):
    """x agrees with y to rounding (a bound in units of eps, kd)."""
    scale = max(np.abs(y).max(initial=0), 1)
    return np.abs(x - y).max(initial=0) <= 50 * (kd + 2) * eps(dtype) * scale


def residual_ok(a, x, b, kd, dtype):
    x2 = x.reshape(x.shape[0], -1)
    b2 = b.reshape(b.shape[0], -1).astype(np.complex128)
    r = np.abs(band_product(a, x2) - b2).max(initial=0)
    bound = row_norm(a) * np.abs(x2).max(initial=0) + np.abs(b2).max(initial=0)
    return r <= 10 * (kd + 2) * eps(dtype) * bound


def same_bits(x, y):
    return x.dtype == y.dtype and x.shape == y.shape and x.tobytes() == y.tobytes()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("lower", [False, True])
@pytest.mark.parametrize("n,kd", SHAPES)
@pytest.mark.parametrize("nrhs", [(), (3,)])
def test_agrees_with_scipy(dtype, lower, n, kd, nrhs):
    seed = 7 * n + kd
    a, upper_form, lower_form = band_matrix(n, kd, dtype, seed)
    ab = lower_form if lower else upper_form
    b = rhs(n, nrhs, dtype, seed)

    x = bandsolve.solveh_banded(ab, b, lower=lower)
    ref = sl.solveh_banded(ab, b, lower=lower)
    assert x.dtype == ref.dtype and x.shape == ref.shape == b.shape
    assert close(x, ref, kd, dtype)
    assert residual_ok(a, x, b, kd, dtype)

    c = bandsolve.cholesky_banded(ab, lower=lower)
    c_ref = sl.cholesky_banded(ab, lower=lower)
    assert c.dtype == c_ref.dtype and c.shape == c_ref.shape
    assert close(c, c_ref, kd, dtype)
    # The pair gives solveh_banded's bits; each library solves with the
    # other's factor.
    assert same_bits(bandsolve.cho_solve_banded((c, lower), b), x)
    assert close(bandsolve.cho_solve_banded((c_ref, lower), b), ref, kd, dtype)
    assert close(sl.cho_solve_banded((c, lower), b), ref, kd, dtype)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("lower", [False, True])
@pytest.mark.parametrize("n,kd", SHAPES + [(2000, 17)])
def test_block_tree_solves_symmetric_systems(dtype, lower, n, kd):
    seed = 3 * n + kd
    a, upper_form, lower_form = band_matrix(n, kd, dtype, seed, hermitian=False)
    b = rhs(n, (2,), dtype, seed)
    x = bandsolve.solve_symmetric_banded(lower_form if lower else upper_form, b, lower=lower)
    assert x.dtype == np.dtype(dtype) and x.shape == b.shape
    assert residual_ok(a, x, b, kd, dtype)
    if not np.issubdtype(dtype, np.complexfloating):
        assert close(x, sl.solveh_banded(upper_form, b), kd, dtype)
    elif n > 1 and kd > 0:
        # Complex symmetric, not Hermitian: the Hermitian reading of the same
        # storage is another matrix with another solution.
        assert not close(x, sl.solveh_banded(upper_form, b), kd, dtype)


CONVERSIONS = [
    (np.int64, np.int64),
    (np.int8, np.int8),
    (np.float32, np.bool_),
    (np.float16, np.float16),
    (np.float16, np.float64),
    (np.float32, np.complex64),
    (np.float64, np.complex64),
    (np.longdouble, np.float64),
    (np.float32, np.float32),
]


@pytest.mark.parametrize("ab_type,b_type", CONVERSIONS)
def test_dtype_conversions_as_scipy(ab_type, b_type):
    a, upper_form, _ = band_matrix(20, 2, np.float64, 5)
    ab = (upper_form * 4).astype(ab_type)
    b = np.arange(1, 21).astype(b_type)
    x, ref = bandsolve.solveh_banded(ab, b), sl.solveh_banded(ab, b)
    assert x.dtype == ref.dtype
    assert close(x, ref, 2, ref.dtype)
    c, c_ref = bandsolve.cholesky_banded(ab), sl.cholesky_banded(ab)
    assert c.dtype == c_ref.dtype and close(c, c_ref, 2, c_ref.dtype)
    y, y_ref = bandsolve.cho_solve_banded((c, False), b), sl.cho_solve_banded((c_ref, False), b)
    # The factor's precision bounds the agreement.
    assert y.dtype == y_ref.dtype and close(y, y_ref, 2, c_ref.dtype)
    # Nested lists convert as numpy.asarray converts them.
    assert close(bandsolve.solveh_banded(ab.tolist(), b.tolist()), ref, 2, ref.dtype)


def raises_as_scipy(ours, theirs):
    with pytest.raises(Exception) as expected:
        theirs()
    with pytest.raises(expected.type) as got:
        ours()
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("kd", [1, 3])
@pytest.mark.parametrize("bad_row", [1, 5, 20])
@pytest.mark.parametrize("lower", [False, True])
def test_errors_as_scipy(kd, bad_row, lower):
    a, upper_form, lower_form = band_matrix(20, kd, np.float64, bad_row)
    ab = (lower_form if lower else upper_form).copy()
    ab[0 if lower else kd, bad_row - 1] = -1.0
    b = np.ones(20)
    raises_as_scipy(
        lambda: bandsolve.solveh_banded(ab, b, lower=lower),
        lambda: sl.solveh_banded(ab, b, lower=lower),
    )
    raises_as_scipy(
        lambda: bandsolve.cholesky_banded(ab, lower=lower),
        lambda: sl.cholesky_banded(ab, lower=lower),
    )
    with pytest.raises(LinAlgError):
        bandsolve.solve_symmetric_banded(ab, b, lower=lower)

    good = lower_form if lower else upper_form
    nan = good.copy()
    nan[0, -1] = np.nan
    inf_b = b.copy()
    inf_b[3] = np.inf
    for f in ("solveh_banded", "solve_symmetric_banded"):
        ours = getattr(bandsolve, f)
        theirs = sl.solveh_banded
        raises_as_scipy(lambda: ours(good, np.ones(19)), lambda: theirs(good, np.ones(19)))
        raises_as_scipy(lambda: ours(nan, b), lambda: theirs(nan, b))
        raises_as_scipy(lambda: ours(good, inf_b), lambda: theirs(good, inf_b))
        raises_as_scipy(lambda: ours(good.astype(object), b), lambda: theirs(good.astype(object), b))
        raises_as_scipy(lambda: ours(np.ma.array(good), b), lambda: theirs(np.ma.array(good), b))
        with pytest.raises(ValueError):
            ours(good[np.newaxis], b)
        # Without the check an infinity goes through, as in SciPy.
        assert not np.isfinite(ours(good, inf_b, lower=lower, check_finite=False)).all()
    raises_as_scipy(lambda: bandsolve.cholesky_banded(nan), lambda: sl.cholesky_banded(nan))
    c = sl.cholesky_banded(upper_form)
    raises_as_scipy(
        lambda: bandsolve.cho_solve_banded((c, False), np.ones(19)),
        lambda: sl.cho_solve_banded((c, False), np.ones(19)),
    )
    raises_as_scipy(
        lambda: bandsolve.cho_solve_banded((c, False), inf_b),
        lambda: sl.cho_solve_banded((c, False), inf_b),
    )


def test_empty_and_degenerate_shapes_as_scipy():
    for ab, b in ((np.ones((3, 0)), np.ones(0)), (np.ones((2, 4)) * [[0], [4]], np.ones((4, 0)))):
        x, ref = bandsolve.solveh_banded(ab, b), sl.solveh_banded(ab, b)
        assert x.shape == ref.shape and x.dtype == ref.dtype
    assert bandsolve.cholesky_banded(np.ones((3, 0))).shape == (3, 0)
    # Right-hand sides of more dimensions: the trailing ones index columns.
    a, upper_form, _ = band_matrix(12, 2, np.float64, 2)
    b = rhs(12, (2, 3), np.float64, 2)
    assert close(bandsolve.solveh_banded(upper_form, b), sl.solveh_banded(upper_form, b), 2, np.float64)


@pytest.mark.parametrize("dtype", [np.float64, np.complex64])
@pytest.mark.parametrize(
    "f", ["solveh_banded", "cholesky_banded", "cho_solve_banded", "solve_symmetric_banded"]
)
def test_inputs_written_only_when_the_flag_allows(dtype, f):
    a, upper_form, lower_form = band_matrix(40, 3, dtype, 1, hermitian=f != "solve_symmetric_banded")
    lower = f == "solve_symmetric_banded"  # used in place only in the lower form
    ab0 = np.asfortranarray(lower_form if lower else upper_form)
    b0 = rhs(40, (2,), dtype, 1).copy(order="F")
    c0 = sl.cholesky_banded(ab0, lower=lower)
    call = {
        "solveh_banded": lambda ab, b, o: bandsolve.solveh_banded(
            ab, b, overwrite_ab=o, overwrite_b=o, lower=lower
        ),
        "cholesky_banded": lambda ab, b, o: bandsolve.cholesky_banded(
            ab, overwrite_ab=o, lower=lower
        ),
        "cho_solve_banded": lambda ab, b, o: bandsolve.cho_solve_banded(
            (c0, lower), b, overwrite_b=o
        ),
        "solve_symmetric_banded": lambda ab, b, o: bandsolve.solve_symmetric_banded(
            ab, b, overwrite_ab=o, overwrite_b=o, lower=lower
        ),
    }[f]
    expected = call(ab0.copy(order="F"), b0.copy(order="F"), False)
    # No flag, a C-ordered input, or one of a type that must be converted:
    # untouched.
    for ab, b, o in (
        (ab0.copy(order="F"), b0.copy(order="F"), False),
        (ab0.copy(order="C"), b0.copy(order="C"), True),
        (ab0.astype(np.clongdouble), b0.astype(np.clongdouble), True),
    ):
        ab_before, b_before, c_before = ab.copy(), b.copy(), c0.copy()
        call(ab, b, o)
        assert same_bits(ab, ab_before) and same_bits(b, b_before) and same_bits(c0, c_before)
    ro_ab, ro_b = ab0.copy(order="F"), b0.copy(order="F")
    ro_ab.flags.writeable = ro_b.flags.writeable = False
    assert same_bits(call(ro_ab, ro_b, True), expected)
    assert same_bits(ro_ab, ab0) and same_bits(ro_b, b0)
    # Allowed and possible: done in place, with the same bits.
    ab, b = ab0.copy(order="F"), b0.copy(order="F")
    x = call(ab, b, True)
    assert same_bits(x, expected)
    assert np.shares_memory(x, ab if f == "cholesky_banded" else b)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "f", ["solveh_banded", "cholesky_banded", "cho_solve_banded", "solve_symmetric_banded"]
)
def test_non_contiguous_inputs_give_the_same_bits(dtype, f):
    hermitian = f != "solve_symmetric_banded"
    a, upper_form, _ = band_matrix(70, 4, dtype, 4, hermitian=hermitian)
    b = rhs(70, (3,), dtype, 4)
    c = bandsolve.cholesky_banded(upper_form)
    call = {
        "solveh_banded": lambda ab, b: bandsolve.solveh_banded(ab, b),
        "cholesky_banded": lambda ab, b: bandsolve.cholesky_banded(ab),
        "cho_solve_banded": lambda ab, b: bandsolve.cho_solve_banded((ab, False), b),
        "solve_symmetric_banded": lambda ab, b: bandsolve.solve_symmetric_banded(ab, b),
    }[f]
    first = upper_form if f != "cho_solve_banded" else c
    expected = call(np.asfortranarray(first), np.asfortranarray(b))
    wide = np.zeros((first.shape[0] * 2, first.shape[1] * 3), dtype=dtype)
    wide[::2, ::3] = first
    tall = np.zeros((b.shape[0] * 2, b.shape[1] * 2), dtype=dtype)
    tall[1::2, ::2] = b
    for ab_view, b_view in (
        (np.ascontiguousarray(first), np.ascontiguousarray(b)),
        (wide[::2, ::3], tall[1::2, ::2]),
        (np.asfortranarray(first)[:, ::1], b[:, ::-1][:, ::-1]),
    ):
        assert same_bits(call(ab_view, b_view), expected)


@pytest.mark.parametrize("dtype", DTYPES)
def test_same_bits_for_every_team_size(dtype):
    a, upper_form, lower_form = band_matrix(3000, 8, dtype, 9, hermitian=False)
    b = rhs(3000, (2,), dtype, 9)
    results = []
    for p in [1, 2, 3, 0]:
        with bandsolve.team_size(p):
            results.append(
                (
                    bandsolve.solve_symmetric_banded(upper_form, b),
                    bandsolve.solve_symmetric_banded(lower_form, b, lower=True),
                    bandsolve.solveh_banded(lower_form, b, lower=True),
                )
            )
    for r in results[1:]:
        assert all(same_bits(x, y) for x, y in zip(r, results[0]))
    assert same_bits(results[0][0], results[0][1])


def test_block_parameter_set_before_the_first_solve_holds():
    # In a fresh process: this one has solved already, which fixed it.
    script = """
import numpy as np, bandsolve
assert bandsolve.get_block_parameter() == 0
assert bandsolve.set_block_parameter(16)
assert not bandsolve.set_block_parameter(24)
ab = np.array([[0., -1., -1., -1.], [4., 4., 4., 4.]])
bandsolve.solve_symmetric_banded(ab.astype(np.complex128), np.ones(4))
assert bandsolve.get_block_parameter() == 16
try:
    bandsolve.set_block_parameter(0)
    raise SystemExit("p1 = 0 was accepted")
except ValueError:
    pass
"""
    subprocess.run([sys.executable, "-c", script], check=True, env=os.environ.copy())


def test_team_size_context_restores_the_previous_size():
    bandsolve.set_team_size(1)
    assert bandsolve.get_team_size() == 1
    processors = bandsolve.count_processors()
    with bandsolve.team_size(64) as inside:
        assert inside == bandsolve.get_team_size() == min(32, processors)
    assert bandsolve.get_team_size() == 1
    with pytest.raises(RuntimeError):
        with bandsolve.team_size(0):
            assert bandsolve.get_team_size() == min(32, processors)
            raise RuntimeError
    assert bandsolve.get_team_size() == 1
    with pytest.raises(ValueError):
        bandsolve.set_team_size(-1)
    assert bandsolve.get_team_size() == 1
    bandsolve.set_team_size(0)
