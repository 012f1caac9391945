/* Solves a symmetric positive-definite band system from C, in single and in
 * complex double precision, and checks the residual.  Exits with status 0
 * when every solve succeeded and its residual is small. */
#include <bandsolve.h>
#include <complex.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

enum { N = 5000, HB = 3 };

/* Row r (0-based) of the band array starts at r*(HB+1); element k holds
 * A(r, r+k).  The array ends with the last row's diagonal. */
static void fill(float* a) {
    for (int r = 0; r < N; ++r) {
        a[r * (HB + 1)] = 10.0f;
        for (int k = 1; k <= HB && r + k < N; ++k) a[r * (HB + 1) + k] = 1.0f / (float)(k + 1);
    }
}

/* y = A x for the symmetric band matrix. */
static double residual_s(const float* a, const float* x, const float* b) {
    double worst = 0;
    for (int i = 0; i < N; ++i) {
        double y = a[i * (HB + 1)] * (double)x[i];
        for (int k = 1; k <= HB; ++k) {
            if (i + k < N) y += a[i * (HB + 1) + k] * (double)x[i + k];
            if (i - k >= 0) y += a[(i - k) * (HB + 1) + k] * (double)x[i - k];
        }
        if (fabs(y - b[i]) > worst) worst = fabs(y - b[i]);
    }
    return worst;
}

int main(void) {
    const int n = N, hb = HB, nrhs = 1;
    const size_t band = (size_t)(N - 1) * (HB + 1) + 1;
    float* a = calloc(band, sizeof *a);
    float* a0 = calloc(band, sizeof *a0);
    float* b = malloc(N * sizeof *b);
    float* x = malloc(N * sizeof *x);
    float* work = malloc(2 * (size_t)N * HB * sizeof *work);
    bandsolve_complex_double* az = malloc(band * sizeof *az);
    bandsolve_complex_double* bz = malloc(N * sizeof *bz);
    bandsolve_complex_double* wz = malloc(2 * (size_t)N * HB * sizeof *wz);
    if (!a || !a0 || !b || !x || !work || !az || !bz || !wz) return 2;

    fill(a);
    fill(a0);
    for (int i = 0; i < N; ++i) b[i] = 1.0f;
    int processors = 0, team = 0, info = -1;
    count_processors(&processors);
    set_team_size(&processors);
    get_team_size(&team);
    band_solve_s(a, &n, &hb, b, &nrhs, work, &info);
    for (int i = 0; i < N; ++i) x[i] = b[i];
    for (int i = 0; i < N; ++i) b[i] = 1.0f;
    const double rs = residual_s(a0, x, b);
    printf("band_solve_s: team %d of %d processors, INFO %d, residual %.3g\n", team, processors,
           info, rs);
    if (info != 0 || rs > 1e-4) return 1;

    /* Complex symmetric: A + 2i I, right-hand side all 1 - i. */
    for (size_t k = 0; k < band; ++k) az[k] = a0[k];
    for (int r = 0; r < N; ++r) az[r * (HB + 1)] += 2.0 * I;
    for (int i = 0; i < N; ++i) bz[i] = 1.0 - 1.0 * I;
    reset_team_size();
    band_solve_z(az, &n, &hb, bz, &nrhs, wz, &info);
    printf("band_solve_z: INFO %d, x(1) = %.6f%+.6fi\n", info, creal(bz[0]), cimag(bz[0]));
    if (info != 0 || !(cabs(bz[0]) > 0)) return 1;

    const int bad_hb = -1;
    band_solve_s(a, &n, &bad_hb, b, &nrhs, work, &info);
    if (info != -3) return 1;

    free(a), free(a0), free(b), free(x), free(work), free(az), free(bz), free(wz);
    return 0;
}
