// The named members of the four solver families.  Each name stands for the
// one template instantiated for its element type:
//   _s real single, _d real double, _c complex single, _z complex double.
#pragma once

#include <complex>

#include "solver/common/block_factor.h"
#include "solver/block_tree/kernel.h"

namespace bandsolve {

using complex_float = std::complex<float>;
using complex_double = std::complex<double>;

inline constexpr auto band_kernel_s = &band_kernel<float>;
inline constexpr auto band_kernel_d = &band_kernel<double>;
inline constexpr auto band_kernel_c = &band_kernel<complex_float>;
inline constexpr auto band_kernel_z = &band_kernel<complex_double>;

inline constexpr auto band_block_factor_s = &band_block_factor<float>;
inline constexpr auto band_block_factor_d = &band_block_factor<double>;
inline constexpr auto band_block_factor_c = &band_block_factor<complex_float>;
inline constexpr auto band_block_factor_z = &band_block_factor<complex_double>;

}  // namespace bandsolve
