// The block-tree kernel of each family: one template instantiated for its
// element type, _s real single, _d real double, _z complex double.  The
// complex single family's kernel is instantiated in block_tree_solve_c.cpp
// alone, which is compiled with options of its own.
#pragma once

#include "solver/block_tree/kernel.h"

namespace bandsolve {

inline constexpr auto band_kernel_s = &band_kernel<float>;
inline constexpr auto band_kernel_d = &band_kernel<double>;
inline constexpr auto band_kernel_z = &band_kernel<complex_double>;

}  // namespace bandsolve
