// The complex arithmetic of the AVX2 bodies: complex elements held as their
// parts widened to double, two elements (four parts) per vector, with the
// roundings of ElementTraits (each stored part rounded once to its component
// type).  Only for x86 processors with AVX2 and FMA; the callers choose the
// body at run time.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define BANDSOLVE_COMPLEX_VECTORS 1

#include <immintrin.h>

#include <limits>
#include <type_traits>

#include "solver/common/element_traits.h"

namespace bandsolve {
namespace vec {

/// Two complex elements (four parts) at f widened to double, and stored
/// back rounded; load2/store2 the same for one element.
__attribute__((target("avx2"), always_inline)) inline __m256d load4(const float* f) noexcept {
    return _mm256_cvtps_pd(_mm_loadu_ps(f));
}
__attribute__((target("avx2"), always_inline)) inline __m256d load4(const double* f) noexcept {
    return _mm256_loadu_pd(f);
}
__attribute__((target("avx2"), always_inline)) inline void store4(float* f, __m256d v) noexcept {
    _mm_storeu_ps(f, _mm256_cvtpd_ps(v));
}
__attribute__((target("avx2"), always_inline)) inline void store4(double* f, __m256d v) noexcept {
    _mm256_storeu_pd(f, v);
}
__attribute__((target("avx2"), always_inline)) inline __m128d load2(const float* f) noexcept {
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(f))));
}
__attribute__((target("avx2"), always_inline)) inline __m128d load2(const double* f) noexcept {
    return _mm_loadu_pd(f);
}
__attribute__((target("avx2"), always_inline)) inline void store2(float* f, __m128d v) noexcept {
    _mm_storel_pi(reinterpret_cast<__m64*>(f), _mm_cvtpd_ps(v));
}
__attribute__((target("avx2"), always_inline)) inline void store2(double* f, __m128d v) noexcept {
    _mm_storeu_pd(f, v);
}

/// Smith's factors of a prepared divisor dv (ComplexDivisor), for two
/// elements at once: the numerators of v / y for the parts v = (a, b) of an
/// element are v A + swap(v) B, with (A, B) = ((1, 1), (r, -r)) where the
/// divisor's real part is the larger, otherwise ((r, r), (1, -1)).  The
/// 128-bit form is for one element.
template <typename Divisor>
__attribute__((target("avx2"), always_inline)) inline void smith_factors(const Divisor& dv,
                                                                         __m256d& a,
                                                                         __m256d& b) noexcept {
    a = dv.real_larger ? _mm256_set1_pd(1.0) : _mm256_set1_pd(dv.r);
    b = dv.real_larger ? _mm256_setr_pd(dv.r, -dv.r, dv.r, -dv.r)
                       : _mm256_setr_pd(1.0, -1.0, 1.0, -1.0);
}
template <typename Divisor>
__attribute__((target("avx2"), always_inline)) inline void smith_factors(const Divisor& dv,
                                                                         __m128d& a,
                                                                         __m128d& b) noexcept {
    a = dv.real_larger ? _mm_set1_pd(1.0) : _mm_set1_pd(dv.r);
    b = dv.real_larger ? _mm_setr_pd(dv.r, -dv.r) : _mm_setr_pd(1.0, -1.0);
}

/// Smith's numerators ((a + b r), (b - a r)), or ((a r + b), (b r - a)),
/// of the elements whose parts v holds, with smith_factors' a and b: a
/// product by 1 is exact, and adding a (-r) product is subtracting the
/// r product, so every part is the scalar formula's value, rounded once.
__attribute__((target("avx2"), always_inline)) inline __m256d smith_numerators(__m256d v, __m256d a,
                                                                               __m256d b) noexcept {
    return _mm256_add_pd(_mm256_mul_pd(v, a), _mm256_mul_pd(_mm256_permute_pd(v, 0b0101), b));
}
__attribute__((target("avx2"), always_inline)) inline __m128d smith_numerators(__m128d v, __m128d a,
                                                                               __m128d b) noexcept {
    return _mm_add_pd(_mm_mul_pd(v, a), _mm_mul_pd(_mm_permute_pd(v, 0b01), b));
}

/// Whether a part of v is infinite.
__attribute__((target("avx2"), always_inline)) inline bool any_infinite(__m128d v) noexcept {
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    const __m128d inf = _mm_set1_pd(std::numeric_limits<double>::infinity());
    return _mm_movemask_pd(_mm_cmp_pd(_mm_and_pd(v, magnitude), inf, _CMP_EQ_OQ)) != 0;
}

/// The parts of two complex products, x*yr + xs*ys, each rounded once.  x
/// holds the parts of two elements, xs the same with each element's parts
/// swapped; yr and ys hold the other factor's parts with the signs of the
/// product wanted (x*y, x*conj(y)).  For float parts the products are
/// exact in double and the sum is fused (rounded once, as the plain sum
/// is); for double parts each product is rounded, then the sum, as in
/// ComplexTraits::product.
template <typename C>
__attribute__((target("avx2,fma"), always_inline)) inline __m256d products(__m256d x, __m256d yr,
                                                                           __m256d xs,
                                                                           __m256d ys) noexcept {
    if constexpr (std::is_same_v<C, float>) return _mm256_fmadd_pd(x, yr, _mm256_mul_pd(xs, ys));
    return _mm256_add_pd(_mm256_mul_pd(x, yr), _mm256_mul_pd(xs, ys));
}

/// One update of two complex elements at f: f -= x*yr + xs*ys (see
/// products), each part rounded once.
template <typename C>
__attribute__((target("avx2,fma"), always_inline)) inline void update2(C* f, __m256d x, __m256d yr,
                                                                       __m256d xs,
                                                                       __m256d ys) noexcept {
    store4(f, _mm256_sub_pd(load4(f), products<C>(x, yr, xs, ys)));
}

/// The same for one element at f (the upper lanes of the products are
/// zeros and are dropped).
template <typename C>
__attribute__((target("avx2,fma"), always_inline)) inline void update1(C* f, __m128d x, __m128d yr,
                                                                       __m128d xs,
                                                                       __m128d ys) noexcept {
    const __m256d p = products<C>(_mm256_zextpd128_pd256(x), _mm256_zextpd128_pd256(yr),
                                  _mm256_zextpd128_pd256(xs), _mm256_zextpd128_pd256(ys));
    store2(f, _mm_sub_pd(load2(f), _mm256_castpd256_pd128(p)));
}

/// update2 over the len consecutive elements at f, the last one alone when
/// len is odd: element e takes the parts x[2e], x[2e+1] (and xs the
/// swapped ones); yr and ys are the same for every element.
template <typename C>
__attribute__((target("avx2,fma"), always_inline)) inline void update_run(C* f, const double* x,
                                                                          const double* xs,
                                                                          __m256d yr, __m256d ys,
                                                                          Index len) noexcept {
    Index e = 0;
#pragma GCC unroll 16
    for (; e + 2 <= len; e += 2)
        update2(f + 2 * e, _mm256_loadu_pd(x + 2 * e), yr, _mm256_loadu_pd(xs + 2 * e), ys);
    if (e < len)
        update1(f + 2 * e, _mm_loadu_pd(x + 2 * e), _mm256_castpd256_pd128(yr),
                _mm_loadu_pd(xs + 2 * e), _mm256_castpd256_pd128(ys));
}

/// update_run with four elements (eight parts) per AVX-512 vector, the
/// rest through update_run; yr and ys as there, their four lanes repeated.
/// Every lane takes update2's operations, so the bits are update_run's.
/// The broadcasts and conversions are the zero-masked forms with every lane
/// selected (the same instructions): the plain ones start from an undefined
/// vector, which GCC 12 reports as possibly uninitialised.
template <typename C>
__attribute__((target("avx512f,avx2,fma"), always_inline)) inline void update_run512(
    C* f, const double* x, const double* xs, __m256d yr, __m256d ys, Index len) noexcept {
    constexpr __mmask8 all = 0xff;
    const __m512d yr8 = _mm512_maskz_broadcast_f64x4(all, yr);
    const __m512d ys8 = _mm512_maskz_broadcast_f64x4(all, ys);
    Index e = 0;
#pragma GCC unroll 4
    for (; e + 4 <= len; e += 4) {
        const __m512d xv = _mm512_loadu_pd(x + 2 * e), xsv = _mm512_loadu_pd(xs + 2 * e);
        if constexpr (std::is_same_v<C, float>) {
            const __m512d p = _mm512_fmadd_pd(xv, yr8, _mm512_mul_pd(xsv, ys8));
            const __m512d v = _mm512_maskz_cvtps_pd(all, _mm256_loadu_ps(f + 2 * e));
            _mm256_storeu_ps(f + 2 * e, _mm512_maskz_cvtpd_ps(all, _mm512_sub_pd(v, p)));
        } else {
            const __m512d p = _mm512_add_pd(_mm512_mul_pd(xv, yr8), _mm512_mul_pd(xsv, ys8));
            _mm512_storeu_pd(f + 2 * e, _mm512_sub_pd(_mm512_loadu_pd(f + 2 * e), p));
        }
    }
    update_run<C>(f + 2 * e, x + 2 * e, xs + 2 * e, yr, ys, len - e);
}

}  // namespace vec
}  // namespace bandsolve

#else
#define BANDSOLVE_COMPLEX_VECTORS 0
#endif
