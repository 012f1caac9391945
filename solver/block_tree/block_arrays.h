// The arrays of one block-tree solve and their element access.
#pragma once

#include "solver/common/band_access.h"

namespace bandsolve {

/// The arrays of one block-tree solve, with 1-based element access.
template <typename T>
struct BlockTreeArrays {
    T* a;      // band array
    Index n;   // order
    Index hb;  // half bandwidth
    T* b;      // right-hand sides, n per column
    Index nrhs;
    T* corner;  // corner store, n*hb
    T* panel;   // coupling panel, hb*n

    T& A(Index r, Index c) const noexcept { return a[(r - 1) * hb + c - 1]; }
    T& B(Index j, Index k) const noexcept { return b[(k - 1) * n + j - 1]; }
    T& P(Index row, Index j) const noexcept { return panel[(row - 1) * n + j - 1]; }
    T& K(Index z, Index row) const noexcept { return corner[(z - 1) * hb + row - 1]; }
};

}  // namespace bandsolve
