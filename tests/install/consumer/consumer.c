/* A program outside the project that uses the installed library from C: it
 * builds an SPD band system with a known solution, solves it with the
 * block-tree entry, with a slab factorisation and later solves, and with the
 * LAPACK-style entry, and checks every solution against the known one.  It
 * also checks that a bad argument is refused.  Exit status 0 when all is
 * right, 1 on a wrong result, 2 when memory runs out.
 *
 * Uses only <bandsolve.h> and the C library (no libm), so that the link line
 * holds no more than what the package or pkg-config give. */
#include <bandsolve.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { N = 3000, HB = 5, NRHS = 2 };
#define LDAB (HB + 1)
#define BAND ((size_t)(N - 1) * LDAB + 1)

static double magnitude(double v) { return v < 0 ? -v : v; }

/* A(i, i+k) for 0-based i and 0 <= k <= HB: diagonally dominant with
 * off-diagonal elements that differ from row to row. */
static double element(int i, int k) {
    if (k == 0) return 4.0 * HB + 1.0 + (i % 7) * 0.25;
    return -1.0 / (double)(k + 1) + ((i + 3 * k) % 5) * 0.05;
}

/* Band storage: row i starts at i*(HB+1) and holds A(i, i..i+HB). */
static void fill_band(double* a) {
    memset(a, 0, BAND * sizeof *a);
    for (int i = 0; i < N; ++i)
        for (int k = 0; k <= HB && i + k < N; ++k) a[(size_t)i * LDAB + k] = element(i, k);
}

/* The known solution of right-hand side c. */
static double solution(int i, int c) {
    return 1.0 + (double)((i * 7 + c * 3) % 11) / 8.0 - c * 0.5;
}

/* b = A x for every right-hand side, x the known solution. */
static void fill_rhs(double* b) {
    for (int c = 0; c < NRHS; ++c)
        for (int i = 0; i < N; ++i) {
            double y = element(i, 0) * solution(i, c);
            for (int k = 1; k <= HB; ++k) {
                if (i + k < N) y += element(i, k) * solution(i + k, c);
                if (i - k >= 0) y += element(i - k, k) * solution(i - k, c);
            }
            b[(size_t)c * N + i] = y;
        }
}

/* Largest difference from the known solution, over nrhs columns. */
static double error(const double* x, int nrhs) {
    double worst = 0;
    for (int c = 0; c < nrhs; ++c)
        for (int i = 0; i < N; ++i) {
            const double d = magnitude(x[(size_t)c * N + i] - solution(i, c));
            if (!(d <= worst)) worst = d; /* NaN counts as worst */
        }
    return worst;
}

static int report(const char* what, int info, double err) {
    printf("%-28s INFO %d, error %.3g\n", what, info, err);
    return info == 0 && err < 1e-10 ? 0 : 1;
}

int main(void) {
    const int n = N, hb = HB, nrhs = NRHS, ldab = LDAB, ldb = N, slab_rows = 0;
    double* a = malloc(BAND * sizeof *a);
    double* b = malloc((size_t)N * NRHS * sizeof *b);
    double* work = malloc(2 * (size_t)N * HB * sizeof *work);
    double* ab = calloc((size_t)LDAB * N, sizeof *ab);
    if (!a || !b || !work || !ab) return 2;
    int failed = 0, info = -1;

    /* Two threads where there are two processors, so the team really runs. */
    int processors = 0, team = 0;
    const int two = 2;
    count_processors(&processors);
    set_team_size(&two);
    get_team_size(&team);
    printf("team %d of %d processors\n", team, processors);
    if (processors < 1 || team < 1 || team > 2) failed = 1;

    fill_band(a);
    fill_rhs(b);
    band_solve_d(a, &n, &hb, b, &nrhs, work, &info);
    failed |= report("band_solve_d", info, error(b, NRHS));

    fill_band(a);
    fill_rhs(b);
    info = -1;
    band_factor_d(a, &n, &hb, &slab_rows, &info);
    printf("%-28s INFO %d\n", "band_factor_d", info);
    if (info != 0) failed = 1;
    const int one = 1;
    for (int c = 0; c < NRHS; ++c) { /* one column after another, same factor */
        info = -1;
        band_solve_with_factor_d(a, &n, &hb, b + (size_t)c * N, &one, &slab_rows, &info);
        if (info != 0) break;
    }
    failed |= report("band_solve_with_factor_d", info, error(b, NRHS));

    /* LAPACK's lower band layout with LDAB = HB + 1 is the band storage. */
    fill_band(ab);
    fill_rhs(b);
    info = -1;
    band_pbsv_d("L", &n, &hb, &nrhs, ab, &ldab, b, &ldb, &info);
    failed |= report("band_pbsv_d", info, error(b, NRHS));

    /* A negative half bandwidth is argument 3. */
    const int bad_hb = -1;
    fill_band(a);
    info = 0;
    band_solve_d(a, &n, &bad_hb, b, &nrhs, work, &info);
    printf("band_solve_d with hb = -1:   INFO %d\n", info);
    if (info != -3) failed = 1;

    reset_team_size();
    free(a), free(b), free(work), free(ab);
    printf(failed ? "FAILED\n" : "ok\n");
    return failed;
}
