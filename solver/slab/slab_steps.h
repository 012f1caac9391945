// Arithmetic of the slab-pipelined factorisation and solution: what one
// thread does with one chunk of consecutive columns (forward stages) or rows
// (backward stages).  No locks, no threads; the kernels decide who calls
// what, and when.
//
// Notation (1-based): the band array holds U(i, j), i <= j <= i + hb, at
// (i-1)*hb + j - 1; y(j) is element j - 1 of one right-hand side.  A forward
// stage works on slab P..w and on the previous slab g..P-1 (empty when
// g = P).  Every update and every division is stored, and so rounded, before
// the next one; an element receives its updates from the rows above it in
// increasing row order, exactly as one band_block_factor over all rows does.
// An element read from its transposed position (U(k, i) as an element of
// U^T) goes through Tr::mirrored, which conjugates it in the Hermitian
// families (A = U^H U) and leaves it alone in all others.
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>

#include "solver/common/block_factor.h"
#include "solver/common/column_lanes.h"

namespace bandsolve {

/// Columns of one row that finish_previous_slab keeps in a local buffer.
inline constexpr Index FINISH_BLOCK_COLUMNS = 256;

/// Finishes the rows g..p-1 of the previous slab in the columns v..w
/// (v >= p): first the updates from the final rows k < g, then those from
/// the slab's own earlier rows, then the division by the row's pivot.  The
/// slab's diagonal block must already be factorised.
///
/// Each element receives its updates in increasing k, rounded one by one,
/// as in the sequential algorithm; but a row's stretch of columns is
/// updated in a local buffer and stored once.  Updated in place, k by k,
/// each element would be written up to hb times, and where two threads'
/// chunks meet inside a cache line every one of those writes would move the
/// line between their caches (up to ten times slower with a team of two).
template <typename T, typename Tr = ElementTraits<T>>
void finish_previous_slab(T* a, Index hb, Index g, Index p, Index v, Index w) noexcept {
    // Rows above v - hb have no band element in these columns.
    for (Index i = std::max(g, v - hb); i < p; ++i) {
        const Index last = std::min(w, i + hb);
        const T d = band_at(a, hb, i, i);
        for (Index jb = v; jb <= last; jb += FINISH_BLOCK_COLUMNS) {
            const Index je = std::min(last, jb + FINISH_BLOCK_COLUMNS - 1);
            T t[FINISH_BLOCK_COLUMNS];
            T* const row = &band_at(a, hb, i, jb);
            std::copy(row, row + (je - jb + 1), t);
            // U(i, jb:je) -= U(k, i) U(k, jb:je) for the rows k above i
            // that reach column jb: the final rows k < g first, then the
            // slab's own.  Since i < v <= j <= k + hb, every U(k, i) read lies
            // inside the band.
            for (Index k = std::max<Index>(jb - hb, 1); k < i; ++k) {
                const T uki = Tr::mirrored(band_at(a, hb, k, i));
                const T* const uk = &band_at(a, hb, k, jb);
                const Index count = std::min(je, k + hb) - jb + 1;
                for (Index c = 0; c < count; ++c) t[c] = Tr::update(t[c], uk[c], uki);
            }
            // U(i, jb:je) /= U(i, i)
            for (Index c = 0; c <= je - jb; ++c) t[c] = Tr::divide(t[c], d);
            std::copy(t, t + (je - jb + 1), row);
        }
    }
}

/// Brings the diagonal block of slab p..w up to date with every row above
/// it (all of them final, or finished in these columns by the caller), so
/// that band_block_factor over p..w completes it.
template <typename T, typename Tr = ElementTraits<T>>
void update_slab_block(T* a, Index hb, Index p, Index w) noexcept {
    // A(p:w, p:w) -= U(k, p:w)^T U(k, p:w) for k = p-hb .. p-1
    for (Index k = std::max<Index>(p - hb, 1); k < p; ++k) {
        const Index reach = std::min(k + hb, w);
        for (Index i = p; i <= reach; ++i) {
            const T uki = Tr::mirrored(band_at(a, hb, k, i));
            for (Index j = i; j <= reach; ++j) {
                T& aij = band_at(a, hb, i, j);
                aij = Tr::update(aij, band_at(a, hb, k, j), uki);
            }
        }
    }
}

/// Forward substitution, contributions of the solved rows g..p-1 to the
/// entries v..w of y: y(j) -= U(i, j) y(i), rows in increasing order.
template <typename T, typename Tr = ElementTraits<T>>
void forward_from_previous_slab(const T* a, Index hb, T* y, Index g, Index p, Index v,
                                Index w) noexcept {
    for (Index i = std::max(g, v - hb); i < p; ++i) {
        const T yi = y[i - 1];
        const Index jend = std::min(i + hb, w);
        for (Index j = v; j <= jend; ++j)
            y[j - 1] = Tr::update(y[j - 1], Tr::mirrored(band_at(a, hb, i, j)), yi);
    }
}

/// Forward substitution U(p:w, p:w)^T y(p:w) = y(p:w) inside one slab whose
/// entries already hold every contribution from the rows above it.
template <typename T, typename Tr = ElementTraits<T>>
void forward_slab(const T* a, Index hb, T* y, Index p, Index w) noexcept {
    for (Index i = p; i <= w; ++i) {
        const T yi = y[i - 1] = Tr::divide(y[i - 1], band_at(a, hb, i, i));
        const Index jend = std::min(i + hb, w);
        for (Index j = i + 1; j <= jend; ++j)
            y[j - 1] = Tr::update(y[j - 1], Tr::mirrored(band_at(a, hb, i, j)), yi);
    }
}

/// The band rows w+1..min(w+r, n), the slab after the one ending at row w,
/// which the next stage reads first: for band_block_factor to fetch while
/// it factorises slab ..w.
template <typename T>
Prefetch<T> next_slab(const T* a, Index n, Index hb, Index w, Index r) noexcept {
    if (w >= n) return {};
    const Index end = (n - 1) * (hb + 1) + 1;  // elements of the band array
    const Index first = w * (hb + 1);          // A(w+1, w+1)
    return {a + first, std::min((std::min(w + r, n) - w) * (hb + 1), end - first)};
}

/// band_block_factor<T, Tr, Rows> of the slab p..w, whose diagonal block is
/// up to date, fetching `ahead` into the cache meanwhile; with a right-hand
/// side y, forward_slab is run on it too: the factorisation's fast form
/// takes the substitution along, each row's step while the row is still in
/// registers, with exactly forward_slab's operations.  Should the fast form
/// not apply, or a pivot fail, the factorisation runs as band_block_factor
/// does, and then forward_slab if no pivot failed.
template <typename T, typename Tr = ElementTraits<T>, RowBody Rows = RowBody::fixed>
void factor_slab(T* a, Index hb, T* y, Index p, Index w, RealOf<T> pivot_floor, ErrorFlags& flags,
                 int phase, const Prefetch<T>& ahead = {}) noexcept {
    const bool fast = y != nullptr ? detail::band_block_factor_local<T, Tr, Rows, true>(
                                         a, hb, p, w, pivot_floor, y + (p - 1), ahead)
                                   : detail::band_block_factor_local<T, Tr, Rows>(
                                         a, hb, p, w, pivot_floor, nullptr, ahead);
    if (fast) return;
    plain::band_block_factor<T, Tr>(a, static_cast<int>(hb), p, w, pivot_floor, flags, phase);
    if (y != nullptr && !error_flag_set(flags, phase)) forward_slab<T, Tr>(a, hb, y, p, w);
}

/// Back substitution, contributions of the solved entries b+1..c of x to the
/// rows lo..hi: y(i) -= U(i, j) x(j), columns in increasing order.
template <typename T, typename Tr = ElementTraits<T>>
void backward_from_solved(const T* a, Index hb, T* y, Index lo, Index hi, Index b,
                          Index c) noexcept {
    for (Index i = lo; i <= hi; ++i) {
        const Index jend = std::min(i + hb, c);
        T yi = y[i - 1];
        for (Index j = b + 1; j <= jend; ++j) yi = Tr::update(yi, band_at(a, hb, i, j), y[j - 1]);
        y[i - 1] = yi;
    }
}

/// Back substitution U(lo:b, lo:b) x = y inside one backward slab whose
/// entries already hold every contribution from the columns after b.
template <typename T, typename Tr = ElementTraits<T>>
void backward_slab(const T* a, Index hb, T* y, Index lo, Index b) noexcept {
    for (Index i = b; i >= lo; --i) {
        const Index jend = std::min(i + hb, b);
        T yi = y[i - 1];
        for (Index j = i + 1; j <= jend; ++j) yi = Tr::update(yi, band_at(a, hb, i, j), y[j - 1]);
        y[i - 1] = Tr::divide(yi, band_at(a, hb, i, i));
    }
}

/// Forward substitution U^T Y = Y for the nrhs columns of y (leading
/// dimension ldy) on one thread, the columns side by side: each row takes
/// its step in every column before the next row, so that the columns'
/// dependency chains overlap and the factor's rows are read once for all of
/// them.  Each column receives exactly forward_slab's operations on it alone
/// (the forward substitution does not depend on the slab height).
template <typename T, typename Tr = ElementTraits<T>>
void forward_columns(const T* a, Index n, Index hb, T* y, Index nrhs, Index ldy) noexcept {
    for (Index i = 1; i <= n; ++i) {
        const T* const ui = &band_at(a, hb, i, i);  // ui[c] = U(i, i+c)
        const Index span = std::min(hb, n - i);
        for (Index r = 0; r < nrhs; ++r) {
            T* const yi = y + r * ldy + (i - 1);
            const T v = yi[0] = Tr::divide(yi[0], ui[0]);
            for (Index c = 1; c <= span; ++c) yi[c] = Tr::update(yi[c], Tr::mirrored(ui[c]), v);
        }
    }
}

/// Row i of the back substitution of one column y in the backward slab
/// ending at row b (slab_solve_backward with slabs of q > hb rows): y(i)
/// takes the columns b+1..i+hb, solved in the stage before, then i+1..b,
/// each run in increasing order, then its division.
template <typename T, typename Tr = ElementTraits<T>>
void backward_row(const T* a, Index n, Index hb, T* y, Index i, Index b) noexcept {
    const T* const ui = &band_at(a, hb, i, i);
    const Index solved = std::min(i + hb, n) - b;  // columns b+1..b+solved
    const Index own = std::min(i + hb, b) - i;     // columns i+1..i+own
    T t = y[i - 1];
    for (Index c = b - i + 1; c <= b - i + solved; ++c) t = Tr::update(t, ui[c], y[i - 1 + c]);
    for (Index c = 1; c <= own; ++c) t = Tr::update(t, ui[c], y[i - 1 + c]);
    y[i - 1] = Tr::divide(t, ui[0]);
}

/// Back substitution U X = Y for the nrhs columns of y side by side on one
/// thread, each column with exactly the operations of slab_solve_backward
/// with backward slabs of q > hb rows on it alone: row i of the slab ending
/// at row b first takes the columns b+1..i+hb, solved in the stage before,
/// then i+1..b, each run in increasing order.
template <typename T, typename Tr = ElementTraits<T>>
void backward_columns(const T* a, Index n, Index hb, T* y, Index nrhs, Index ldy,
                      Index q) noexcept {
    // U(lo:b, lo:b) X(lo:b) = Y(lo:b) - U(lo:b, b+1:) X(b+1:)
    for (Index b = n; b >= 1; b -= q) {
        const Index lo = std::max<Index>(b - q + 1, 1);
        for (Index i = b; i >= lo; --i)
            for (Index r = 0; r < nrhs; ++r) backward_row<T, Tr>(a, n, hb, y + r * ldy, i, b);
    }
}

#if BANDSOLVE_COMPLEX_VECTORS
namespace detail {

/// Lane K of a group: v[K], or 0 beyond the S values of a row (a lane that
/// then checks 0 - 0*0 = 0 against 0).
template <Index S, Index K>
constexpr float row_lane(const float* v) noexcept {
    if constexpr (K < S)
        return v[K];
    else
        return 0.0f;
}

/// Lane K of the x(r+1..r+S) that row J of a window reads (see
/// backward_window_row_sf): x(r+K+1), in slot (J - K - 1) mod S, or 0
/// beyond S.
template <Index S, Index J, Index K>
constexpr float window_lane(const float* w) noexcept {
    if constexpr (K < S)
        return w[(J + S - K - 1) % S];
    else
        return 0.0f;
}

/// Group g (lanes 4g..4g+3) of the check of backward_window_row_sf: every
/// update t(c) = t(c-1) - U(r, r+c) x(r+c) of the row evaluated as the
/// single-precision family defines it (in double, the product of two floats
/// exact there, so fused; then rounded to float) and compared bit for bit
/// with the value the row took.  All ones in the lanes that agree.
template <Index S, Index J, Index G>
__attribute__((target("avx2,fma"), always_inline)) inline __m128i backward_check_sf(
    const float* ur, const float* t, const float* w) noexcept {
    constexpr Index k = 4 * G;
    const __m128 before = _mm_setr_ps(row_lane<S, k>(t), row_lane<S, k + 1>(t),
                                      row_lane<S, k + 2>(t), row_lane<S, k + 3>(t));
    const __m128 after = _mm_setr_ps(row_lane<S, k>(t + 1), row_lane<S, k + 1>(t + 1),
                                     row_lane<S, k + 2>(t + 1), row_lane<S, k + 3>(t + 1));
    const __m128 u = _mm_setr_ps(row_lane<S, k>(ur + 1), row_lane<S, k + 1>(ur + 1),
                                 row_lane<S, k + 2>(ur + 1), row_lane<S, k + 3>(ur + 1));
    const __m128 xs = _mm_setr_ps(window_lane<S, J, k>(w), window_lane<S, J, k + 1>(w),
                                  window_lane<S, J, k + 2>(w), window_lane<S, J, k + 3>(w));
    const __m128 defined = _mm256_cvtpd_ps(
        _mm256_fnmadd_pd(_mm256_cvtps_pd(u), _mm256_cvtps_pd(xs), _mm256_cvtps_pd(before)));
    return _mm_cmpeq_epi32(_mm_castps_si128(defined), _mm_castps_si128(after));
}

/// Whether every group of backward_check_sf agrees.
template <Index S, Index J, Index... G>
__attribute__((target("avx2,fma"), always_inline)) inline bool backward_checks_sf(
    const float* ur, const float* t, const float* w, std::integer_sequence<Index, G...>) noexcept {
    __m128i all = _mm_set1_epi32(-1);
    ((all = _mm_and_si128(all, backward_check_sf<S, J, G>(ur, t, w))), ...);
    return _mm_movemask_epi8(all) == 0xffff;
}

/// Row r = i - J of backward_window, whose S columns r+1..r+S lie in its
/// own slab, so that it takes them in increasing order; x(r+c) is in slot
/// (J - c) mod S of w, and x(r) goes to slot J (where x(r+S), no longer
/// needed, was).
///
/// The row's path is its S dependent updates and its division.  Evaluated
/// as defined, each update widens, subtracts and narrows; here it is one
/// fused multiply-add in single precision, the exact t - u x rounded once
/// to float.  That is the defined value (rounded first to double, then to
/// float) except where the double value falls exactly halfway between two
/// floats and the exact one does not.  So every update is also evaluated
/// as defined, off the path (vectors of four, backward_check_sf), and
/// compared bit for bit with the row's; where any differs, the row is
/// evaluated again as defined.  The division needs no check: the quotient
/// of two floats rounded to double and then to float is the quotient
/// rounded to float (double has more than 2*24 + 1 bits), so it is a
/// division in single precision either way.
template <Index S, Index J, Index... C>
__attribute__((target("avx2,fma"), always_inline)) inline void backward_window_row_sf(
    const float* a, float* y, Index r, float* w, std::integer_sequence<Index, C...>) noexcept {
    using Tr = ElementTraits<float>;
    const float* const ur = a + (r - 1) * (S + 1);  // ur[c] = U(r, r+c)
    float t[S + 1];                                 // t[c]: y(r) after c updates
    t[0] = y[r - 1];
    __m128 v = _mm_set_ss(t[0]);
    ((v = _mm_fnmadd_ss(_mm_set_ss(ur[C + 1]), _mm_set_ss(w[(J + S - C - 1) % S]), v),
      t[C + 1] = _mm_cvtss_f32(v)),
     ...);
    float x = _mm_cvtss_f32(_mm_div_ss(v, _mm_set_ss(ur[0])));
    if (!backward_checks_sf<S, J>(ur, t, w, std::make_integer_sequence<Index, (S + 3) / 4>{}))
        [[unlikely]] {
        float d = t[0];
        ((d = Tr::update(d, ur[C + 1], w[(J + S - C - 1) % S])), ...);
        x = Tr::divide(d, ur[0]);
    }
    y[r - 1] = x;
    w[J] = x;
}

/// The parts of v rounded to float and widened again, by their bits: half
/// a float's last place added, the 29 bits below it cleared: about three
/// cycles on the path, where the conversions there and back take about
/// eleven (measured on an Intel Xeon).  It is the conversions' value for
/// parts in the float normal range that do not lie halfway between two
/// floats (rounded away from zero here, to even there);
/// backward_window_row_cf compares it with theirs off its path.
__attribute__((target("avx2"), always_inline)) inline __m128d float_rounded_bits(
    __m128d v) noexcept {
    const __m128i half = _mm_set1_epi64x(std::int64_t{1} << 28);
    const __m128d kept = _mm_castsi128_pd(_mm_set1_epi64x(-(std::int64_t{1} << 29)));
    return _mm_and_pd(_mm_castsi128_pd(_mm_add_epi64(_mm_castpd_si128(v), half)), kept);
}

/// All ones in the lanes where float_rounded_bits(v) gave `rounded` and
/// the conversions to float and back give it too.
__attribute__((target("avx2"), always_inline)) inline __m128i rounded_as_defined(
    __m128d v, __m128d rounded) noexcept {
    return _mm_cmpeq_epi64(_mm_castpd_si128(_mm_cvtps_pd(_mm_cvtpd_ps(v))),
                           _mm_castpd_si128(rounded));
}

/// One update of backward_window_row_cf, t -= U(r, r+c) x(r+c) with u2 the
/// parts of U(r, r+c) and x those of x(r+c), widened: with u = (ur, ui) and
/// x = (xr, xi), the products x (ur, ur) + (xi, xr) (-ui, ui), each
/// rounded (exact for float parts), then their sum, as
/// ComplexTraits::product forms the parts.  For float the difference is
/// rounded by float_rounded_bits, its check folded into agree.
template <typename C>
__attribute__((target("avx2,fma"), always_inline)) inline void backward_update_cf(
    __m128d& t, __m128i& agree, const C* u2, __m128d x) noexcept {
    const __m128d real_sign = _mm_castsi128_pd(_mm_set_epi64x(0, INT64_MIN));
    const __m128d u = vec::load2(u2);
    const __m128d p = _mm_add_pd(
        _mm_mul_pd(x, _mm_movedup_pd(u)),
        _mm_mul_pd(_mm_permute_pd(x, 0b01), _mm_xor_pd(_mm_unpackhi_pd(u, u), real_sign)));
    const __m128d d = _mm_sub_pd(t, p);
    if constexpr (std::is_same_v<C, float>) {
        t = float_rounded_bits(d);
        agree = _mm_and_si128(agree, rounded_as_defined(d, t));
    } else {
        (void)agree;
        t = d;
    }
}

/// The complex element whose parts v holds (widened, for float).
template <typename C>
__attribute__((target("avx2"), always_inline)) inline std::complex<C> window_element(
    __m128d v) noexcept {
    return {static_cast<C>(_mm_cvtsd_f64(v)), static_cast<C>(_mm_cvtsd_f64(_mm_unpackhi_pd(v, v)))};
}

/// Row r = i - J of backward_window for the complex symmetric families
/// (component type C), the counterpart of backward_window_row_sf: the
/// parts of x(r+c) (widened, for float) in slot (J - c) mod S of w, x(r)
/// into slot J.  The row's path is its S dependent updates and its
/// division, with the operations of Tr::update and of divide_by_avx2.
///
/// Complex single: evaluated as defined, each update subtracts in double
/// and converts the parts to float and back; here the rounding is
/// float_rounded_bits, and the division's quotient (q / den for the
/// numerators q of Smith's formula) is q times the reciprocal of den,
/// formed off the path.  Every step is also evaluated as defined, off the
/// path: the conversions of the same difference, and the division itself,
/// whose results are compared bit for bit with the row's.  They differ only
/// at a tie, outside the float normal range, or where q / den lies within
/// a few units of double's last place of halfway between two floats.
///
/// Complex double: the operations are the defined ones; a numerator that
/// overflows or a huge divisor, where Tr::divide rescales, is checked off
/// the path.
///
/// Where a check fails, or the divisor is zero, the row is evaluated again
/// as defined.
template <typename C, Index S, Index J, Index... K>
__attribute__((target("avx2,fma"), always_inline)) inline void backward_window_row_cf(
    const std::complex<C>* a, std::complex<C>* y, Index r, __m128d* w,
    std::integer_sequence<Index, K...>) noexcept {
    using T = std::complex<C>;
    using Tr = ElementTraits<T>;
    const T* const ur = a + (r - 1) * (S + 1);  // ur[c] = U(r, r+c)
    const C* const uc = reinterpret_cast<const C*>(ur);
    __m128d t = vec::load2(reinterpret_cast<const C*>(y + r - 1));
    __m128i agree = _mm_set1_epi64x(-1);
    (backward_update_cf(t, agree, uc + 2 * (K + 1), w[(J + S - K - 1) % S]), ...);
    // x(r) = t / U(r, r): Smith's numerators, as divide_by_avx2 forms them.
    const typename Tr::Divisor dv = Tr::divisor(ur[0]);
    __m128d fa, fb;
    vec::smith_factors(dv, fa, fb);
    const __m128d q = vec::smith_numerators(t, fa, fb);
    bool redo = dv.zero;
    __m128d x;
    if constexpr (std::is_same_v<C, float>) {
        x = float_rounded_bits(_mm_mul_pd(q, _mm_set1_pd(1.0 / dv.den)));
        agree = _mm_and_si128(agree, rounded_as_defined(_mm_div_pd(q, _mm_set1_pd(dv.den)), x));
        redo = redo || _mm_movemask_epi8(agree) != 0xffff;
    } else {
        x = _mm_div_pd(q, _mm_set1_pd(dv.den));
        redo = redo || dv.huge || vec::any_infinite(q);
    }
    if (redo) [[unlikely]] {
        T d = y[r - 1];
        ((d = Tr::update(d, ur[K + 1], window_element<C>(w[(J + S - K - 1) % S]))), ...);
        const T v = Tr::divide(d, ur[0]);
        x = _mm_setr_pd(v.real(), v.imag());
    }
    vec::store2(reinterpret_cast<C*>(y + r - 1), x);
    w[J] = x;
}

/// The slot of a window that holds one entry of x (see backward_window).
template <typename T>
struct WindowSlot;
template <>
struct WindowSlot<float> {
    using type = float;
    static float of(float x) noexcept { return x; }
};
template <typename C>
struct WindowSlot<std::complex<C>> {
    using type = __m128d;
    __attribute__((target("avx2"))) static __m128d of(std::complex<C> x) noexcept {
        return _mm_setr_pd(x.real(), x.imag());
    }
};

/// Row r = i - J of backward_window: backward_window_row_sf or _cf.
template <Index S, Index J>
__attribute__((target("avx2,fma"), always_inline)) inline void backward_window_row(
    const float* a, float* y, Index r, float* w) noexcept {
    backward_window_row_sf<S, J>(a, y, r, w, std::make_integer_sequence<Index, S>{});
}
template <Index S, Index J, typename C>
__attribute__((target("avx2,fma"), always_inline)) inline void backward_window_row(
    const std::complex<C>* a, std::complex<C>* y, Index r, __m128d* w) noexcept {
    backward_window_row_cf<C, S, J>(a, y, r, w, std::make_integer_sequence<Index, S>{});
}

/// The rows i, i-1, ..., i-S+1 of backward_window.
template <Index S, typename T, typename W, Index... J>
__attribute__((target("avx2,fma"), always_inline)) inline void backward_window_run(
    const T* a, T* y, Index i, W* w, std::integer_sequence<Index, J...>) noexcept {
    (backward_window_row<S, J>(a, y, i - J, w), ...);
}

/// backward_row on the rows i, i-1, ..., lo of one column of float or of a
/// complex type with hb = S, for processors with AVX2 and FMA, where
/// every one of them reaches its S columns inside its own slab (i + S <= b)
/// and i - lo + 1 is a multiple of S: the S entries of x that the next row
/// reads are held in registers, x(m) in slot (i - m) mod S, so that the
/// path from one row's division to the next row's first update has no
/// store and reload.  Each row's bits are backward_row's (see
/// backward_window_row_sf and _cf).
template <Index S, typename T>
__attribute__((target("avx2,fma"))) void backward_window(const T* a, T* y, Index i,
                                                         Index lo) noexcept {
    typename WindowSlot<T>::type w[S];
    for (Index m = 0; m < S; ++m) w[S - 1 - m] = WindowSlot<T>::of(y[i + m]);  // x(i+1+m)
    for (; i >= lo; i -= S)
        backward_window_run<S>(a, y, i, w, std::make_integer_sequence<Index, S>{});
}

/// backward_columns on one column with hb = S (see backward_window): the rows
/// within S of their slab's end, and those left over below the last run of
/// S rows, as backward_row; the others through backward_window.
template <Index S, typename T>
__attribute__((target("avx2,fma"))) void backward_column_windows(const T* a, Index n, T* y,
                                                                 Index q) noexcept {
    for (Index b = n; b >= 1; b -= q) {
        const Index lo = std::max<Index>(b - q + 1, 1);
        Index i = b;
        for (; i >= lo && i + S > b; --i) backward_row<T>(a, n, S, y, i, b);
        const Index window = (i - lo + 1) / S * S;
        if (window > 0) {
            backward_window<S>(a, y, i, i - window + 1);
            i -= window;
        }
        for (; i >= lo; --i) backward_row<T>(a, n, S, y, i, b);
    }
}

/// backward_columns on one column of float or of a complex type through
/// backward_column_windows, for hb = 1..FIXED_SPANS; false (nothing done)
/// for other hb.
template <typename T, Index... S>
bool backward_column_fixed(const T* a, Index n, Index hb, T* y, Index q,
                           std::integer_sequence<Index, S...>) noexcept {
    return ((hb == S + 1 ? (backward_column_windows<S + 1>(a, n, y, q), true) : false) || ...);
}

}  // namespace detail
#endif

/// The rows of the factor in band storage, for the lane sweeps.
template <typename T>
struct SlabRows {
    const T* a;
    Index hb;
    const T* diagonal(Index i) const noexcept { return &band_at(a, hb, i, i); }
    static constexpr Index along_row() noexcept { return 1; }
};

/// forward_columns with the columns in SIMD lanes: groups of 4 slots, then
/// of one (16 and 4 columns of a real type on four lanes; 4 and 1 complex
/// columns), the columns left over in place, side by side.  Without memory
/// for a tile every column runs in place.
template <typename T, typename Tr, typename Isa>
void forward_columns_lanes(const T* a, Index n, Index hb, T* y, Index nrhs, Index ldy) noexcept {
    Index done = 0;
    if (nrhs > 1)
        done = run_column_lanes<T, Tr, Isa>(hb, y, nrhs, ldy, [&](const auto& group) {
            group.forward(n, hb, SlabRows<T>{a, hb});
        });
    forward_columns<T, Tr>(a, n, hb, y + done * ldy, nrhs - done, ldy);
}

/// backward_columns with the columns in SIMD lanes, grouped as in
/// forward_columns_lanes.
template <typename T, typename Tr, typename Isa>
void backward_columns_lanes(const T* a, Index n, Index hb, T* y, Index nrhs, Index ldy,
                            Index q) noexcept {
    Index done = 0;
    if (nrhs > 1)
        done = run_column_lanes<T, Tr, Isa>(hb, y, nrhs, ldy, [&](const auto& group) {
            group.backward_rows(n, hb, q, SlabRows<T>{a, hb});
        });
    backward_columns<T, Tr>(a, n, hb, y + done * ldy, nrhs - done, ldy, q);
}

}  // namespace bandsolve
