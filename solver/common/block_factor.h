// Cholesky factorisation of one diagonal block of a band matrix, in place:
// the plain form, loop for loop in the order that defines the result, and
// the fast form the solvers run, which gives exactly its bytes.
#pragma once

#include <algorithm>
#include <complex>
#include <type_traits>
#include <utility>

#include "solver/common/band_access.h"
#include "solver/common/complex_vectors.h"

namespace bandsolve {

namespace plain {

/// Factorises rows first..last of the band array as U^T U, touching only
/// band elements with both row and column in first..last.  Row i of U is
/// finished before row i + 1 is updated.  A pivot that fails the element
/// type's test sets flags[phase] and returns at once: rows before it hold
/// their factor, row i its updated values, later rows are untouched.
/// A negative hb counts as 0; last < first does nothing.
template <typename T, typename Tr = ElementTraits<T>>
void band_block_factor(T* a, int hb, Index first, Index last, RealOf<T> pivot_floor,
                       ErrorFlags& flags, int phase) noexcept {
    const Index w = std::max(hb, 0);
    for (Index i = first; i <= last; ++i) {
        // A(i, i:) -= sum over earlier rows k of U(k, i) U(k, i:)
        for (Index k = std::max(first, i - w); k < i; ++k) {
            const T uki = Tr::mirrored(band_at(a, w, k, i));
            const Index jend = std::min(k + w, last);
            for (Index j = i; j <= jend; ++j) {
                T& aij = band_at(a, w, i, j);
                aij = Tr::update(aij, band_at(a, w, k, j), uki);
            }
        }
        T& d = band_at(a, w, i, i);
        if (Tr::pivot_fails(d, pivot_floor)) {
            raise_error_flag(flags, phase);
            return;
        }
        d = Tr::sqrt(d);
        // U(i, i+1:) = A(i, i+1:) / U(i, i)
        const Index jend = std::min(i + w, last);
        for (Index j = i + 1; j <= jend; ++j) {
            T& aij = band_at(a, w, i, j);
            aij = Tr::divide(aij, d);
        }
    }
}

}  // namespace plain

/// How the fast form of the factorisation runs a block's rows.
enum class RowBody {
    /// One loop for every span (the block-tree steps, whose many bodies
    /// keep it).
    general,
    /// Rows that reach hb <= FIXED_SPANS columns through factor_fixed_row,
    /// whose loops have a fixed length (the slab solver, whose blocks are
    /// hundreds of rows tall).
    fixed,
    /// The same, the complex symmetric families' rows written for AVX2
    /// (factor_fixed_row_avx2); only for processors with AVX2 and FMA.  The
    /// other families run as with `fixed`.
    fixed_avx2,
};

/// Band elements that the caller reads next (the slab solver: the next
/// slab's rows), fetched into the cache a row at a time while a block is
/// factorised, so that the arithmetic does not wait for them later.
template <typename T>
struct Prefetch {
    const T* first = nullptr;
    Index elements = 0;

    /// Asks for elements k*row .. (k+1)*row - 1 of the run.
    void rows(Index k, Index row) const noexcept {
        constexpr Index line = std::max<Index>(64 / sizeof(T), 1);
        const Index to = std::min((k + 1) * row, elements);
        for (Index e = k * row; e < to; e += line) __builtin_prefetch(first + e);
    }
};

namespace detail {

/// Right-looking factorisation of the rows k = 0..rows-1 of a band block
/// stored with row stride hb + 1 (element (k, c) at k*(hb+1) + c - k).  As
/// soon as row k is finished its updates go to the rows below it,
/// A(i, i:k+hb) -= U(k, i) U(k, i:k+hb); every element still receives its
/// updates in increasing k, exactly as the row-by-row form gives them, but
/// the updates of one row are independent of each other and of the next
/// pivot's square root.  Returns false at the first failing pivot, with the
/// rows below it already partly updated.
///
/// With Forward, y[0..rows-1] (the block's entries of a right-hand side,
/// holding every contribution from the rows above the block) takes the
/// forward substitution U^T y = y along: as soon as row k is finished,
/// y(k) /= U(k, k) and y(k+c) -= U(k, k+c) y(k), c = 1..span, while row k is
/// still in registers; every entry receives its updates in increasing k,
/// then its division, as the substitution after the factorisation gives
/// them.  After a failed pivot y is partly transformed.
///
/// Row k of factor_right_looking when it reaches the constant S columns
/// beyond its diagonal inside the block (row_k = its diagonal element):
/// every loop has a fixed length, which the compiler unrolls and
/// vectorises; the operations and their order are the general loop's.  The
/// pivot's divisor is prepared once for its S divisions, which leaves every
/// quotient as it was.  The forward step's quotient goes through
/// Tr::divide: with the prepared divisor there, GCC 12 at -O3 gave the
/// complex single family entries an ulp away from forward_slab's, a rounding
/// lost as in the fold described at BANDSOLVE_KEEP_VECTOR_ROUNDING in the
/// top-level CMakeLists.txt (-fno-tree-slp-vectorize removed the
/// difference); the byte comparisons with forward_slab catch it.
template <Index S, typename T, typename Tr, bool Forward>
bool factor_fixed_row(T* __restrict row_k, RealOf<T> pivot_floor, T* __restrict y) noexcept {
    T d;
    if (Tr::pivot_root_fails(row_k[0], pivot_floor, d)) return false;
    row_k[0] = d;
    const typename Tr::Divisor dv = Tr::divisor(d);
    T r[S + 1];  // r[c] = U(k, k+c)
    for (Index c = 1; c <= S; ++c) r[c] = Tr::divide_by(row_k[c], dv);
    for (Index c = 1; c <= S; ++c) row_k[c] = r[c];
    if constexpr (Forward) {
        const T yk = y[0] = Tr::divide(y[0], d);
        for (Index c = 1; c <= S; ++c) y[c] = Tr::update(y[c], Tr::mirrored(r[c]), yk);
    }
    for (Index i = 1; i <= S; ++i) {
        T* __restrict row_i = row_k + i * (S + 1);  // row_i[c - i] = A(k+i, k+c)
        const T uki = Tr::mirrored(r[i]);
        for (Index c = i; c <= S; ++c) row_i[c - i] = Tr::update(row_i[c - i], r[c], uki);
    }
    return true;
}

/// Half bandwidths for which factor_right_looking can run factor_fixed_row.
inline constexpr Index FIXED_SPANS = 16;

/// factor_fixed_row<hb> on rows k, k+1, ... while they reach hb columns
/// inside the block, for hb in 1..FIXED_SPANS, asking for row k of `ahead`
/// with row k; false at a failed pivot.
template <typename T, typename Tr, bool Forward, Index... S>
bool factor_fixed_rows(T* blk, Index hb, Index rows, RealOf<T> pivot_floor, T* y, Index& k,
                       const Prefetch<T>& ahead, std::integer_sequence<Index, S...>) noexcept {
    bool ok = true;
    auto run = [&]<Index Span>() {
        for (; k + Span < rows; ++k) {
            ahead.rows(k, Span + 1);
            if (!factor_fixed_row<Span, T, Tr, Forward>(blk + k * (Span + 1), pivot_floor,
                                                        Forward ? y + k : nullptr))
                return false;
        }
        return true;
    };
    (void)((hb == S + 1 ? (ok = run.template operator()<S + 1>(), true) : false) || ...);
    return ok;
}

/// Whether RowBody::fixed_avx2 has rows of its own for T with traits Tr:
/// the complex symmetric families.
template <typename T, typename Tr>
inline constexpr bool has_avx2_rows =
    ElementTraits<T>::is_complex&& std::is_same_v<Tr, ElementTraits<T>>;

#if BANDSOLVE_COMPLEX_VECTORS
/// Tr::divide_by, out of line: compiled for the baseline processor, where
/// no fused multiply-add exists that the compiler could form.
template <typename T, typename Tr>
[[gnu::noinline]] T divide_by_baseline(T x, typename Tr::Divisor dv) noexcept {
    return Tr::divide_by(x, dv);
}

/// Tr::divide_by(x, dv) for the complex symmetric families in AVX2 code,
/// bit for bit, for a divisor neither zero nor huge (those rows run as
/// factor_fixed_row), with (a, b) the vectors of factor_fixed_row_avx2's
/// quotients (the same formula for one element, in the low halves).  Written out
/// because in code built for FMA, GCC 12 can turn the scalar formula's
/// product and sum, and its product and difference, into one fused
/// multiply-subtract-add despite -ffp-contract=off (seen in the
/// sanitizer builds).  A numerator with an infinite part, where the formula
/// may rescale, takes the scalar division out of line.
template <typename C>
__attribute__((target("avx2,fma"), always_inline)) inline std::complex<C> divide_by_avx2(
    std::complex<C> x, const typename ElementTraits<std::complex<C>>::Divisor& dv, __m256d a,
    __m256d b) noexcept {
    using T = std::complex<C>;
    const __m128d q = vec::smith_numerators(_mm_setr_pd(x.real(), x.imag()),
                                            _mm256_castpd256_pd128(a), _mm256_castpd256_pd128(b));
    if constexpr (complex_parts_may_overflow<C, double>) {
        if (vec::any_infinite(q)) [[unlikely]]
            return divide_by_baseline<T, ElementTraits<T>>(x, dv);
    }
    const __m128d w = _mm_div_pd(q, _mm_set1_pd(dv.den));
    return {static_cast<C>(_mm_cvtsd_f64(w)), static_cast<C>(_mm_cvtsd_f64(_mm_unpackhi_pd(w, w)))};
}

/// factor_fixed_row for the complex symmetric families (C the component
/// type), written for AVX2 and FMA: two elements (four parts in double) per
/// vector.  The operations are the scalar row's, so are the bits:
///  - Smith's quotients ((a + b r)/den, (b - a r)/den), or ((a r + b)/den,
///    (b r - a)/den), formed for two elements at once as (v A + swap(v) B)/den
///    with (A, B) = ((1, 1), (r, -r)), or ((r, r), (1, -1)), v = (a, b): a
///    product by 1 is exact, and adding a (-r) is subtracting a r, so every
///    part is the scalar formula's value, rounded to C once;
///  - the updates through vec::update2, with the product's parts formed
///    as ComplexTraits::product forms them: x yr + x yi (-1) in the real
///    part, x yi + x yr in the imaginary one (a sum, in either order);
///  - a complex double row whose numerators or divisor overflow (where
///    complex_divide_by rescales) runs as factor_fixed_row, as does a zero
///    divisor, which a passed pivot never gives.
/// rd and rs hold 4 * ((S + 1) / 2) doubles each, 32-byte aligned: the
/// row's multipliers as stored, widened, and with their parts swapped.
template <Index S, typename C, bool Forward>
__attribute__((target("avx2,fma"), always_inline)) inline bool factor_fixed_row_avx2(
    std::complex<C>* __restrict row_k, C pivot_floor, std::complex<C>* __restrict y,
    double* __restrict rd, double* __restrict rs) noexcept {
    using T = std::complex<C>;
    using Tr = ElementTraits<T>;
    constexpr Index P = (S + 1) / 2;  // pairs of multipliers, the last one half when S is odd
    T d;
    if (Tr::pivot_root_fails(row_k[0], pivot_floor, d)) return false;
    const typename Tr::Divisor dv = Tr::divisor(d);
    __m256d a, b;
    vec::smith_factors(dv, a, b);
    C* const f = reinterpret_cast<C*>(row_k + 1);  // U(k, k+c) at 2(c-1)
    // The numerators of U(k, k+c), two elements per vector.
    __m256d q[P];
#pragma GCC unroll 16
    for (Index p = 0; p < P; ++p) {
        const __m256d v =
            2 * p + 2 <= S ? vec::load4(f + 4 * p) : _mm256_zextpd128_pd256(vec::load2(f + 4 * p));
        q[p] = vec::smith_numerators(v, a, b);
    }
    bool scalar = dv.zero;
    if constexpr (complex_parts_may_overflow<C, double>) {
        const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
        const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
        __m256d overflow = _mm256_setzero_pd();
        for (Index p = 0; p < P; ++p)
            overflow = _mm256_or_pd(overflow,
                                    _mm256_cmp_pd(_mm256_and_pd(q[p], magnitude), inf, _CMP_EQ_OQ));
        scalar = scalar || dv.huge || _mm256_movemask_pd(overflow) != 0;
    }
    if (scalar) [[unlikely]]
        return factor_fixed_row<S, T, Tr, Forward>(row_k, pivot_floor, y);
    row_k[0] = d;
    // U(k, k+1:) = A(k, k+1:) / U(k, k), kept widened as stored.
    const __m256d den = _mm256_set1_pd(dv.den);
#pragma GCC unroll 16
    for (Index p = 0; p < P; ++p) {
        __m256d w = _mm256_div_pd(q[p], den);
        if (2 * p + 2 <= S) {
            vec::store4(f + 4 * p, w);
            if constexpr (std::is_same_v<C, float>) w = vec::load4(f + 4 * p);
        } else {
            vec::store2(f + 4 * p, _mm256_castpd256_pd128(w));
            if constexpr (std::is_same_v<C, float>)
                w = _mm256_zextpd128_pd256(vec::load2(f + 4 * p));
        }
        _mm256_store_pd(rd + 4 * p, w);
        _mm256_store_pd(rs + 4 * p, _mm256_permute_pd(w, 0b0101));
    }
    if constexpr (Forward) {
        // y(k) /= U(k, k); y(k+c) -= U(k, k+c) y(k)
        const T yk = y[0] = divide_by_avx2(y[0], dv, a, b);
        const double vr = yk.real(), vi = yk.imag();
        vec::update_run(reinterpret_cast<C*>(y + 1), rd, rs, _mm256_set1_pd(vr),
                        _mm256_setr_pd(-vi, vi, -vi, vi), S);
    }
    // A(k+i, k+c) -= U(k, k+i) U(k, k+c), c = i..S, in vectors over c.
#pragma GCC unroll 16
    for (Index i = 1; i <= S; ++i) {
        const double ur = rd[2 * (i - 1)], ui = rd[2 * (i - 1) + 1];
        vec::update_run(reinterpret_cast<C*>(row_k + i * (S + 1)), rd + 2 * (i - 1),
                        rs + 2 * (i - 1), _mm256_set1_pd(ur), _mm256_setr_pd(-ui, ui, -ui, ui),
                        S - i + 1);
    }
    return true;
}

/// factor_fixed_row_avx2<S> on rows k, k+1, ... while they reach S columns
/// inside the block, asking for row k of `ahead` with row k; false at a
/// failed pivot.
template <Index S, typename C, bool Forward>
__attribute__((target("avx2,fma"))) bool factor_span_avx2(
    std::complex<C>* blk, Index rows, C pivot_floor, std::complex<C>* y, Index& k,
    const Prefetch<std::complex<C>>& ahead) noexcept {
    alignas(32) double rd[4 * ((S + 1) / 2)];
    alignas(32) double rs[4 * ((S + 1) / 2)];
    for (; k + S < rows; ++k) {
        ahead.rows(k, S + 1);
        if (!factor_fixed_row_avx2<S, C, Forward>(blk + k * (S + 1), pivot_floor,
                                                  Forward ? y + k : nullptr, rd, rs))
            return false;
    }
    return true;
}

/// factor_fixed_rows with the rows of factor_fixed_row_avx2.
template <typename C, bool Forward, Index... S>
__attribute__((target("avx2,fma"), noinline)) bool factor_fixed_rows_avx2(
    std::complex<C>* blk, Index hb, Index rows, C pivot_floor, std::complex<C>* y, Index& k,
    const Prefetch<std::complex<C>>& ahead, std::integer_sequence<Index, S...>) noexcept {
    bool ok = true;
    (void)((hb == S + 1
                ? (ok = factor_span_avx2<S + 1, C, Forward>(blk, rows, pivot_floor, y, k, ahead),
                   true)
                : false) ||
           ...);
    return ok;
}
#endif

/// Rows: how the rows run (see RowBody).  Forward: y takes the forward
/// substitution along (see factor_fixed_row).  The fixed rows ask for
/// `ahead` as they go, a row of it with each of theirs.
template <typename T, typename Tr = ElementTraits<T>, RowBody Rows = RowBody::general,
          bool Forward = false>
bool factor_right_looking(T* __restrict blk, Index hb, Index rows, RealOf<T> pivot_floor,
                          T* __restrict y = nullptr, const Prefetch<T>& ahead = {}) noexcept {
    Index k0 = 0;
    if constexpr (Rows != RowBody::general) {
        constexpr auto spans = std::make_integer_sequence<Index, FIXED_SPANS>{};
        bool ok;
#if BANDSOLVE_COMPLEX_VECTORS
        if constexpr (Rows == RowBody::fixed_avx2 && has_avx2_rows<T, Tr>)
            ok = factor_fixed_rows_avx2<RealOf<T>, Forward>(blk, hb, rows, pivot_floor, y, k0,
                                                            ahead, spans);
        else
#endif
            ok = factor_fixed_rows<T, Tr, Forward>(blk, hb, rows, pivot_floor, y, k0, ahead, spans);
        if (!ok) return false;
    }
    for (Index k = k0; k < rows; ++k) {
        T* __restrict row_k = blk + k * (hb + 1);  // row_k[c] = A(k, k+c)
        T d;
        if (Tr::pivot_root_fails(row_k[0], pivot_floor, d)) return false;
        row_k[0] = d;
        const typename Tr::Divisor dv = Tr::divisor(d);
        const Index span = std::min(hb, rows - 1 - k);
        for (Index c = 1; c <= span; ++c) row_k[c] = Tr::divide_by(row_k[c], dv);
        if constexpr (Forward) {
            const T yk = y[k] = Tr::divide(y[k], d);
            for (Index c = 1; c <= span; ++c)
                y[k + c] = Tr::update(y[k + c], Tr::mirrored(row_k[c]), yk);
        }
        for (Index i = 1; i <= span; ++i) {
            T* __restrict row_i = row_k + i * (hb + 1);  // row_i[c - i] = A(k+i, k+c)
            const T uki = Tr::mirrored(row_k[i]);
            for (Index c = i; c <= span; ++c)
                row_i[c - i] = Tr::update(row_i[c - i], row_k[c], uki);
        }
    }
    return true;
}

/// The fast form of band_block_factor: the block factorised right-looking
/// in a local copy and written back.  Returns false, with the band array
/// untouched, when the block does not fit the local buffer or a pivot
/// fails.  With Forward, y (the entries first..last of a right-hand side,
/// y[0] the entry of row first) takes the forward substitution along, in
/// place; after a false return it may be partly transformed.  `ahead` is
/// fetched into the cache meanwhile (see factor_right_looking).
template <typename T, typename Tr = ElementTraits<T>, RowBody Rows = RowBody::general,
          bool Forward = false>
bool band_block_factor_local(T* a, Index w, Index first, Index last, RealOf<T> pivot_floor,
                             T* y = nullptr, const Prefetch<T>& ahead = {}) noexcept {
    const Index rows = last - first + 1;
    if (rows * (w + 1) > LOCAL_BUFFER_ELEMENTS<T>) return false;
    T blk[LOCAL_BUFFER_ELEMENTS<T>];
    T* const base = a + (first - 1) * (w + 1);  // A(first, first)
    // The first rows - hb rows lie wholly inside the block, a run of
    // consecutive elements; the last hb rows only up to column `last`.
    const Index whole = std::max<Index>(rows - w, 0);
    auto copy_rows = [&](T* dst, const T* src) {
        std::copy(src, src + whole * (w + 1), dst);
        for (Index k = whole; k < rows; ++k) {
            const Index len = rows - k;
            std::copy(src + k * (w + 1), src + k * (w + 1) + len, dst + k * (w + 1));
        }
    };
    copy_rows(blk, base);
    if (!factor_right_looking<T, Tr, Rows, Forward>(blk, w, rows, pivot_floor, y, ahead))
        return false;
    copy_rows(base, blk);
    return true;
}

}  // namespace detail

/// Factorises rows first..last of the band array as U^T U, touching only
/// band elements with both row and column in first..last.  Row i of U is
/// finished before row i + 1 is tested, and each element takes its updates
/// from the rows above it in increasing order.  A pivot that fails the
/// element type's test sets flags[phase] and returns: rows before it hold
/// their factor, row i its updated values, later rows are untouched.
/// A negative hb counts as 0; last < first does nothing.
///
/// The block is factorised right-looking in a local copy and written back;
/// should a pivot fail, the row-by-row form runs on the untouched array
/// instead, so that the rows after the failing one stay as they were.
/// Rows: how the rows run (see RowBody).
template <typename T, typename Tr = ElementTraits<T>, RowBody Rows = RowBody::general>
void band_block_factor(T* a, int hb, Index first, Index last, RealOf<T> pivot_floor,
                       ErrorFlags& flags, int phase) noexcept {
    if (last < first) return;
    if (detail::band_block_factor_local<T, Tr, Rows>(a, std::max(hb, 0), first, last, pivot_floor))
        return;
    plain::band_block_factor<T, Tr>(a, hb, first, last, pivot_floor, flags, phase);
}

/// The factorisation of each family: _s real single, _d real double,
/// _c complex single, _z complex double.
inline constexpr auto band_block_factor_s = &band_block_factor<float>;
inline constexpr auto band_block_factor_d = &band_block_factor<double>;
inline constexpr auto band_block_factor_c = &band_block_factor<complex_float>;
inline constexpr auto band_block_factor_z = &band_block_factor<complex_double>;

}  // namespace bandsolve
