// The public C entries of the four block-tree families, and the choice of
// the kernel body the processor runs.
#include "solver/block_tree/block_tree_solve.h"

#include <atomic>

#include "solver/block_tree/families.h"
#include "solver/common/entry_args.h"

namespace bandsolve {

namespace {
std::atomic<bool> g_force_portable{false};
}

bool detail::use_avx2() noexcept {
#if BANDSOLVE_X86
    static const bool has_avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has_avx2 && !g_force_portable.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void detail::force_portable_kernels(bool portable) noexcept {
    g_force_portable.store(portable, std::memory_order_relaxed);
}

}  // namespace bandsolve

using bandsolve::block_tree_solve;
using bandsolve::checked_entry;

extern "C" {

void band_solve_s(float* a, const int* n, const int* hb, float* b, const int* nrhs, float* work,
                  int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}}, [&] {
        return block_tree_solve(a, *n, *hb, b, *nrhs, work, bandsolve::band_kernel_s,
                                bandsolve::init_tuning_parameters);
    });
}

void band_solve_d(double* a, const int* n, const int* hb, double* b, const int* nrhs, double* work,
                  int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}}, [&] {
        return block_tree_solve(a, *n, *hb, b, *nrhs, work, bandsolve::band_kernel_d,
                                bandsolve::init_tuning_parameters);
    });
}

void band_solve_c(bandsolve_complex_float* a, const int* n, const int* hb,
                  bandsolve_complex_float* b, const int* nrhs, bandsolve_complex_float* work,
                  int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}}, [&] {
        return block_tree_solve(a, *n, *hb, b, *nrhs, work, bandsolve::band_kernel_c,
                                bandsolve::init_tuning_parameters_complex);
    });
}

void band_solve_z(bandsolve_complex_double* a, const int* n, const int* hb,
                  bandsolve_complex_double* b, const int* nrhs, bandsolve_complex_double* work,
                  int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}}, [&] {
        return block_tree_solve(a, *n, *hb, b, *nrhs, work, bandsolve::band_kernel_z,
                                bandsolve::init_tuning_parameters_complex);
    });
}

}  // extern "C"
