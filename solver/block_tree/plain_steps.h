// The block-tree elimination steps in their plain form, loop for loop in the
// order that defines the result.  The fast steps in block_steps.h must give
// exactly the same bytes; the tests hold them to it.  The kernel runs these
// wherever a block's panel does not fit the fast steps' local buffers.
#pragma once

#include <algorithm>

#include "solver/block_tree/block_arrays.h"
#include "solver/common/block_factor.h"

namespace bandsolve {

/// Rows and columns of an odd block's right coupling (X's last hb rows that
/// reach into its right separator S), gathered from the band array at level
/// 1; at higher levels the panel already holds it.  Row p = 1..row_count is
/// block row first_row + p - 1; its columns run from cbegin to cend(r).
/// The plain and the fast odd-block steps both gather it here.
struct RightCoupling {
    Index first_row = 0, row_count = 0, cbegin = 0, climit = 0;
    bool per_row_range = false;  // level 1: row r stops at min(r + hb, climit)

    Index cend(Index r, Index hb) const noexcept {
        return per_row_range ? std::min(r + hb, climit) : climit;
    }
};

template <typename Arrays, typename T = typename Arrays::Element>
RightCoupling right_coupling(const Arrays& m, Index v, Index w, bool gather, Index dist) noexcept {
    using Tr = ElementTraits<T>;
    const Index n = m.n, hb = m.hb;
    RightCoupling rc;
    rc.cbegin = w + 1;
    if (gather) {
        if (w < n) {
            rc.first_row = std::max(w + 1 - hb, v);
            rc.row_count = w - rc.first_row + 1;
            rc.climit = std::min(w + hb, n);
            rc.per_row_range = true;
            for (Index p = 1; p <= rc.row_count; ++p) {
                const Index r = rc.first_row + p - 1;
                const Index cend = std::min(r + hb, n);
                for (Index j = w + 1; j <= cend; ++j) m.P(p, j) = m.A(r, j);
                for (Index j = cend + 1; j <= rc.climit; ++j) m.P(p, j) = Tr::zero();
            }
        }
    } else if (v + dist <= n) {
        rc.first_row = w - hb + 1;
        rc.row_count = hb;
        rc.cbegin = v + dist;
        rc.climit = std::min(rc.cbegin + hb - 1, n);
    }
    return rc;
}

namespace plain {

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

    // Left coupling: rows of the left separator that reach into X.
    Index rows = 0;
    if (gather) {
        const Index first = std::max<Index>(v - hb, 1);
        rows = v - first;
        for (Index p = 1; p <= rows; ++p) {
            const Index r = first + p - 1;
            const Index cend = std::min(r + hb, w);
            for (Index j = v; j <= cend; ++j) m.P(p, j) = m.A(r, j);
            for (Index j = cend + 1; j <= w; ++j) m.P(p, j) = Tr::zero();
        }
    } else if (v - dist >= first_odd) {
        rows = hb;
    }
    // P(p, X) := P(p, X) U(X, X)^{-1}
    for (Index p = 1; p <= rows; ++p) {
        for (Index j = v; j <= w; ++j) {
            T& pj = m.P(p, j);
            pj = Tr::divide(pj, m.A(j, j));
            const Index jend = std::min(j + hb, w);
            for (Index j2 = j + 1; j2 <= jend; ++j2) {
                T& pj2 = m.P(p, j2);
                pj2 = Tr::update(pj2, pj, m.A(j, j2));
            }
        }
    }

    // Right coupling: X's last hb rows reaching into its right separator.
    const RightCoupling rc = right_coupling(m, v, w, gather, dist);
    // P(X rows, S cols) := U(X, X)^{-T} P, rows in increasing order.
    for (Index p = 1; p <= rc.row_count; ++p) {
        const Index r = rc.first_row + p - 1;
        const Index cbegin = rc.cbegin, cend = rc.cend(r, hb);
        const T d = m.A(r, r);
        for (Index j = cbegin; j <= cend; ++j) {
            T& pj = m.P(p, j);
            pj = Tr::divide(pj, d);
        }
        const Index r2end = std::min(r + hb, w);
        for (Index r2 = r + 1; r2 <= r2end; ++r2) {
            const T u = m.A(r, r2);
            const Index p2 = p + r2 - r;
            for (Index j = cbegin; j <= cend; ++j) {
                T& t = m.P(p2, j);
                t = Tr::update(t, m.P(p, j), u);
            }
        }
    }

    // Forward substitution U(X, X)^T y = b over the block.
    for (Index k = 1; k <= m.nrhs; ++k) {
        for (Index j = v; j <= w; ++j) {
            T& bj = m.B(j, k);
            bj = Tr::divide(bj, m.A(j, j));
            const Index jend = std::min(j + hb, w);
            for (Index j2 = j + 1; j2 <= jend; ++j2) {
                T& t = m.B(j2, k);
                t = Tr::update(t, m.A(j, j2), bj);
            }
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

    // Next odd block X2 = rows N..M, already eliminated.
    const Index next = s + dist;
    if (next <= n) {
        const Index last = std::min(next + bs - 1, n);
        const Index q = t - hb + 1;
        // A(q:t, q:t) -= W^T W with W = P(1:hb, N:M)
        for (Index p = 1; p <= hb; ++p) {
            for (Index p2 = p; p2 <= hb; ++p2) {
                T sum = Tr::zero();
                for (Index j = next; j <= last; ++j)
                    sum = Tr::add_product(sum, m.P(p2, j), m.P(p, j));
                T& target = m.A(q + p - 1, q + p2 - 1);
                target = Tr::subtract(target, sum);
            }
        }
        // b(q:t) -= W b(N:M)
        for (Index k = 1; k <= m.nrhs; ++k)
            for (Index p = 1; p <= hb; ++p) {
                T& bq = m.B(q + p - 1, k);
                for (Index j = next; j <= last; ++j) bq = Tr::update(bq, m.P(p, j), m.B(j, k));
            }
    }

    // Previous odd block X = rows d..d+bs-1; its right coupling sits in the
    // panel columns s..cend.
    const Index d = s - dist;
    const Index cend = std::min(s + hb - 1, n);
    const Index r0 = d + bs - hb;
    // A(s:cend, s:cend) -= V^T V with V = P(1:hb, s:cend)
    for (Index p = 1; p <= hb; ++p)
        for (Index r = s; r <= cend; ++r) {
            const T vr = m.P(p, r);
            for (Index j = r; j <= cend; ++j) {
                T& arj = m.A(r, j);
                arj = Tr::update(arj, m.P(p, j), vr);
            }
        }
    // b(s:cend) -= V^T b(r0:r0+hb-1)
    for (Index k = 1; k <= m.nrhs; ++k)
        for (Index p = 1; p <= hb; ++p) {
            const T y = m.B(r0 + p - 1, k);
            for (Index j = s; j <= cend; ++j) {
                T& bj = m.B(j, k);
                bj = Tr::update(bj, m.P(p, j), y);
            }
        }
    // Keep the corner for X's backward step.
    for (Index p = 1; p <= hb; ++p)
        for (Index j = s; j <= cend; ++j) m.K(d + bs + j - s, p) = m.P(p, j);

    if (d > first_odd) {
        // Coupling of S with the last hb rows of the separator before X:
        // P(:, j) = -L V(:, j), L = X's left coupling in P(:, r0:r0+hb-1).
        // Band row s-1 (X's last row; its coupling elements are no longer
        // needed) holds column j of V while the column is rewritten.
        T* scratch = &m.A(s - 1, s);
        for (Index j = s; j <= cend; ++j) {
            for (Index p = 1; p <= hb; ++p) {
                scratch[p - 1] = m.P(p, j);
                m.P(p, j) = Tr::zero();
            }
            for (Index p = 1; p <= hb; ++p) {
                T& pj = m.P(p, j);
                for (Index i = 1; i <= hb; ++i)
                    pj = Tr::update(pj, scratch[i - 1], m.P(p, r0 + i - 1));
            }
        }
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
                for (Index j = v; j <= w; ++j) {
                    T& bj = m.B(j, k);
                    bj = Tr::update(bj, m.P(p, j), y);
                }
            }
    }
    // b(X's last hb rows) -= K x(right separator's first rows)
    const Index next = v + dist;
    if (next <= n) {
        const Index u = std::min(hb, std::min(next + bs - 1, n) - next + 1);
        const Index last = std::min(w + u, n);
        for (Index k = 1; k <= m.nrhs; ++k)
            for (Index z = w + 1; z <= last; ++z) {
                const T y = m.B(next + z - w - 1, k);
                for (Index i = hb; i >= 1; --i) {
                    T& bi = m.B(w - hb + i, k);
                    bi = Tr::update(bi, m.K(z, i), y);
                }
            }
    }
    // Back substitution U(X, X) x = y.
    for (Index k = 1; k <= m.nrhs; ++k)
        for (Index r = w; r >= v; --r) {
            T& br = m.B(r, k);
            const Index jend = std::min(r + hb, w);
            for (Index j = r + 1; j <= jend; ++j) br = Tr::update(br, m.A(r, j), m.B(j, k));
            br = Tr::divide(br, m.A(r, r));
        }
}

}  // namespace plain

}  // namespace bandsolve
