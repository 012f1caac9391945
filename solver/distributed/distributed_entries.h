// The distributed block-tree solve of each family over a Transport, as the
// library exports it to its MPI layer (solver/mpi), which supplies the
// transport.  See distributed_solve.h for the arguments and INFO.
#pragma once

#include "bandsolve.h"
#include "solver/common/element_traits.h"
#include "solver/distributed/transport.h"

namespace bandsolve::distributed {

BANDSOLVE_API int solve_s(Transport& transport, float* a, const int* n, const int* hb, float* b,
                          const int* nrhs, float* work, int most_threads) noexcept;
BANDSOLVE_API int solve_d(Transport& transport, double* a, const int* n, const int* hb, double* b,
                          const int* nrhs, double* work, int most_threads) noexcept;
BANDSOLVE_API int solve_c(Transport& transport, complex_float* a, const int* n, const int* hb,
                          complex_float* b, const int* nrhs, complex_float* work,
                          int most_threads) noexcept;
BANDSOLVE_API int solve_z(Transport& transport, complex_double* a, const int* n, const int* hb,
                          complex_double* b, const int* nrhs, complex_double* work,
                          int most_threads) noexcept;

/// The rows each rank holds in a solve of the family (the real families
/// share their block size, and so do the complex ones).
BANDSOLVE_API int rows_real(Transport& transport, const int* n, const int* hb, int* first_row,
                            int* rows) noexcept;
BANDSOLVE_API int rows_complex(Transport& transport, const int* n, const int* hb, int* first_row,
                               int* rows) noexcept;

}  // namespace bandsolve::distributed
