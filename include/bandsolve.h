/*
 * bandsolve: shared-memory parallel solver for symmetric positive-definite
 * band systems A x = b, in four element types (s: float, d: double,
 * c: complex float, z: complex double).  Valid C (C99 and later) and C++.
 *
 * Every argument is a pointer, so C programs call the entries as they are
 * and Fortran programs bind to them with bind(C).
 *
 * Band storage (BandStorage) of a symmetric band matrix of order n and half
 * bandwidth hb: row r (1-based) occupies the hb + 1 consecutive elements
 * starting at (r-1)*(hb+1) (0-based); its element k = 0..hb holds A(r, r+k).
 * The array has (n-1)*(hb+1) + 1 elements.  For n = 6, hb = 2 ('*' marks
 * cells that exist but are never read; the last row holds its diagonal only):
 *
 *     index:  0   1   2 | 3   4   5 | 6   7   8 | 9  10  11 |12  13  14 |15
 *     holds: a11 a12 a13|a22 a23 a24|a33 a34 a35|a44 a45 a46|a55 a56  * |a66
 *
 * This is LAPACK's lower band storage ('L', LDAB = hb + 1) of the same
 * matrix, column by column.
 *
 * INFO values of every entry:
 *    0   solved (factorised);
 *    1   a pivot failed the positivity test: the matrix is not positive
 *        definite in working precision (complex entries: a pivot was 0 + 0i);
 *        the right-hand sides do not hold a solution;
 *   -i   argument i had an illegal value (LAPACK's convention); nothing was
 *        touched;
 *  BANDSOLVE_INFO_NO_RESOURCES  the runtime could not create the mutex or
 *        the sync objects of the solve; nothing was touched.
 */
#ifndef BANDSOLVE_H
#define BANDSOLVE_H

#ifdef __cplusplus
#include <complex>
typedef std::complex<float> bandsolve_complex_float;
typedef std::complex<double> bandsolve_complex_double;
extern "C" {
#else
#include <complex.h>
typedef float _Complex bandsolve_complex_float;
typedef double _Complex bandsolve_complex_double;
#endif

#define BANDSOLVE_INFO_NO_RESOURCES (-100)

/* ---- Team size ------------------------------------------------------- */

/* Writes the number of processors in the process's affinity mask. */
void count_processors(int* count);
/* Team size of later solves: min(*p, 32, processor count); 0 means "the
 * processor count" at the next get_team_size. */
void set_team_size(const int* p);
/* Writes the team size; if none is set yet, sets it to the processor count. */
void get_team_size(int* p);
/* Sets the team size to the processor count. */
void reset_team_size(void);

/* ---- Block-tree solvers ---------------------------------------------- */

/*
 * band_solve_?: factorises A = U^T U and solves A X = B in one call with a
 * team of get_team_size threads (block-tree / nested-dissection order).  The
 * result is the same bit for bit for every team size.
 *
 *  a     in/out  band array, (n-1)*(hb+1)+1 elements; on return factor blocks
 *                (the array can no longer be used as the matrix)
 *  n     in      order of the matrix; n <= 0 does nothing, INFO = 0
 *  hb    in      half bandwidth, hb >= 0
 *  b     in/out  nrhs right-hand sides of n elements each, one after the
 *                other; on return the solutions when INFO = 0
 *  nrhs  in      number of right-hand sides; nrhs <= 0 only factorises
 *  work  out     scratch of at least 2*n*hb elements (contents on entry do
 *                not matter; on return the coupling factors)
 *  info  out     0, 1, -1 .. -6 (a null array that would be read), or
 *                BANDSOLVE_INFO_NO_RESOURCES
 *
 * The complex entries treat A as complex symmetric (A = A^T, never
 * conjugated).
 */
void band_solve_s(float* a, const int* n, const int* hb, float* b, const int* nrhs, float* work,
                  int* info);
void band_solve_d(double* a, const int* n, const int* hb, double* b, const int* nrhs,
                  double* work, int* info);
void band_solve_c(bandsolve_complex_float* a, const int* n, const int* hb,
                  bandsolve_complex_float* b, const int* nrhs, bandsolve_complex_float* work,
                  int* info);
void band_solve_z(bandsolve_complex_double* a, const int* n, const int* hb,
                  bandsolve_complex_double* b, const int* nrhs, bandsolve_complex_double* work,
                  int* info);


/* ---- Slab-pipelined solvers ------------------------------------------ */

/*
 * A sequential-order band Cholesky run slab by slab by a team of
 * get_team_size threads.  Unlike the block-tree solvers these leave the
 * complete factor U (A = U^T U, every band element) in the band array and
 * need no work area, so one factorisation serves any number of later solves:
 * the way to solve many right-hand sides that arrive one after another is
 * one band_factor_? and then one band_solve_with_factor_? per arrival.
 * The factor is the same bit for bit for every team size and slab height.
 *
 *  slab_rows  in  rows per slab, r >= 1; r <= 0 selects the default:
 *                 4096 / (hb + 1) rows (at least 1) for band_factor_? and
 *                 band_factor_solve_?, 16384 rows for
 *                 band_solve_with_factor_?.  Each slab ends in a barrier of
 *                 the team, and the other threads share a slab's work only
 *                 when r < hb.
 *  info       out 0, 1 (failed pivot: the factor is partial, B unsolved),
 *                 -i (argument i illegal), BANDSOLVE_INFO_NO_RESOURCES
 *
 * The back substitution runs in slabs of r rows in band_solve_with_factor_?
 * and of 2r rows in band_factor_solve_?, which fixes the order in which the
 * terms of a row are subtracted: band_solve_with_factor_? with 2r leaves
 * exactly the bits band_factor_solve_? with r leaves, for every column.
 *
 * band_factor_?             factorises A in place.
 * band_solve_with_factor_?  solves U^T U x = b for nrhs right-hand sides,
 *                           one after the other, with a factor from
 *                           band_factor_? or band_factor_solve_?; A is only
 *                           read.  No pivot is tested: a zero diagonal of U
 *                           gives infinities or NaN.
 * band_factor_solve_?       factorises and solves in one pass (the forward
 *                           substitution of the first right-hand side runs
 *                           inside the factorisation); nrhs <= 0 only
 *                           factorises.  After INFO = 1 no column is solved.
 */
void band_factor_s(float* a, const int* n, const int* hb, const int* slab_rows, int* info);
void band_factor_d(double* a, const int* n, const int* hb, const int* slab_rows, int* info);
void band_factor_c(bandsolve_complex_float* a, const int* n, const int* hb, const int* slab_rows,
                   int* info);
void band_factor_z(bandsolve_complex_double* a, const int* n, const int* hb, const int* slab_rows,
                   int* info);

void band_solve_with_factor_s(const float* a, const int* n, const int* hb, float* b,
                              const int* nrhs, const int* slab_rows, int* info);
void band_solve_with_factor_d(const double* a, const int* n, const int* hb, double* b,
                              const int* nrhs, const int* slab_rows, int* info);
void band_solve_with_factor_c(const bandsolve_complex_float* a, const int* n, const int* hb,
                              bandsolve_complex_float* b, const int* nrhs, const int* slab_rows,
                              int* info);
void band_solve_with_factor_z(const bandsolve_complex_double* a, const int* n, const int* hb,
                              bandsolve_complex_double* b, const int* nrhs, const int* slab_rows,
                              int* info);

void band_factor_solve_s(float* a, const int* n, const int* hb, float* b, const int* nrhs,
                         const int* slab_rows, int* info);
void band_factor_solve_d(double* a, const int* n, const int* hb, double* b, const int* nrhs,
                         const int* slab_rows, int* info);
void band_factor_solve_c(bandsolve_complex_float* a, const int* n, const int* hb,
                         bandsolve_complex_float* b, const int* nrhs, const int* slab_rows,
                         int* info);
void band_factor_solve_z(bandsolve_complex_double* a, const int* n, const int* hb,
                         bandsolve_complex_double* b, const int* nrhs, const int* slab_rows,
                         int* info);

#ifdef __cplusplus
}
#endif

#endif /* BANDSOLVE_H */
