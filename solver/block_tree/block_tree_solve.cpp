// The public C entries of the real and complex double block-tree families
// (complex single: block_tree_solve_c.cpp), and the choice of the kernel
// body the processor runs.
#include "solver/block_tree/block_tree_solve.h"

#include <atomic>
#include <cstdlib>
#include <string_view>

#include "solver/block_tree/families.h"
#include "solver/common/entry_args.h"

namespace bandsolve {

namespace {

using detail::KernelBody;

// The body a test forces, or -1.
std::atomic<int> g_forced_body{-1};

// The best body the processor runs.
KernelBody best_body() noexcept {
#if BANDSOLVE_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return KernelBody::avx512;
    // The single-precision AVX2 body uses FMA, which every processor with
    // AVX2 but a few early ones has; those run the portable body.
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return KernelBody::avx2;
#endif
    return KernelBody::portable;
}

// `wanted`, or the best body the processor runs if that is a lesser one.
KernelBody runnable(KernelBody wanted) noexcept {
    static const KernelBody best = best_body();
    return static_cast<int>(wanted) <= static_cast<int>(best) ? wanted : best;
}

// The body named by BANDSOLVE_KERNEL, else the best one; read once.
KernelBody chosen_body() noexcept {
    static const KernelBody chosen = [] {
        const char* name = std::getenv("BANDSOLVE_KERNEL");
        const std::string_view v = name ? name : "";
        if (v == "portable") return runnable(KernelBody::portable);
        if (v == "avx2") return runnable(KernelBody::avx2);
        return runnable(KernelBody::avx512);
    }();
    return chosen;
}

}  // namespace

KernelBody detail::kernel_body() noexcept {
    const int forced = g_forced_body.load(std::memory_order_relaxed);
    return forced >= 0 ? runnable(static_cast<KernelBody>(forced)) : chosen_body();
}

void detail::force_kernel_body(KernelBody body) noexcept {
    g_forced_body.store(static_cast<int>(body), std::memory_order_relaxed);
}

void detail::unforce_kernel_body() noexcept { g_forced_body.store(-1, std::memory_order_relaxed); }

void detail::force_portable_kernels(bool portable) noexcept {
    if (portable)
        force_kernel_body(KernelBody::portable);
    else
        unforce_kernel_body();
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

void band_solve_z(bandsolve_complex_double* a, const int* n, const int* hb,
                  bandsolve_complex_double* b, const int* nrhs, bandsolve_complex_double* work,
                  int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}}, [&] {
        return block_tree_solve(a, *n, *hb, b, *nrhs, work, bandsolve::band_kernel_z,
                                bandsolve::init_tuning_parameters_complex);
    });
}

}  // extern "C"
