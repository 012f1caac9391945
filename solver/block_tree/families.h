// The block-tree kernel of each family: one template instantiated for its
// element type, _s real single, _d real double, _c complex single,
// _z complex double.
#pragma once

#include "solver/block_tree/kernel.h"

namespace bandsolve {

inline constexpr auto band_kernel_s = &band_kernel<float>;
inline constexpr auto band_kernel_d = &band_kernel<double>;
inline constexpr auto band_kernel_c = &band_kernel<complex_float>;
inline constexpr auto band_kernel_z = &band_kernel<complex_double>;

}  // namespace bandsolve
