// The public C entries of the four block-tree families.
#include "solver/block_tree_solve.h"

#include "solver/families.h"

using bandsolve::block_tree_solve;

extern "C" {

void band_solve_s(float* a, const int* n, const int* hb, float* b, const int* nrhs, float* work,
                  int* info) {
    *info = block_tree_solve(a, *n, *hb, b, *nrhs, work, bandsolve::band_kernel_s,
                             bandsolve::init_tuning_parameters);
}

void band_solve_d(double* a, const int* n, const int* hb, double* b, const int* nrhs, double* work,
                  int* info) {
    *info = block_tree_solve(a, *n, *hb, b, *nrhs, work, bandsolve::band_kernel_d,
                             bandsolve::init_tuning_parameters);
}

void band_solve_c(bandsolve_complex_float* a, const int* n, const int* hb,
                  bandsolve_complex_float* b, const int* nrhs, bandsolve_complex_float* work,
                  int* info) {
    *info = block_tree_solve(a, *n, *hb, b, *nrhs, work, bandsolve::band_kernel_c,
                             bandsolve::init_tuning_parameters_complex);
}

void band_solve_z(bandsolve_complex_double* a, const int* n, const int* hb,
                  bandsolve_complex_double* b, const int* nrhs, bandsolve_complex_double* work,
                  int* info) {
    *info = block_tree_solve(a, *n, *hb, b, *nrhs, work, bandsolve::band_kernel_z,
                             bandsolve::init_tuning_parameters_complex);
}

}  // extern "C"
