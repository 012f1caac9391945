"""
bandsolve: solvers for symmetric (Hermitian) positive-definite band systems.

SciPy's band interface, with SciPy's signatures and behaviour, on
bandsolve's LAPACK-style entries (``band_pbsv_?``, ``band_pbtrf_?``,
``band_pbtrs_?``): switch by changing the import.

    solveh_banded           -- Hermitian PD band solve (scipy.linalg.solveh_banded)
    cholesky_banded         -- Hermitian PD band Cholesky (scipy.linalg.cholesky_banded)
    cho_solve_banded        -- solve with that factor (scipy.linalg.cho_solve_banded)

And what SciPy lacks:

    solve_symmetric_banded  -- the parallel block-tree solver; complex means
                               complex SYMMETRIC (a == a.T), not Hermitian
    set_block_parameter,
    set_team_size, get_team_size, team_size, count_processors
                            -- the number of threads per parallel solve
    set_block_parameter, get_block_parameter
                            -- the block tree's block size, fixed once

Every solve releases the GIL and gives the same bits for every team size.
"""

from ._linalg import (  # the public names, listed once in _linalg.__all__
    __all__,
    cho_solve_banded,
    cholesky_banded,
    count_processors,
    get_block_parameter,
    get_team_size,
    set_block_parameter,
    set_team_size,
    solve_symmetric_banded,
    solveh_banded,
    team_size,
)
