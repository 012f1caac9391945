// Block steps for a group of L blocks of one sweep at once, one block per
// SIMD lane.
//
// The blocks of a sweep are independent and, apart from the first and the
// last of a level, have the same shape, so they run the very same sequence of
// operations on different data.  A group of L consecutive blocks of a sweep
// (rows v, v + stride, ..., v + (L-1) stride) is gathered into local buffers
// in which element e of every block sits side by side, one lane each; every
// operation of the plain step is then applied to all lanes together, in the
// plain step's order and with its roundings, and the results are scattered
// back.  Elements of the single-precision families stay single in the
// buffers: each operation widens its operands to double, evaluates in double
// and rounds the result to single once, as ElementTraits<float> does.  IEEE
// addition, subtraction, multiplication, division and square root are
// correctly rounded in every lane, so each lane leaves exactly the bytes of
// the plain step on its block.
//
// The vectors are GCC vector types of L = 4 or 8 elements; the code is
// written once and compiled for each processor the kernel has a body for.
// Only the real families run here, and only groups whose blocks all have the
// regular shape (lane_group_fits); every other block takes the one-block
// steps.
//
// The steps take the arrays (BlockTreeArrays, or the BlockTreeWindow of a
// rank's rows) by value: stores through the vector types, which may alias
// anything, cannot change a local copy, so its fields stay in registers.
#pragma once

#include <algorithm>
#include <cstring>
#include <utility>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "solver/block_tree/block_arrays.h"

namespace bandsolve::lanes {

typedef double vd4 __attribute__((vector_size(32)));
typedef double vd8 __attribute__((vector_size(64)));
typedef float vf4 __attribute__((vector_size(16)));
typedef float vf8 __attribute__((vector_size(32)));

/// S: L stored elements of type T; D: L doubles, the evaluation type.
template <typename T, int L>
struct LaneTypes;
template <>
struct LaneTypes<float, 4> {
    using S = vf4;
    using D = vd4;
};
template <>
struct LaneTypes<double, 4> {
    using S = vd4;
    using D = vd4;
};
template <>
struct LaneTypes<float, 8> {
    using S = vf8;
    using D = vd8;
};
template <>
struct LaneTypes<double, 8> {
    using S = vd8;
    using D = vd8;
};

/// Capacity, in elements per lane, of the band buffer and of the panel
/// buffers of a lane step: enough for the real families' block sizes up to
/// hb = 24.
inline constexpr Index LANE_BAND_ELEMENTS = 1280;
inline constexpr Index LANE_PANEL_ELEMENTS = 640;

inline constexpr Index LANE_MAX_HB = 24;

/// Whether blocks of bs rows with half bandwidth hb fit the lane buffers.
constexpr bool fits_lane_buffers(Index bs, Index hb) noexcept {
    return hb >= 1 && hb <= LANE_MAX_HB && (bs + hb) * (hb + 1) <= LANE_BAND_ELEMENTS &&
           bs * hb <= LANE_PANEL_ELEMENTS;
}

/// The instruction sets the lane steps are compiled for: the lane count and
/// the widening of single-precision lanes to double, which GCC 12 lowers in
/// two halves when written as a generic conversion.  The x86 ones are
/// inlined only into functions compiled for their instruction set.
/// No lanes: the kernel runs every block through the one-block steps.  For
/// threads whose stack cannot hold the lane buffers.
struct SingleLane {
    static constexpr int lanes = 1;
    static constexpr bool fused = false;
};
struct PortableIsa {
    static constexpr int lanes = 4;
    static constexpr bool fused = false;
    template <typename D, typename S>
    static void widen(D& d, const S& s) noexcept {
        d = __builtin_convertvector(s, D);
    }
};
#if defined(__x86_64__)
struct Avx2Isa {
    static constexpr int lanes = 4;
    static constexpr bool fused = false;
    __attribute__((target("avx2"))) static void widen(vd4& d, const vf4& s) noexcept {
        d = reinterpret_cast<vd4>(_mm256_cvtps_pd(reinterpret_cast<__m128>(s)));
    }
    static void widen(vd4& d, const vd4& s) noexcept { d = s; }
    __attribute__((target("avx2"))) static void sqrt(vf4& x) noexcept {
        x = reinterpret_cast<vf4>(_mm_sqrt_ps(reinterpret_cast<__m128>(x)));
    }
    __attribute__((target("avx2"))) static void sqrt(vd4& x) noexcept {
        x = reinterpret_cast<vd4>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(x)));
    }
};
/// AVX2 with fused multiply-add, for the single-precision family's body
/// alone (see Avx512Isa's fused operations).  The other families keep
/// Avx2Isa and a body compiled without FMA.
struct Avx2FmaIsa : Avx2Isa {
    static constexpr bool fused = true;
    __attribute__((target("avx2,fma"))) static void fused_add_product(vd4& r, const vd4& s,
                                                                      const vd4& x,
                                                                      const vd4& y) noexcept {
        r = reinterpret_cast<vd4>(_mm256_fmadd_pd(reinterpret_cast<__m256d>(x),
                                                  reinterpret_cast<__m256d>(y),
                                                  reinterpret_cast<__m256d>(s)));
    }
    __attribute__((target("avx2,fma"))) static void fused_update(vd4& r, const vd4& t, const vd4& x,
                                                                 const vd4& y) noexcept {
        r = reinterpret_cast<vd4>(_mm256_fnmadd_pd(reinterpret_cast<__m256d>(x),
                                                   reinterpret_cast<__m256d>(y),
                                                   reinterpret_cast<__m256d>(t)));
    }
};
struct Avx512Isa {
    static constexpr int lanes = 8;
    /// r := t - x*y and r := s + x*y with one rounding.  Exact where x*y
    /// is, as the product of two single-precision values is in double: for
    /// the single-precision families only.
    static constexpr bool fused = true;
    __attribute__((target("avx512f"))) static void widen(vd8& d, const vf8& s) noexcept {
        d = reinterpret_cast<vd8>(_mm512_maskz_cvtps_pd(0xff, reinterpret_cast<__m256>(s)));
    }
    static void widen(vd8& d, const vd8& s) noexcept { d = s; }
    __attribute__((target("avx512f"))) static void sqrt(vf8& x) noexcept {
        x = reinterpret_cast<vf8>(_mm256_sqrt_ps(reinterpret_cast<__m256>(x)));
    }
    __attribute__((target("avx512f"))) static void sqrt(vd8& x) noexcept {
        x = reinterpret_cast<vd8>(_mm512_maskz_sqrt_pd(0xff, reinterpret_cast<__m512d>(x)));
    }
    __attribute__((target("avx512f"))) static void fused_add_product(vd8& r, const vd8& s,
                                                                     const vd8& x,
                                                                     const vd8& y) noexcept {
        r = reinterpret_cast<vd8>(_mm512_fmadd_pd(reinterpret_cast<__m512d>(x),
                                                  reinterpret_cast<__m512d>(y),
                                                  reinterpret_cast<__m512d>(s)));
    }
    __attribute__((target("avx512f"))) static void fused_update(vd8& r, const vd8& t, const vd8& x,
                                                                const vd8& y) noexcept {
        r = reinterpret_cast<vd8>(_mm512_fnmadd_pd(reinterpret_cast<__m512d>(x),
                                                   reinterpret_cast<__m512d>(y),
                                                   reinterpret_cast<__m512d>(t)));
    }
};
#endif

/// Lane arithmetic of element type T for instruction set Isa.  Vectors pass
/// by reference, so that no function of these templates has a vector in its
/// calling convention: they are compiled for processors of different vector
/// widths.
template <typename T, typename Isa>
struct Lanes {
    static constexpr int L = Isa::lanes;
    using S = typename LaneTypes<T, L>::S;
    using D = typename LaneTypes<T, L>::D;
    using M = decltype(S{} == S{});  // shuffle masks
    /// S at the alignment of T, for whole-vector access to the arrays.
    typedef S Unaligned __attribute__((aligned(alignof(T)), may_alias));

    static void widen(D& d, const S& s) noexcept { Isa::widen(d, s); }
    /// s := d rounded to T.
    static void store(S& s, const D& d) noexcept { s = __builtin_convertvector(d, S); }
    /// t := t - x*y, rounded once.
    static void update(S& t, const D& x, const D& y) noexcept {
        D td;
        widen(td, t);
        if constexpr (Isa::fused && sizeof(T) == sizeof(float)) {
            D r;
            Isa::fused_update(r, td, x, y);
            store(t, r);
        } else {
            store(t, td - x * y);
        }
    }
    /// s := s + x*y, rounded once.
    static void add_product(S& s, const D& x, const D& y) noexcept {
        D sd;
        widen(sd, s);
        if constexpr (Isa::fused && sizeof(T) == sizeof(float)) {
            D r;
            Isa::fused_add_product(r, sd, x, y);
            store(s, r);
        } else {
            store(s, sd + x * y);
        }
    }
    /// t := t - s, rounded once; in single precision for single lanes (see
    /// divide).
    static void subtract(S& t, const S& s) noexcept { t = t - s; }
    /// t := t / d, rounded once.  Single-precision lanes divide in single
    /// precision: double carries more than twice single's precision plus
    /// two bits, so rounding the double quotient of two singles to single
    /// gives the correctly rounded single quotient, the same value.
    static void divide(S& t, const S& d) noexcept { t = t / d; }
    /// x := sqrt(x), rounded once; in single precision for single lanes,
    /// for the same reason.  The vector square root where the instruction
    /// set has one (correctly rounded like the scalar one), else lane by
    /// lane.
    static void sqrt(S& x) noexcept {
        if constexpr (requires { Isa::sqrt(x); }) {
            Isa::sqrt(x);
            return;
        }
        for (int l = 0; l < L; ++l) {
            if constexpr (sizeof(T) == sizeof(float))
                x[l] = __builtin_sqrtf(x[l]);
            else
                x[l] = __builtin_sqrt(x[l]);
        }
    }
    /// Whether any lane's pivot fails (d <= floor; NaN passes).
    static bool any_pivot_fails(const S& d, T floor) noexcept {
        const auto fails = d <= floor;
        for (int l = 0; l < L; ++l)
            if (fails[l]) return true;
        return false;
    }

    /// Transposes the L x L tile r in place: r[i][j] <-> r[j][i].  Stage b
    /// swaps the off-diagonal b x b blocks of every 2b x 2b block.
    static void transpose(S* r) noexcept {
        using std::integer_sequence;
        if constexpr (L == 4) {
            swap_blocks(r, 1, integer_sequence<int, 0, 4, 2, 6>{},
                        integer_sequence<int, 1, 5, 3, 7>{});
            swap_blocks(r, 2, integer_sequence<int, 0, 1, 4, 5>{},
                        integer_sequence<int, 2, 3, 6, 7>{});
        } else {
            swap_blocks(r, 1, integer_sequence<int, 0, 8, 2, 10, 4, 12, 6, 14>{},
                        integer_sequence<int, 1, 9, 3, 11, 5, 13, 7, 15>{});
            swap_blocks(r, 2, integer_sequence<int, 0, 1, 8, 9, 4, 5, 12, 13>{},
                        integer_sequence<int, 2, 3, 10, 11, 6, 7, 14, 15>{});
            swap_blocks(r, 4, integer_sequence<int, 0, 1, 2, 3, 8, 9, 10, 11>{},
                        integer_sequence<int, 4, 5, 6, 7, 12, 13, 14, 15>{});
        }
    }
    /// out := the lanes I... of the concatenation of x and y.  GCC and Clang
    /// name the constant shuffle differently.
    template <int... I>
    static void shuffle(S& out, const S& x, const S& y, std::integer_sequence<int, I...>) noexcept {
#if defined(__clang__)
        out = __builtin_shufflevector(x, y, I...);
#else
        out = __builtin_shuffle(x, y, M{I...});
#endif
    }
    template <typename Lo, typename Hi>
    static void swap_blocks(S* r, int b, Lo lo, Hi hi) noexcept {
#pragma GCC unroll 8
        for (int i = 0; i < L; ++i) {
            if (i & b) continue;
            const S x = r[i], y = r[i + b];
            shuffle(r[i], x, y, lo);
            shuffle(r[i + b], x, y, hi);
        }
    }

    /// buf[e * step][l] := src[l * lane_stride + e] for e = 0..len-1: L runs
    /// of memory, one per lane, into lane-interleaved vectors, in L x L
    /// tiles (the last one partly filled).
    static void gather(S* __restrict buf, Index step, const T* __restrict src, Index lane_stride,
                       Index len) noexcept {
        Index e = 0;
        for (; e + L <= len; e += L) gather_full_tile(buf + e * step, step, src + e, lane_stride);
        if (e < len) gather_tile(buf + e * step, step, src + e, lane_stride, len - e);
    }
    /// dst[0..len) := +0, whole vectors first.  All bits zero, as T(0) is.
    static void clear(T* __restrict dst, Index len) noexcept {
        Index e = 0;
        for (; e + L <= len; e += L) *reinterpret_cast<Unaligned*>(dst + e) = S{};
        for (; e < len; ++e) dst[e] = T(0);
    }
    /// The inverse of gather.
    static void scatter(T* __restrict dst, Index lane_stride, const S* __restrict buf, Index step,
                        Index len) noexcept {
        Index e = 0;
        for (; e + L <= len; e += L) scatter_full_tile(dst + e, lane_stride, buf + e * step, step);
        if (e < len) scatter_tile(dst + e, lane_stride, buf + e * step, step, len - e);
    }
    /// One tile of L elements per lane: whole-vector loads and stores, so
    /// that the tile stays in registers (a tile assembled in memory piece by
    /// piece and read back whole stalls on the store forwarding).
    static void gather_full_tile(S* __restrict buf, Index step, const T* __restrict src,
                                 Index lane_stride) noexcept {
        S r[L];
#pragma GCC unroll 8
        for (int l = 0; l < L; ++l)
            r[l] = *reinterpret_cast<const Unaligned*>(src + l * lane_stride);
        transpose(r);
#pragma GCC unroll 8
        for (int i = 0; i < L; ++i) buf[i * step] = r[i];
    }
    static void scatter_full_tile(T* __restrict dst, Index lane_stride, const S* __restrict buf,
                                  Index step) noexcept {
        S r[L];
#pragma GCC unroll 8
        for (int i = 0; i < L; ++i) r[i] = buf[i * step];
        transpose(r);
#pragma GCC unroll 8
        for (int l = 0; l < L; ++l) *reinterpret_cast<Unaligned*>(dst + l * lane_stride) = r[l];
    }
    /// One tile of k <= L elements per lane.
    static void gather_tile(S* __restrict buf, Index step, const T* __restrict src,
                            Index lane_stride, Index k) noexcept {
        S r[L] = {};
        for (int l = 0; l < L; ++l) std::memcpy(&r[l], src + l * lane_stride, k * sizeof(T));
        transpose(r);
        for (Index i = 0; i < k; ++i) buf[i * step] = r[i];
    }
    static void scatter_tile(T* __restrict dst, Index lane_stride, const S* __restrict buf,
                             Index step, Index k) noexcept {
        S r[L] = {};
        for (Index i = 0; i < k; ++i) r[i] = buf[i * step];
        transpose(r);
        for (int l = 0; l < L; ++l) std::memcpy(dst + l * lane_stride, &r[l], k * sizeof(T));
    }
};

/// Whether the L blocks at rows v, v + stride, ..., v + (L-1) stride of an
/// odd-block sweep all have the regular shape: hb full rows of left
/// coupling, hb full rows and hb columns of right coupling, and bs rows.
/// Couplings are regular from the second block of a level on, up to the
/// blocks near row n.  f = neighbour distance, h = first odd row of the
/// level.
template <int L>
constexpr bool odd_group_fits(Index n, Index hb, Index v, Index stride, bool gather, Index f,
                              Index h, Index bs) noexcept {
    const Index last = v + (L - 1) * stride;
    if (gather) return v - hb >= 1 && last + bs - 1 + hb <= n;
    return v - f >= h && last + f + hb - 1 <= n;
}

/// Odd-block step (see odd_block_step in block_steps.h) for the L blocks at
/// rows v + l*stride, l = 0..L-1, which odd_group_fits must accept.  When a
/// pivot fails in any lane it returns false and has written nothing; the
/// caller then runs the blocks one by one.
template <typename T, typename Isa, typename Arrays>
bool odd_block_step(const Arrays m, Index v, Index stride, bool gather, Index f, Index bs,
                    RealOf<T> pivot_floor) noexcept {
    using Ln = Lanes<T, Isa>;
    using S = typename Ln::S;
    using D = typename Ln::D;
    const Index hb = m.hb, row = hb + 1;
    const Index w = v + bs - 1;

    // Band rows v-hb..w at level 1 (the left separator's last hb rows hold
    // the left coupling), v..w above; rows w-hb+1..w reach, past column w,
    // into the right coupling.  Block row i sits at u[i * row].
    alignas(64) S band[LANE_BAND_ELEMENTS];
    const Index above = gather ? hb : 0;
    Ln::gather(band, 1, &m.A(v - above, v - above), stride * row, (bs + above) * row);
    S* const u = band + above * row;

    // Left coupling, held transposed: pl[j*hb + p] = P(p+1, v+j).
    alignas(64) S pl[LANE_PANEL_ELEMENTS];
    if (gather) {
        // P(p+1, v+j) = A(v-hb+p, v+j) for j <= p, zero beyond.
        for (Index p = 0; p < hb; ++p)
            for (Index j = 0; j < bs; ++j)
                pl[j * hb + p] = j <= p ? band[p * row + hb - p + j] : S{};
    } else {
        for (Index p = 0; p < hb; ++p) Ln::gather(pl + p, hb, &m.P(p + 1, v), stride, bs);
    }

    // U(X, X) = chol(A(X, X)), right-looking: each element still takes its
    // updates in increasing k.  Column k of P(p, X) := P(p, X) U(X, X)^{-1}
    // needs only row k of U, so it is solved as soon as that row is final:
    // its chains then overlap the factorisation's own, and every element
    // still takes its operations in the order of the two loops run apart.
    for (Index k = 0; k < bs; ++k) {
        S* const rk = u + k * row;  // rk[c] = A(v+k, v+k+c)
        if (Ln::any_pivot_fails(rk[0], pivot_floor)) return false;
        Ln::sqrt(rk[0]);
        const S d = rk[0];
        const Index span = std::min(hb, bs - 1 - k);
        D uk[LANE_MAX_HB + 1];  // row k of U, widened once
        for (Index c = 1; c <= span; ++c) {
            Ln::divide(rk[c], d);
            Ln::widen(uk[c], rk[c]);
        }
        for (Index i = 1; i <= span; ++i) {
            S* const ri = rk + i * row;  // ri[c - i] = A(v+k+i, v+k+c)
            for (Index c = i; c <= span; ++c) Ln::update(ri[c - i], uk[c], uk[i]);
        }

        S* const xk = pl + k * hb;
        D xw[LANE_MAX_HB];  // column k of P, widened once
        for (Index p = 0; p < hb; ++p) {
            Ln::divide(xk[p], d);
            Ln::widen(xw[p], xk[p]);
        }
        for (Index c = 1; c <= span; ++c) {
            S* const x2 = xk + c * hb;
            for (Index p = 0; p < hb; ++p) Ln::update(x2[p], xw[p], uk[c]);
        }
    }
    for (Index p = 0; p < hb; ++p) Ln::scatter(&m.P(p + 1, v), stride, pl + p, hb, bs);

    // Right coupling of X's last hb rows: pr[p*hb + c] = P(p+1, cbegin+c).
    // At level 1 row w-hb+1+p reaches columns w+1..w+1+p of the band and
    // the rest of its panel row is zero.
    alignas(64) S pr[LANE_PANEL_ELEMENTS];
    const Index cbegin = gather ? w + 1 : v + f;
    if (gather) {
        for (Index p = 0; p < hb; ++p)
            for (Index c = 0; c < hb; ++c)
                pr[p * hb + c] = c <= p ? u[(bs - hb + p) * row + hb - p + c] : S{};
    } else {
        for (Index p = 0; p < hb; ++p) Ln::gather(pr + p * hb, 1, &m.P(p + 1, cbegin), stride, hb);
    }
    // P(X rows, S cols) := U(X, X)^{-T} P, rows in increasing order.
    for (Index p = 0; p < hb; ++p) {
        const Index r = bs - hb + p;  // block row
        const Index cols = gather ? p + 1 : hb;
        S* const xp = pr + p * hb;
        const S* const ur = u + r * row;
        const S d = ur[0];
        for (Index c = 0; c < cols; ++c) Ln::divide(xp[c], d);
        for (Index r2 = 1; r2 < hb - p; ++r2) {
            S* const x2 = xp + r2 * hb;
            D u2;
            Ln::widen(u2, ur[r2]);
            for (Index c = 0; c < cols; ++c) {
                D xc;
                Ln::widen(xc, xp[c]);
                Ln::update(x2[c], xc, u2);
            }
        }
    }
    for (Index p = 0; p < hb; ++p) Ln::scatter(&m.P(p + 1, cbegin), stride, pr + p * hb, 1, hb);

    // Forward substitution U(X, X)^T y = b over the block.
    for (Index k = 1; k <= m.nrhs; ++k) {
        S* const y = pl;
        Ln::gather(y, 1, &m.B(v, k), stride, bs);
        for (Index j = 0; j < bs; ++j) {
            const S* const uj = u + j * row;
            Ln::divide(y[j], uj[0]);
            D yj;
            Ln::widen(yj, y[j]);
            const Index span = std::min(hb, bs - 1 - j);
            for (Index c = 1; c <= span; ++c) {
                D ujc;
                Ln::widen(ujc, uj[c]);
                Ln::update(y[j + c], ujc, yj);
            }
        }
        Ln::scatter(&m.B(v, k), stride, y, 1, bs);
    }

    Ln::scatter(&m.A(v, v), stride * row, u, 1, bs * row);
    return true;
}

/// Whether the G*L blocks at rows v + i*stride, i = 0..G*L-1, of a
/// backward sweep all have the regular shape: a left separator, and a right
/// one of at least hb rows.
template <int L, int G>
constexpr bool backward_group_fits(Index n, Index hb, Index v, Index stride, Index f) noexcept {
    return v - f >= 1 && v + (G * L - 1) * stride + f + hb - 1 <= n;
}

/// Backward step (see backward_step in block_steps.h) for the G*L blocks at
/// rows v + i*stride, i = 0..G*L-1, which backward_group_fits must accept:
/// G groups of L lanes.  The back substitution is a chain of dependent
/// updates per row; the G groups' chains run interleaved.
template <typename T, typename Isa, int G, typename Arrays>
void backward_step(const Arrays m, Index v, Index stride, Index f, Index bs) noexcept {
    using Ln = Lanes<T, Isa>;
    using S = typename Ln::S;
    using D = typename Ln::D;
    constexpr int L = Isa::lanes;
    const Index hb = m.hb, row = hb + 1;
    const Index group_stride = L * stride;

    // U(X, X) of each group's blocks (row i at u[g][i * row]) and their
    // corners K(w+1:w+hb, 1:hb) (kc[g][z*hb + i] = K(w+1+z, i+1)).
    alignas(64) S u[G][LANE_BAND_ELEMENTS];
    alignas(64) S kc[G][LANE_PANEL_ELEMENTS];
    for (int g = 0; g < G; ++g) {
        const Index vg = v + g * group_stride, wg = vg + bs - 1;
        Ln::gather(u[g], 1, &m.A(vg, vg), stride * row, bs * row);
        Ln::gather(kc[g], 1, &m.K(wg + 1, 1), stride * hb, hb * hb);
    }
    alignas(64) S x[G][LANE_PANEL_ELEMENTS];
    alignas(64) S panel[LANE_PANEL_ELEMENTS];
    for (Index k = 1; k <= m.nrhs; ++k) {
        for (int g = 0; g < G; ++g) {
            const Index vg = v + g * group_stride;
            S* const xg = x[g];
            Ln::gather(xg, 1, &m.B(vg, k), stride, bs);
            // b(X) -= P(:, X)^T x(left separator's last hb rows), the panel
            // taken a row at a time.
            S y[LANE_MAX_HB];
            Ln::gather(y, 1, &m.B(vg - f + bs - hb, k), stride, hb);
            for (Index p = 0; p < hb; ++p) {
                D yp;
                Ln::widen(yp, y[p]);
                S* const prow = panel;  // prow[j] = P(p+1, vg+j)
                Ln::gather(prow, 1, &m.P(p + 1, vg), stride, bs);
                for (Index j = 0; j < bs; ++j) {
                    D pj;
                    Ln::widen(pj, prow[j]);
                    Ln::update(xg[j], pj, yp);
                }
            }
            // b(X's last hb rows) -= K x(right separator's first hb rows)
            Ln::gather(y, 1, &m.B(vg + f, k), stride, hb);
            S* const tail = xg + bs - hb;
            for (Index z = 0; z < hb; ++z) {
                D yz;
                Ln::widen(yz, y[z]);
                for (Index i = 0; i < hb; ++i) {
                    D kzi;
                    Ln::widen(kzi, kc[g][z * hb + i]);
                    Ln::update(tail[i], kzi, yz);
                }
            }
        }
        // Back substitution U(X, X) x = y, the groups side by side.
        for (Index r = bs - 1; r >= 0; --r) {
            const Index span = std::min(hb, bs - 1 - r);
            S acc[G];
            for (int g = 0; g < G; ++g) acc[g] = x[g][r];
            for (Index c = 1; c <= span; ++c)
                for (int g = 0; g < G; ++g) {
                    D urc, xc;
                    Ln::widen(urc, u[g][r * row + c]);
                    Ln::widen(xc, x[g][r + c]);
                    Ln::update(acc[g], urc, xc);
                }
            for (int g = 0; g < G; ++g) {
                Ln::divide(acc[g], u[g][r * row]);
                x[g][r] = acc[g];
            }
        }
        for (int g = 0; g < G; ++g) Ln::scatter(&m.B(v + g * group_stride, k), stride, x[g], 1, bs);
    }
}

/// Whether the L separators at rows s + l*stride, l = 0..L-1, of a
/// separator sweep all have the regular shape: bs rows, a full odd block
/// after, and an odd block before that has a separator on its other side.
template <int L>
constexpr bool separator_group_fits(Index n, Index s, Index stride, Index f, Index h,
                                    Index bs) noexcept {
    return s - f > h && s + (L - 1) * stride + f + bs - 1 <= n;
}

/// Separator step (see separator_step in block_steps.h) for the L
/// separators at rows s + l*stride, which separator_group_fits must accept.
template <typename T, typename Isa, typename Arrays>
void separator_step(const Arrays m, Index s, Index stride, Index f, Index bs) noexcept {
    using Ln = Lanes<T, Isa>;
    using S = typename Ln::S;
    using D = typename Ln::D;
    const Index hb = m.hb, row = hb + 1;
    const Index t = s + bs - 1, q = t - hb + 1, next = s + f, d = s - f;
    const Index r0 = d + bs - hb;

    // Band rows s..s+hb-1 and q..t, which overlap when bs < 2 hb: one run of
    // rows s..t then, two runs of hb rows otherwise.  ar(r) = row r.
    alignas(64) S band[LANE_BAND_ELEMENTS];
    const bool one_run = q <= s + hb;
    if (one_run) {
        Ln::gather(band, 1, &m.A(s, s), stride * row, bs * row);
    } else {
        Ln::gather(band, 1, &m.A(s, s), stride * row, hb * row);
        Ln::gather(band + hb * row, 1, &m.A(q, q), stride * row, hb * row);
    }
    auto ar = [&](Index r) {
        return band + (one_run || r < q ? (r - s) * row : (hb + r - q) * row);
    };

    // W = P(1:hb, N:M) of the next odd block, held transposed:
    // w[j*hb + p] = W(p+1, N+j).
    alignas(64) S w[LANE_PANEL_ELEMENTS];
    for (Index p = 0; p < hb; ++p) Ln::gather(w + p, hb, &m.P(p + 1, next), stride, bs);
    // A(q:t, q:t) -= W^T W: sums over j rounded after every addition.
    alignas(64) S sums[LANE_PANEL_ELEMENTS];
    for (Index i = 0; i < hb * hb; ++i) sums[i] = S{};
    for (Index j = 0; j < bs; ++j) {
        const S* const wj = w + j * hb;
        D ww[LANE_MAX_HB];  // column j of W, widened once
        for (Index a = 0; a < hb; ++a) Ln::widen(ww[a], wj[a]);
        for (Index a = 0; a < hb; ++a) {
            S* const sa = sums + a * hb;
            for (Index b = a; b < hb; ++b) Ln::add_product(sa[b], ww[b], ww[a]);
        }
    }
    for (Index a = 0; a < hb; ++a) {
        S* const aq = ar(q + a);  // aq[c] = A(q+a, q+a+c)
        for (Index b = a; b < hb; ++b) Ln::subtract(aq[b - a], sums[a * hb + b]);
    }

    // V = P(1:hb, s:s+hb-1), the previous odd block's right coupling, held
    // transposed as the corner store keeps it: vt[c*hb + p] = V(p+1, s+c).
    alignas(64) S vt[LANE_PANEL_ELEMENTS];
    for (Index p = 0; p < hb; ++p) Ln::gather(vt + p, hb, &m.P(p + 1, s), stride, hb);
    // A(s:cend, s:cend) -= V^T V
    for (Index p = 0; p < hb; ++p)
        for (Index r = 0; r < hb; ++r) {
            D vr;
            Ln::widen(vr, vt[r * hb + p]);
            S* const as = ar(s + r);  // as[c] = A(s+r, s+r+c)
            for (Index j = r; j < hb; ++j) {
                D vj;
                Ln::widen(vj, vt[j * hb + p]);
                Ln::update(as[j - r], vj, vr);
            }
        }

    for (Index k = 1; k <= m.nrhs; ++k) {
        // x = b(s:t), y = b(N:M), z = b(r0:r0+hb-1)
        alignas(64) S x[LANE_PANEL_ELEMENTS];
        alignas(64) S y[LANE_PANEL_ELEMENTS];
        S z[LANE_MAX_HB];
        Ln::gather(x, 1, &m.B(s, k), stride, bs);
        Ln::gather(y, 1, &m.B(next, k), stride, bs);
        Ln::gather(z, 1, &m.B(r0, k), stride, hb);
        // b(q:t) -= W b(N:M): the hb sums over j side by side, each a chain
        // of bs dependent updates.
        S* const xq = x + (q - s);
        for (Index j = 0; j < bs; ++j) {
            D yj;
            Ln::widen(yj, y[j]);
            const S* const wj = w + j * hb;
            for (Index p = 0; p < hb; ++p) {
                D wp;
                Ln::widen(wp, wj[p]);
                Ln::update(xq[p], wp, yj);
            }
        }
        // b(s:cend) -= V^T b(r0:r0+hb-1)
        for (Index p = 0; p < hb; ++p) {
            D zp;
            Ln::widen(zp, z[p]);
            for (Index j = 0; j < hb; ++j) {
                D vj;
                Ln::widen(vj, vt[j * hb + p]);
                Ln::update(x[j], vj, zp);
            }
        }
        Ln::scatter(&m.B(s, k), stride, x, 1, bs);
    }

    // Keep the corner for X's backward step: K(d+bs+c, p+1) = V(p+1, s+c).
    Ln::scatter(&m.K(d + bs, 1), stride * hb, vt, 1, hb * hb);

    // Coupling of S with the last hb rows of the separator before X:
    // P(:, j) = -L V(:, j), L = P(:, r0:r0+hb-1), each P(a, j) a chain over i.
    alignas(64) S lt[LANE_PANEL_ELEMENTS];  // lt[a*hb + i] = L(a+1, i+1)
    for (Index a = 0; a < hb; ++a) Ln::gather(lt + a * hb, 1, &m.P(a + 1, r0), stride, hb);
    alignas(64) S pc[LANE_PANEL_ELEMENTS];  // pc[a*hb + c] = new P(a+1, s+c)
    // The hb chains of one column c side by side.
    for (Index c = 0; c < hb; ++c) {
        S acc[LANE_MAX_HB] = {};
        for (Index i = 0; i < hb; ++i) {
            D vi;
            Ln::widen(vi, vt[c * hb + i]);
            for (Index a = 0; a < hb; ++a) {
                D la;
                Ln::widen(la, lt[a * hb + i]);
                Ln::update(acc[a], vi, la);
            }
        }
        for (Index a = 0; a < hb; ++a) pc[a * hb + c] = acc[a];
    }
    for (Index a = 0; a < hb; ++a) Ln::scatter(&m.P(a + 1, s), stride, pc + a * hb, 1, hb);
    // Band row s-1 holds the last column of V, as the plain step leaves it;
    // the panel columns after V are cleared.
    Ln::scatter(&m.A(s - 1, s), stride * row, vt + (hb - 1) * hb, 1, hb);
    for (int l = 0; l < Isa::lanes; ++l)
        for (Index p = 1; p <= hb; ++p) Ln::clear(&m.P(p, s + l * stride) + hb, bs - hb);

    if (one_run) {
        Ln::scatter(&m.A(s, s), stride * row, band, 1, bs * row);
    } else {
        Ln::scatter(&m.A(s, s), stride * row, band, 1, hb * row);
        Ln::scatter(&m.A(q, q), stride * row, band + hb * row, 1, hb * row);
    }
}

}  // namespace bandsolve::lanes
