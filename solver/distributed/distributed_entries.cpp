// The distributed solve of the real single, real double and complex double
// families (complex single: distributed_entries_c.cpp), compiled with the
// options of their shared-memory kernels.
#include "solver/distributed/distributed_entries.h"

#include "solver/distributed/distributed_solve.h"

namespace bandsolve::distributed {

namespace {

constexpr Family<float> family_s{init_tuning_parameters, band_solve_s};
constexpr Family<double> family_d{init_tuning_parameters, band_solve_d};
constexpr Family<complex_double> family_z{init_tuning_parameters_complex, band_solve_z};

}  // namespace

int solve_s(Transport& transport, float* a, const int* n, const int* hb, float* b, const int* nrhs,
            float* work, int most_threads) noexcept {
    return solve(transport, family_s, a, n, hb, b, nrhs, work, most_threads);
}

int solve_d(Transport& transport, double* a, const int* n, const int* hb, double* b,
            const int* nrhs, double* work, int most_threads) noexcept {
    return solve(transport, family_d, a, n, hb, b, nrhs, work, most_threads);
}

int solve_z(Transport& transport, complex_double* a, const int* n, const int* hb, complex_double* b,
            const int* nrhs, complex_double* work, int most_threads) noexcept {
    return solve(transport, family_z, a, n, hb, b, nrhs, work, most_threads);
}

int rows_real(Transport& transport, const int* n, const int* hb, int* first_row,
              int* rows) noexcept {
    return solve_rows(transport, family_d, n, hb, first_row, rows);
}

int rows_complex(Transport& transport, const int* n, const int* hb, int* first_row,
                 int* rows) noexcept {
    return solve_rows(transport, family_z, n, hb, first_row, rows);
}

}  // namespace bandsolve::distributed
