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
#include <memory>
#include <new>
#include <type_traits>

#include "solver/block_tree/lane_steps.h"
#include "solver/common/block_factor.h"

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
        for (Index i = b; i >= lo; --i) {
            const T* const ui = &band_at(a, hb, i, i);
            const Index solved = std::min(i + hb, n) - b;  // columns b+1..b+solved
            const Index own = std::min(i + hb, b) - i;     // columns i+1..i+own
            for (Index r = 0; r < nrhs; ++r) {
                T* const yr = y + r * ldy;
                T t = yr[i - 1];
                for (Index c = b - i + 1; c <= b - i + solved; ++c)
                    t = Tr::update(t, ui[c], yr[i - 1 + c]);
                for (Index c = 1; c <= own; ++c) t = Tr::update(t, ui[c], yr[i - 1 + c]);
                yr[i - 1] = Tr::divide(t, ui[0]);
            }
        }
    }
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

    Slot* row(Index first, Index i) const noexcept { return w + (i - first) * G; }

    /// Loads rows from..to into the tile whose first row is `first`, and
    /// asks for rows ahead..ahead+LANE_TILE_ROWS-1 (clipped to 1..n), the
    /// next tile's, to be fetched meanwhile: the columns are as many streams
    /// through memory, more than the processor follows on its own.
    void load(Index first, Index from, Index to, Index ahead, Index n) const noexcept {
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
                    row(first, i)[l] = col[i - 1];
            }
        }
    }
    void store(Index first, Index from, Index to) const noexcept {
        for (int l = 0; l < L; ++l) {
            T* const col = y + l * ldy;
            for (Index i = from; i <= to; ++i) {
                if constexpr (vectors)
                    col[i - 1] = row(first, i)[l / W][l % W];
                else
                    col[i - 1] = row(first, i)[l];
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
    void forward(const T* a, Index n, Index hb) const noexcept {
        constexpr Index R = LANE_TILE_ROWS;
        Index loaded = 0;  // rows 1..loaded have entered a tile
        for (Index p = 1; p <= n; p += R) {
            const Index last = std::min(p + R - 1, n);
            const Index reach = std::min(last + hb, n);
            if (p > 1) std::copy(w + R * G, w + (R + loaded - p + 1) * G, w);  // rows p..loaded
            load(p, loaded + 1, reach, reach + 1, n);
            loaded = reach;
            for (Index i = p; i <= last; ++i) {
                const T* const ui = &band_at(a, hb, i, i);  // ui[c] = U(i, i+c)
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
                    splat(u, Tr::mirrored(ui[c]));
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
    void backward(const T* a, Index n, Index hb, Index q) const noexcept {
        constexpr Index R = LANE_TILE_ROWS;
        for (Index hi = n; hi >= 1; hi -= R) {
            const Index lo = std::max<Index>(hi - R + 1, 1);
            const Index carried = std::min(hb, n - hi);
            if (carried > 0)
                std::copy_backward(w, w + carried * G, w + (hi - lo + 1 + carried) * G);
            load(lo, lo, hi, lo - R, n);
            for (Index i = hi; i >= lo; --i) {
                const Index b = n - (n - i) / q * q;  // last row of i's backward slab
                const T* const ui = &band_at(a, hb, i, i);
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
};

/// Runs sweep on the groups of columns that the lane sweeps take (see
/// columns_side_by_side); returns the columns done, 0 without memory for a
/// tile.
template <typename T, typename Tr, typename Isa, typename Sweep>
Index run_column_lanes(Index hb, T* y, Index nrhs, Index ldy, Sweep sweep) noexcept {
    using Wide = ColumnLanes<T, Tr, Isa, 4>;
    using Narrow = ColumnLanes<T, Tr, Isa, 1>;
    if (nrhs < Narrow::L || nrhs < 4) return 0;
    std::unique_ptr<typename Wide::Slot[]> w(new (std::nothrow)
                                                 typename Wide::Slot[(LANE_TILE_ROWS + hb) * 4]);
    if (!w) return 0;
    Index done = 0;
    for (; nrhs - done >= Wide::L; done += Wide::L) sweep(Wide{w.get(), y + done * ldy, ldy});
    // One complex column alone gains nothing from a tile.
    if constexpr (Narrow::L > 1)
        for (; nrhs - done >= Narrow::L; done += Narrow::L)
            sweep(Narrow{w.get(), y + done * ldy, ldy});
    return done;
}

/// forward_columns with the columns in SIMD lanes: groups of 4 slots, then
/// of one (16 and 4 columns of a real type on four lanes; 4 and 1 complex
/// columns), the columns left over in place, side by side.  Without memory
/// for a tile every column runs in place.
template <typename T, typename Tr, typename Isa>
void forward_columns_lanes(const T* a, Index n, Index hb, T* y, Index nrhs, Index ldy) noexcept {
    Index done = 0;
    if (nrhs > 1)
        done = run_column_lanes<T, Tr, Isa>(hb, y, nrhs, ldy,
                                            [&](const auto& group) { group.forward(a, n, hb); });
    forward_columns<T, Tr>(a, n, hb, y + done * ldy, nrhs - done, ldy);
}

/// backward_columns with the columns in SIMD lanes, grouped as in
/// forward_columns_lanes.
template <typename T, typename Tr, typename Isa>
void backward_columns_lanes(const T* a, Index n, Index hb, T* y, Index nrhs, Index ldy,
                            Index q) noexcept {
    Index done = 0;
    if (nrhs > 1)
        done = run_column_lanes<T, Tr, Isa>(
            hb, y, nrhs, ldy, [&](const auto& group) { group.backward(a, n, hb, q); });
    backward_columns<T, Tr>(a, n, hb, y + done * ldy, nrhs - done, ldy, q);
}

}  // namespace bandsolve
