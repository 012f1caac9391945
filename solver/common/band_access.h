// Element access in band storage, the error flags of one team run, and the
// capacity of the solvers' local buffers: what every solver shares below the
// element arithmetic.
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

/// Error flags of one team run: flag phase-1 is set to 1 by a failed pivot
/// in sync phase `phase`.  Flags are only ever set, never cleared, and are
/// read by other threads while the run goes on, hence the atomic access.
using ErrorFlags = std::array<int, 2>;

inline void raise_error_flag(ErrorFlags& flags, int phase) noexcept {
    std::atomic_ref<int>(flags[phase - 1]).store(1, std::memory_order_relaxed);
}
inline bool error_flag_set(ErrorFlags& flags, int phase) noexcept {
    return std::atomic_ref<int>(flags[phase - 1]).load(std::memory_order_relaxed) != 0;
}

/// Capacity, in elements, of every local buffer a step keeps on the stack
/// (64 KiB for complex double).  The diagonal-block factorisation copies a
/// block of at most this many band elements, the block-tree steps transpose
/// panels of at most this many, and the slab factorisation's default slab
/// height is the tallest slab whose block fits.
inline constexpr Index LOCAL_BUFFER_ELEMENTS = 4096;

}  // namespace bandsolve
