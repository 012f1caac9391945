// The benchmark's test system: a symmetric positive-definite band matrix
// A = U^T U with its diagonal multiplied by 10, an exact solution x of uniform
// random numbers and the right-hand side b = A x.  Every call with the same
// arguments yields the same A, x and b, bit for bit.
//
// Band storage, 1-based: element (r, q) of the upper band, r <= q <= r + hb,
// is at (r-1)*hb + q; the array has (n-1)*hb + n slots.  For n = 4, hb = 2
// ('*' marks a slot beyond column n that is filled but never read):
//
//     slot:   1   2   3 | 4   5   6 | 7   8   9 |10
//     holds: a11 a12 a13|a22 a23 a24|a33 a34  * |a44
#pragma once

namespace bandbench {

/// Builds the test system of order n, half bandwidth hb and nrhs columns.
///
///  a     out  band array of (n-1)*hb + n elements: A = U^T U, diagonal x 10,
///             where U(r, q) = 1 + ((q-1) mod hb) (the identity for hb = 0)
///  b     out  nrhs columns of n elements: A x, each partial sum rounded
///  x     out  nrhs columns of n elements: uniform random numbers drawn column
///             by column after restarting the generator from TEST_SEED
///  n     in   order; n <= 0 builds nothing
///  hb    in   half bandwidth; a negative value is taken as 0
///  nrhs  in   number of columns; nrhs <= 0 builds no x and b
void build_test_system(float* a, float* b, float* x, int n, int hb, int nrhs);

/// Replaces the upper band U held in the band array `a` by the upper band of
/// U^T U, in place.  Every product and sum is formed in double precision and
/// each new element is rounded to single precision when stored.  Slots beyond
/// column n are not touched; hb < 0 leaves the array alone.
void band_utu_s(float* a, int n, int hb);

/// band_utu_s on double-precision elements.
void band_utu_d(double* a, int n, int hb);

}  // namespace bandbench
