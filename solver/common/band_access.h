// Element access in band storage, the error flags of one team run, and the
// capacity of the solvers' local buffers: what every solver shares below the
// element arithmetic.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>

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

/// Stack budget, in bytes, of the local buffers one step keeps at once.
/// Together with the few scalars of the kernel's frame it bounds a solve's
/// stack use per thread (see the README's "Limits").
inline constexpr std::size_t LOCAL_BUFFER_BYTES = std::size_t{64} * 1024;

/// The most elements a local buffer holds, whatever the element size: the
/// real families' buffers and the slab factorisation's default slab height
/// stay as they were measured.
inline constexpr Index LOCAL_BUFFER_MAX_ELEMENTS = 4096;

/// Capacity, in elements of T, of each local buffer of a step that keeps
/// `buffers` of them on the stack at once: the byte budget shared among
/// them, at most LOCAL_BUFFER_MAX_ELEMENTS.  4096 elements for every family
/// with one buffer; with two (the separator step), 2048 for complex double,
/// whose two buffers would otherwise take 128 KiB.  The diagonal-block
/// factorisation copies a block of at most LOCAL_BUFFER_ELEMENTS<T> band
/// elements, and the block-tree steps transpose panels of at most
/// LOCAL_BUFFER_ELEMENTS<T, 2>.
template <typename T, int buffers = 1>
inline constexpr Index LOCAL_BUFFER_ELEMENTS = std::min<Index>(
    LOCAL_BUFFER_MAX_ELEMENTS, static_cast<Index>(LOCAL_BUFFER_BYTES / buffers / sizeof(T)));

}  // namespace bandsolve
