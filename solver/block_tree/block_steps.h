// The three block operations of the block-tree elimination: the odd-block
// step, the separator step and the backward step.  Each works on one block
// of rows, takes no lock and allocates nothing; what it reads from other
// blocks was written in an earlier sweep, and what it writes no other block
// of the same sweep writes.
//
// Work area of a solve (2*n*hb elements):
//   corner store K(z, a), z = 1..n, a = 1..hb, at (z-1)*hb + a: factor
//     entries coupling the last hb rows of an odd block X with the first hb
//     rows of its right separator, kept for X's backward step; slot numbers
//     are row numbers (the separator's own first rows at level 1, the first
//     rows of the level-1 block that follows X at higher levels);
//   coupling panel P(a, j), a = 1..hb, j = 1..n, at (a-1)*n + j: column j
//     belongs to row j; an odd block's columns hold its coupling with the
//     last hb rows of its left separator, a separator's first hb columns the
//     coupling with the last hb rows of the odd block before it.
//
// These are the fast forms of the plain steps in plain_steps.h and give
// exactly their bytes: every element still receives the same operations in
// the same order; only independent elements are processed side by side.
// The panel rows that a step runs along one element at a time (the coupling
// solves, the Schur sums) are copied to a small local buffer with the hb
// panel values of a column next to each other, so that the hb independent
// chains advance together.  Blocks whose buffer would exceed
// LOCAL_BUFFER_ELEMENTS<T, 2> use the plain steps (see fits_step_buffers).
#pragma once

#include <algorithm>

#include "solver/block_tree/plain_steps.h"
#include "solver/common/block_factor.h"

namespace bandsolve {

/// The widest band the fast steps take (the length of their column
/// buffers); hb*hb must also fit a local buffer.
inline constexpr Index FAST_STEP_MAX_HB = 64;
static_assert(FAST_STEP_MAX_HB * FAST_STEP_MAX_HB <= LOCAL_BUFFER_MAX_ELEMENTS);

/// Whether blocks of bs rows with half bandwidth hb fit the local buffers
/// of the fast steps for elements T: the separator step keeps two at once,
/// so each has LOCAL_BUFFER_ELEMENTS<T, 2> (every band up to hb = 63 for
/// the real and complex single families, up to hb = 45 for complex double).
template <typename T>
constexpr bool fits_step_buffers(Index bs, Index hb) noexcept {
    constexpr Index cap = LOCAL_BUFFER_ELEMENTS<T, 2>;
    return bs * hb <= cap && hb * hb <= cap && hb <= FAST_STEP_MAX_HB;
}

namespace detail {

/// Solves the columns v..w of `rows` panel rows held transposed in buf
/// (buf[(j-v)*rows + p] = P(p+1, j)) against U of the block from the right:
/// P(p, X) := P(p, X) U(X, X)^{-1}.
template <typename Arrays, typename T = typename Arrays::Element>
inline void solve_panel_rows(const Arrays& m, Index v, Index w, Index rows,
                             T* __restrict buf) noexcept {
    using Tr = ElementTraits<T>;
    const Index hb = m.hb;
    for (Index j = v; j <= w; ++j) {
        T* __restrict xj = buf + (j - v) * rows;
        const T* __restrict uj = &m.A(j, j);  // uj[c - j] = U(j, c)
        const T d = uj[0];
        for (Index p = 0; p < rows; ++p) xj[p] = Tr::divide(xj[p], d);
        const Index jend = std::min(j + hb, w);
        for (Index j2 = j + 1; j2 <= jend; ++j2) {
            T* __restrict x2 = buf + (j2 - v) * rows;
            const T u = uj[j2 - j];
            for (Index p = 0; p < rows; ++p) x2[p] = Tr::update(x2[p], xj[p], u);
        }
    }
}

}  // namespace detail

/// Odd-block step for the block starting at row v: factorises its diagonal
/// block, solves its couplings with its left and right separators into the
/// panel, and runs the forward substitution over it.  With `gather` (level 1)
/// the couplings are first copied from the band array; at higher levels the
/// panel already holds them.  dist = neighbour distance, first_odd = first odd row
/// of the level.  Stops right after a failed pivot (flags[phase] set).
template <typename Arrays, typename T = typename Arrays::Element>
void odd_block_step(const Arrays& m, Index v, bool gather, Index dist, Index first_odd, Index bs,
                    RealOf<T> pivot_floor, ErrorFlags& flags, int phase) noexcept {
    using Tr = ElementTraits<T>;
    const Index n = m.n, hb = m.hb;
    const Index w = std::min(v + bs - 1, n);

    band_block_factor(&m.A(v, v), static_cast<int>(hb), 1, w - v + 1, pivot_floor, flags, phase);
    if (error_flag_set(flags, phase)) return;

    // Left coupling: rows of the left separator that reach into X, solved
    // with U(X, X) in a transposed buffer.
    Index rows = 0, first = 0;
    if (gather) {
        first = std::max<Index>(v - hb, 1);
        rows = v - first;
    } else if (v - dist >= first_odd) {
        rows = hb;
    }
    if (rows > 0) {
        T buf[LOCAL_BUFFER_ELEMENTS<T, 2>];
        for (Index p = 0; p < rows; ++p) {
            if (gather) {
                // Row r = first + p of the band reaches columns v..r+hb.
                const Index r = first + p, cend = std::min(r + hb, w);
                for (Index j = v; j <= cend; ++j) buf[(j - v) * rows + p] = m.A(r, j);
                for (Index j = cend + 1; j <= w; ++j) buf[(j - v) * rows + p] = Tr::zero();
            } else {
                const T* __restrict src = &m.P(p + 1, v);
                for (Index j = v; j <= w; ++j) buf[(j - v) * rows + p] = src[j - v];
            }
        }
        detail::solve_panel_rows(m, v, w, rows, buf);
        for (Index p = 0; p < rows; ++p) {
            T* __restrict dst = &m.P(p + 1, v);
            for (Index j = v; j <= w; ++j) dst[j - v] = buf[(j - v) * rows + p];
        }
    }

    // Right coupling: X's last hb rows reaching into its right separator.
    const RightCoupling rc = right_coupling(m, v, w, gather, dist);
    // P(X rows, S cols) := U(X, X)^{-T} P, rows in increasing order.
    for (Index p = 1; p <= rc.row_count; ++p) {
        const Index r = rc.first_row + p - 1;
        const Index cbegin = rc.cbegin;
        const Index cols = rc.cend(r, hb) - cbegin + 1;
        if (cols <= 0) continue;
        const T* __restrict ur = &m.A(r, r);  // ur[c - r] = U(r, c)
        T* __restrict pr = &m.P(p, cbegin);   // pr[j - cbegin] = P(p, j)
        const T d = ur[0];
        for (Index j = 0; j < cols; ++j) pr[j] = Tr::divide(pr[j], d);
        const Index r2end = std::min(r + hb, w);
        for (Index r2 = r + 1; r2 <= r2end; ++r2) {
            const T u = ur[r2 - r];
            T* __restrict p2 = &m.P(p + r2 - r, cbegin);
            for (Index j = 0; j < cols; ++j) p2[j] = Tr::update(p2[j], pr[j], u);
        }
    }

    // Forward substitution U(X, X)^T y = b over the block.
    for (Index k = 1; k <= m.nrhs; ++k) {
        T* __restrict y = &m.B(v, k);  // y[j - v] = B(j, k)
        for (Index j = v; j <= w; ++j) {
            const T* __restrict uj = &m.A(j, j);  // uj[c - j] = U(j, c)
            T* __restrict yt = y + (j - v);
            const T yj = Tr::divide(yt[0], uj[0]);
            yt[0] = yj;
            const Index span = std::min(j + hb, w) - j;
            for (Index c = 1; c <= span; ++c) yt[c] = Tr::update(yt[c], uj[c], yj);
        }
    }
}

/// Separator step for the separator S starting at row s: applies the Schur
/// complement updates of its two odd-block neighbours to its rows and
/// right-hand sides, keeps the corner coupling it with the previous odd block,
/// and (when that block has a separator on its other side) builds S's coupling
/// with that separator, the input of the next level.
template <typename Arrays, typename T = typename Arrays::Element>
void separator_step(const Arrays& m, Index s, Index dist, Index first_odd, Index bs) noexcept {
    using Tr = ElementTraits<T>;
    const Index n = m.n, hb = m.hb;
    const Index t = std::min(s + bs - 1, n);
    // Two local buffers serve the whole step (W and its sums, then L^T), so
    // that its stack use stays at two of them.
    T buf[LOCAL_BUFFER_ELEMENTS<T, 2>];
    T sums[LOCAL_BUFFER_ELEMENTS<T, 2>];

    // Next odd block X2 = rows N..M, already eliminated; W = P(1:hb, N:M).
    const Index next = s + dist;
    if (next <= n) {
        const Index last = std::min(next + bs - 1, n);
        const Index q = t - hb + 1;
        const Index len = last - next + 1;
        // buf[j*hb + p] = W(p+1, N+j)
        for (Index p = 0; p < hb; ++p) {
            const T* __restrict src = &m.P(p + 1, next);
            for (Index j = 0; j < len; ++j) buf[j * hb + p] = src[j];
        }
        // A(q:t, q:t) -= W^T W: the hb*hb sums run side by side over j, each
        // rounded after every addition (the symmetric half is computed too
        // and discarded, which keeps the inner loop regular).
        for (Index i = 0; i < hb * hb; ++i) sums[i] = Tr::zero();
        for (Index j = 0; j < len; ++j) {
            const T* __restrict wj = buf + j * hb;
            for (Index a = 0; a < hb; ++a) {
                T* __restrict row = sums + a * hb;
                const T wa = wj[a];
                for (Index b = 0; b < hb; ++b) row[b] = Tr::add_product(row[b], wj[b], wa);
            }
        }
        for (Index a = 0; a < hb; ++a)
            for (Index b = a; b < hb; ++b) {
                T& target = m.A(q + a, q + b);
                target = Tr::subtract(target, sums[a * hb + b]);
            }
        // b(q:t) -= W b(N:M), the hb chains side by side.
        for (Index k = 1; k <= m.nrhs; ++k) {
            T* __restrict acc = sums;
            for (Index p = 0; p < hb; ++p) acc[p] = m.B(q + p, k);
            const T* __restrict y = &m.B(next, k);
            for (Index j = 0; j < len; ++j) {
                const T* __restrict wj = buf + j * hb;
                const T yj = y[j];
                for (Index p = 0; p < hb; ++p) acc[p] = Tr::update(acc[p], wj[p], yj);
            }
            for (Index p = 0; p < hb; ++p) m.B(q + p, k) = acc[p];
        }
    }

    // Previous odd block X = rows d..d+bs-1; its right coupling V sits in the
    // panel columns s..cend.
    const Index d = s - dist;
    const Index cend = std::min(s + hb - 1, n);
    const Index r0 = d + bs - hb;
    // A(s:cend, s:cend) -= V^T V
    for (Index p = 1; p <= hb; ++p) {
        const T* __restrict vp = &m.P(p, s);  // vp[j - s] = P(p, j)
        for (Index r = s; r <= cend; ++r) {
            const T vr = vp[r - s];
            T* __restrict ar = &m.A(r, r);  // ar[j - r] = A(r, j)
            const T* __restrict vr_row = vp + (r - s);
            for (Index j = 0; j <= cend - r; ++j) ar[j] = Tr::update(ar[j], vr_row[j], vr);
        }
    }
    // b(s:cend) -= V^T b(r0:r0+hb-1)
    for (Index k = 1; k <= m.nrhs; ++k)
        for (Index p = 1; p <= hb; ++p) {
            const T y = m.B(r0 + p - 1, k);
            const T* __restrict vp = &m.P(p, s);
            T* __restrict sep_b = &m.B(s, k);
            for (Index j = 0; j <= cend - s; ++j) sep_b[j] = Tr::update(sep_b[j], vp[j], y);
        }
    // Keep the corner for X's backward step.
    for (Index p = 1; p <= hb; ++p)
        for (Index j = s; j <= cend; ++j) m.K(d + bs + j - s, p) = m.P(p, j);

    if (d > first_odd) {
        // Coupling of S with the last hb rows of the separator before X:
        // P(:, j) = -L V(:, j), L = X's left coupling in P(:, r0:r0+hb-1).
        // Each P(a, j) is a chain over i; the hb chains of a column advance
        // together, with L held transposed.
        T* const lt = buf;  // lt[i*hb + a] = P(a+1, r0+i)
        for (Index a = 0; a < hb; ++a)
            for (Index i = 0; i < hb; ++i) lt[i * hb + a] = m.P(a + 1, r0 + i);
        T col[FAST_STEP_MAX_HB];  // V(:, j), as the band row s-1 holds it
        T acc[FAST_STEP_MAX_HB];
        for (Index j = s; j <= cend; ++j) {
            for (Index a = 0; a < hb; ++a) {
                col[a] = m.P(a + 1, j);
                acc[a] = Tr::zero();
            }
            for (Index i = 0; i < hb; ++i) {
                const T* __restrict li = lt + i * hb;
                const T ci = col[i];
                for (Index a = 0; a < hb; ++a) acc[a] = Tr::update(acc[a], ci, li[a]);
            }
            for (Index a = 0; a < hb; ++a) m.P(a + 1, j) = acc[a];
        }
        // Band row s-1 (X's last row; its coupling elements are no longer
        // needed) is left holding the last column of V, as the plain step's
        // scratch use of it leaves it.
        T* scratch = &m.A(s - 1, s);
        for (Index a = 0; a < hb; ++a) scratch[a] = col[a];
        for (Index p = 1; p <= hb; ++p)
            for (Index j = cend + 1; j <= t; ++j) m.P(p, j) = Tr::zero();
    }
}

/// Backward step for the block starting at row v: removes the contributions
/// of its two separators (already solved) from its right-hand sides and runs
/// the back substitution over it.
template <typename Arrays, typename T = typename Arrays::Element>
void backward_step(const Arrays& m, Index v, Index dist, Index bs) noexcept {
    using Tr = ElementTraits<T>;
    const Index n = m.n, hb = m.hb;
    const Index w = std::min(v + bs - 1, n);

    // b(X) -= P(:, X)^T x(left separator's last hb rows)
    if (v - dist > 0) {
        const Index r0 = v - dist + bs - hb;
        for (Index k = 1; k <= m.nrhs; ++k)
            for (Index p = 1; p <= hb; ++p) {
                const T y = m.B(r0 + p - 1, k);
                const T* __restrict pp = &m.P(p, v);
                T* __restrict bx = &m.B(v, k);
                for (Index j = 0; j <= w - v; ++j) bx[j] = Tr::update(bx[j], pp[j], y);
            }
    }
    // b(X's last hb rows) -= K x(right separator's first rows)
    const Index next = v + dist;
    if (next <= n) {
        const Index u = std::min(hb, std::min(next + bs - 1, n) - next + 1);
        const Index last = std::min(w + u, n);
        for (Index k = 1; k <= m.nrhs; ++k) {
            T* __restrict tail = &m.B(w - hb + 1, k);  // tail[i-1] = B(w-hb+i, k)
            for (Index z = w + 1; z <= last; ++z) {
                const T y = m.B(next + z - w - 1, k);
                const T* __restrict kz = &m.K(z, 1);
                for (Index i = 0; i < hb; ++i) tail[i] = Tr::update(tail[i], kz[i], y);
            }
        }
    }
    // Back substitution U(X, X) x = y.
    for (Index k = 1; k <= m.nrhs; ++k) {
        T* __restrict x = &m.B(v, k);  // x[j - v] = B(j, k)
        for (Index r = w; r >= v; --r) {
            const T* __restrict ur = &m.A(r, r);  // ur[c - r] = U(r, c)
            T* __restrict xt = x + (r - v);
            T xr = xt[0];
            const Index span = std::min(r + hb, w) - r;
            for (Index c = 1; c <= span; ++c) xr = Tr::update(xr, ur[c], xt[c]);
            xt[0] = Tr::divide(xr, ur[0]);
        }
    }
}

}  // namespace bandsolve
