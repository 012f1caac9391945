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

/// Top level of the tree: the first level from 2 on that has no separator.
constexpr int top_level(Index n, Index bs) noexcept {
    int level = 2;
    // The first separator of level l starts at row (2^l - 1) bs + 1.
    while (((Index{1} << level) - 1) * bs + 1 <= n) ++level;
    return level;
}

/// Barriers one solve passes: B1, B2 and B3 for levels 1..T-1, B4 for T..1.
constexpr int barrier_count(Index n, Index bs) noexcept { return 3 * top_level(n, bs) - 1; }

}  // namespace bandsolve
