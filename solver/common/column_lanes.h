// Several right-hand sides side by side in SIMD lanes: the substitution
// sweeps of the slab entries and of the LAPACK-style entries on groups of
// columns held row by row in a small tile.
#pragma once

#include <algorithm>
#include <complex>
#include <memory>
#include <new>
#include <type_traits>

#include "solver/block_tree/lane_steps.h"
#include "solver/common/band_access.h"

namespace bandsolve {

/// x, or its conjugate when `conjugate` (complex types only).
template <typename T>
T conj_if(T x, bool conjugate) noexcept {
    if constexpr (ElementTraits<T>::is_complex)
        return conjugate ? std::conj(x) : x;
    else
        return x;
}

/// Rows of one tile of the lane sweeps below.
inline constexpr Index LANE_TILE_ROWS = 64;

/// The lane sweeps: forward_columns and backward_columns on groups of
/// columns held side by side in SIMD lanes.  A tile holds rows of the
/// group's columns row by row, so that one row's step in all of them is a
/// run of independent lane operations.  The real types run G vectors of
/// Isa::lanes columns (the lane arithmetic of lane_steps.h: single
/// precision widened to double and rounded once per operation, as
/// ElementTraits<float> does); the complex types one element per column.
/// Every column receives exactly the operations it receives alone, so the
/// same bits.
template <typename T, typename Tr, typename Isa, int G>
struct ColumnLanes {
    static constexpr bool vectors = !ElementTraits<T>::is_complex;
    static constexpr int W = vectors ? Isa::lanes : 1;  // columns per slot
    static constexpr int L = G * W;                     // columns of the group
    using Ln = lanes::Lanes<RealOf<T>, std::conditional_t<vectors, Isa, lanes::PortableIsa>>;
    /// One slot: W columns of one row.
    using Slot = std::conditional_t<vectors, typename Ln::S, T>;
    using Wide = std::conditional_t<vectors, typename Ln::D, T>;

    Slot* w;  // (LANE_TILE_ROWS + hb) rows of G slots
    T* y;     // column 0 of the group, rows 1..n
    Index ldy;
    /// Whether the columns enter the forward sweep conjugated and leave the
    /// backward sweep conjugated back (the LAPACK-style entries' conjugated
    /// view).
    bool conj = false;

    Slot* row(Index first, Index i) const noexcept { return w + (i - first) * G; }

    /// Loads rows from..to into the tile whose first row is `first`, and
    /// asks for rows ahead..ahead+LANE_TILE_ROWS-1 (clipped to 1..n), the
    /// next tile's, to be fetched meanwhile: the columns are as many streams
    /// through memory, more than the processor follows on its own.
    void load(Index first, Index from, Index to, Index ahead, Index n,
              bool conjugate = false) const noexcept {
        const Index pf_from = std::max<Index>(ahead, 1);
        const Index pf_to = std::min(ahead + LANE_TILE_ROWS - 1, n);
        constexpr Index line = std::max<Index>(64 / sizeof(T), 1);
        for (int l = 0; l < L; ++l) {
            const T* const col = y + l * ldy;
            for (Index i = pf_from; i <= pf_to; i += line) __builtin_prefetch(col + i - 1);
            for (Index i = from; i <= to; ++i) {
                if constexpr (vectors)
                    row(first, i)[l / W][l % W] = col[i - 1];
                else
                    row(first, i)[l] = conj_if(col[i - 1], conjugate);
            }
        }
    }
    void store(Index first, Index from, Index to, bool conjugate = false) const noexcept {
        for (int l = 0; l < L; ++l) {
            T* const col = y + l * ldy;
            for (Index i = from; i <= to; ++i) {
                if constexpr (vectors)
                    col[i - 1] = row(first, i)[l / W][l % W];
                else
                    col[i - 1] = conj_if(row(first, i)[l], conjugate);
            }
        }
    }

    static void splat(Wide& d, T x) noexcept {
        if constexpr (vectors)
            for (int l = 0; l < W; ++l) d[l] = x;
        else
            d = x;
    }
    static void splat_slot(Slot& d, T x) noexcept {
        if constexpr (vectors)
            for (int l = 0; l < W; ++l) d[l] = x;
        else
            d = x;
    }
    static void widen(Wide& d, const Slot& s) noexcept {
        if constexpr (vectors)
            Ln::widen(d, s);
        else
            d = s;
    }
    /// t := t - x*y, as Tr::update(t, x, y).
    static void update(Slot& t, const Wide& x, const Wide& y) noexcept {
        if constexpr (vectors)
            Ln::update(t, x, y);
        else
            t = Tr::update(t, x, y);
    }
    /// t := t / d, as Tr::divide(t, d).
    static void divide(Slot& t, const Slot& d) noexcept {
        if constexpr (vectors)
            Ln::divide(t, d);
        else
            t = Tr::divide(t, d);
    }

    /// forward_columns on the group, in tiles of R rows: rows p..p+R-1 take
    /// their steps in the tile, which also holds the hb rows below them
    /// (their updates so far), carried into the next tile.
    template <typename Rows>
    void forward(Index n, Index hb, const Rows& rows) const noexcept {
        constexpr Index R = LANE_TILE_ROWS;
        Index loaded = 0;  // rows 1..loaded have entered a tile
        for (Index p = 1; p <= n; p += R) {
            const Index last = std::min(p + R - 1, n);
            const Index reach = std::min(last + hb, n);
            if (p > 1) std::copy(w + R * G, w + (R + loaded - p + 1) * G, w);  // rows p..loaded
            load(p, loaded + 1, reach, reach + 1, n, conj);
            loaded = reach;
            for (Index i = p; i <= last; ++i) {
                const T* const ui = rows.diagonal(i);  // ui[c * s] = U(i, i+c)
                const Index s = rows.along_row();
                const Index span = std::min(hb, n - i);
                Slot* const wi = row(p, i);
                Slot d;
                splat_slot(d, ui[0]);
                Wide v[G];
                for (int g = 0; g < G; ++g) {
                    divide(wi[g], d);
                    widen(v[g], wi[g]);
                }
                for (Index c = 1; c <= span; ++c) {
                    Wide u;
                    splat(u, Tr::mirrored(ui[c * s]));
                    Slot* const wc = wi + c * G;
                    for (int g = 0; g < G; ++g) update(wc[g], u, v[g]);
                }
            }
            store(p, p, last);
        }
    }

    /// backward_columns on the group, in tiles of R rows from the last: rows
    /// lo..hi take their steps in the tile, which also holds the solved rows
    /// hi+1..hi+hb, carried from the tile before.
    template <typename Rows>
    void backward_rows(Index n, Index hb, Index q, const Rows& rows) const noexcept {
        constexpr Index R = LANE_TILE_ROWS;
        for (Index hi = n; hi >= 1; hi -= R) {
            const Index lo = std::max<Index>(hi - R + 1, 1);
            const Index carried = std::min(hb, n - hi);
            if (carried > 0)
                std::copy_backward(w, w + carried * G, w + (hi - lo + 1 + carried) * G);
            load(lo, lo, hi, lo - R, n);
            for (Index i = hi; i >= lo; --i) {
                const Index b = n - (n - i) / q * q;   // last row of i's backward slab
                const T* const ui = rows.diagonal(i);  // row-wise: ui[c] = U(i, i+c)
                static_assert(Rows::along_row() == 1);
                const Index solved = std::min(i + hb, n) - b;  // columns b+1..b+solved
                const Index own = std::min(i + hb, b) - i;     // columns i+1..i+own
                Slot* const wi = row(lo, i);
                Slot t[G];
                for (int g = 0; g < G; ++g) t[g] = wi[g];
                auto take = [&](Index c) {
                    Wide u;
                    splat(u, ui[c]);
                    for (int g = 0; g < G; ++g) {
                        Wide x;
                        widen(x, wi[c * G + g]);
                        update(t[g], u, x);
                    }
                };
                for (Index c = b - i + 1; c <= b - i + solved; ++c) take(c);
                for (Index c = 1; c <= own; ++c) take(c);
                Slot d;
                splat_slot(d, ui[0]);
                for (int g = 0; g < G; ++g) {
                    divide(t[g], d);
                    wi[g] = t[g];
                }
            }
            store(lo, lo, hi);
        }
    }

    /// The column-oriented back substitution U x = y on the group, in
    /// tiles of R rows from the last: x(i) = y(i) / U(i, i), then y(i-q) -=
    /// U(i-q, i) x(i) for q = 1..hb; the tile of rows lo..hi also holds the
    /// rows lo-hb..lo-1 that receive its updates, carried into the next
    /// tile.  rows.diagonal(i)[-q * rows.down_column()] = U(i-q, i).
    template <typename Rows>
    void backward_columns(Index n, Index hb, const Rows& rows) const noexcept {
        constexpr Index R = LANE_TILE_ROWS;
        const Index t = rows.down_column();
        Index top = n + 1;  // rows top..n have entered a tile
        for (Index hi = n; hi >= 1; hi -= R) {
            const Index lo = std::max<Index>(hi - R + 1, 1);
            const Index base = lo - hb;  // the tile's first row, perhaps < 1
            const Index from = std::max<Index>(base, 1);
            // Rows top..hi, updated by the tile before, sit at its front.
            if (top <= hi)
                std::copy_backward(w + (top - (hi + 1 - hb)) * G, w + hb * G,
                                   w + (hi - base + 1) * G);
            load(base, from, top - 1, from - R, n);
            top = from;
            for (Index i = hi; i >= lo; --i) {
                const T* const ci = rows.diagonal(i);
                const Index span = std::min(hb, i - 1);
                Slot* const wi = row(base, i);
                Slot d;
                splat_slot(d, ci[0]);
                Wide x[G];
                for (int g = 0; g < G; ++g) {
                    divide(wi[g], d);
                    widen(x[g], wi[g]);
                }
                for (Index q = 1; q <= span; ++q) {
                    Wide u;
                    splat(u, ci[-q * t]);
                    Slot* const wq = wi - q * G;
                    for (int g = 0; g < G; ++g) update(wq[g], u, x[g]);
                }
            }
            store(base, lo, hi, conj);
        }
    }
};

/// Runs sweep on the nrhs columns of y from the first, in groups of four
/// slots (16 real columns, 4 complex ones), then, for the real types, of
/// one slot (4 columns), while a group fills; returns the columns done: 0
/// for fewer than four columns or without memory for a tile.  conj: see
/// ColumnLanes::conj.
template <typename T, typename Tr, typename Isa, typename Sweep>
Index run_column_lanes(Index hb, T* y, Index nrhs, Index ldy, Sweep sweep,
                       bool conj = false) noexcept {
    using Wide = ColumnLanes<T, Tr, Isa, 4>;
    using Narrow = ColumnLanes<T, Tr, Isa, 1>;
    if (nrhs < Narrow::L || nrhs < 4) return 0;
    std::unique_ptr<typename Wide::Slot[]> w(new (std::nothrow)
                                                 typename Wide::Slot[(LANE_TILE_ROWS + hb) * 4]);
    if (!w) return 0;
    Index done = 0;
    for (; nrhs - done >= Wide::L; done += Wide::L) sweep(Wide{w.get(), y + done * ldy, ldy, conj});
    // One complex column alone gains nothing from a tile.
    if constexpr (Narrow::L > 1)
        for (; nrhs - done >= Narrow::L; done += Narrow::L)
            sweep(Narrow{w.get(), y + done * ldy, ldy, conj});
    return done;
}

}  // namespace bandsolve
