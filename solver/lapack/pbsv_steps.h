// Arithmetic of the LAPACK-style entries, done where the caller's band array
// lies, in either of LAPACK's layouts: the factorisation A = U^H U, the
// forward substitution U^H y = b (fused into the factorisation, or alone
// with a finished factor) and a column-oriented back substitution U x = y.  One thread; the active
// window of the band (kd + 1 rows) stays in L1 while each of two sweeps streams through the array
// once: factorisation with forward substitution, then back substitution.
//
// Bits.  The factor gets exactly the operations of the slab entries'
// factorisation (every element its updates in increasing row order, each
// rounded, then its division), and the forward substitution those of theirs
// (y(j) -= U(i, j) y(i) for i increasing).  The back substitution is ordered
// by columns: as soon as x(i) is known, y(k) -= U(k, i) x(i) for the kd rows
// above, so row k takes its updates in decreasing column order and waits for
// only one update and one division of the row below it.  The result depends
// on neither the layout nor the team, but differs in the last bits from the
// slab entries' back substitution, which takes the columns in increasing
// order.
#pragma once

#include <algorithm>
#include <bit>
#include <complex>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "solver/common/band_access.h"
#include "solver/common/column_lanes.h"
#include "solver/common/complex_vectors.h"

namespace bandsolve {
namespace detail {

/// The upper factor U, U(i, j) for i <= j <= i + kd (1-based), in a LAPACK
/// band array with leading dimension ldab.  Row-wise: U(i, j) at
/// (i-1)*ldab + j - i, which is LAPACK's 'L' layout read as rows (and our
/// band storage when ldab = kd + 1).  Column-wise: at (j-1)*ldab + kd + i - j,
/// LAPACK's 'U' layout.
template <typename T, bool ColumnWise>
struct LapackBandView {
    T* ab;
    Index kd;
    Index ldab;

    /// Distance from U(i, j) to U(i, j + 1).
    Index along_row() const noexcept { return ColumnWise ? ldab - 1 : 1; }
    /// Distance from U(i, j) to U(i + 1, j).
    Index down_column() const noexcept { return ColumnWise ? 1 : ldab - 1; }
    /// U(i, i).
    T* diagonal(Index i) const noexcept { return ab + (i - 1) * ldab + (ColumnWise ? kd : 0); }
    /// Asks for the ldab elements of row i (row-wise) or column i
    /// (column-wise) to be fetched into the cache.
    void prefetch(Index i) const noexcept {
        constexpr Index line = std::max<Index>(64 / sizeof(T), 1);
        const T* const first = ab + (i - 1) * ldab;
        for (Index e = 0; e < ldab; e += line) __builtin_prefetch(first + e);
    }
};

/// How many rows ahead of the one it factorises a sweep of fixed rows asks
/// for the band (see LapackBandView::prefetch): on the benchmark problem,
/// band_pbsv_s 'L' took 87 ms without, 80 to 81 ms at 16, 64 or 256 rows.
inline constexpr Index PBSV_PREFETCH_ROWS = 64;

/// How many rows beyond the band's last one the back substitution asks for
/// the rows it reads next (U(i-q, i) lies in row i-q in either layout's
/// terms: see LapackBandView::prefetch).  The sweeps of wider rows ask
/// for row k + hb, the band's newest row, as they factorise row k: in the
/// 'L' layout that row is updated an element further at each of the next
/// hb steps.  At kd = 64 (n = 250,000) the two together took band_pbsv_z
/// 'L' from 360 to 276 ms, _c from 296 to 264, _d from 127 to 115, and
/// 'U' from 308 to 283, 265 to 246 and 128 to 118; at kd = 32, 'L', from 214
/// to 170 (z), 186 to 162 (c) and 90 to 79 ms (d); at kd = 8 the complex
/// back substitutions' share took _z 'L' from 107 to 98 ms.
inline constexpr Index PBSV_BACKWARD_PREFETCH_ROWS = 16;

/// Rows of the multipliers that the column-wise factorisation gathers at a
/// time into a local buffer.
inline constexpr Index PBSV_GATHER = 256;

/// Whether the steps work on conj(A) and conj(b) for the caller's A and b:
/// LAPACK's 'L' layout read row-wise holds conj(A) (see lapack_style.h).
template <typename T, bool ColumnWise>
inline constexpr bool conjugated_view = !ColumnWise && ElementTraits<T>::is_complex;

/// Right-hand sides from which the sweeps run the columns in SIMD lanes
/// (see column_lanes.h): the factorisation then runs first, and the forward
/// substitution after it, so that b is untouched when a pivot fails and
/// needs no copy.  The operations on every column stay the same.
inline constexpr Index PBSV_LANE_COLUMNS = 4;

/// Whether pbsv_factor_forward needs PbsvColumns::saved for nrhs columns.
constexpr bool pbsv_keeps_b_aside(Index nrhs) noexcept {
    return nrhs > 0 && nrhs < PBSV_LANE_COLUMNS;
}

/// The forward substitution U^H y = b on nrhs columns with a finished
/// factor, with the fused sweep's operations (y(k) /= U(k, k), then y(k+c)
/// -= conj(U(k, k+c)) y(k)), so a factorisation followed by this gives the
/// fused sweep's bits: the columns in lanes, the few left over in place,
/// side by side.  A conjugated view works on conj(b), as the fused sweep
/// does.
template <typename T, typename Tr, bool ColumnWise>
void pbsv_forward(LapackBandView<const T, ColumnWise> f, Index n, Index hb, T* y, Index nrhs,
                  Index ldy) noexcept {
    constexpr bool conj = conjugated_view<T, ColumnWise>;
    const Index done = run_column_lanes<T, Tr, lanes::PortableIsa>(
        hb, y, nrhs, ldy, [&](const auto& group) { group.forward(n, hb, f); }, conj);
    if (done == nrhs) return;
    const Index s = f.along_row();
    if constexpr (conj)
        for (Index r = done; r < nrhs; ++r)
            for (Index j = 0; j < n; ++j) y[r * ldy + j] = conj_if(y[r * ldy + j], true);
    for (Index k = 1; k <= n; ++k) {
        const T* const rk = f.diagonal(k);
        const Index span = std::min(hb, n - k);
        for (Index r = done; r < nrhs; ++r) {
            T* const yk = y + r * ldy + (k - 1);
            const T v = yk[0] = Tr::divide(yk[0], rk[0]);
            for (Index c = 1; c <= span; ++c) yk[c] = Tr::update(yk[c], Tr::mirrored(rk[c * s]), v);
        }
    }
}

/// The right-hand sides of one solve: nrhs columns of y, leading dimension
/// ldy.  `saved` (n x nrhs, leading dimension n) receives each entry before
/// the forward substitution first changes it, so that a factorisation that
/// stops can leave b as it was (only for fewer than PBSV_LANE_COLUMNS
/// columns: see pbsv_keeps_b_aside).
template <typename T>
struct PbsvColumns {
    T* y;
    Index nrhs;
    Index ldy;
    T* saved;

    /// Column q, whose entries from..to-1 the forward substitution reaches
    /// for the first time: each is saved, then conjugated when `conj` (the
    /// layout keeps conj(U)).  n: the order, the leading dimension of saved.
    T* reach(Index q, Index n, Index from, Index to, bool conj) const noexcept {
        T* const yq = y + q * ldy;
        T* const sq = saved + q * n;
        for (Index j = from; j < to; ++j) {
            sq[j] = yq[j];
            yq[j] = conj_if(yq[j], conj);
        }
        return yq;
    }
};

/// One row k of pbsv_factor_forward whose span (the columns it reaches
/// beyond its diagonal) is the constant S, so that every loop has a fixed
/// length: the compiler unrolls them and vectorises the divisions and the
/// updates.  Row k is read once into a local array (contiguous in either
/// layout) and written back after its divisions.  The operations and their
/// order are those of the general loop.  False when the pivot fails;
/// nothing is changed then.
template <Index S, typename T, typename Tr, bool ColumnWise>
bool pbsv_fixed_row(LapackBandView<T, ColumnWise> u, Index n, Index k, PbsvColumns<T>& b,
                    Index& touched) noexcept {
    constexpr bool conj = conjugated_view<T, ColumnWise>;
    const Index s = u.along_row(), t = u.down_column();
    T* const __restrict rk = u.diagonal(k);
    if (Tr::pivot_fails(rk[0], RealOf<T>(0))) return false;
    const T d = Tr::sqrt(rk[0]);
    rk[0] = d;
    T r[S + 1];  // r[c] = U(k, k+c)
    for (Index c = 1; c <= S; ++c) r[c] = Tr::divide(rk[c * s], d);
    for (Index c = 1; c <= S; ++c) rk[c * s] = r[c];
    if (b.nrhs > 0) {
        const Index reach = k + S;
        for (Index q = 0; q < b.nrhs; ++q) {
            T* const yr = b.reach(q, n, touched, reach, conj);
            T* const yk = yr + (k - 1);
            const T v = yk[0] = Tr::divide(yk[0], d);
            for (Index c = 1; c <= S; ++c) yk[c] = Tr::update(yk[c], Tr::mirrored(r[c]), v);
        }
        touched = reach;
    }
    if constexpr (!ColumnWise) {
        for (Index i = 1; i <= S; ++i) {
            T* const __restrict ri = rk + i * t + i;  // ri[c - i] = A(k+i, k+c)
            const T uki = Tr::mirrored(r[i]);
            for (Index c = i; c <= S; ++c) ri[c - i] = Tr::update(ri[c - i], r[c], uki);
        }
    } else {
        T m[S + 1];
        for (Index i = 1; i <= S; ++i) m[i] = Tr::mirrored(r[i]);
        for (Index c = 1; c <= S; ++c) {
            T* const __restrict col = rk + c * s;  // col[i] = A(k+i, k+c)
            for (Index i = 1; i <= c; ++i) col[i] = Tr::update(col[i], r[c], m[i]);
        }
    }
    return true;
}

/// Half bandwidths whose rows run pbsv_fixed_row where they reach hb
/// columns: the narrow bands, on which the loops' own cost is the largest
/// share.
inline constexpr Index PBSV_FIXED_SPANS = 16;

/// Runs pbsv_fixed_row<hb> on rows k, k+1, ... while they reach hb columns,
/// for hb in 1..PBSV_FIXED_SPANS; false at a failed pivot (k is then its
/// row).
template <typename T, typename Tr, bool ColumnWise, Index... S>
bool pbsv_fixed_rows(LapackBandView<T, ColumnWise> u, Index n, Index hb, PbsvColumns<T>& b,
                     Index& k, Index& touched, std::integer_sequence<Index, S...>) noexcept {
    bool ok = true;
    auto rows = [&]<Index Span>() {
        for (; k + Span <= n; ++k)
            if (!pbsv_fixed_row<Span, T, Tr>(u, n, k, b, touched)) return false;
        return true;
    };
    (void)((hb == S + 1 ? (ok = rows.template operator()<S + 1>(), true) : false) || ...);
    return ok;
}

/// Whether the AVX2 body's complex rows wider than the fixed spans run
/// their updates in AVX-512 vectors: the processor has AVX-512 and no test
/// has asked for another body (see lapack_style.h).  Always false on other
/// architectures.
bool pbsv_use_avx512() noexcept;

#if defined(__x86_64__) || defined(__i386__)
#define BANDSOLVE_PBSV_WIDE 1

/// The elements at e0 and (when `second`) e1 divided part by part by the
/// real pivot, in double, stored back rounded; returns the quotients as
/// stored, widened.
__attribute__((target("avx2"), always_inline)) inline __m256d pbsv_divide_pair(
    float* e0, float* e1, bool second, __m256d pivot) noexcept {
    __m128 a = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(e0)));
    if (second) a = _mm_loadh_pi(a, reinterpret_cast<const __m64*>(e1));
    const __m128 quotient = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_cvtps_pd(a), pivot));
    _mm_storel_pi(reinterpret_cast<__m64*>(e0), quotient);
    if (second) _mm_storeh_pi(reinterpret_cast<__m64*>(e1), quotient);
    return _mm256_cvtps_pd(quotient);
}
__attribute__((target("avx2"), always_inline)) inline __m256d pbsv_divide_pair(
    double* e0, double* e1, bool second, __m256d pivot) noexcept {
    const __m128d hi = second ? _mm_loadu_pd(e1) : _mm_setzero_pd();
    const __m256d quotient =
        _mm256_div_pd(_mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(e0)), hi, 1), pivot);
    _mm_storeu_pd(e0, _mm256_castpd256_pd128(quotient));
    if (second) _mm_storeu_pd(e1, _mm256_extractf128_pd(quotient, 1));
    return quotient;
}

/// The updates of the rows below a finished complex row k of span S, rk =
/// U(k, k), with its multipliers in rd and rs (see pbsv_fixed_row_cf),
/// four elements per AVX-512 vector: the operations of pbsv_fixed_row_cf's
/// updates, so the same bits.  Out of line, for processors with AVX-512
/// (a row this wide has at least 153 updates, so the call costs little).
template <typename C, bool ColumnWise>
__attribute__((target("avx512f,avx2,fma"), noinline)) void pbsv_row_updates_cf512(
    LapackBandView<std::complex<C>, ColumnWise> u, std::complex<C>* rk, Index S,
    const double* __restrict rd, const double* __restrict rs) noexcept {
    if constexpr (!ColumnWise) {
        const Index t = u.down_column();
        for (Index i = 1; i <= S; ++i) {
            C* const ri = reinterpret_cast<C*>(rk + i * t + i);  // A(k+i, k+c) at 2(c-i)
            const double ur = rd[2 * (i - 1)], ui = rd[2 * (i - 1) + 1];
            vec::update_run512(ri, rd + 2 * (i - 1), rs + 2 * (i - 1), _mm256_set1_pd(ur),
                               _mm256_setr_pd(ui, -ui, ui, -ui), S - i + 1);
        }
    } else {
        const Index s = u.along_row();
        for (Index c = 1; c <= S; ++c) {
            C* const col = reinterpret_cast<C*>(rk + c * s + 1);  // A(k+i, k+c) at 2(i-1)
            const double xr = rd[2 * (c - 1)], xi = rd[2 * (c - 1) + 1];
            vec::update_run512(col, rd, rs, _mm256_setr_pd(xr, -xr, xr, -xr), _mm256_set1_pd(xi),
                               c);
        }
    }
}

/// pbsv_fixed_row for the complex Hermitian families (C the component
/// type), written for AVX2: two elements (four parts in double) per vector.
/// The same operations as the general row, so the same bits:
///  - each division of a part by the real pivot is a division in double,
///    rounded to C;
///  - the products' signs are those of the general row's: the real part
///    xr*ur + xi*ui and the imaginary part xr*(-ui) + xi*ur of
///    r[c] * conj(r[i]), each part of the update t minus their sum;
///  - for float parts the products are exact in double (24-bit
///    significands), so fma(a, b, c*e) rounds their exact sum once, as the
///    plain sum does; for double parts each product and the sum are
///    rounded, as in ComplexTraits::product (no fused operation).
/// The row's multipliers are kept widened (and with their parts swapped)
/// in local arrays, so each is converted once per row, not once per update.
///
/// S is the row's span, or 0 for a span given at run time as `span`; then,
/// with `wide512`, the updates of the rows below run in AVX-512 vectors
/// (pbsv_row_updates_cf512).  rd and rs hold 4 * ((span + 1) / 2) doubles
/// each, 32-byte aligned.
template <typename C, Index S_, bool ColumnWise>
__attribute__((target("avx2,fma"), always_inline)) inline bool pbsv_fixed_row_cf(
    LapackBandView<std::complex<C>, ColumnWise> u, Index n, Index k, Index span,
    PbsvColumns<std::complex<C>>& b, Index& touched, double* __restrict rd, double* __restrict rs,
    bool wide512 = false) noexcept {
    using T = std::complex<C>;
    using Tr = HermitianTraits<C, double>;
    constexpr bool conj = conjugated_view<T, ColumnWise>;
    const Index S = S_ != 0 ? S_ : span;
    const Index P = (S + 1) / 2;  // pairs of multipliers
    const Index s = u.along_row(), t = u.down_column();
    T* const __restrict rk = u.diagonal(k);
    if (Tr::pivot_fails(rk[0], C(0))) return false;
    const T d = Tr::sqrt(rk[0]);
    rk[0] = d;
    // rd[2(c-1)], rd[2(c-1)+1]: the parts of U(k, k+c), widened; rs: swapped.
    const __m256d pivot = _mm256_set1_pd(static_cast<double>(d.real()));
#pragma GCC unroll 16
    for (Index q = 0; q < P; ++q) {
        const Index c = 1 + 2 * q;
        const __m256d w =
            pbsv_divide_pair(reinterpret_cast<C*>(rk + c * s),
                             reinterpret_cast<C*>(rk + (c + 1) * s), c + 1 <= S, pivot);
        _mm256_store_pd(rd + 4 * q, w);
        _mm256_store_pd(rs + 4 * q, _mm256_permute_pd(w, 0b0101));
    }
    if (b.nrhs > 0) {
        const Index reach = k + S;
        for (Index q = 0; q < b.nrhs; ++q) {
            T* const yr = b.reach(q, n, touched, reach, conj);
            T* const yk = yr + (k - 1);
            const T v = yk[0] = Tr::divide(yk[0], d);
            // y(k+c) -= conj(U(k, k+c)) v: the parts ur*vr + ui*vi and
            // ur*vi + ui*(-vr), as in the general row.
            const double vr = v.real(), vi = v.imag();
            vec::update_run(reinterpret_cast<C*>(yk + 1), rd, rs, _mm256_setr_pd(vr, -vr, vr, -vr),
                            _mm256_set1_pd(vi), S);
        }
        touched = reach;
    }
    if constexpr (S_ == 0) {
        if (wide512) {
            pbsv_row_updates_cf512(u, rk, S, rd, rs);
            return true;
        }
    }
    if constexpr (!ColumnWise) {
        // Row k+i, contiguous: A(k+i, k+c) -= U(k, k+c) conj(U(k, k+i)),
        // c = i..S, in vectors over c.
#pragma GCC unroll 16
        for (Index i = 1; i <= S; ++i) {
            C* const ri = reinterpret_cast<C*>(rk + i * t + i);  // A(k+i, k+c) at 2(c-i)
            const double ur = rd[2 * (i - 1)], ui = rd[2 * (i - 1) + 1];
            vec::update_run(ri, rd + 2 * (i - 1), rs + 2 * (i - 1), _mm256_set1_pd(ur),
                            _mm256_setr_pd(ui, -ui, ui, -ui), S - i + 1);
        }
    } else {
        // Column k+c, contiguous: A(k+i, k+c) -= U(k, k+c) conj(U(k, k+i)),
        // i = 1..c, in vectors over i.
#pragma GCC unroll 16
        for (Index c = 1; c <= S; ++c) {
            C* const col = reinterpret_cast<C*>(rk + c * s + 1);  // A(k+i, k+c) at 2(i-1)
            const double xr = rd[2 * (c - 1)], xi = rd[2 * (c - 1) + 1];
            vec::update_run(col, rd, rs, _mm256_setr_pd(xr, -xr, xr, -xr), _mm256_set1_pd(xi), c);
        }
    }
    return true;
}

/// Runs pbsv_fixed_row_cf<S> on rows k, k+1, ... while they reach S
/// columns; false at a failed pivot (k is then its row).
template <typename C, Index S, bool ColumnWise>
__attribute__((target("avx2,fma"))) bool pbsv_rows_cf(LapackBandView<std::complex<C>, ColumnWise> u,
                                                      Index n, PbsvColumns<std::complex<C>>& b,
                                                      Index& k, Index& touched) noexcept {
    alignas(32) double rd[4 * ((S + 1) / 2)];
    alignas(32) double rs[4 * ((S + 1) / 2)];
    for (; k + S <= n; ++k) {
        if (k + PBSV_PREFETCH_ROWS <= n) u.prefetch(k + PBSV_PREFETCH_ROWS);
        if (!pbsv_fixed_row_cf<C, S>(u, n, k, S, b, touched, rd, rs)) return false;
    }
    return true;
}

/// pbsv_fixed_rows for the complex Hermitian families, with the rows of
/// pbsv_fixed_row_cf; only for processors with AVX2 and FMA.
template <typename C, bool ColumnWise, Index... S>
__attribute__((target("avx2,fma"), noinline)) bool pbsv_fixed_rows_cf(
    LapackBandView<std::complex<C>, ColumnWise> u, Index n, Index hb,
    PbsvColumns<std::complex<C>>& b, Index& k, Index& touched,
    std::integer_sequence<Index, S...>) noexcept {
    bool ok = true;
    (void)((hb == S + 1 ? (ok = pbsv_rows_cf<C, S + 1>(u, n, b, k, touched), true) : false) || ...);
    return ok;
}

/// Half bandwidths up to which pbsv_all_rows_cf runs the complex
/// Hermitian rows of any span (its buffers are on the stack).
inline constexpr Index PBSV_CF_SPANS = 256;

/// Every row from k on with pbsv_fixed_row_cf, the span min(hb, n - k)
/// given at run time (hb <= PBSV_CF_SPANS); false at a failed pivot (k is
/// then its row).
template <typename C, bool ColumnWise>
__attribute__((target("avx2,fma"), noinline)) bool pbsv_all_rows_cf(
    LapackBandView<std::complex<C>, ColumnWise> u, Index n, Index hb,
    PbsvColumns<std::complex<C>>& b, Index& k, Index& touched) noexcept {
    alignas(32) double rd[2 * PBSV_CF_SPANS + 2];
    alignas(32) double rs[2 * PBSV_CF_SPANS + 2];
    const bool wide512 = pbsv_use_avx512();
    for (; k <= n; ++k) {
        if (k + hb <= n) u.prefetch(k + hb);
        if (!pbsv_fixed_row_cf<C, 0>(u, n, k, std::min(hb, n - k), b, touched, rd, rs, wide512))
            return false;
    }
    return true;
}

/// f[j] -= x[j] * y for j < len as ElementTraits<R>::update does, four
/// elements per vector, then two, then one.  For float the product is exact
/// in double, so the fused multiply-subtract rounds t - x*y once, as the
/// plain difference does, before the rounding to float; for double the
/// product is rounded, then the difference (no fused operation).
template <typename R>
__attribute__((target("avx2,fma"), always_inline)) inline void pbsv_updates_sf(
    R* __restrict f, const double* __restrict x, double y, Index len) noexcept {
    const __m256d y4 = _mm256_set1_pd(y);
    Index j = 0;
#pragma GCC unroll 4
    for (; j + 4 <= len; j += 4) {
        if constexpr (std::is_same_v<R, float>) {
            const __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(f + j));
            _mm_storeu_ps(f + j, _mm256_cvtpd_ps(_mm256_fnmadd_pd(_mm256_loadu_pd(x + j), y4, v)));
        } else {
            const __m256d p = _mm256_mul_pd(_mm256_loadu_pd(x + j), y4);
            _mm256_storeu_pd(f + j, _mm256_sub_pd(_mm256_loadu_pd(f + j), p));
        }
    }
    if (j + 2 <= len) {
        if constexpr (std::is_same_v<R, float>) {
            const __m128 v =
                _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(f + j)));
            const __m128d r = _mm_fnmadd_pd(_mm_loadu_pd(x + j), _mm_set1_pd(y), _mm_cvtps_pd(v));
            _mm_storel_pi(reinterpret_cast<__m64*>(f + j), _mm_cvtpd_ps(r));
        } else {
            const __m128d p = _mm_mul_pd(_mm_loadu_pd(x + j), _mm_set1_pd(y));
            _mm_storeu_pd(f + j, _mm_sub_pd(_mm_loadu_pd(f + j), p));
        }
        j += 2;
    }
    if (j < len) f[j] = static_cast<R>(static_cast<double>(f[j]) - x[j] * y);
}

/// pbsv_updates_sf on a row of the 'L' layout whose band holds `room`
/// elements from f (kd + 1): whole vectors while they stay in the band, the
/// lanes at and beyond len computed and then replaced by the elements as
/// they were loaded, so they keep their bytes; the rest as pbsv_updates_sf
/// does.  x is readable up to the end of the last vector.
template <typename R>
__attribute__((target("avx2,fma"), always_inline)) inline void pbsv_row_updates_sf(
    R* __restrict f, const double* __restrict x, double y, Index len, Index room) noexcept {
    const __m256d y4 = _mm256_set1_pd(y);
    for (Index j = 0; j < len; j += 4) {
        if (j + 4 > room) {
            pbsv_updates_sf(f + j, x + j, y, len - j);
            return;
        }
        const Index live = std::min<Index>(4, len - j);
        if constexpr (std::is_same_v<R, float>) {
            const __m128 old = _mm_loadu_ps(f + j);
            __m128 r =
                _mm256_cvtpd_ps(_mm256_fnmadd_pd(_mm256_loadu_pd(x + j), y4, _mm256_cvtps_pd(old)));
            if (live < 4) {
                const __m128i lane = _mm_setr_epi32(0, 1, 2, 3);
                const __m128 keep = _mm_castsi128_ps(
                    _mm_cmpgt_epi32(lane, _mm_set1_epi32(static_cast<int>(live) - 1)));
                r = _mm_blendv_ps(r, old, keep);
            }
            _mm_storeu_ps(f + j, r);
        } else {
            const __m256d old = _mm256_loadu_pd(f + j);
            __m256d r = _mm256_sub_pd(old, _mm256_mul_pd(_mm256_loadu_pd(x + j), y4));
            if (live < 4) {
                const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
                const __m256d keep =
                    _mm256_castsi256_pd(_mm256_cmpgt_epi64(lane, _mm256_set1_epi64x(live - 1)));
                r = _mm256_blendv_pd(r, old, keep);
            }
            _mm256_storeu_pd(f + j, r);
        }
    }
}

/// pbsv_fixed_row for the real families (R the element type), written for
/// AVX2, with fused multiply-subtracts for float where they are exact (see
/// pbsv_updates_sf): the divisions four at a time in double, each rounded
/// to R; the multipliers kept widened in rd
/// (4 * ((S + 3) / 4) doubles, 32-byte aligned), so each is converted
/// once per row.  S is the row's span.
template <typename R, Index S, bool ColumnWise>
__attribute__((target("avx2,fma"), always_inline)) inline bool pbsv_fixed_row_sf(
    LapackBandView<R, ColumnWise> u, Index n, Index k, PbsvColumns<R>& b, Index& touched,
    double* __restrict rd) noexcept {
    using Tr = ElementTraits<R>;
    static_assert(S > 0);
    const Index s = u.along_row(), t = u.down_column();
    R* const __restrict rk = u.diagonal(k);
    if (Tr::pivot_fails(rk[0], R(0))) return false;
    const R d = Tr::sqrt(rk[0]);
    rk[0] = d;
    const __m256d pivot = _mm256_set1_pd(static_cast<double>(d));
#pragma GCC unroll 4
    for (Index c0 = 1; c0 <= S; c0 += 4) {
        alignas(32) double a[4] = {0, 0, 0, 0};
        const Index m = std::min<Index>(4, S - c0 + 1);
        for (Index j = 0; j < m; ++j) a[j] = rk[(c0 + j) * s];
        __m256d q = _mm256_div_pd(_mm256_load_pd(a), pivot);
        if constexpr (std::is_same_v<R, float>) q = _mm256_cvtps_pd(_mm256_cvtpd_ps(q));
        _mm256_store_pd(rd + (c0 - 1), q);
        for (Index j = 0; j < m; ++j) rk[(c0 + j) * s] = static_cast<R>(rd[c0 - 1 + j]);
    }
    if (b.nrhs > 0) {
        const Index reach = k + S;
        for (Index q = 0; q < b.nrhs; ++q) {
            R* const yr = b.reach(q, n, touched, reach, false);
            R* const yk = yr + (k - 1);
            const R v = yk[0] = Tr::divide(yk[0], d);
            pbsv_updates_sf(yk + 1, rd, v, S);  // y(k+c) -= U(k, k+c) v
        }
        touched = reach;
    }
    if constexpr (!ColumnWise) {
        // Row k+i: A(k+i, k+c) -= U(k, k+i) U(k, k+c), c = i..S.
#pragma GCC unroll 16
        for (Index i = 1; i <= S; ++i)
            pbsv_row_updates_sf(rk + i * t + i, rd + (i - 1), rd[i - 1], S - i + 1, u.kd + 1);
    } else {
        // Column k+c: A(k+i, k+c) -= U(k, k+i) U(k, k+c), i = 1..c.
#pragma GCC unroll 16
        for (Index c = 1; c <= S; ++c) pbsv_updates_sf(rk + c * s + 1, rd, rd[c - 1], c);
    }
    return true;
}

/// pbsv_fixed_rows for the real families with the rows of
/// pbsv_fixed_row_sf; only for processors with AVX2 and FMA.  Wider bands
/// keep the general loop, which the compiler vectorises as well for the
/// real types (the AVX2 rows with a span at run time measured slower there,
/// in the 'L' layout up to half as fast at kd = 32 and 64); for float only
/// its updates of the rows below run fused (pbsv_wide_row_updates_sf).
template <typename R, Index S, bool ColumnWise>
__attribute__((target("avx2,fma"))) bool pbsv_rows_sf(LapackBandView<R, ColumnWise> u, Index n,
                                                      PbsvColumns<R>& b, Index& k,
                                                      Index& touched) noexcept {
    alignas(32) double rd[4 * ((S + 3) / 4) + 4] = {};
    for (; k + S <= n; ++k) {
        if (k + PBSV_PREFETCH_ROWS <= n) u.prefetch(k + PBSV_PREFETCH_ROWS);
        if (!pbsv_fixed_row_sf<R, S>(u, n, k, b, touched, rd)) return false;
    }
    return true;
}
template <typename R, bool ColumnWise, Index... S>
__attribute__((target("avx2,fma"), noinline)) bool pbsv_fixed_rows_sf(
    LapackBandView<R, ColumnWise> u, Index n, Index hb, PbsvColumns<R>& b, Index& k, Index& touched,
    std::integer_sequence<Index, S...>) noexcept {
    bool ok = true;
    (void)((hb == S + 1 ? (ok = pbsv_rows_sf<R, S + 1>(u, n, b, k, touched), true) : false) || ...);
    return ok;
}

/// Spans up to which the single-precision general rows widen their
/// multipliers once (a buffer of that many doubles on the stack, 4 KiB).
inline constexpr Index PBSV_WIDE_SPANS = 512;

/// The updates of the rows below a finished row k of span
/// <= PBSV_WIDE_SPANS, rk = U(k, k): A(k+i, k+c) -= U(k, k+i) U(k, k+c)
/// for 1 <= i <= c <= span, the multipliers widened once and each update
/// in the exact fused form of pbsv_updates_sf, as pbsv_fixed_row_sf does
/// for the narrow bands: the same bits as the general loop, with the
/// multiplier's conversion off every update.
template <bool ColumnWise>
__attribute__((target("avx2,fma"), noinline)) void pbsv_wide_row_updates_sf(
    LapackBandView<float, ColumnWise> u, float* rk, Index span) noexcept {
    const Index s = u.along_row(), t = u.down_column();
    alignas(32) double rd[PBSV_WIDE_SPANS + 4];
    for (Index c = 1; c <= span; ++c) rd[c - 1] = rk[c * s];
    if constexpr (!ColumnWise) {
        for (Index i = 1; i <= span; ++i)
            pbsv_updates_sf(rk + i * t + i, rd + (i - 1), rd[i - 1], span - i + 1);
    } else {
        for (Index c = 1; c <= span; ++c) pbsv_updates_sf(rk + c * s + 1, rd, rd[c - 1], c);
    }
}
#else
#define BANDSOLVE_PBSV_WIDE 0
#endif

/// Factorises A = U^H U in place, right-looking over the first n rows with
/// half bandwidth hb <= kd, and runs the forward substitution U^H y = b
/// along: row k is finished (pivot test, square root, divisions), y(k) /=
/// U(k, k) and y(k+c) -= conj(U(k, k+c)) y(k) for each column, then
/// A(k+i, k+c) -= conj(U(k, k+i)) U(k, k+c) for 1 <= i <= c <= hb.  The two
/// dependency chains, of the pivots and of y, overlap.  Returns 0, or the
/// row of the first pivot that fails the test; rows before it then hold
/// their factor, the failing row its reduced pivot, the rows below it part
/// of their updates, and y its entries as they came.
template <typename T, typename Tr, bool ColumnWise, bool Wide = false>
Index pbsv_factor_forward(LapackBandView<T, ColumnWise> u, Index n, Index hb,
                          PbsvColumns<T> b) noexcept {
    constexpr bool conj = conjugated_view<T, ColumnWise>;
    if (b.nrhs >= PBSV_LANE_COLUMNS) {
        const Index failed =
            pbsv_factor_forward<T, Tr, ColumnWise, Wide>(u, n, hb, {b.y, 0, b.ldy, nullptr});
        if (failed == 0)
            pbsv_forward<T, Tr>(LapackBandView<const T, ColumnWise>{u.ab, u.kd, u.ldab}, n, hb, b.y,
                                b.nrhs, b.ldy);
        return failed;
    }
    const Index s = u.along_row(), t = u.down_column();
    Index touched = 0;  // y(1:touched) has left b
    auto fail = [&](Index k) {
        for (Index r = 0; r < b.nrhs; ++r)
            std::copy(b.saved + r * n, b.saved + r * n + touched, b.y + r * b.ldy);
        return k;
    };
    Index k = 1;
    bool fixed_ok;
#if BANDSOLVE_PBSV_WIDE
    if constexpr (Wide && ((std::is_same_v<T, std::complex<float>> &&
                            std::is_same_v<Tr, HermitianTraits<float, double>>) ||
                           (std::is_same_v<T, std::complex<double>> &&
                            std::is_same_v<Tr, HermitianTraits<double, double>>)))
        fixed_ok = hb <= PBSV_FIXED_SPANS
                       ? pbsv_fixed_rows_cf(u, n, hb, b, k, touched,
                                            std::make_integer_sequence<Index, PBSV_FIXED_SPANS>{})
                   : hb <= PBSV_CF_SPANS ? pbsv_all_rows_cf(u, n, hb, b, k, touched)
                                         : true;
    else if constexpr (Wide && (std::is_same_v<T, float> || std::is_same_v<T, double>))
        fixed_ok = pbsv_fixed_rows_sf(u, n, hb, b, k, touched,
                                      std::make_integer_sequence<Index, PBSV_FIXED_SPANS>{});
    else
#endif
        fixed_ok = pbsv_fixed_rows<T, Tr>(u, n, hb, b, k, touched,
                                          std::make_integer_sequence<Index, PBSV_FIXED_SPANS>{});
    if (!fixed_ok) return fail(k);
    for (; k <= n; ++k) {
        if (k + hb <= n) u.prefetch(k + hb);
        T* const __restrict rk = u.diagonal(k);
        if (Tr::pivot_fails(rk[0], RealOf<T>(0))) return fail(k);
        const T d = Tr::sqrt(rk[0]);
        rk[0] = d;
        const Index span = std::min(hb, n - k);
        // U(k, k+1:k+span) = A(k, k+1:k+span) / U(k, k)
        for (Index c = 1; c <= span; ++c) rk[c * s] = Tr::divide(rk[c * s], d);
        // y(k) /= U(k, k); y(k+1:k+span) -= conj(U(k, k+1:k+span)) y(k)
        if (b.nrhs > 0) {
            const Index reach = k + span;
            for (Index r = 0; r < b.nrhs; ++r) {
                T* const yr = b.reach(r, n, touched, reach, conj);
                T* const yk = yr + (k - 1);
                const T v = yk[0] = Tr::divide(yk[0], d);
                for (Index c = 1; c <= span; ++c)
                    yk[c] = Tr::update(yk[c], Tr::mirrored(rk[c * s]), v);
            }
            touched = reach;
        }
#if BANDSOLVE_PBSV_WIDE
        if constexpr (Wide && std::is_same_v<T, float> &&
                      std::is_same_v<Tr, ElementTraits<float>>) {
            if (span <= PBSV_WIDE_SPANS) {
                pbsv_wide_row_updates_sf(u, rk, span);
                continue;
            }
        }
#endif
        if constexpr (!ColumnWise) {
            // Row by row: row k+i is contiguous.
            for (Index i = 1; i <= span; ++i) {
                T* const __restrict ri = rk + i * t + i;  // ri[c - i] = A(k+i, k+c)
                const T uki = Tr::mirrored(rk[i]);
                for (Index c = i; c <= span; ++c) ri[c - i] = Tr::update(ri[c - i], rk[c], uki);
            }
        } else {
            // Column by column: column k+c is contiguous, and the multipliers
            // conj(U(k, k+i)) are gathered from the strided row k.
            for (Index i0 = 1; i0 <= span; i0 += PBSV_GATHER) {
                const Index i1 = std::min(span, i0 + PBSV_GATHER - 1);
                T m[PBSV_GATHER];
                for (Index i = i0; i <= i1; ++i) m[i - i0] = Tr::mirrored(rk[i * s]);
                for (Index c = i0; c <= span; ++c) {
                    const T ukc = rk[c * s];
                    T* const __restrict col = rk + c * s + i0;  // col[i - i0] = A(k+i, k+c)
                    const Index last = std::min(c, i1);
                    for (Index i = i0; i <= last; ++i)
                        col[i - i0] = Tr::update(col[i - i0], ukc, m[i - i0]);
                }
            }
        }
    }
    return 0;
}

/// Half bandwidths whose back substitution of one column runs
/// pbsv_backward_window.
inline constexpr Index PBSV_WINDOW_SPANS = 8;

/// The back substitution of pbsv_backward on one column y with hb = K, for
/// rows n down to 2K: the K entries of y that the next rows update are held
/// in registers, entry of row n - m in slot m mod K, so that between one
/// row's division and the next the path is the one update from the row just
/// solved rather than a round trip through memory.  Each entry receives the
/// same updates in the same order as in pbsv_backward's loop, so the bits
/// are the loop's.  Returns the row i the loop goes on from: rows i+1..n
/// are solved, and y(1:i) holds their updates.
template <Index K, typename T, typename Tr, bool ColumnWise>
Index pbsv_backward_window(LapackBandView<const T, ColumnWise> u, Index n, T* y,
                           bool conj) noexcept {
    if (n < 2 * K) return n;
    const Index t = u.down_column();
    T w[K];
    for (Index m = 0; m < K; ++m) w[m] = y[n - 1 - m];
    Index i = n;
    // Row r = i - J of a run of K rows: its entry is in slot J, and the
    // entry of row r - q in slot (J + q) mod K, the slot row r - K enters.
    auto row = [&]<Index J, Index... Q>(std::integer_sequence<Index, Q...>) {
        const Index r = i - J;
        const T* const cr = u.diagonal(r);  // cr[-q*t] = U(r-q, r)
        const T x = Tr::divide(w[J], cr[0]);
        y[r - 1] = conj_if(x, conj);
        w[J] = y[r - K - 1];
        ((w[(J + Q + 1) % K] = Tr::update(w[(J + Q + 1) % K], cr[-(Q + 1) * t], x)), ...);
    };
    auto run = [&]<Index... J>(std::integer_sequence<Index, J...>) {
        (row.template operator()<J>(std::make_integer_sequence<Index, K>{}), ...);
    };
    for (; i >= 2 * K; i -= K) run(std::make_integer_sequence<Index, K>{});
    for (Index m = 0; m < K; ++m) y[i - 1 - m] = w[m];
    return i;
}

#if BANDSOLVE_PBSV_WIDE
/// ElementTraits<float>::update out of line, for the rare update that
/// pbsv_backward_row_sf finds halfway: a call keeps the compiler from
/// turning the choice into a select that would wait for the check.
[[gnu::noinline, gnu::cold]] inline float pbsv_update_as_defined(float t, float x,
                                                                 float y) noexcept {
    return ElementTraits<float>::update(t, x, y);
}

/// Row r = i - J of pbsv_backward_window_sf, slot for slot the row of
/// pbsv_backward_window.  Its path to the next row is its division and the
/// update of the entry that row divides.  The division is one division in
/// single precision: the quotient of two floats rounded to double and then
/// to float is the quotient rounded to float (double has more than
/// 2 * 24 + 1 bits).  The update is one fused multiply-subtract in single
/// precision, the exact t - u x rounded once to float; that is the value
/// ElementTraits<float>::update gives (rounded to double first, then to
/// float) except where the double value lies halfway between two floats
/// and the exact one does not.  The update as defined is evaluated beside
/// it, off the path, and taken where the two differ; the row's other
/// updates are evaluated as defined.  So the bits are the loop's.
template <Index K, Index J, bool ColumnWise, Index... Q>
__attribute__((target("avx2,fma"), always_inline)) inline void pbsv_backward_row_sf(
    LapackBandView<const float, ColumnWise> u, float* y, Index i, float* w,
    std::integer_sequence<Index, Q...>) noexcept {
    using Tr = ElementTraits<float>;
    const Index t = u.down_column(), r = i - J;
    const float* const cr = u.diagonal(r);  // cr[-q*t] = U(r-q, r)
    const float x = _mm_cvtss_f32(_mm_div_ss(_mm_set_ss(w[J]), _mm_set_ss(cr[0])));
    y[r - 1] = x;
    w[J] = y[r - K - 1];
    constexpr Index next = (J + 1) % K;  // row r - 1
    const float before = w[next], un = cr[-t];
    const float fused =
        _mm_cvtss_f32(_mm_fnmadd_ss(_mm_set_ss(un), _mm_set_ss(x), _mm_set_ss(before)));
    w[next] = fused;
    ((w[(J + Q + 2) % K] = Tr::update(w[(J + Q + 2) % K], cr[-(Q + 2) * t], x)), ...);
    if (std::bit_cast<std::uint32_t>(fused) !=
        std::bit_cast<std::uint32_t>(Tr::update(before, un, x))) [[unlikely]]
        w[next] = pbsv_update_as_defined(before, un, x);
}

/// The rows i, i-1, ..., i-K+1 of pbsv_backward_window_sf.
template <Index K, bool ColumnWise, Index... J>
__attribute__((target("avx2,fma"), always_inline)) inline void pbsv_backward_run_sf(
    LapackBandView<const float, ColumnWise> u, float* y, Index i, float* w,
    std::integer_sequence<Index, J...>) noexcept {
    (pbsv_backward_row_sf<K, J>(u, y, i, w, std::make_integer_sequence<Index, K - 1>{}), ...);
}

/// pbsv_backward_window for one float column, for processors with AVX2 and
/// FMA, with the rows of pbsv_backward_row_sf: the same bits.
template <Index K, bool ColumnWise>
__attribute__((target("avx2,fma"))) Index pbsv_backward_window_sf(
    LapackBandView<const float, ColumnWise> u, Index n, float* y) noexcept {
    if (n < 2 * K) return n;
    float w[K];
    for (Index m = 0; m < K; ++m) w[m] = y[n - 1 - m];
    Index i = n;
    for (; i >= 2 * K; i -= K)
        pbsv_backward_run_sf<K>(u, y, i, w, std::make_integer_sequence<Index, K>{});
    for (Index m = 0; m < K; ++m) y[i - 1 - m] = w[m];
    return i;
}

/// pbsv_backward_window_sf for hb = 1..PBSV_WINDOW_SPANS; n (nothing done)
/// for other hb.
template <bool ColumnWise, Index... S>
Index pbsv_backward_windows_sf(LapackBandView<const float, ColumnWise> u, Index n, Index hb,
                               float* y, std::integer_sequence<Index, S...>) noexcept {
    Index last = n;
    (void)((hb == S + 1 ? (last = pbsv_backward_window_sf<S + 1>(u, n, y), true) : false) || ...);
    return last;
}

/// pbsv_backward's loop on one column of a complex Hermitian factor with
/// hb >= 1, for processors with AVX2 and FMA.  The update from the row just
/// solved to the entry the next row divides is applied apart, and that
/// entry kept in a register, so the path from one division to the next has
/// no store and reload; the row's other updates go two elements at a time
/// through vec::update2, which evaluates each as Tr::update does.  Every
/// entry receives the same updates in the same order, so the bits are the
/// loop's.
template <typename C, bool ColumnWise>
__attribute__((target("avx2,fma"), noinline)) void pbsv_backward_cf(
    LapackBandView<const std::complex<C>, ColumnWise> u, Index n, Index hb, std::complex<C>* y,
    bool conj) noexcept {
    using T = std::complex<C>;
    using Tr = HermitianTraits<C, double>;
    const Index t = u.down_column();
    T next = y[n - 1];  // y(i) with every update it receives
    for (Index i = n; i >= 1; --i) {
        if (i - hb - PBSV_BACKWARD_PREFETCH_ROWS >= 1)
            u.prefetch(i - hb - PBSV_BACKWARD_PREFETCH_ROWS);
        const T* const ci = u.diagonal(i);  // ci[-q*t] = U(i-q, i)
        T* const yi = y + (i - 1);
        const T x = Tr::divide(next, ci[0]);
        yi[0] = conj_if(x, conj);
        if (i == 1) break;
        next = Tr::update(yi[-1], ci[-t], x);
        const Index span = std::min(hb, i - 1);
        const double xr = x.real(), xi = x.imag();
        const __m256d x1 = _mm256_setr_pd(xr, xi, xr, xi);
        const __m256d x2 = _mm256_setr_pd(-xi, xr, -xi, xr);
        Index q = 2;
        for (; q + 1 <= span; q += 2) {
            // y(i-q-1) and y(i-q), with U(i-q-1, i) and U(i-q, i).
            const __m256d uv =
                _mm256_set_m128d(vec::load2(reinterpret_cast<const C*>(ci - q * t)),
                                 vec::load2(reinterpret_cast<const C*>(ci - (q + 1) * t)));
            vec::update2(reinterpret_cast<C*>(yi - q - 1), _mm256_permute_pd(uv, 0x0), x1,
                         _mm256_permute_pd(uv, 0xf), x2);
        }
        if (q <= span) yi[-q] = Tr::update(yi[-q], ci[-q * t], x);
    }
}
#endif

/// Back substitution U x = y, column by column from the last: x(i) =
/// y(i) / U(i, i), then y(k) -= U(k, i) x(i) for the rows k above i,
/// nearest first (the update the next division waits for).  x(i) is not
/// read again once known, so it is stored as the caller's solution at once
/// (conjugated back for a conjugated view).
template <typename T, typename Tr, bool ColumnWise, bool Wide = false>
void pbsv_backward(LapackBandView<const T, ColumnWise> u, Index n, Index hb, T* y, Index nrhs,
                   Index ldy) noexcept {
    constexpr bool conj = conjugated_view<T, ColumnWise>;
    const Index t = u.down_column();
    Index done = 0;
    if (nrhs >= PBSV_LANE_COLUMNS)
        done = run_column_lanes<T, Tr, lanes::PortableIsa>(
            hb, y, nrhs, ldy, [&](const auto& group) { group.backward_columns(n, hb, u); }, conj);
    y += done * ldy;
    nrhs -= done;
    // One column: its rows at the narrow bands through the register window.
    // Two or three: their chains interleaved row by row.
    Index last = n;
    auto window = [&]<Index... S>(std::integer_sequence<Index, S...>) {
        (void)((hb == S + 1 ? (last = pbsv_backward_window<S + 1, T, Tr>(u, n, y, conj), true)
                            : false) ||
               ...);
    };
#if BANDSOLVE_PBSV_WIDE
    if constexpr (Wide && ElementTraits<T>::is_complex &&
                  std::is_same_v<Tr, HermitianTraits<RealOf<T>, double>>)
        if (nrhs == 1 && hb >= 1) {
            pbsv_backward_cf(u, n, hb, y, conj);
            return;
        }
#endif
    if (nrhs == 1) {
        constexpr auto spans = std::make_integer_sequence<Index, PBSV_WINDOW_SPANS>{};
#if BANDSOLVE_PBSV_WIDE
        if constexpr (Wide && std::is_same_v<T, float> && std::is_same_v<Tr, ElementTraits<float>>)
            last = pbsv_backward_windows_sf(u, n, hb, y, spans);
        else
#endif
            window(spans);
    }
    for (Index i = last; i >= 1; --i) {
        if (i - hb - PBSV_BACKWARD_PREFETCH_ROWS >= 1)
            u.prefetch(i - hb - PBSV_BACKWARD_PREFETCH_ROWS);
        const T* const ci = u.diagonal(i);  // ci[-q*t] = U(i-q, i)
        const Index span = std::min(hb, i - 1);
        for (Index r = 0; r < nrhs; ++r) {
            T* const yi = y + r * ldy + (i - 1);
            const T x = Tr::divide(yi[0], ci[0]);
            yi[0] = conj_if(x, conj);
            for (Index q = 1; q <= span; ++q) yi[-q] = Tr::update(yi[-q], ci[-q * t], x);
        }
    }
}

}  // namespace detail
}  // namespace bandsolve
