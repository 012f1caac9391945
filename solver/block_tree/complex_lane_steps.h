// Block steps of the complex families for a group of L blocks of one sweep
// at once, one block per SIMD lane (see lane_steps.h for the real families).
//
// An element of the group is held split: one vector of the L real parts and
// one of the L imaginary parts, in the component type (float or double), so
// that the complex single family keeps its roundings exactly where
// ComplexTraits<float, double> stores a result.  Every operation of the
// plain step runs on all lanes together in the plain step's order:
//  - an update t - x*y forms the product in double as ComplexTraits::product
//    does (real part xr*yr + xi*(-yi)) and rounds each part of the
//    difference once;
//  - complex division, square root and the pivot's modulus follow the step
//    sequences of complex_divide, complex_sqrt and complex_modulus: every
//    branch is evaluated in every lane and each lane takes the value of the
//    branch its own operands choose.  Division is by Smith's scaling, whose
//    ratio r and denominator depend on the divisor alone; they are formed
//    once per pivot and every element divided by that pivot reuses them,
//    the same values the scalar division forms each time.  Complex double
//    near the top of the range, where the scalar division or square root
//    rescales an overflowed intermediate, is told by one test per vector
//    (an infinite numerator, denominator or |x| + m); the lanes it finds
//    take the scalar function's result.
// The compiler never fuses a multiply-add here: the complex bodies are
// compiled without FMA (the AVX2 body) or without vector extensions that
// have it (the portable body), and -ffp-contract=off holds throughout.
#pragma once

#include <algorithm>
#include <limits>

#include "solver/block_tree/lane_steps.h"

namespace bandsolve::lanes {

/// Lane arithmetic of complex element type T (std::complex<R>) for
/// instruction set Isa.  As in Lanes, vectors pass by reference only.
template <typename T, typename Isa>
struct ComplexLanes {
    using R = typename T::value_type;
    using Ln = Lanes<R, Isa>;
    static constexpr int L = Isa::lanes;
    using S = typename Ln::S;  // L components as stored
    using D = typename Ln::D;  // L components in double, the evaluation type
    using M = decltype(D{} < D{});

    /// L stored elements, and the same widened to double.
    struct E {
        S re, im;
    };
    struct W {
        D re, im;
    };
    /// What Smith's division by one divisor needs of it, per lane: whether
    /// |c| > |d| (c, d its parts), whether it is zero, the ratio r, the
    /// denominator, whether that is infinite (complex double only), and c
    /// and d for a rescaled division.
    struct Divisor {
        M major, zero, huge;
        D r, den, c, d;
    };
    /// Whether the scalar division and square root may rescale (see
    /// complex_divide_by and complex_sqrt_from_modulus).
    static constexpr bool may_rescale = complex_parts_may_overflow<R, double>;
    static bool any(const M& m) noexcept {
        for (int l = 0; l < L; ++l)
            if (m[l]) return true;
        return false;
    }
    /// inf := the lanes whose x is infinite (NaN is not).
    static void infinite(M& inf, const D& x) noexcept {
        D a;
        abs(a, x);
        inf = a > std::numeric_limits<double>::max();
    }

    static void widen(W& w, const E& x) noexcept {
        Ln::widen(w.re, x.re);
        Ln::widen(w.im, x.im);
    }
    static void abs(D& a, const D& x) noexcept {
        const M magnitude = M{} + 0x7fffffffffffffff;
        a = reinterpret_cast<D>(reinterpret_cast<M>(x) & magnitude);
    }

    /// t := t - x*y, each part rounded once.
    static void update(E& t, const W& x, const W& y) noexcept {
        const D pr = x.re * y.re + x.im * (-y.im);
        const D pi = x.re * y.im + x.im * y.re;
        D tr, ti;
        Ln::widen(tr, t.re);
        Ln::widen(ti, t.im);
        Ln::store(t.re, tr - pr);
        Ln::store(t.im, ti - pi);
    }

    /// s := s + x*y, each part rounded once.
    static void add_product(E& s, const W& x, const W& y) noexcept {
        const D pr = x.re * y.re + x.im * (-y.im);
        const D pi = x.re * y.im + x.im * y.re;
        D sr, si;
        Ln::widen(sr, s.re);
        Ln::widen(si, s.im);
        Ln::store(s.re, sr + pr);
        Ln::store(s.im, si + pi);
    }
    /// t := t - s, each part rounded once.
    static void subtract(E& t, const E& s) noexcept {
        W a, b;
        widen(a, t);
        widen(b, s);
        Ln::store(t.re, a.re - b.re);
        Ln::store(t.im, a.im - b.im);
    }

    static void divisor(Divisor& dv, const E& y) noexcept {
        W c;
        widen(c, y);
        D ac, ad;
        abs(ac, c.re);
        abs(ad, c.im);
        dv.major = ac > ad;
        dv.zero = (c.re == 0) & (c.im == 0);
        // |c| > |d|: r = d/c, den = c + d*r; else r = c/d, den = c*r + d.
        dv.r = (dv.major ? c.im : c.re) / (dv.major ? c.re : c.im);
        dv.den = dv.major ? c.re + c.im * dv.r : c.re * dv.r + c.im;
        if constexpr (may_rescale) infinite(dv.huge, dv.den);
        dv.c = c.re;
        dv.d = c.im;
    }
    /// x := x / y, y's divisor(dv); NaN in both parts for a zero y.
    static void divide(E& x, const Divisor& dv) noexcept {
        W a;
        widen(a, x);
        const D& r = dv.r;
        const D re = dv.major ? a.re + a.im * r : a.re * r + a.im;
        const D im = dv.major ? a.im - a.re * r : a.im * r - a.re;
        const D nan = D{} + std::numeric_limits<R>::quiet_NaN();
        Ln::store(x.re, dv.zero ? nan : re / dv.den);
        Ln::store(x.im, dv.zero ? nan : im / dv.den);
        if constexpr (may_rescale) {
            M re_inf, im_inf;
            infinite(re_inf, re);
            infinite(im_inf, im);
            const M rescaled = re_inf | im_inf | dv.huge;
            if (any(rescaled)) [[unlikely]]
                divide_as_scalar(x, a, dv, rescaled);
        }
    }
    /// The lanes of `which` of x := a / y as complex_divide_by divides.
    [[gnu::noinline, gnu::cold]] static void divide_as_scalar(E& x, const W& a, const Divisor& dv,
                                                              const M& which) noexcept {
        for (int l = 0; l < L; ++l) {
            if (!which[l]) continue;
            const RescalableComplexDivisor<double> y{
                {dv.r[l], dv.den[l], dv.major[l] != 0, dv.zero[l] != 0},
                dv.c[l],
                dv.d[l],
                dv.huge[l] != 0};
            const T q = complex_divide_by<R, double>(T(a.re[l], a.im[l]), y);
            x.re[l] = q.real();
            x.im[l] = q.imag();
        }
    }
    static void sqrt_lanes(D& x) noexcept {
        for (int l = 0; l < L; ++l) x[l] = __builtin_sqrt(x[l]);
    }
    /// x := its principal square root (complex_sqrt).
    static void sqrt(E& z) noexcept {
        W w;
        widen(w, z);
        D ax, ay;
        abs(ax, w.re);
        abs(ay, w.im);
        const M smaller = ay < ax;
        D q = (smaller ? w.im : w.re) / (smaller ? w.re : w.im);
        D root = 1.0 + q * q;
        sqrt_lanes(root);
        const D m = (smaller | (w.im != 0)) ? (smaller ? ax : ay) * root : D{};
        const D sum = ax + m;
        D half = sum / 2.0;
        sqrt_lanes(half);
        S ts;
        Ln::store(ts, half);
        D t;
        Ln::widen(t, ts);
        S hs;
        Ln::store(hs, ay / (2.0 * t));
        D h;
        Ln::widen(h, hs);
        const M nonneg = w.re >= 0;
        D re = nonneg ? t : h;
        D im = nonneg ? h : t;
        im = w.im < 0 ? -im : im;
        const M zero = t == 0;
        Ln::store(z.re, zero ? D{} : re);
        Ln::store(z.im, zero ? D{} : im);
        if constexpr (may_rescale) {
            M rescaled;
            infinite(rescaled, sum);
            if (any(rescaled)) [[unlikely]]
                sqrt_as_scalar(z, w, rescaled);
        }
    }
    /// The lanes of `which` of z := sqrt(w) as complex_sqrt takes it.
    [[gnu::noinline, gnu::cold]] static void sqrt_as_scalar(E& z, const W& w,
                                                            const M& which) noexcept {
        for (int l = 0; l < L; ++l) {
            if (!which[l]) continue;
            const T r = complex_sqrt<R, double>(T(w.re[l], w.im[l]));
            z.re[l] = r.real();
            z.im[l] = r.imag();
        }
    }
    /// Whether any lane's pivot fails: its modulus (complex_modulus) not
    /// above the floor; NaN passes.
    static bool any_pivot_fails(const E& d, R floor) noexcept {
        W w;
        widen(w, d);
        D re, im;
        abs(re, w.re);
        abs(im, w.im);
        const M greater = re > im;
        const D q = (greater ? im : re) / (greater ? re : im);
        D root = 1.0 + q * q;
        sqrt_lanes(root);
        const D scaled = (greater ? re : im) * root;
        const D mod = im == 0 ? re : (re == 0 ? im : scaled);
        const M fails = mod <= static_cast<double>(floor);
        for (int l = 0; l < L; ++l)
            if (fails[l]) return true;
        return false;
    }

    /// buf[e * step] := element e of the L runs src[l * lane_stride + e],
    /// e = 0..len-1, split into parts.  The runs are taken as runs of
    /// 2*len components, L components (L/2 elements) a tile; full tiles
    /// move as whole vectors (see Lanes::gather_full_tile).
    static void gather(E* __restrict buf, Index step, const T* __restrict src, Index lane_stride,
                       Index len) noexcept {
        const R* const parts = reinterpret_cast<const R*>(src);
        Index e = 0;
        for (; e + L <= 2 * len; e += L) {
            S tile[L];
            Ln::gather_full_tile(tile, 1, parts + e, 2 * lane_stride);
            split(buf + e / 2 * step, step, tile, L);
        }
        if (e < 2 * len) {
            S tile[L];
            Ln::gather_tile(tile, 1, parts + e, 2 * lane_stride, 2 * len - e);
            split(buf + e / 2 * step, step, tile, 2 * len - e);
        }
    }
    /// The inverse of gather.
    static void scatter(T* __restrict dst, Index lane_stride, const E* __restrict buf, Index step,
                        Index len) noexcept {
        R* const parts = reinterpret_cast<R*>(dst);
        Index e = 0;
        for (; e + L <= 2 * len; e += L) {
            S tile[L];
            join(tile, buf + e / 2 * step, step, L);
            Ln::scatter_full_tile(parts + e, 2 * lane_stride, tile, 1);
        }
        if (e < 2 * len) {
            S tile[L];
            join(tile, buf + e / 2 * step, step, 2 * len - e);
            Ln::scatter_tile(parts + e, 2 * lane_stride, tile, 1, 2 * len - e);
        }
    }
    /// Components 0..k-1 of a tile (real, imaginary, ...) as k/2 elements,
    /// and back.
    static void split(E* __restrict buf, Index step, const S* tile, Index k) noexcept {
        for (Index i = 0; i < k; i += 2) {
            E& x = buf[i / 2 * step];
            x.re = tile[i];
            x.im = tile[i + 1];
        }
    }
    static void join(S* tile, const E* __restrict buf, Index step, Index k) noexcept {
        for (Index i = 0; i < k; i += 2) {
            const E& x = buf[i / 2 * step];
            tile[i] = x.re;
            tile[i + 1] = x.im;
        }
    }
};

/// Odd-block step of the complex families (see odd_block_step in
/// block_steps.h) for the L blocks at rows v + l*stride, l = 0..L-1, which
/// odd_group_fits must accept; the same sequence as the real families'
/// lanes::odd_block_step.  When a pivot fails in any lane it returns false
/// and has written nothing; the caller then runs the blocks one by one.
template <typename T, typename Isa, typename Arrays>
bool complex_odd_block_step(const Arrays m, Index v, Index stride, bool gather, Index f, Index bs,
                            RealOf<T> pivot_floor) noexcept {
    using Cx = ComplexLanes<T, Isa>;
    using E = typename Cx::E;
    using W = typename Cx::W;
    using Divisor = typename Cx::Divisor;
    const Index hb = m.hb, row = hb + 1;
    const Index w = v + bs - 1;

    // Band rows v-hb..w at level 1, v..w above (see lanes::odd_block_step).
    alignas(64) E band[LANE_BAND_ELEMENTS];
    const Index above = gather ? hb : 0;
    Cx::gather(band, 1, &m.A(v - above, v - above), stride * row, (bs + above) * row);
    E* const u = band + above * row;

    // U(X, X) = chol(A(X, X)), right-looking.
    for (Index k = 0; k < bs; ++k) {
        E* const rk = u + k * row;
        if (Cx::any_pivot_fails(rk[0], pivot_floor)) return false;
        Cx::sqrt(rk[0]);
        Divisor dv;
        Cx::divisor(dv, rk[0]);
        const Index span = std::min(hb, bs - 1 - k);
        W uk[LANE_MAX_HB + 1];
        for (Index c = 1; c <= span; ++c) {
            Cx::divide(rk[c], dv);
            Cx::widen(uk[c], rk[c]);
        }
        for (Index i = 1; i <= span; ++i) {
            E* const ri = rk + i * row;
            for (Index c = i; c <= span; ++c) Cx::update(ri[c - i], uk[c], uk[i]);
        }
    }

    // Left coupling, held transposed: pl[j*hb + p] = P(p+1, v+j).
    alignas(64) E pl[LANE_PANEL_ELEMENTS];
    if (gather) {
        for (Index p = 0; p < hb; ++p)
            for (Index j = 0; j < bs; ++j)
                pl[j * hb + p] = j <= p ? band[p * row + hb - p + j] : E{};
    } else {
        for (Index p = 0; p < hb; ++p) Cx::gather(pl + p, hb, &m.P(p + 1, v), stride, bs);
    }
    // P(p, X) := P(p, X) U(X, X)^{-1}
    for (Index j = 0; j < bs; ++j) {
        E* const xj = pl + j * hb;
        const E* const uj = u + j * row;
        Divisor dv;
        Cx::divisor(dv, uj[0]);
        W xw[LANE_MAX_HB];
        for (Index p = 0; p < hb; ++p) {
            Cx::divide(xj[p], dv);
            Cx::widen(xw[p], xj[p]);
        }
        const Index span = std::min(hb, bs - 1 - j);
        for (Index c = 1; c <= span; ++c) {
            E* const x2 = xj + c * hb;
            W ujc;
            Cx::widen(ujc, uj[c]);
            for (Index p = 0; p < hb; ++p) Cx::update(x2[p], xw[p], ujc);
        }
    }
    for (Index p = 0; p < hb; ++p) Cx::scatter(&m.P(p + 1, v), stride, pl + p, hb, bs);

    // Right coupling of X's last hb rows: pr[p*hb + c] = P(p+1, cbegin+c).
    alignas(64) E pr[LANE_PANEL_ELEMENTS];
    const Index cbegin = gather ? w + 1 : v + f;
    if (gather) {
        for (Index p = 0; p < hb; ++p)
            for (Index c = 0; c < hb; ++c)
                pr[p * hb + c] = c <= p ? u[(bs - hb + p) * row + hb - p + c] : E{};
    } else {
        for (Index p = 0; p < hb; ++p) Cx::gather(pr + p * hb, 1, &m.P(p + 1, cbegin), stride, hb);
    }
    // P(X rows, S cols) := U(X, X)^{-T} P, rows in increasing order.
    for (Index p = 0; p < hb; ++p) {
        const Index r = bs - hb + p;
        const Index cols = gather ? p + 1 : hb;
        E* const xp = pr + p * hb;
        const E* const ur = u + r * row;
        Divisor dv;
        Cx::divisor(dv, ur[0]);
        W xw[LANE_MAX_HB];
        for (Index c = 0; c < cols; ++c) {
            Cx::divide(xp[c], dv);
            Cx::widen(xw[c], xp[c]);
        }
        for (Index r2 = 1; r2 < hb - p; ++r2) {
            E* const x2 = xp + r2 * hb;
            W u2;
            Cx::widen(u2, ur[r2]);
            for (Index c = 0; c < cols; ++c) Cx::update(x2[c], xw[c], u2);
        }
    }
    for (Index p = 0; p < hb; ++p) Cx::scatter(&m.P(p + 1, cbegin), stride, pr + p * hb, 1, hb);

    // Forward substitution U(X, X)^T y = b over the block.
    for (Index k = 1; k <= m.nrhs; ++k) {
        E* const y = pl;
        Cx::gather(y, 1, &m.B(v, k), stride, bs);
        for (Index j = 0; j < bs; ++j) {
            const E* const uj = u + j * row;
            Divisor dv;
            Cx::divisor(dv, uj[0]);
            Cx::divide(y[j], dv);
            W yj;
            Cx::widen(yj, y[j]);
            const Index span = std::min(hb, bs - 1 - j);
            for (Index c = 1; c <= span; ++c) {
                W ujc;
                Cx::widen(ujc, uj[c]);
                Cx::update(y[j + c], ujc, yj);
            }
        }
        Cx::scatter(&m.B(v, k), stride, y, 1, bs);
    }

    Cx::scatter(&m.A(v, v), stride * row, u, 1, bs * row);
    return true;
}

/// Separator step of the complex families (see separator_step in
/// block_steps.h) for the L separators at rows s + l*stride, which
/// separator_group_fits must accept; the same sequence as the real
/// families' lanes::separator_step.
template <typename T, typename Isa, typename Arrays>
void complex_separator_step(const Arrays m, Index s, Index stride, Index f, Index bs) noexcept {
    using Cx = ComplexLanes<T, Isa>;
    using E = typename Cx::E;
    using W = typename Cx::W;
    const Index hb = m.hb, row = hb + 1;
    const Index t = s + bs - 1, q = t - hb + 1, next = s + f, d = s - f;
    const Index r0 = d + bs - hb;

    // Band rows s..s+hb-1 and q..t: one run of rows s..t when they overlap.
    alignas(64) E band[LANE_BAND_ELEMENTS];
    const bool one_run = q <= s + hb;
    if (one_run) {
        Cx::gather(band, 1, &m.A(s, s), stride * row, bs * row);
    } else {
        Cx::gather(band, 1, &m.A(s, s), stride * row, hb * row);
        Cx::gather(band + hb * row, 1, &m.A(q, q), stride * row, hb * row);
    }
    auto ar = [&](Index r) {
        return band + (one_run || r < q ? (r - s) * row : (hb + r - q) * row);
    };

    // W = P(1:hb, N:M), held transposed: w[j*hb + p] = W(p+1, N+j).
    alignas(64) E w[LANE_PANEL_ELEMENTS];
    for (Index p = 0; p < hb; ++p) Cx::gather(w + p, hb, &m.P(p + 1, next), stride, bs);
    // A(q:t, q:t) -= W^T W: sums over j rounded after every addition.
    alignas(64) E sums[LANE_PANEL_ELEMENTS];
    for (Index i = 0; i < hb * hb; ++i) sums[i] = E{};
    for (Index j = 0; j < bs; ++j) {
        const E* const wj = w + j * hb;
        W ww[LANE_MAX_HB];
        for (Index a = 0; a < hb; ++a) Cx::widen(ww[a], wj[a]);
        for (Index a = 0; a < hb; ++a) {
            E* const sa = sums + a * hb;
            for (Index b = a; b < hb; ++b) Cx::add_product(sa[b], ww[b], ww[a]);
        }
    }
    for (Index a = 0; a < hb; ++a) {
        E* const aq = ar(q + a);
        for (Index b = a; b < hb; ++b) Cx::subtract(aq[b - a], sums[a * hb + b]);
    }

    // V = P(1:hb, s:s+hb-1), held transposed: vt[c*hb + p] = V(p+1, s+c).
    alignas(64) E vt[LANE_PANEL_ELEMENTS];
    for (Index p = 0; p < hb; ++p) Cx::gather(vt + p, hb, &m.P(p + 1, s), stride, hb);
    // A(s:cend, s:cend) -= V^T V
    for (Index p = 0; p < hb; ++p) {
        W vp[LANE_MAX_HB];  // row p of V, widened once
        for (Index j = 0; j < hb; ++j) Cx::widen(vp[j], vt[j * hb + p]);
        for (Index r = 0; r < hb; ++r) {
            E* const as = ar(s + r);
            for (Index j = r; j < hb; ++j) Cx::update(as[j - r], vp[j], vp[r]);
        }
    }

    for (Index k = 1; k <= m.nrhs; ++k) {
        // x = b(s:t), y = b(N:M), z = b(r0:r0+hb-1)
        alignas(64) E x[LANE_PANEL_ELEMENTS];
        alignas(64) E y[LANE_PANEL_ELEMENTS];
        E z[LANE_MAX_HB];
        Cx::gather(x, 1, &m.B(s, k), stride, bs);
        Cx::gather(y, 1, &m.B(next, k), stride, bs);
        Cx::gather(z, 1, &m.B(r0, k), stride, hb);
        // b(q:t) -= W b(N:M)
        for (Index p = 0; p < hb; ++p) {
            E acc = x[q - s + p];
            for (Index j = 0; j < bs; ++j) {
                W wp, yj;
                Cx::widen(wp, w[j * hb + p]);
                Cx::widen(yj, y[j]);
                Cx::update(acc, wp, yj);
            }
            x[q - s + p] = acc;
        }
        // b(s:cend) -= V^T b(r0:r0+hb-1)
        for (Index p = 0; p < hb; ++p) {
            W zp;
            Cx::widen(zp, z[p]);
            for (Index j = 0; j < hb; ++j) {
                W vj;
                Cx::widen(vj, vt[j * hb + p]);
                Cx::update(x[j], vj, zp);
            }
        }
        Cx::scatter(&m.B(s, k), stride, x, 1, bs);
    }

    // Keep the corner for X's backward step: K(d+bs+c, p+1) = V(p+1, s+c).
    Cx::scatter(&m.K(d + bs, 1), stride * hb, vt, 1, hb * hb);

    // Coupling of S with the last hb rows of the separator before X:
    // P(:, j) = -L V(:, j), L = P(:, r0:r0+hb-1), each P(a, j) a chain over i.
    alignas(64) E lt[LANE_PANEL_ELEMENTS];  // lt[a*hb + i] = L(a+1, i+1)
    for (Index a = 0; a < hb; ++a) Cx::gather(lt + a * hb, 1, &m.P(a + 1, r0), stride, hb);
    alignas(64) E pc[LANE_PANEL_ELEMENTS];  // pc[a*hb + c] = new P(a+1, s+c)
    for (Index c = 0; c < hb; ++c) {
        W vc[LANE_MAX_HB];  // column c of V, widened once
        for (Index i = 0; i < hb; ++i) Cx::widen(vc[i], vt[c * hb + i]);
        for (Index a = 0; a < hb; ++a) {
            E acc{};
            for (Index i = 0; i < hb; ++i) {
                W la;
                Cx::widen(la, lt[a * hb + i]);
                Cx::update(acc, vc[i], la);
            }
            pc[a * hb + c] = acc;
        }
    }
    for (Index a = 0; a < hb; ++a) Cx::scatter(&m.P(a + 1, s), stride, pc + a * hb, 1, hb);
    // Band row s-1 holds the last column of V, as the plain step leaves it;
    // the panel columns after V are cleared.
    Cx::scatter(&m.A(s - 1, s), stride * row, vt + (hb - 1) * hb, 1, hb);
    // Two zero parts per element.
    for (int l = 0; l < Isa::lanes; ++l)
        for (Index p = 1; p <= hb; ++p)
            Cx::Ln::clear(reinterpret_cast<typename Cx::R*>(&m.P(p, s + l * stride) + hb),
                          2 * (bs - hb));

    if (one_run) {
        Cx::scatter(&m.A(s, s), stride * row, band, 1, bs * row);
    } else {
        Cx::scatter(&m.A(s, s), stride * row, band, 1, hb * row);
        Cx::scatter(&m.A(q, q), stride * row, band + hb * row, 1, hb * row);
    }
}

/// Backward step of the complex families (see backward_step in
/// block_steps.h) for the G*L blocks at rows v + i*stride, i = 0..G*L-1,
/// which backward_group_fits must accept: G groups of L lanes whose back
/// substitutions run interleaved, as in lanes::backward_step.
template <typename T, typename Isa, int G, typename Arrays>
void complex_backward_step(const Arrays m, Index v, Index stride, Index f, Index bs) noexcept {
    using Cx = ComplexLanes<T, Isa>;
    using E = typename Cx::E;
    using W = typename Cx::W;
    using Divisor = typename Cx::Divisor;
    constexpr int L = Isa::lanes;
    const Index hb = m.hb, row = hb + 1;
    const Index group_stride = L * stride;

    // U(X, X) of each group's blocks (row i at u[g][i * row]) and their
    // corners (kc[g][z*hb + i] = K(w+1+z, i+1)).
    alignas(64) E u[G][LANE_BAND_ELEMENTS];
    alignas(64) E kc[G][LANE_PANEL_ELEMENTS];
    for (int g = 0; g < G; ++g) {
        const Index vg = v + g * group_stride, wg = vg + bs - 1;
        Cx::gather(u[g], 1, &m.A(vg, vg), stride * row, bs * row);
        Cx::gather(kc[g], 1, &m.K(wg + 1, 1), stride * hb, hb * hb);
    }
    alignas(64) E x[G][LANE_PANEL_ELEMENTS];
    for (Index k = 1; k <= m.nrhs; ++k) {
        for (int g = 0; g < G; ++g) {
            const Index vg = v + g * group_stride;
            E* const xg = x[g];
            Cx::gather(xg, 1, &m.B(vg, k), stride, bs);
            // b(X) -= P(:, X)^T x(left separator's last hb rows), the panel
            // taken L/2 elements (one tile of components) at a time.
            E y[LANE_MAX_HB];
            Cx::gather(y, 1, &m.B(vg - f + bs - hb, k), stride, hb);
            for (Index p = 0; p < hb; ++p) {
                W yp;
                Cx::widen(yp, y[p]);
                const T* const prow = &m.P(p + 1, vg);
                for (Index j = 0; j < bs; j += L / 2) {
                    const Index len = std::min<Index>(L / 2, bs - j);
                    E tile[L / 2];
                    Cx::gather(tile, 1, prow + j, stride, len);
                    for (Index i = 0; i < len; ++i) {
                        W pj;
                        Cx::widen(pj, tile[i]);
                        Cx::update(xg[j + i], pj, yp);
                    }
                }
            }
            // b(X's last hb rows) -= K x(right separator's first hb rows)
            Cx::gather(y, 1, &m.B(vg + f, k), stride, hb);
            E* const tail = xg + bs - hb;
            for (Index z = 0; z < hb; ++z) {
                W yz;
                Cx::widen(yz, y[z]);
                for (Index i = 0; i < hb; ++i) {
                    W kzi;
                    Cx::widen(kzi, kc[g][z * hb + i]);
                    Cx::update(tail[i], kzi, yz);
                }
            }
        }
        // Back substitution U(X, X) x = y, the groups side by side.
        for (Index r = bs - 1; r >= 0; --r) {
            const Index span = std::min(hb, bs - 1 - r);
            E acc[G];
            for (int g = 0; g < G; ++g) acc[g] = x[g][r];
            for (Index c = 1; c <= span; ++c)
                for (int g = 0; g < G; ++g) {
                    W urc, xc;
                    Cx::widen(urc, u[g][r * row + c]);
                    Cx::widen(xc, x[g][r + c]);
                    Cx::update(acc[g], urc, xc);
                }
            for (int g = 0; g < G; ++g) {
                Divisor dv;
                Cx::divisor(dv, u[g][r * row]);
                Cx::divide(acc[g], dv);
                x[g][r] = acc[g];
            }
        }
        for (int g = 0; g < G; ++g) Cx::scatter(&m.B(v + g * group_stride, k), stride, x[g], 1, bs);
    }
}

}  // namespace bandsolve::lanes
