// Cholesky factorisation of one diagonal block of a band matrix, in place.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>

#include "solver/element_traits.h"

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

/// Factorises rows first..last of the band array as U^T U, touching only
/// band elements with both row and column in first..last.  Row i of U is
/// finished before row i + 1 is updated.  A pivot that fails the element
/// type's test sets flags[phase] and returns at once: rows before it hold
/// their factor, row i its updated values, later rows are untouched.
/// A negative hb counts as 0; last < first does nothing.
template <typename T>
void band_block_factor(T* a, int hb, Index first, Index last, RealOf<T> pivot_floor,
                       ErrorFlags& flags, int phase) noexcept {
    using Tr = ElementTraits<T>;
    const Index w = std::max(hb, 0);
    for (Index i = first; i <= last; ++i) {
        // A(i, i:) -= sum over earlier rows k of U(k, i) U(k, i:)
        for (Index k = std::max(first, i - w); k < i; ++k) {
            const T uki = band_at(a, w, k, i);
            const Index jend = std::min(k + w, last);
            for (Index j = i; j <= jend; ++j) {
                T& aij = band_at(a, w, i, j);
                aij = Tr::update(aij, band_at(a, w, k, j), uki);
            }
        }
        T& d = band_at(a, w, i, i);
        if (Tr::pivot_fails(d, pivot_floor)) {
            raise_error_flag(flags, phase);
            return;
        }
        d = Tr::sqrt(d);
        // U(i, i+1:) = A(i, i+1:) / U(i, i)
        const Index jend = std::min(i + w, last);
        for (Index j = i + 1; j <= jend; ++j) {
            T& aij = band_at(a, w, i, j);
            aij = Tr::divide(aij, d);
        }
    }
}

}  // namespace bandsolve
