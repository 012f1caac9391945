// The distributed solve of the complex single-precision family, compiled
// with the options of its shared-memory kernel (see
// solver/block_tree/block_tree_solve_c.cpp for why they differ).
#include "solver/distributed/distributed_entries.h"
#include "solver/distributed/distributed_solve.h"

namespace bandsolve::distributed {

int solve_c(Transport& transport, complex_float* a, const int* n, const int* hb, complex_float* b,
            const int* nrhs, complex_float* work, int most_threads) noexcept {
    static constexpr Family<complex_float> family{init_tuning_parameters_complex, band_solve_c};
    return solve(transport, family, a, n, hb, b, nrhs, work, most_threads);
}

}  // namespace bandsolve::distributed
