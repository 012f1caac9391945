// The arrays of the block-tree solver and their element access.
#pragma once

#include <array>
#include <atomic>

#include "solver/common/element_traits.h"

namespace bandsolve {

/// Element (r, c), r <= c <= r + hb, of a band array in band storage
/// (1-based row and column).
template <typename T>
inline T& band_at(T* a, Index hb, Index r, Index c) noexcept {
    return a[(r - 1) * hb + c - 1];
}

/// Error flags of one solve: flag phase-1 is set to 1 by a failed pivot in
/// sync phase `phase`.  Flags are only ever set, never cleared, and are read
/// by other threads while the solve runs, hence the atomic access.
using ErrorFlags = std::array<int, 2>;

inline void raise_error_flag(ErrorFlags& flags, int phase) noexcept {
    std::atomic_ref<int>(flags[phase - 1]).store(1, std::memory_order_relaxed);
}
inline bool error_flag_set(ErrorFlags& flags, int phase) noexcept {
    return std::atomic_ref<int>(flags[phase - 1]).load(std::memory_order_relaxed) != 0;
}

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
