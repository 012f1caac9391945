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
 *        touched.  A null pointer to a scalar argument (n, hb, kd, nrhs,
 *        slab_rows, ldab, ldb, uplo) is illegal.  An array may be null when
 *        the call would not read it: a (ab) when n <= 0, b when n <= 0 or
 *        nrhs <= 0, work when n <= 0 or hb = 0; otherwise a null array is
 *        illegal too.  With info itself null a call does nothing at all;
 *  BANDSOLVE_INFO_NO_RESOURCES  (band_pbsv_? only, 1 <= nrhs <= 3) its
 *        work area of n x nrhs elements could not be allocated; nothing was
 *        touched.
 *
 * Threads: a solve runs with the team it can get.  When the process-wide
 * tables (64 worker slots, 64 sync objects) or the platform cannot give it
 * all of its threads or its mutex and sync objects, it runs with the
 * threads that did start, down to the calling thread alone, which needs no
 * table entry; the result has the same bits.  So any number of threads may
 * call the entries at once.  A call uses at most about 70 KiB of the stack
 * of the thread that makes it (the copy of a diagonal block of 4096
 * elements, for complex double), so a thread with a 128 KiB stack may call
 * every entry at every band width.  The one exception is a thread with at
 * least 1 MiB of stack left: there band_solve_s / band_solve_d run several
 * blocks side by side in vector lanes, with buffers of up to about 520 KiB
 * on the stack, and give the same bits as without.
 */
#ifndef BANDSOLVE_H
#define BANDSOLVE_H

#include <stddef.h>

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

/* Marks the library's public entries; a shared build exports these and
 * nothing else. */
#if defined(__GNUC__) || defined(__clang__)
#define BANDSOLVE_API __attribute__((visibility("default")))
#else
#define BANDSOLVE_API
#endif

/* ---- Team size ------------------------------------------------------- */

/* Writes the number of processors in the process's affinity mask. */
BANDSOLVE_API void count_processors(int* count);
/* Team size of later solves: min(*p, 32, processor count); 0 means "the
 * processor count" at the next get_team_size. */
BANDSOLVE_API void set_team_size(const int* p);
/* Writes the team size; if none is set yet, sets it to the processor count. */
BANDSOLVE_API void get_team_size(int* p);
/* Sets the team size to the processor count. */
BANDSOLVE_API void reset_team_size(void);

/* ---- Block size of the block-tree solvers ----------------------------- */

/* Fixes the block-size parameter P1 of every later band_solve_? call of the
 * process (see band_solve_? below), unless it is already fixed.  *status:
 * 1 it took effect; 0 it was already fixed (by an earlier call or a solve)
 * and stays as it was; -1 p1 is null or *p1 < 1 (nothing done).  24 gives
 * the real solvers' default blocks, 16 the complex ones' for teams of 1-2.
 * With a null status nothing is done.  Safe to call from any thread. */
BANDSOLVE_API void set_block_parameter(const int* p1, int* status);
/* Writes the fixed P1, or 0 while it is not fixed yet. */
BANDSOLVE_API void get_block_parameter(int* p1);

/* ---- Block-tree solvers ---------------------------------------------- */

/*
 * band_solve_?: factorises A = U^T U and solves A X = B in one call with a
 * team of get_team_size threads (block-tree / nested-dissection order).  The
 * result is the same bit for bit for every team size within a process.  It
 * also depends on the block size, rows per block
 * max(P1*P1 / max(hb, 1), hb + 1), whose parameter P1 is process-wide and
 * fixed once: by set_block_parameter, or else by the first band_solve_? call
 * of the process that has something to solve (n > 0 and legal arguments):
 * P1 = 24 when that call is band_solve_s or band_solve_d, and when it is
 * band_solve_c or band_solve_z, P1 = 16 for a team size of 2 or less at that
 * moment, 8 for more.  So two processes whose first solves differ may
 * disagree in the last bits, and so may two runs of a program whose first
 * solves of different families start at once on different threads (which
 * one fixes P1 is a race, though P1 is always one call's value).  A program
 * that needs the same bits on every run calls set_block_parameter first.
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
 *  info  out     0, 1, or -1 .. -6 (a null array that would be read)
 *
 * The complex entries treat A as complex symmetric (A = A^T, never
 * conjugated).
 */
BANDSOLVE_API void band_solve_s(float* a, const int* n, const int* hb, float* b, const int* nrhs,
                                float* work, int* info);
BANDSOLVE_API void band_solve_d(double* a, const int* n, const int* hb, double* b, const int* nrhs,
                                double* work, int* info);
BANDSOLVE_API void band_solve_c(bandsolve_complex_float* a, const int* n, const int* hb,
                                bandsolve_complex_float* b, const int* nrhs,
                                bandsolve_complex_float* work, int* info);
BANDSOLVE_API void band_solve_z(bandsolve_complex_double* a, const int* n, const int* hb,
                                bandsolve_complex_double* b, const int* nrhs,
                                bandsolve_complex_double* work, int* info);

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
 *                 the team, and the other threads have work in a slab only
 *                 when r <= hb; otherwise the call runs on the calling
 *                 thread alone (the bits are the same).
 *  info       out 0, 1 (failed pivot: the factor is partial, B unsolved),
 *                 -i (argument i illegal)
 *
 * The back substitution runs in slabs of r rows in band_solve_with_factor_?
 * and of 2r rows in band_factor_solve_?, which fixes the order in which the
 * terms of a row are subtracted: band_solve_with_factor_? with 2r leaves
 * exactly the bits band_factor_solve_? with r leaves, for every column.
 *
 * band_factor_?             factorises A in place.
 * band_solve_with_factor_?  solves U^T U x = b for nrhs right-hand sides
 *                           with a factor from band_factor_? or
 *                           band_factor_solve_?; A is only read.  With
 *                           r > hb the columns run side by side on the
 *                           calling thread, in vector lanes, 16 real or 4
 *                           complex columns per sweep over the factor each
 *                           way; otherwise one after the other on the
 *                           team.  Either way every column gets the bits it
 *                           gets when solved alone.  No pivot is tested: a
 *                           zero diagonal of U gives infinities or NaN.
 * band_factor_solve_?       factorises and solves in one pass (the forward
 *                           substitution of the first right-hand side runs
 *                           inside the factorisation); nrhs <= 0 only
 *                           factorises.  After INFO = 1 no column is solved.
 */
BANDSOLVE_API void band_factor_s(float* a, const int* n, const int* hb, const int* slab_rows,
                                 int* info);
BANDSOLVE_API void band_factor_d(double* a, const int* n, const int* hb, const int* slab_rows,
                                 int* info);
BANDSOLVE_API void band_factor_c(bandsolve_complex_float* a, const int* n, const int* hb,
                                 const int* slab_rows, int* info);
BANDSOLVE_API void band_factor_z(bandsolve_complex_double* a, const int* n, const int* hb,
                                 const int* slab_rows, int* info);

BANDSOLVE_API void band_solve_with_factor_s(const float* a, const int* n, const int* hb, float* b,
                                            const int* nrhs, const int* slab_rows, int* info);
BANDSOLVE_API void band_solve_with_factor_d(const double* a, const int* n, const int* hb, double* b,
                                            const int* nrhs, const int* slab_rows, int* info);
BANDSOLVE_API void band_solve_with_factor_c(const bandsolve_complex_float* a, const int* n,
                                            const int* hb, bandsolve_complex_float* b,
                                            const int* nrhs, const int* slab_rows, int* info);
BANDSOLVE_API void band_solve_with_factor_z(const bandsolve_complex_double* a, const int* n,
                                            const int* hb, bandsolve_complex_double* b,
                                            const int* nrhs, const int* slab_rows, int* info);

BANDSOLVE_API void band_factor_solve_s(float* a, const int* n, const int* hb, float* b,
                                       const int* nrhs, const int* slab_rows, int* info);
BANDSOLVE_API void band_factor_solve_d(double* a, const int* n, const int* hb, double* b,
                                       const int* nrhs, const int* slab_rows, int* info);
BANDSOLVE_API void band_factor_solve_c(bandsolve_complex_float* a, const int* n, const int* hb,
                                       bandsolve_complex_float* b, const int* nrhs,
                                       const int* slab_rows, int* info);
BANDSOLVE_API void band_factor_solve_z(bandsolve_complex_double* a, const int* n, const int* hb,
                                       bandsolve_complex_double* b, const int* nrhs,
                                       const int* slab_rows, int* info);

/* ---- LAPACK-style entries --------------------------------------------- */

/*
 * band_pbsv_?: the argument list and contract of LAPACK's ?pbsv, so that a
 * caller of spbsv / dpbsv / cpbsv / zpbsv switches by changing one name.
 * Works where the arrays lie, in either layout and with any LDAB, on the
 * calling thread.  With one to three right-hand sides the forward
 * substitution runs inside the factorisation, and its one work area, n x
 * nrhs elements, keeps the entries of b aside until every pivot has passed;
 * with four or more it runs after the factorisation, on the columns side by
 * side in vector lanes (16 real or 4 complex at a time), and needs none.
 *
 * Bits: the same for both layouts, every LDAB and LDB, every team size, and
 * for each column of b whatever the other columns.  The real entries' factor
 * has exactly the bits of band_factor_s / band_factor_d on the same matrix
 * (for 'L' with LDAB = KD + 1 the very array band_factor would leave).  The
 * solution does not: the back substitution runs column by column (as soon
 * as x(i) is known, it is taken out of the kd rows above), where
 * band_solve_with_factor_? runs it row by row, so the two may differ in the
 * last bits.  Both agree with LAPACK's ?pbsv to rounding.
 *
 *  uplo  in      'U' or 'L' (either case): which triangle AB holds
 *  n     in      order of A, n >= 0
 *  kd    in      number of super- (or sub-) diagonals, kd >= 0
 *  nrhs  in      number of right-hand sides, nrhs >= 0
 *  ab    in/out  LDAB x n band array in LAPACK's layout: 'U': A(i,j) in
 *                ab[kd+i-j + (j-1)*ldab] for max(1,j-kd) <= i <= j;
 *                'L': A(i,j) in ab[i-j + (j-1)*ldab] for j <= i <= min(n,j+kd).
 *                On return the factor U (A = U^T U, 'U') or L (A = L L^T,
 *                'L') in the same layout; the complex entries factorise
 *                A = U^H U / L L^H.
 *  ldab  in      leading dimension of ab, ldab >= kd + 1
 *  b     in/out  LDB x nrhs right-hand sides; on return the solutions
 *  ldb   in      leading dimension of b, ldb >= max(1, n)
 *  info  out     0: solved;
 *                i > 0: the leading minor of order i is not positive
 *                definite (pivot i was not greater than zero); ab holds the
 *                factor of rows 1..i-1, b is untouched;
 *                -i: argument i had an illegal value; nothing was touched
 *                (nothing is printed and the program goes on, unlike
 *                reference LAPACK's XERBLA);
 *                BANDSOLVE_INFO_NO_RESOURCES (1 <= nrhs <= 3): the work
 *                area could not be had; nothing was touched.
 *
 * Unlike the band_solve_c / band_solve_z block-tree entries, the complex
 * LAPACK-style entries solve Hermitian positive-definite systems, as cpbsv
 * and zpbsv do: only the real part of the diagonal is read.
 */
BANDSOLVE_API void band_pbsv_s(const char* uplo, const int* n, const int* kd, const int* nrhs,
                               float* ab, const int* ldab, float* b, const int* ldb, int* info);
BANDSOLVE_API void band_pbsv_d(const char* uplo, const int* n, const int* kd, const int* nrhs,
                               double* ab, const int* ldab, double* b, const int* ldb, int* info);
BANDSOLVE_API void band_pbsv_c(const char* uplo, const int* n, const int* kd, const int* nrhs,
                               bandsolve_complex_float* ab, const int* ldab,
                               bandsolve_complex_float* b, const int* ldb, int* info);
BANDSOLVE_API void band_pbsv_z(const char* uplo, const int* n, const int* kd, const int* nrhs,
                               bandsolve_complex_double* ab, const int* ldab,
                               bandsolve_complex_double* b, const int* ldb, int* info);

/*
 * band_pbtrf_? and band_pbtrs_?: the argument lists and contracts of
 * LAPACK's ?pbtrf and ?pbtrs, the factor-once, solve-many pair.  Same
 * layouts, LDAB, LDB and Hermitian complex entries as band_pbsv_?, on the
 * calling thread.  Bits: band_pbtrf_? leaves exactly the factor
 * band_pbsv_? leaves, and band_pbtrf_? then band_pbtrs_? give exactly
 * band_pbsv_?'s solutions, for both layouts and every team size (a NaN
 * in the results may differ in sign or payload: IEEE 754 leaves open which
 * operand's NaN an operation passes on).  Each factor serves the other library too: band_pbtrs_?
 * solves with LAPACK's ?pbtrf factor and ?pbtrs with ours, to rounding.
 *
 * band_pbtrf_?(uplo, n, kd, ab, ldab, info)
 *  ab    in/out  as for band_pbsv_?; on return the factor U (A = U^H U,
 *                'U') or L (A = L L^H, 'L') in the same layout
 *  info  out     0; i > 0: the leading minor of order i is not positive
 *                definite (ab holds the factor of rows 1..i-1, row i its
 *                reduced pivot, later rows part of their updates);
 *                -i: argument i illegal (uplo -1, n -2, kd -3, ab -4,
 *                ldab -5); nothing was touched
 *
 * band_pbtrs_?(uplo, n, kd, nrhs, ab, ldab, b, ldb, info)
 *  ab    in      the factor band_pbtrf_? (or LAPACK's ?pbtrf) left, with
 *                the same uplo, kd and ldab; only read
 *  b     in/out  LDB x nrhs right-hand sides; on return the solutions
 *  info  out     0, or -i: argument i illegal, as for band_pbsv_?; nothing
 *                was touched.  No pivot is tested (as in LAPACK): a zero on
 *                the factor's diagonal gives infinities or NaN.
 */
BANDSOLVE_API void band_pbtrf_s(const char* uplo, const int* n, const int* kd, float* ab,
                                const int* ldab, int* info);
BANDSOLVE_API void band_pbtrf_d(const char* uplo, const int* n, const int* kd, double* ab,
                                const int* ldab, int* info);
BANDSOLVE_API void band_pbtrf_c(const char* uplo, const int* n, const int* kd,
                                bandsolve_complex_float* ab, const int* ldab, int* info);
BANDSOLVE_API void band_pbtrf_z(const char* uplo, const int* n, const int* kd,
                                bandsolve_complex_double* ab, const int* ldab, int* info);
BANDSOLVE_API void band_pbtrs_s(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                const float* ab, const int* ldab, float* b, const int* ldb,
                                int* info);
BANDSOLVE_API void band_pbtrs_d(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                const double* ab, const int* ldab, double* b, const int* ldb,
                                int* info);
BANDSOLVE_API void band_pbtrs_c(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                const bandsolve_complex_float* ab, const int* ldab,
                                bandsolve_complex_float* b, const int* ldb, int* info);
BANDSOLVE_API void band_pbtrs_z(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                const bandsolve_complex_double* ab, const int* ldab,
                                bandsolve_complex_double* b, const int* ldb, int* info);

/*
 * The LAPACK-style entries under the names a Fortran 77 compiler gives an
 * external procedure (gfortran: lower case and a trailing underscore), taking the
 * hidden length of the character argument: in Fortran,
 *     CALL DPBSV(UPLO, N, KD, NRHS, AB, LDAB, B, LDB, INFO)
 * becomes
 *     CALL BAND_PBSV_D(UPLO, N, KD, NRHS, AB, LDAB, B, LDB, INFO)
 * with no interface block; DPBTRF and DPBTRS likewise.
 */
BANDSOLVE_API void band_pbsv_s_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                float* ab, const int* ldab, float* b, const int* ldb, int* info,
                                size_t uplo_len);
BANDSOLVE_API void band_pbsv_d_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                double* ab, const int* ldab, double* b, const int* ldb, int* info,
                                size_t uplo_len);
BANDSOLVE_API void band_pbsv_c_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                bandsolve_complex_float* ab, const int* ldab,
                                bandsolve_complex_float* b, const int* ldb, int* info,
                                size_t uplo_len);
BANDSOLVE_API void band_pbsv_z_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                bandsolve_complex_double* ab, const int* ldab,
                                bandsolve_complex_double* b, const int* ldb, int* info,
                                size_t uplo_len);
BANDSOLVE_API void band_pbtrf_s_(const char* uplo, const int* n, const int* kd, float* ab,
                                 const int* ldab, int* info, size_t uplo_len);
BANDSOLVE_API void band_pbtrf_d_(const char* uplo, const int* n, const int* kd, double* ab,
                                 const int* ldab, int* info, size_t uplo_len);
BANDSOLVE_API void band_pbtrf_c_(const char* uplo, const int* n, const int* kd,
                                 bandsolve_complex_float* ab, const int* ldab, int* info,
                                 size_t uplo_len);
BANDSOLVE_API void band_pbtrf_z_(const char* uplo, const int* n, const int* kd,
                                 bandsolve_complex_double* ab, const int* ldab, int* info,
                                 size_t uplo_len);
BANDSOLVE_API void band_pbtrs_s_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                 const float* ab, const int* ldab, float* b, const int* ldb,
                                 int* info, size_t uplo_len);
BANDSOLVE_API void band_pbtrs_d_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                 const double* ab, const int* ldab, double* b, const int* ldb,
                                 int* info, size_t uplo_len);
BANDSOLVE_API void band_pbtrs_c_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                 const bandsolve_complex_float* ab, const int* ldab,
                                 bandsolve_complex_float* b, const int* ldb, int* info,
                                 size_t uplo_len);
BANDSOLVE_API void band_pbtrs_z_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                                 const bandsolve_complex_double* ab, const int* ldab,
                                 bandsolve_complex_double* b, const int* ldb, int* info,
                                 size_t uplo_len);

#ifdef __cplusplus
}
#endif

#endif /* BANDSOLVE_H */
