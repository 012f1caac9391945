// The public C entry of the complex single-precision block-tree family, the
// one translation unit that instantiates its kernel.
//
// It is compiled without SLP vectorisation and loop unroll-and-jam (see
// solver/CMakeLists.txt).  The fast block steps run chains of updates
// t - x*y whose parts are evaluated in double and rounded to single
// precision after every update.  Unroll-and-jam fuses two updates of a chain
// into one loop body, the SLP vectoriser then holds the real and imaginary
// parts of an element in one vector of two doubles, rounds it to two floats
// and widens it again for the next update, and GCC 12 folds that rounding
// and widening of a vector into nothing: the chain is rounded once where it
// should be rounded twice.  Scalar code and the loop vectoriser's widening of
// four floats into two vectors are not folded, so the other families and the
// lane steps are not affected.
#include "solver/block_tree/block_tree_solve.h"
#include "solver/common/entry_args.h"

namespace bandsolve {

inline constexpr auto band_kernel_c = &band_kernel<complex_float>;

}  // namespace bandsolve

using bandsolve::block_tree_solve;
using bandsolve::checked_entry;

extern "C" {

void band_solve_c(bandsolve_complex_float* a, const int* n, const int* hb,
                  bandsolve_complex_float* b, const int* nrhs, bandsolve_complex_float* work,
                  int* info) {
    checked_entry(info, {{n, 2}, {hb, 3}, {nrhs, 5}}, [&] {
        return block_tree_solve(a, *n, *hb, b, *nrhs, work, bandsolve::band_kernel_c,
                                bandsolve::init_tuning_parameters_complex);
    });
}

}  // extern "C"
