// What a block-tree solve spread over ranks moves between them: which rows
// each rank holds, the sweeps every rank runs, and the pieces of other
// blocks that each block step reads or writes.  Integer arithmetic only: no
// arrays, no threads, no messages.
//
// Every rank holds a run of whole blocks (rows_of_rank) and runs the steps of
// the blocks it holds.  A step reads, besides its own block, a few pieces of
// its neighbours' blocks that earlier sweeps finished, and writes a few
// pieces of them that no other step of its sweep touches (step_pieces); the
// shared-memory kernel's independence of the blocks within a sweep is what
// lets a rank run its steps on copies of those pieces, fetched before the
// sweep and, where written, given back after it.
#pragma once

#include <algorithm>
#include <vector>

#include "solver/block_tree/block_tree.h"
#include "solver/block_tree/kernel.h"

namespace bandsolve::distributed {

/// Which array a piece lies in; all of a piece's rows are consecutive rows
/// of one block.
enum class Part : unsigned char {
    band_rows,      // band rows first..last, hb + 1 elements each
    rhs_rows,       // right-hand side entries of rows first..last, every column
    panel_columns,  // panel columns first..last, every panel row
    corner_slots,   // corner slots first..last, hb elements each
};

struct Piece {
    Part part = Part::band_rows;
    Index first = 0, last = 0;  // rows of the system, first <= last
    bool written = false;       // the step may write it (it reads it too)
    friend bool operator==(const Piece&, const Piece&) = default;
};

/// Elements of T a piece holds.
constexpr Index piece_elements(const Piece& p, Index hb, Index nrhs) noexcept {
    const Index rows = p.last - p.first + 1;
    switch (p.part) {
        case Part::band_rows:
            return rows * (hb + 1);
        case Part::rhs_rows:
            return rows * std::max<Index>(nrhs, 0);
        case Part::panel_columns:
        case Part::corner_slots:
            return rows * hb;
    }
    return 0;
}

/// Blocks of rank `rank` of `ranks`, as 0-based block numbers
/// [first, first + count): nb blocks dealt out in runs, the first nb % ranks
/// ranks one block more than the others.
struct BlockRun {
    Index first = 0, count = 0;
};
constexpr BlockRun blocks_of_rank(Index nb, int rank, int ranks) noexcept {
    const Index base = nb / ranks, extra = nb % ranks;
    return {rank * base + std::min<Index>(rank, extra), base + (rank < extra ? 1 : 0)};
}

/// The rank that holds 0-based block k.
constexpr int rank_of_block(Index k, Index nb, int ranks) noexcept {
    const Index base = nb / ranks, extra = nb % ranks;
    const Index long_blocks = extra * (base + 1);
    if (k < long_blocks) return static_cast<int>(k / (base + 1));
    return static_cast<int>(extra + (k - long_blocks) / base);
}

/// Rows first..last of rank `rank` (first = last + 1 when it holds none).
struct RowRun {
    Index first = 1, last = 0;
    Index rows() const noexcept { return last - first + 1; }
    bool holds(Index r) const noexcept { return r >= first && r <= last; }
};
constexpr RowRun rows_of_rank(Index n, Index bs, int rank, int ranks) noexcept {
    const BlockRun run = blocks_of_rank(block_count(n, bs), rank, ranks);
    const Index first = std::min(run.first * bs + 1, n + 1);
    return {first, std::min(first + run.count * bs - 1, n)};
}

/// The sweeps of a block-tree solve of order n in blocks of bs rows, in the
/// order the kernel runs them, with the values the kernel's Sweep carries,
/// ending with SweepKind::done.
inline std::vector<Sweep> block_tree_sweeps(Index n, Index bs) {
    std::vector<Sweep> sweeps;
    Index level_factor = 1, dist = bs, stride = 2 * bs, first_odd = 1;
    auto first_row = [&] { return level_first_row(level_factor, bs); };
    auto push = [&](SweepKind kind, Index first) {
        sweeps.push_back(Sweep{kind, first, stride, dist, first_odd});
    };
    push(SweepKind::odd_gather, 1);
    level_factor *= 2;
    push(SweepKind::separator, first_row());
    for (;;) {
        first_odd = first_row();
        stride *= 2;
        dist *= 2;
        push(SweepKind::odd, first_row());
        if (is_top_level(level_factor, n, bs)) break;
        level_factor *= 2;
        push(SweepKind::separator, first_row());
    }
    push(SweepKind::backward, first_row());
    while (level_factor >= 1) {
        level_factor /= 2;
        stride /= 2;
        dist /= 2;
        if (level_factor >= 1)
            push(SweepKind::backward, first_row());
        else
            sweeps.push_back(Sweep{});
    }
    return sweeps;
}

/// Calls emit(piece) for every piece outside its own block that the step of
/// sweep `sw` for the block at row v reads or writes, in a fixed order.  A
/// step reaches no farther than reach(sw, bs, hb) rows from v.  hb >= 1.
template <typename Emit>
void step_pieces(const Sweep& sw, Index v, Index n, Index hb, Index bs, Emit&& emit) {
    const Index w = std::min(v + bs - 1, n);
    const Index f = sw.dist;
    switch (sw.kind) {
        case SweepKind::odd_gather:
            // The left separator's last band rows hold the left coupling;
            // the right coupling lands in the right separator's first
            // panel columns.
            if (v > 1) emit(Piece{Part::band_rows, std::max<Index>(v - hb, 1), v - 1, false});
            if (w < n) emit(Piece{Part::panel_columns, w + 1, std::min(w + hb, n), true});
            break;
        case SweepKind::odd:
            // The right separator's first panel columns hold the right
            // coupling, solved in place.
            if (v + f <= n)
                emit(Piece{Part::panel_columns, v + f, std::min(v + f + hb - 1, n), true});
            break;
        case SweepKind::separator: {
            const Index next = v + f;
            if (next <= n) {
                const Index last = std::min(next + bs - 1, n);
                emit(Piece{Part::panel_columns, next, last, false});
                emit(Piece{Part::rhs_rows, next, last, false});
            }
            const Index d = v - f, r0 = d + bs - hb, cend = std::min(v + hb - 1, n);
            emit(Piece{Part::rhs_rows, r0, r0 + hb - 1, false});
            emit(Piece{Part::corner_slots, d + bs, d + bs + cend - v, true});
            if (d > sw.first_odd) {
                emit(Piece{Part::panel_columns, r0, r0 + hb - 1, false});
                emit(Piece{Part::band_rows, v - 1, v - 1, true});  // scratch row
            }
            break;
        }
        case SweepKind::backward: {
            if (v - f > 0) {
                const Index r0 = v - f + bs - hb;
                emit(Piece{Part::rhs_rows, r0, r0 + hb - 1, false});
            }
            const Index next = v + f;
            if (next <= n) {
                const Index u = std::min(hb, std::min(next + bs - 1, n) - next + 1);
                emit(Piece{Part::rhs_rows, next, next + u - 1, false});
                emit(Piece{Part::corner_slots, w + 1, std::min(w + u, n), false});
            }
            break;
        }
        case SweepKind::done:
            break;
    }
}

/// How far from its block's first row a step of `sw` reaches.
constexpr Index reach(const Sweep& sw, Index bs, Index hb) noexcept { return sw.dist + bs + hb; }

/// Rows from v on that a group of `count` blocks of `sw` from row v reads
/// or writes, within [lo, hi] (a bound, not the exact set): the lane steps
/// run a group only where this stays in the rank's own rows.
struct RowSpan {
    Index lo = 0, hi = 0;
};
constexpr RowSpan group_span(const Sweep& sw, Index v, Index count, Index n, Index hb,
                             Index bs) noexcept {
    const Index last = v + (count - 1) * sw.stride;
    const Index f = sw.dist;
    RowSpan s{v, std::min(last + bs - 1, n)};
    switch (sw.kind) {
        case SweepKind::odd_gather:
            s.lo = v - hb;
            s.hi = std::min(last + bs - 1 + hb, n);
            break;
        case SweepKind::odd:
            s.hi = std::min(last + f + hb - 1, n);
            break;
        case SweepKind::separator:
            s.lo = v - f + bs - hb;
            s.hi = std::min(last + f + bs - 1, n);
            break;
        case SweepKind::backward:
            s.lo = v - f + bs - hb;
            s.hi = std::min(std::max(last + bs - 1, last + f + hb - 1), n);
            break;
        case SweepKind::done:
            break;
    }
    s.lo = std::max<Index>(std::min(s.lo, v), 1);
    return s;
}

}  // namespace bandsolve::distributed
