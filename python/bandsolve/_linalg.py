"""SciPy's Hermitian band solvers on bandsolve's entries, and what SciPy lacks.

The argument handling follows ``scipy.linalg`` 1.10 (``_basic.py`` and
``_decomp_cholesky.py``): the same validation, the same choice of element
type, the same shapes, results and errors.  What differs is underneath:
the arrays go to bandsolve's LAPACK-style entries, which release the GIL
and give the same bits for every team size.
"""

import contextlib

import numpy as np
from numpy.linalg import LinAlgError

from . import _core

__all__ = [
    "solveh_banded",
    "cholesky_banded",
    "cho_solve_banded",
    "solve_symmetric_banded",
    "set_team_size",
    "get_team_size",
    "team_size",
    "count_processors",
    "set_block_parameter",
    "get_block_parameter",
]

# SciPy's ranking of dtypes for the LAPACK prefix (scipy.linalg.blas):
# 1 float32, 2 float64, 3 complex64, 4 complex128; anything else float64.
_SCORE = {c: 1 for c in "?bBhHef"}
_SCORE.update({c: 2 for c in "iIlLqQdg"})
_SCORE.update({"F": 3, "D": 4, "G": 4})
_DTYPE = {1: np.float32, 2: np.float64, 3: np.complex64, 4: np.complex128}


def _element_type(*arrays):
    """The element type SciPy's ``get_lapack_funcs`` picks for ``arrays``."""
    scores = [_SCORE.get(a.dtype.char, 5) for a in arrays]
    best = max(scores)
    # float64 with complex64 needs complex128, as in SciPy.
    if best == 3 and 2 in scores:
        best = 4
    return np.dtype(_DTYPE.get(best, np.float64))


def _validated(a, check_finite):
    """``scipy._lib._util._asarray_validated``: an ndarray, finite if asked,
    no object, masked or sparse arrays."""
    if hasattr(a, "tocsr") and hasattr(a, "nnz"):  # scipy.sparse, without importing it
        raise ValueError(
            "Sparse matrices are not supported by this function. "
            "Perhaps one of the scipy.sparse.linalg functions would work instead."
        )
    if np.ma.isMaskedArray(a):
        raise ValueError("masked arrays are not supported")
    a = np.asarray_chkfinite(a) if check_finite else np.asarray(a)
    if a.dtype == np.dtype("O"):
        raise ValueError("object arrays are not supported")
    return a


def _datacopied(arr, original):
    """True when ``arr = asarray(original)`` shares no data with
    ``original`` (SciPy's ``_datacopied``): then it may be overwritten."""
    if arr is original:
        return False
    if not isinstance(original, np.ndarray) and hasattr(original, "__array__"):
        return False
    return arr.base is None


def _working(a, dtype, overwrite):
    """``a`` as a Fortran-ordered array of ``dtype`` that the entry may
    write: ``a`` itself when overwriting is allowed and it already is one
    (and is writeable), otherwise a copy.  An input is never written unless
    its overwrite flag allows it."""
    if (
        overwrite
        and a.dtype == dtype
        and a.flags.f_contiguous
        and a.flags.aligned
        and a.flags.writeable
    ):
        return a
    return np.array(a, dtype=dtype, order="F", copy=True)


def _band(ab, name):
    if ab.ndim != 2:
        raise ValueError(f"{name} must be a two-dimensional array of shape (kd + 1, n)")
    return ab


def _system(ab, b, check_finite, overwrite_ab, overwrite_b):
    """Validates a band array and right-hand sides as SciPy does; returns
    them as arrays, whether each may be written, and the element type."""
    a1 = _validated(ab, check_finite)
    b1 = _validated(b, check_finite)
    if a1.shape[-1] != b1.shape[0]:
        raise ValueError("shapes of ab and b are not compatible.")
    _band(a1, "ab")
    overwrite_ab = overwrite_ab or _datacopied(a1, ab)
    overwrite_b = overwrite_b or _datacopied(b1, b)
    return a1, b1, overwrite_ab, overwrite_b, _element_type(a1, b1)


def _solve_columns(run, b1, dtype, overwrite_b):
    """Runs ``run(columns)`` on the right-hand sides as the entries need
    them; returns the solutions with b's shape and what ``run`` returned
    (the entry's INFO)."""
    if b1.ndim <= 2:
        x = _working(b1, dtype, overwrite_b)
        columns = x.reshape(x.shape[0], 1, order="F") if x.ndim == 1 else x
        return x, run(columns)
    columns = np.array(b1.reshape(b1.shape[0], -1), dtype=dtype, order="F")
    info = run(columns)
    return columns.reshape(b1.shape), info


def solveh_banded(ab, b, overwrite_ab=False, overwrite_b=False, lower=False, check_finite=True):
    """
    Solve the equation ``a x = b`` for a Hermitian positive-definite banded
    matrix ``a``, as ``scipy.linalg.solveh_banded``.

    The matrix ``a`` is stored in `ab` either in lower diagonal or upper
    diagonal ordered form::

        ab[u + i - j, j] == a[i,j]        (if upper form; i <= j)
        ab[    i - j, j] == a[i,j]        (if lower form; i >= j)

    Parameters
    ----------
    ab : (u + 1, M) array_like
        Banded matrix.
    b : (M,) or (M, K) array_like
        Right-hand side.
    overwrite_ab : bool, optional
        Discard data in `ab` (may enhance performance).  It is overwritten
        (by the Cholesky factor) only when it is already a writeable,
        Fortran-ordered array of the working element type.
    overwrite_b : bool, optional
        Discard data in `b` (may enhance performance); it then may hold the
        solution.
    lower : bool, optional
        Is the matrix in the lower form.  (Default is upper form.)
    check_finite : bool, optional
        Whether to check that the input matrices contain only finite
        numbers.

    Returns
    -------
    x : (M,) or (M, K) ndarray
        The solution to the system ``a x = b``.  Shape of return matches
        shape of `b`; element type float32, float64, complex64 or
        complex128, chosen from both inputs as SciPy chooses it.

    Raises
    ------
    numpy.linalg.LinAlgError
        If the leading minor of order ``i`` is not positive definite
        (message ``"ith leading minor not positive definite"``).
    ValueError
        If the shapes do not agree, or `check_finite` is true and an input
        holds an infinity or NaN.

    Notes
    -----
    Runs ``band_pbsv_?`` (LAPACK's ``?pbsv`` contract) on the calling
    thread with the GIL released.  The complex element types are
    Hermitian: only the real part of the diagonal is read.  The result
    agrees with SciPy's to rounding and is the same, bit for bit, for every
    team size, layout and leading dimension.

    Examples
    --------
    >>> import numpy as np
    >>> import bandsolve
    >>> ab = np.array([[0., -1., -1., -1.], [4., 4., 4., 4.]])
    >>> bandsolve.solveh_banded(ab, np.ones(4))
    array([0.36363636, 0.45454545, 0.45454545, 0.36363636])
    """
    a1, b1, overwrite_ab, overwrite_b, dtype = _system(
        ab, b, check_finite, overwrite_ab, overwrite_b
    )
    a2 = _working(a1, dtype, overwrite_ab)
    x, info = _solve_columns(lambda c: _core.pbsv(a2, c, bool(lower)), b1, dtype, overwrite_b)
    if info > 0:
        raise LinAlgError("%dth leading minor not positive definite" % info)
    if info < 0:
        raise ValueError("illegal value in %dth argument of internal pbsv" % -info)
    return x


def cholesky_banded(ab, overwrite_ab=False, lower=False, check_finite=True):
    """
    Cholesky decompose a banded Hermitian positive-definite matrix, as
    ``scipy.linalg.cholesky_banded``.

    The matrix a is stored in ab either in lower-diagonal or upper-
    diagonal ordered form::

        ab[u + i - j, j] == a[i,j]        (if upper form; i <= j)
        ab[    i - j, j] == a[i,j]        (if lower form; i >= j)

    Parameters
    ----------
    ab : (u + 1, M) array_like
        Banded matrix.
    overwrite_ab : bool, optional
        Discard data in `ab` (may enhance performance).  It holds the
        factor on return only when it is already a writeable,
        Fortran-ordered array of the working element type.
    lower : bool, optional
        Is the matrix in the lower form.  (Default is upper form.)
    check_finite : bool, optional
        Whether to check that the input matrix contains only finite
        numbers.

    Returns
    -------
    c : (u + 1, M) ndarray
        Cholesky factorization of a, in the same banded format as ab
        (``a = c^H c`` for the upper form, ``c c^H`` for the lower),
        Fortran-ordered.

    Raises
    ------
    numpy.linalg.LinAlgError
        If the leading minor of order ``i`` is not positive definite
        (message ``"i-th leading minor not positive definite"``).
    ValueError
        If `check_finite` is true and the input holds an infinity or NaN,
        or `ab` is not two-dimensional.

    Notes
    -----
    Runs ``band_pbtrf_?`` (LAPACK's ``?pbtrf`` contract) with the GIL
    released.  The factor has exactly the bits `solveh_banded` leaves in
    its working copy, and `cho_solve_banded` with it gives exactly
    `solveh_banded`'s solution.

    Examples
    --------
    >>> import numpy as np
    >>> import bandsolve
    >>> c = bandsolve.cholesky_banded(np.array([[0., 1.], [4., 4.]]))
    >>> c[1]
    array([2.        , 1.93649167])
    """
    ab = np.asarray_chkfinite(ab) if check_finite else np.asarray(ab)
    _band(ab, "ab")
    c = _working(ab, _element_type(ab), overwrite_ab)
    info = _core.pbtrf(c, bool(lower))
    if info > 0:
        raise LinAlgError("%d-th leading minor not positive definite" % info)
    if info < 0:
        raise ValueError("illegal value in %d-th argument of internal pbtrf" % -info)
    return c


def cho_solve_banded(cb_and_lower, b, overwrite_b=False, check_finite=True):
    """
    Solve the linear equations ``A x = b``, given the Cholesky factorization
    of the banded Hermitian ``A``, as ``scipy.linalg.cho_solve_banded``.

    Parameters
    ----------
    (cb, lower) : tuple, (ndarray, bool)
        `cb` is the Cholesky factorization of A, as given by
        `cholesky_banded` (or SciPy's).  `lower` must be the same value that
        was given to `cholesky_banded`.
    b : array_like
        Right-hand side
    overwrite_b : bool, optional
        If True, the function will overwrite the values in `b`.
    check_finite : bool, optional
        Whether to check that the input matrices contain only finite
        numbers.

    Returns
    -------
    x : array
        The solution to the system A x = b, with b's shape.

    Raises
    ------
    ValueError
        If the shapes do not agree, or `check_finite` is true and an input
        holds an infinity or NaN.

    Notes
    -----
    Runs ``band_pbtrs_?`` (LAPACK's ``?pbtrs`` contract) with the GIL
    released; `cb` is only read.  As LAPACK's, it tests no pivot: a zero
    on the factor's diagonal gives infinities or NaN.

    Examples
    --------
    >>> import numpy as np
    >>> import bandsolve
    >>> ab = np.array([[0., -1., -1., -1.], [4., 4., 4., 4.]])
    >>> c = bandsolve.cholesky_banded(ab)
    >>> bandsolve.cho_solve_banded((c, False), np.ones(4))
    array([0.36363636, 0.45454545, 0.45454545, 0.36363636])
    """
    (cb, lower) = cb_and_lower
    if check_finite:
        cb = np.asarray_chkfinite(cb)
        b = np.asarray_chkfinite(b)
    else:
        cb = np.asarray(cb)
        b = np.asarray(b)
    if cb.shape[-1] != b.shape[0]:
        raise ValueError("shapes of cb and b are not compatible.")
    _band(cb, "cb")
    dtype = _element_type(cb, b)
    # Only read: a copy only when it is not already of the needed kind.
    c2 = cb if cb.dtype == dtype and cb.flags.f_contiguous and cb.flags.aligned else None
    if c2 is None:
        c2 = np.array(cb, dtype=dtype, order="F")
    x, info = _solve_columns(lambda c: _core.pbtrs(c2, c, bool(lower)), b, dtype, overwrite_b)
    if info > 0:
        raise LinAlgError("%dth leading minor not positive definite" % info)
    if info < 0:
        raise ValueError("illegal value in %dth argument of internal pbtrs" % -info)
    return x


def _lower_band(a1, lower, dtype, overwrite):
    """Our band storage of the symmetric matrix in ``a1``: the lower form,
    Fortran-ordered with ``kd + 1`` rows.  An upper form is rearranged
    (``lower[k, j] = upper[kd - k, j + k]``) without conjugation."""
    if lower:
        return _working(a1, dtype, overwrite)
    kd1, n = a1.shape
    band = np.zeros((kd1, n), dtype=dtype, order="F")
    for k in range(kd1):
        if k < n:
            band[k, : n - k] = a1[kd1 - 1 - k, k:]
    return band


def solve_symmetric_banded(
    ab, b, overwrite_ab=False, overwrite_b=False, lower=False, check_finite=True
):
    """
    Solve ``a x = b`` for a SYMMETRIC positive-definite banded ``a`` with
    the parallel block-tree solver.  For complex dtypes ``a`` is complex
    symmetric (``a == a.T``, never conjugated), NOT Hermitian: for
    Hermitian matrices use `solveh_banded`.

    Storage as in `solveh_banded`::

        ab[u + i - j, j] == a[i,j]        (if upper form; i <= j)
        ab[    i - j, j] == a[i,j]        (if lower form; i >= j)

    The other triangle is ``a[j, i] == a[i, j]`` (no conjugate).

    Parameters
    ----------
    ab : (u + 1, M) array_like
        Banded matrix.
    b : (M,) or (M, K) array_like
        Right-hand side.
    overwrite_ab : bool, optional
        Allow `ab` to be used as the work array.  Only a writeable,
        Fortran-ordered `ab` of the working element type in the lower form
        is used in place, and it then holds factor blocks that serve no
        later solve.
    overwrite_b : bool, optional
        Allow `b` to receive the solution.
    lower : bool, optional
        Is the matrix in the lower form.  (Default is upper form.)
    check_finite : bool, optional
        Whether to check that the input matrices contain only finite
        numbers.

    Returns
    -------
    x : (M,) or (M, K) ndarray
        The solution, with b's shape; element type chosen as in
        `solveh_banded`.

    Raises
    ------
    numpy.linalg.LinAlgError
        If a pivot fails: the matrix is not positive definite in working
        precision (complex: a pivot was exactly zero).  The block tree does
        not factorise in the order of the leading minors, so unlike
        `solveh_banded` the message names no minor.
    ValueError
        If the shapes do not agree, or `check_finite` is true and an input
        holds an infinity or NaN.

    See Also
    --------
    solveh_banded : Hermitian matrices; LAPACK's contract.
    team_size : the number of threads this solver runs with.

    Notes
    -----
    Runs ``band_solve_?``: a nested-dissection Cholesky factorisation
    ``a = U^T U`` by a team of `get_team_size` threads, with the GIL
    released.  The result is the same bit for bit for every team size
    within a process; it also depends on the block size, which the first
    block-tree solve of the process fixes unless `set_block_parameter`
    fixed it first (see the library's README), so it may differ in the last
    bits from `solveh_banded` and between processes whose first solves
    differ.  It needs a work area of
    ``2 * M * u`` elements besides its copies of the inputs.

    Examples
    --------
    >>> import numpy as np
    >>> import bandsolve
    >>> ab = np.array([[0., -1., -1., -1.], [4., 4., 4., 4.]])
    >>> bandsolve.solve_symmetric_banded(ab, np.ones(4))
    array([0.36363636, 0.45454545, 0.45454545, 0.36363636])
    """
    a1, b1, overwrite_ab, overwrite_b, dtype = _system(
        ab, b, check_finite, overwrite_ab, overwrite_b
    )
    if a1.shape[0] < 1:
        raise ValueError("ab must hold at least the diagonal (one row)")
    band = _lower_band(a1, lower, dtype, overwrite_ab)
    x, info = _solve_columns(lambda c: _core.block_tree_solve(band, c), b1, dtype, overwrite_b)
    if info > 0:
        raise LinAlgError("matrix is not positive definite: a pivot failed")
    if info < 0:
        raise ValueError("illegal value in %dth argument of internal band_solve" % -info)
    return x


def set_team_size(p):
    """
    Set the number of threads of later parallel solves.

    Parameters
    ----------
    p : int
        Threads per solve; the library uses ``min(p, 32, processors)``.
        0 means the processor count.

    Raises
    ------
    ValueError
        If `p` is negative.

    See Also
    --------
    team_size : the same for a ``with`` block, restoring the previous size.
    """
    p = int(p)
    if p < 0:
        raise ValueError("team size must be >= 0, got %d" % p)
    _core.set_team_size(p)


def get_team_size():
    """
    The number of threads later parallel solves run with.

    Returns
    -------
    p : int
        The team size (the processor count, at most 32, until one is set).
    """
    return _core.get_team_size()


def set_block_parameter(p1):
    """
    Fix the block size of every later `solve_symmetric_banded` of the
    process, unless it is already fixed.

    The block tree's blocks have ``max(p1**2 // max(u, 1), u + 1)`` rows.
    Without this call the first block-tree solve of the process fixes
    `p1` (24 for real, 16 or 8 for complex systems), so a program whose
    first solves race on several threads calls this first to get the same
    bits on every run.

    Parameters
    ----------
    p1 : int
        At least 1; 24 gives the real solvers' default blocks.

    Returns
    -------
    took_effect : bool
        False when `p1` was already fixed (and stays as it was).

    Raises
    ------
    ValueError
        If `p1` is less than 1.
    """
    p1 = int(p1)
    if p1 < 1:
        raise ValueError("block parameter must be >= 1, got %d" % p1)
    return _core.set_block_parameter(p1) == 1


def get_block_parameter():
    """
    The block-size parameter the block-tree solves use, or 0 while no
    solve and no `set_block_parameter` has fixed it.
    """
    return _core.get_block_parameter()


def count_processors():
    """
    The number of processors in the process's affinity mask.

    Returns
    -------
    count : int
    """
    return _core.count_processors()


@contextlib.contextmanager
def team_size(p):
    """
    Context manager: run the solves of a ``with`` block with team size `p`,
    and restore the previous size on leaving it (also on an exception).

    Parameters
    ----------
    p : int
        As for `set_team_size`.

    Yields
    ------
    size : int
        The team size in effect inside the block (``min(p, 32,
        processors)``, or the processor count for 0).

    Examples
    --------
    >>> import bandsolve
    >>> with bandsolve.team_size(1):
    ...     bandsolve.get_team_size()
    1

    The team size is process-wide: another thread's solves inside the block
    run with it too.
    """
    previous = get_team_size()
    set_team_size(p)
    try:
        yield get_team_size()
    finally:
        _core.set_team_size(previous)
