/* Solving a symmetric positive-definite band system over MPI ranks from C.
 *
 * Every rank asks which rows it holds (band_solve_mpi_rows_d), fills its
 * band rows and right-hand side entries, and all solve together
 * (band_solve_mpi_d).  The right-hand side is A times a vector of ones, so
 * each rank checks its rows of the solution against 1 and the ranks agree
 * on the largest error.  Run as
 *     mpiexec -n 3 ./solve_over_mpi
 * Every rank exits with status 1 if INFO is nonzero or the error is above
 * its tolerance, and with status 0 otherwise.
 */
#include <bandsolve_mpi.h>
#include <float.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

enum { N = 5000, HB = 4 };

/* A(i, j), 1-based, for |i - j| <= HB: diagonally dominant. */
static double element(int i, int j) {
    const int k = abs(i - j);
    return k == 0 ? 3.0 + i % 5 : 0.5 / k;
}

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    int rank = 0, n = N, hb = HB, nrhs = 1, first = 0, rows = 0, info = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    band_solve_mpi_rows_d(MPI_COMM_WORLD, &n, &hb, &first, &rows, &info);

    /* Band row r holds A(r, r..r+hb) (the cells past column N are never
     * read); b = A * ones. */
    double* a = malloc(((size_t)rows * (HB + 1) + 1) * sizeof *a);
    double* b = malloc(((size_t)rows + 1) * sizeof *b);
    double* work = malloc((2 * (size_t)rows * HB + 1) * sizeof *work);
    for (int r = first; r < first + rows; ++r) {
        double sum = 0;
        for (int c = r - HB; c <= r + HB; ++c)
            if (c >= 1 && c <= N) sum += element(r, c);
        for (int k = 0; k <= HB; ++k) a[(size_t)(r - first) * (HB + 1) + k] = element(r, r + k);
        b[r - first] = sum;
    }
    band_solve_mpi_d(MPI_COMM_WORLD, a, &n, &hb, b, &nrhs, work, &info);

    /* A is well conditioned: a backward-stable solve leaves x within a
     * small multiple of DBL_EPSILON of 1. */
    double worst = 0;
    for (int i = 0; i < rows; ++i) worst = fmax(worst, fabs(b[i] - 1.0));
    MPI_Allreduce(MPI_IN_PLACE, &worst, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    const int ok = info == 0 && worst < 100 * DBL_EPSILON;
    if (rank == 0) printf("band_solve_mpi_d: INFO %d, max |x - 1| %.2e\n", info, worst);
    free(a);
    free(b);
    free(work);
    MPI_Finalize();
    return ok ? 0 : 1;
}
