// One rank's part in a distributed block-tree solve, worked out before the
// solve starts: for every sweep, the pieces it fetches from other ranks and
// serves to them before the sweep, and those it gives back and takes back
// after it.  Every rank works out its own plan from the same integers, so
// two ranks agree on every message between them without asking.
#pragma once

#include <cstddef>
#include <vector>

#include "solver/distributed/pieces.h"

namespace bandsolve::distributed {

/// A piece on its way to or from another rank.
struct Transfer {
    int peer = 0;
    Piece piece;
};

/// The transfers of one rank around one sweep.  Within each list the
/// transfers are ordered by peer and, for one peer, in the order both ranks
/// enumerate them, so that a message is the concatenation of its pieces.
struct SweepPlan {
    Sweep sweep;
    std::vector<Transfer> fetch;      // pieces my steps read, from their holders
    std::vector<Transfer> serve;      // pieces of my rows other ranks' steps read
    std::vector<Transfer> give_back;  // pieces my steps wrote, to their holders
    std::vector<Transfer> take_back;  // pieces of my rows other ranks' steps wrote
    std::vector<Index> ghosts;        // first rows of the other ranks' blocks my steps reach
};

/// The shape of a distributed solve: order, half bandwidth (>= 1), right-hand
/// sides, block size and ranks.
struct Layout {
    Index n = 0, hb = 1, nrhs = 0, bs = 1;
    int ranks = 1;

    Index blocks() const noexcept { return block_count(n, bs); }
    int rank_of_row(Index r) const noexcept { return rank_of_block((r - 1) / bs, blocks(), ranks); }
    RowRun rows_of(int rank) const noexcept { return rows_of_rank(n, bs, rank, ranks); }
    Index block_first_row(Index r) const noexcept { return (r - 1) / bs * bs + 1; }
};

/// The plan of rank `rank` for every sweep of the solve, in the order of
/// block_tree_sweeps.  May throw std::bad_alloc.
std::vector<SweepPlan> plan_rank(const Layout& layout, int rank);

/// Elements of T that the pieces of `transfers` to or from `peer` hold.
Index elements_for(const std::vector<Transfer>& transfers, int peer, const Layout& layout) noexcept;

}  // namespace bandsolve::distributed
