// Integer arithmetic of the block tree: block size, levels and the rows at
// which each sweep starts.  No threads, no arrays.
#pragma once

#include <algorithm>
#include <bit>

#include "solver/common/element_traits.h"

namespace bandsolve {

/// Rows per block: max(P1*P1 / max(hb, 1), hb + 1).  The hb + 1 term keeps a
/// block longer than the half bandwidth, so that an odd block couples only
/// with the edge rows of its two separators.
constexpr Index block_size_for(int p1, int hb) noexcept {
    const Index w = std::max(hb, 0);
    return std::max<Index>(Index{p1} * p1 / std::max<Index>(w, 1), w + 1);
}

/// Number of blocks of an order-n matrix.
constexpr Index block_count(Index n, Index bs) noexcept { return n <= 0 ? 0 : (n + bs - 1) / bs; }

/// Level at which block k (1-based) is eliminated: 1 + trailing zero bits.
constexpr int block_level(Index k) noexcept {
    return 1 + std::countr_zero(static_cast<unsigned long long>(k));
}

/// First row of the first block of a level, given the level's factor
/// 2^(level-1): the blocks of level l are 2^(l-1) times an odd number.
constexpr Index level_first_row(Index level_factor, Index bs) noexcept {
    return (level_factor - 1) * bs + 1;
}

/// Whether the level with factor level_factor is the top of the tree: the
/// next level has no block, so this level's blocks have no separator after
/// them.  Level 1 is never the top.
constexpr bool is_top_level(Index level_factor, Index n, Index bs) noexcept {
    return level_factor > 1 && level_first_row(2 * level_factor, bs) > n;
}

/// Top level of the tree: the first level from 2 on that is the top.
constexpr int top_level(Index n, Index bs) noexcept {
    int level = 2;
    while (!is_top_level(Index{1} << (level - 1), n, bs)) ++level;
    return level;
}

}  // namespace bandsolve
