// The arrays of one block-tree solve and their element access.
#pragma once

#include "solver/common/band_access.h"

namespace bandsolve {

/// The arrays of one block-tree solve, with 1-based element access.
template <typename T>
struct BlockTreeArrays {
    using Element = T;

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

/// A window of consecutive rows of a block-tree solve's arrays, with the
/// element access of BlockTreeArrays by the system's own row and column:
/// the rows row0 + 1 onwards, with their band rows, their right-hand side
/// entries (each column ldb elements after the one before), their panel
/// columns (each panel row ldp elements after the one before) and their
/// corner slots.  A rank of a distributed solve holds its rows, and copies
/// of other ranks' blocks, as windows.
template <typename T>
struct BlockTreeWindow {
    using Element = T;

    T* a;
    Index n;  // order of the whole system
    Index hb;
    T* b;
    Index nrhs;
    T* corner;
    T* panel;
    Index row0;  // rows before the window
    Index ldb;   // right-hand side column stride
    Index ldp;   // panel row stride

    T& A(Index r, Index c) const noexcept { return a[(r - 1 - row0) * hb + (c - 1 - row0)]; }
    T& B(Index j, Index k) const noexcept { return b[(k - 1) * ldb + (j - 1 - row0)]; }
    T& P(Index row, Index j) const noexcept { return panel[(row - 1) * ldp + (j - 1 - row0)]; }
    T& K(Index z, Index row) const noexcept { return corner[(z - 1 - row0) * hb + row - 1]; }
};

}  // namespace bandsolve
