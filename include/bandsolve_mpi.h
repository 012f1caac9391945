/*
 * bandsolve_mpi: the block-tree solver of <bandsolve.h> spread over the
 * processes of an MPI communicator.  Valid C (C99 and later) and C++; link
 * with bandsolve_mpi (CMake: bandsolve::mpi) and an MPI library.
 *
 * Each process (rank) of the communicator holds a run of consecutive rows
 * of the system, whole blocks of the block tree, and never more: rows
 * first_row .. first_row + rows - 1 as band_solve_mpi_rows_? tells (rank 0
 * the first rows, then rank 1, and so on; a rank may hold none).  Inside a
 * rank a team of get_team_size threads eliminates the rank's blocks; between
 * the sweeps of the tree the ranks exchange, point to point, the few rows of
 * neighbouring blocks the next sweep reads.  The solution, and everything
 * the call leaves in the arrays, is byte for byte what band_solve_? leaves
 * in the same rows of the whole system with the same block size, for every
 * number of ranks and every team size.  The block size is rank 0's (see
 * band_solve_? in <bandsolve.h>: set_block_parameter on rank 0, or rank 0's
 * first solve, fixes it).
 *
 * Both entries are collective: every rank of the communicator calls them,
 * with the same n, hb and nrhs.  Every rank returns the same INFO:
 *    0   solved;
 *    1   a pivot failed on some rank (B holds no solution);
 *   -i   argument i was illegal on some rank, or n, hb or nrhs differ
 *        between ranks; nothing was touched.  Illegal scalars come first
 *        (the lowest i), then disagreement (n before hb before nrhs), then
 *        null arrays (the lowest i);
 *   BANDSOLVE_INFO_NO_RESOURCES  some rank could not allocate what its part
 *        of the solve needs; nothing was touched.
 * -1 alone is reported without asking the other ranks: MPI is not
 * initialised (or already finalised), or comm is MPI_COMM_NULL or an
 * inter-communicator.  With info null nothing is done, and the other ranks
 * wait: pass info on every rank.
 *
 * Threads: with MPI_THREAD_SERIALIZED or MPI_THREAD_MULTIPLE a rank solves
 * with a team of get_team_size threads, one of which talks to the other
 * ranks between sweeps; with less it solves on the calling thread alone,
 * which must then be the one MPI expects.
 */
#ifndef BANDSOLVE_MPI_H
#define BANDSOLVE_MPI_H

#include <mpi.h>

#include "bandsolve.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * band_solve_mpi_rows_?(comm, n, hb, first_row, rows, info): the rows this
 * rank holds in a solve of order n and half bandwidth hb of the family.
 *  first_row  out  first row (1-based) of the rank's run
 *  rows       out  rows in the run, 0 when the rank holds none or n <= 0
 *  info       out  0, or -i (argument i: 2 n, 3 hb, 4 first_row, 5 rows)
 * Installs the family's block-size parameter as a first solve would.
 */
BANDSOLVE_API void band_solve_mpi_rows_s(MPI_Comm comm, const int* n, const int* hb, int* first_row,
                                         int* rows, int* info);
BANDSOLVE_API void band_solve_mpi_rows_d(MPI_Comm comm, const int* n, const int* hb, int* first_row,
                                         int* rows, int* info);
BANDSOLVE_API void band_solve_mpi_rows_c(MPI_Comm comm, const int* n, const int* hb, int* first_row,
                                         int* rows, int* info);
BANDSOLVE_API void band_solve_mpi_rows_z(MPI_Comm comm, const int* n, const int* hb, int* first_row,
                                         int* rows, int* info);

/*
 * band_solve_mpi_?(comm, a, n, hb, b, nrhs, work, info): factorises
 * A = U^T U and solves A X = B, A of order n spread over the ranks of comm.
 * R = rows and F = first_row of this rank (band_solve_mpi_rows_?):
 *  a     in/out  the rank's band rows F..F+R-1 as they lie in the whole band
 *                array: R*(hb+1) elements, (R-1)*(hb+1)+1 on the rank that
 *                holds row n; on return factor blocks, as band_solve_? leaves
 *                those rows
 *  n     in      order of the whole matrix; n <= 0 does nothing, INFO = 0
 *  hb    in      half bandwidth, hb >= 0
 *  b     in/out  nrhs columns of R entries each, one after the other: rows
 *                F..F+R-1 of each right-hand side; on return the solutions
 *  nrhs  in      number of right-hand sides; nrhs <= 0 only factorises
 *  work  out     scratch of 2*R*hb elements: the rank's R*hb corner slots,
 *                then its rows' columns of the hb panel rows, R each
 *  info  out     see above
 * An array may be null on a rank that holds no rows (and b when nrhs <= 0,
 * work when hb = 0).  The complex entries treat A as complex symmetric.
 */
BANDSOLVE_API void band_solve_mpi_s(MPI_Comm comm, float* a, const int* n, const int* hb, float* b,
                                    const int* nrhs, float* work, int* info);
BANDSOLVE_API void band_solve_mpi_d(MPI_Comm comm, double* a, const int* n, const int* hb,
                                    double* b, const int* nrhs, double* work, int* info);
BANDSOLVE_API void band_solve_mpi_c(MPI_Comm comm, bandsolve_complex_float* a, const int* n,
                                    const int* hb, bandsolve_complex_float* b, const int* nrhs,
                                    bandsolve_complex_float* work, int* info);
BANDSOLVE_API void band_solve_mpi_z(MPI_Comm comm, bandsolve_complex_double* a, const int* n,
                                    const int* hb, bandsolve_complex_double* b, const int* nrhs,
                                    bandsolve_complex_double* work, int* info);

#ifdef __cplusplus
}
#endif

#endif /* BANDSOLVE_MPI_H */
