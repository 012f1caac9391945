// The public C entries of the four slab-pipelined families.
#include "solver/slab/slab_solve.h"

#include "solver/block_tree/kernel.h"
#include "solver/common/entry_args.h"

bool bandsolve::detail::slab_uses_avx2() noexcept { return kernel_body() != KernelBody::portable; }

using bandsolve::checked_entry;
using bandsolve::slab_factor;
using bandsolve::slab_factor_solve;
using bandsolve::slab_solve_with_factor;

extern "C" {

void band_factor_s(float* a, const int* n, const int* hb, const int* slab_rows, int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {slab_rows, 4}},
                  [&] { return slab_factor(a, *n, *hb, *slab_rows); });
}
void band_factor_d(double* a, const int* n, const int* hb, const int* slab_rows, int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {slab_rows, 4}},
                  [&] { return slab_factor(a, *n, *hb, *slab_rows); });
}
void band_factor_c(bandsolve_complex_float* a, const int* n, const int* hb, const int* slab_rows,
                   int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {slab_rows, 4}},
                  [&] { return slab_factor(a, *n, *hb, *slab_rows); });
}
void band_factor_z(bandsolve_complex_double* a, const int* n, const int* hb, const int* slab_rows,
                   int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {slab_rows, 4}},
                  [&] { return slab_factor(a, *n, *hb, *slab_rows); });
}

void band_solve_with_factor_s(const float* a, const int* n, const int* hb, float* b,
                              const int* nrhs, const int* slab_rows, int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}, {slab_rows, 6}},
                  [&] { return slab_solve_with_factor(a, *n, *hb, b, *nrhs, *slab_rows); });
}
void band_solve_with_factor_d(const double* a, const int* n, const int* hb, double* b,
                              const int* nrhs, const int* slab_rows, int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}, {slab_rows, 6}},
                  [&] { return slab_solve_with_factor(a, *n, *hb, b, *nrhs, *slab_rows); });
}
void band_solve_with_factor_c(const bandsolve_complex_float* a, const int* n, const int* hb,
                              bandsolve_complex_float* b, const int* nrhs, const int* slab_rows,
                              int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}, {slab_rows, 6}},
                  [&] { return slab_solve_with_factor(a, *n, *hb, b, *nrhs, *slab_rows); });
}
void band_solve_with_factor_z(const bandsolve_complex_double* a, const int* n, const int* hb,
                              bandsolve_complex_double* b, const int* nrhs, const int* slab_rows,
                              int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}, {slab_rows, 6}},
                  [&] { return slab_solve_with_factor(a, *n, *hb, b, *nrhs, *slab_rows); });
}

void band_factor_solve_s(float* a, const int* n, const int* hb, float* b, const int* nrhs,
                         const int* slab_rows, int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}, {slab_rows, 6}},
                  [&] { return slab_factor_solve(a, *n, *hb, b, *nrhs, *slab_rows); });
}
void band_factor_solve_d(double* a, const int* n, const int* hb, double* b, const int* nrhs,
                         const int* slab_rows, int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}, {slab_rows, 6}},
                  [&] { return slab_factor_solve(a, *n, *hb, b, *nrhs, *slab_rows); });
}
void band_factor_solve_c(bandsolve_complex_float* a, const int* n, const int* hb,
                         bandsolve_complex_float* b, const int* nrhs, const int* slab_rows,
                         int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}, {slab_rows, 6}},
                  [&] { return slab_factor_solve(a, *n, *hb, b, *nrhs, *slab_rows); });
}
void band_factor_solve_z(bandsolve_complex_double* a, const int* n, const int* hb,
                         bandsolve_complex_double* b, const int* nrhs, const int* slab_rows,
                         int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}, {slab_rows, 6}},
                  [&] { return slab_factor_solve(a, *n, *hb, b, *nrhs, *slab_rows); });
}

}  // extern "C"
