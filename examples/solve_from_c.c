/* Solving a symmetric positive-definite band system from C.
 *
 * The same matrix is solved in the ways the library offers:
 *   1. band_solve_d               factorise and solve in one call;
 *   2. band_factor_d once, then band_solve_with_factor_d for each
 *      right-hand side as it arrives;
 *   3. band_pbsv_d                LAPACK's dpbsv argument list, for a matrix
 *                                 held in LAPACK's band layout;
 * and once in single precision (band_solve_s).
 *
 * Every solve prints INFO and the scaled residual
 *     max_i |(A x - b)_i| / (|A| |x|)        (infinity norms),
 * which a backward-stable solver keeps at a small multiple of the unit
 * roundoff.  The program exits with status 1 if any INFO is nonzero or any
 * residual is above the tolerance of its precision, and with status 0
 * otherwise.
 */
#include <bandsolve.h>
#include <float.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

/* Order, half bandwidth, and length of the band array. */
enum { N = 3000, HB = 6, BAND = (N - 1) * (HB + 1) + 1 };

/* A(i, j), 0-based, of the example matrix for |i - j| <= HB: diagonally
 * dominant (4 > 2 * (1/2 + ... + 1/7)), hence positive definite. */
static double element(int i, int j) {
    const int k = abs(i - j);
    return k == 0 ? 4.0 + i % 3 : 1.0 / (k + 1);
}

/* The band array the library reads: row r (0-based) starts at r*(HB+1), its
 * element k holds A(r, r+k), and the array ends with the last row's
 * diagonal, BAND elements in all.  The cells past the end of the matrix
 * (r + k >= N) are never read; they are set to 0 here. */
static void fill_band(double* a) {
    for (int r = 0; r < N; ++r)
        for (int k = 0; k <= HB && r * (HB + 1) + k < BAND; ++k)
            a[r * (HB + 1) + k] = r + k < N ? element(r, r + k) : 0.0;
}

/* Right-hand side number s, element i. */
static double rhs(int i, int s) { return 1.0 + (double)((7 * i + 3 * s) % 11) / 10.0; }

/* max_i |(A x - b)_i| / (|A| |x|), computed from element(), since the solvers
 * overwrite their copy of A.  A solution with an infinity or NaN in it gets
 * an infinite residual (fmax alone would pass over a NaN). */
static double scaled_residual(const double* x, const double* b) {
    double worst = 0, norm_a = 0, norm_x = 0;
    for (int i = 0; i < N; ++i)
        if (!isfinite(x[i])) return INFINITY;
    for (int i = 0; i < N; ++i) {
        const int lo = i - HB < 0 ? 0 : i - HB, hi = i + HB >= N ? N - 1 : i + HB;
        double y = 0, row = 0;
        for (int j = lo; j <= hi; ++j) {
            y += element(i, j) * x[j];
            row += fabs(element(i, j));
        }
        worst = fmax(worst, fabs(y - b[i]));
        norm_a = fmax(norm_a, row);
        norm_x = fmax(norm_x, fabs(x[i]));
    }
    return worst / (norm_a * norm_x);
}

/* Tolerances: a generous multiple of (HB + 1) * unit roundoff, far below the
 * residual of any solution that is wrong in a single element. */
static const double tol_d = 64.0 * (HB + 1) * DBL_EPSILON;
static const double tol_s = 64.0 * (HB + 1) * FLT_EPSILON;

static int failures = 0;

static void report_info(const char* what, int info) {
    printf("%-38s INFO %d  %s\n", what, info, info == 0 ? "ok" : "FAILED");
    if (info != 0) ++failures;
}

static void report(const char* what, int info, double residual, double tol) {
    const int ok = info == 0 && residual <= tol;
    printf("%-38s INFO %d  scaled residual %.2e  %s\n", what, info, residual, ok ? "ok" : "FAILED");
    if (!ok) ++failures;
}

/* 3. LAPACK-style entry: dpbsv's argument list and contract.  ab is an LDAB x
 *    n array holding the triangle uplo names, column by column; with 0-based
 *    i, j:
 *      'U': A(i, j) in ab[kd + i - j + j*ldab]  for j-kd <= i <= j,
 *      'L': A(i, j) in ab[i - j + j*ldab]       for j <= i <= j+kd
 *    ('L' with LDAB = kd+1 is the library's own band storage).  Here LDAB and
 *    LDB are larger than needed, as when the arrays are parts of bigger ones;
 *    the spare rows must come back untouched. */
enum { KD = HB, LDAB = KD + 2, LDB = N + 3, NRHS = 2 };
static const double spare = -99.0;

static int spare_rows_untouched(const double* ab, const double* b) {
    for (int j = 0; j < N; ++j)
        if (ab[KD + 1 + j * LDAB] != spare) return 0;
    for (int s = 0; s < NRHS; ++s)
        for (int i = N; i < LDB; ++i)
            if (b[i + s * LDB] != spare) return 0;
    return 1;
}

static void fill_lapack_band(char uplo, double* ab, double* b) {
    for (size_t k = 0; k < (size_t)LDAB * N; ++k) ab[k] = spare;
    for (int j = 0; j < N; ++j)
        for (int d = 0; d <= KD; ++d) {
            if (uplo == 'U' && j - d >= 0) ab[KD - d + j * LDAB] = element(j - d, j);
            if (uplo == 'L' && j + d < N) ab[d + j * LDAB] = element(j + d, j);
        }
    for (int s = 0; s < NRHS; ++s)
        for (int i = 0; i < LDB; ++i) b[i + s * LDB] = i < N ? rhs(i, s) : spare;
}

static void solve_lapack_style(void) {
    const int n = N, kd = KD, nrhs = NRHS, ldab = LDAB, ldb = LDB;
    double* ab = malloc((size_t)LDAB * N * sizeof *ab);
    double* x = malloc((size_t)LDB * NRHS * sizeof *x);
    double* b = malloc((size_t)LDB * NRHS * sizeof *b);
    if (!ab || !x || !b) {
        fputs("out of memory\n", stderr);
        exit(2);
    }
    int info;
    for (const char* uplo = "UL"; *uplo; ++uplo) {
        fill_lapack_band(*uplo, ab, x);
        for (size_t k = 0; k < (size_t)LDB * NRHS; ++k) b[k] = x[k];
        band_pbsv_d(uplo, &n, &kd, &nrhs, ab, &ldab, x, &ldb, &info);
        for (int s = 0; s < NRHS; ++s) {
            char what[64];
            snprintf(what, sizeof what, "band_pbsv_d '%c', right-hand side %d", *uplo, s + 1);
            report(what, info, scaled_residual(x + s * LDB, b + s * LDB), tol_d);
        }
        if (!spare_rows_untouched(ab, x)) {
            printf("band_pbsv_d '%c' wrote into the spare rows  FAILED\n", *uplo);
            ++failures;
        }
    }

    /* INFO = i > 0: the leading minor of order i is not positive definite
     * (here A(10,10) is made negative), and b is left as it was. */
    fill_lapack_band('L', ab, x);
    ab[0 + 9 * LDAB] = -1.0;
    for (size_t k = 0; k < (size_t)LDB * NRHS; ++k) b[k] = x[k];
    band_pbsv_d("L", &n, &kd, &nrhs, ab, &ldab, x, &ldb, &info);
    int kept = 1;
    for (size_t k = 0; k < (size_t)LDB * NRHS; ++k) kept &= x[k] == b[k];
    printf("%-38s INFO %d  %s\n", "band_pbsv_d, A(10,10) < 0", info,
           info == 10 && kept ? "ok (expected 10, b kept)" : "FAILED (expected 10, b kept)");
    if (info != 10 || !kept) ++failures;

    free(ab), free(x), free(b);
}

int main(void) {
    const int n = N, hb = HB;
    double* a = malloc(BAND * sizeof *a);
    double* b = malloc(2 * (size_t)N * sizeof *b);
    double* x = malloc(2 * (size_t)N * sizeof *x);
    double* work = malloc(2 * (size_t)N * HB * sizeof *work);
    float* as = malloc(BAND * sizeof *as);
    float* bs = malloc(N * sizeof *bs);
    float* ws = malloc(2 * (size_t)N * HB * sizeof *ws);
    if (!a || !b || !x || !work || !as || !bs || !ws) {
        fputs("out of memory\n", stderr);
        return 2;
    }
    int info, team;
    get_team_size(&team);
    printf("n = %d, half bandwidth = %d, team of %d threads\n", n, hb, team);

    /* The check itself must be able to fail: the exact solution of A x = A e
     * is e (all ones); moving one element of it by 1e-9 must exceed the
     * tolerance. */
    for (int i = 0; i < N; ++i) x[i] = 1.0;
    x[N / 2] += 1e-9;
    for (int i = 0; i < N; ++i) {
        b[i] = 0;
        for (int j = i - HB; j <= i + HB; ++j)
            if (j >= 0 && j < N) b[i] += element(i, j);
    }
    if (!(scaled_residual(x, b) > tol_d)) {
        printf("the residual check does not notice a wrong solution\n");
        return 1;
    }

    /* 1. Block-tree solver: factorises A and solves for two right-hand sides
     *    stored one after the other in x, overwriting them with the solutions
     *    (b keeps them for the residual).  It needs 2*n*hb elements of work
     *    area and leaves factor blocks in a, so a is refilled before any
     *    other solve. */
    fill_band(a);
    for (int s = 0; s < 2; ++s)
        for (int i = 0; i < N; ++i) x[s * N + i] = b[s * N + i] = rhs(i, s);
    const int two = 2;
    band_solve_d(a, &n, &hb, x, &two, work, &info);
    report("band_solve_d, right-hand side 1", info, scaled_residual(x, b), tol_d);
    report("band_solve_d, right-hand side 2", info, scaled_residual(x + N, b + N), tol_d);

    /* 2. Slab solver: one factorisation, then one solve per right-hand side
     *    as each arrives.  band_factor_d leaves the factor U (A = U^T U) in a,
     *    and band_solve_with_factor_d only reads it.  slab_rows = 0 takes the
     *    default slab height. */
    const int one = 1, slab_rows = 0;
    fill_band(a);
    band_factor_d(a, &n, &hb, &slab_rows, &info);
    report_info("band_factor_d", info);
    for (int s = 0; s < 3; ++s) {
        for (int i = 0; i < N; ++i) x[i] = b[i] = rhs(i, s);
        band_solve_with_factor_d(a, &n, &hb, x, &one, &slab_rows, &info);
        char what[64];
        snprintf(what, sizeof what, "band_solve_with_factor_d, arrival %d", s + 1);
        report(what, info, scaled_residual(x, b), tol_d);
    }

    /* 3. LAPACK-style entry, in both layouts (see solve_lapack_style). */
    solve_lapack_style();

    /* Single precision: the same calls with float arrays (band_solve_s).  The
     * residual is taken in double against the double matrix; rounding A to
     * float adds only about one float roundoff to it. */
    fill_band(a);
    for (int k = 0; k < BAND; ++k) as[k] = (float)a[k];
    for (int i = 0; i < N; ++i) bs[i] = (float)rhs(i, 0);
    band_solve_s(as, &n, &hb, bs, &one, ws, &info);
    for (int i = 0; i < N; ++i) {
        x[i] = bs[i];
        b[i] = (double)(float)rhs(i, 0);
    }
    report("band_solve_s (float)", info, scaled_residual(x, b), tol_s);

    free(a), free(b), free(x), free(work), free(as), free(bs), free(ws);
    if (failures) printf("%d check(s) FAILED\n", failures);
    return failures ? 1 : 0;
}
