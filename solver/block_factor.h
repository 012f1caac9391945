// Cholesky factorisation of one diagonal block of a band matrix, in place.
#pragma once

#include <algorithm>

#include "solver/block_arrays.h"

namespace bandsolve {

/// Factorises rows first..last of the band array as U^T U, touching only
/// band elements with both row and column in first..last.  Row i of U is
/// finished before row i + 1 is updated, and each element takes its updates
/// from the rows above it in increasing order.  A pivot that fails the
/// element type's test sets flags[phase] and returns at once: rows before it
/// hold their factor, row i its updated values, later rows are untouched.
/// A negative hb counts as 0; last < first does nothing.
template <typename T>
void band_block_factor(T* a, int hb, Index first, Index last, RealOf<T> pivot_floor,
                       ErrorFlags& flags, int phase) noexcept {
    using Tr = ElementTraits<T>;
    const Index w = std::max(hb, 0);
    for (Index i = first; i <= last; ++i) {
        T* __restrict row_i = a + (i - 1) * w;  // row_i[j - 1] = A(i, j)
        // A(i, i:) -= U(k, i) U(k, i:) for the earlier rows k of the block.
        for (Index k = std::max(first, i - w); k < i; ++k) {
            const T* __restrict row_k = a + (k - 1) * w;
            const T uki = row_k[i - 1];
            const Index jend = std::min(k + w, last);
            for (Index j = i - 1; j < jend; ++j) row_i[j] = Tr::update(row_i[j], row_k[j], uki);
        }
        T& d = row_i[i - 1];
        if (Tr::pivot_fails(d, pivot_floor)) {
            raise_error_flag(flags, phase);
            return;
        }
        d = Tr::sqrt(d);
        const T dd = d;
        // U(i, i+1:) = A(i, i+1:) / U(i, i)
        const Index jend = std::min(i + w, last);
        for (Index j = i; j < jend; ++j) row_i[j] = Tr::divide(row_i[j], dd);
    }
}

}  // namespace bandsolve
