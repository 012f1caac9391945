// The slab-pipelined team kernels: a row-oriented band Cholesky A = U^T U
// that a team runs slab by slab (r consecutive rows), the forward and back
// substitution with the finished factor, and the factorisation with the
// forward substitution of one right-hand side fused into it.
//
// Forward stage k works on slab k (rows P..P+r-1) and on the previous slab.
// Its columns P..min(P+hb, n) are cut into chunks that the threads claim from
// next_chunk under the mutex: the chunk that starts at P is r columns wide
// and covers the slab itself; in the factorising kernels the others are 2r
// wide.  A chunk's thread finishes the previous slab's rows in the chunk's
// columns; the slab's thread then brings the slab's diagonal block up to date
// and factorises it.  So the elimination runs as a pipeline one slab deep,
// and every element receives its updates in the order of the sequential
// algorithm: the factor is the same bit for bit for every team size and every
// r.  The forward substitution is likewise independent of r and team size.
// The back substitution runs backward slabs of q rows (q = r in the solve
// kernel, 2r in the fused one) from the bottom up; its result depends on q
// but not on the team size.
//
// Between stages the team meets at a barrier on one of two sync objects used
// alternately; the elected thread advances SlabControl.
#pragma once

#include <algorithm>
#include <array>

#include "solver/common/block_factor.h"
#include "solver/common/team.h"
#include "solver/slab/slab_steps.h"
#include "threads/sync.h"

namespace bandsolve {

/// Shared counters of one slab solve, the same variables for every thread.
/// The chunk counters are read and advanced under the solve's mutex; every
/// field is reset only by the elected thread of a barrier, while all others
/// are held, and the slab bounds are read without a lock during a stage.
/// 64-bit, so that row arithmetic near n = 2^31 cannot wrap.  Each field sits
/// on a cache line of its own: the counters are written by every thread.
struct SlabControl {
    alignas(64) Index slab_start = 1;     // first row of the current forward slab
    alignas(64) Index next_chunk = 1;     // first column of the next forward chunk
    alignas(64) Index back_slab_end = 0;  // last row of the current backward slab
    alignas(64) Index back_chunk = 0;     // last row of the next backward chunk

    /// Initial values for a solve of order n.  Every kernel run needs fresh
    /// ones: the kernels advance the counters and never reset them.
    static SlabControl start(Index n) noexcept {
        SlabControl c;
        c.back_slab_end = n;
        c.back_chunk = n;
        return c;
    }
};

namespace detail {

/// Claiming and barriers of one thread of a slab solve.
class SlabTeam : public TeamBarrier {
  public:
    SlabTeam(const MutexHandle& mutex, const SyncIds& ids, const int& team) noexcept
        : TeamBarrier(ids, team), mutex_(mutex) {}

    /// Takes the forward chunk at `counter` if it starts at or before
    /// `reach`, advancing the counter by `first_width` for the chunk at
    /// `first` and by `width` otherwise.  The lock covers only the
    /// read-and-advance.
    bool claim_forward(Index& counter, Index reach, Index first, Index first_width, Index width,
                       Index& v, Index& chunk_width) const noexcept {
        mutex_lock(mutex_);
        v = counter;
        const bool got = v <= reach;
        if (got) {
            chunk_width = v == first ? first_width : width;
            counter = v + chunk_width;
        }
        mutex_unlock(mutex_);
        return got;
    }

    /// Takes the backward chunk ending at `counter` if it ends at or after
    /// `low`, lowering the counter by q.
    bool claim_backward(Index& counter, Index low, Index q, Index& u) const noexcept {
        mutex_lock(mutex_);
        u = counter;
        const bool got = u >= low;
        if (got) counter = u - q;
        mutex_unlock(mutex_);
        return got;
    }

    /// End of a stage; the phase is toggled by the caller, after its error
    /// check.
    template <typename Serial>
    void barrier(Serial serial) const noexcept {
        wait(serial);
    }

  private:
    const MutexHandle& mutex_;
};

/// Forward stages of the factorising kernels; with a right-hand side y the
/// forward substitution runs along.  Rows: how the slabs' rows run (see
/// RowBody).  Returns false when a pivot failed: every thread then leaves at
/// the same barrier.
template <typename T, typename Tr = ElementTraits<T>, RowBody Rows = RowBody::fixed>
bool slab_factor_forward(SlabTeam& team, T* a, Index n, Index hb, T* y, Index r, Index& slab_start,
                         Index& next_chunk, RealOf<T> pivot_floor, ErrorFlags& flags) noexcept {
    for (;;) {
        const Index p = slab_start;
        const Index g = std::max<Index>(p - r, 1);
        const Index reach = std::min(p + hb, n);
        Index v = 0, width = 0;
        while (team.claim_forward(next_chunk, reach, p, r, 2 * r, v, width)) {
            const Index w = std::min(v + width - 1, n);
            finish_previous_slab<T, Tr>(a, hb, g, p, v, w);
            if (y != nullptr) forward_from_previous_slab<T, Tr>(a, hb, y, g, p, v, w);
            if (v == p) {
                update_slab_block<T, Tr>(a, hb, p, w);
                factor_slab<T, Tr, Rows>(a, hb, y, p, w, pivot_floor, flags, team.phase(),
                                         next_slab<T>(a, n, hb, w, r));
            }
        }
        team.barrier([&] {
            slab_start += r;
            next_chunk = slab_start;
        });
        if (error_flag_set(flags, team.phase())) return false;
        team.toggle();
        if (slab_start > n) return true;
    }
}

/// Forward substitution U^T y = b with a finished factor, chunks of r rows.
template <typename T, typename Tr = ElementTraits<T>>
void slab_solve_forward(SlabTeam& team, const T* a, Index n, Index hb, T* y, Index r,
                        Index& slab_start, Index& next_chunk) noexcept {
    for (;;) {
        const Index p = slab_start;
        const Index g = std::max<Index>(p - r, 1);
        const Index reach = std::min(p + hb, n);
        Index v = 0, width = 0;
        while (team.claim_forward(next_chunk, reach, p, r, r, v, width)) {
            const Index w = std::min(v + width - 1, n);
            forward_from_previous_slab<T, Tr>(a, hb, y, g, p, v, w);
            if (v == p) forward_slab<T, Tr>(a, hb, y, p, w);
        }
        team.barrier([&] {
            slab_start += r;
            next_chunk = slab_start;
        });
        team.toggle();
        if (slab_start > n) return;
    }
}

/// Back substitution U x = y in backward slabs of q rows, from the last row
/// up.  Stage b claims chunks of q rows downwards from b to max(b - hb, 1);
/// each applies the entries b+1..c solved in the stage before, and the
/// slab's own chunk then solves the slab.
template <typename T, typename Tr = ElementTraits<T>>
void slab_solve_backward(SlabTeam& team, const T* a, Index n, Index hb, T* y, Index q,
                         Index& back_slab_end, Index& back_chunk) noexcept {
    for (;;) {
        const Index b = back_slab_end;
        const Index c = std::min(b + q, n);
        const Index low = std::max<Index>(b - hb, 1);
        Index u = 0;
        while (team.claim_backward(back_chunk, low, q, u)) {
            const Index lo = std::max<Index>(u - q + 1, 1);
            backward_from_solved<T, Tr>(a, hb, y, lo, u, b, c);
            if (u == b) backward_slab<T, Tr>(a, hb, y, lo, b);
        }
        team.barrier([&] {
            back_slab_end -= q;
            back_chunk = back_slab_end;
        });
        team.toggle();
        if (back_slab_end <= 0) return;
    }
}

}  // namespace detail

/// One thread's share of the factorisation A = U^T U in slabs of slab_rows
/// rows.  Every thread of the team calls it once with references to the same
/// variables; before the first one starts, the caller has armed sync_ids[0]
/// with team_size, set SlabControl to SlabControl::start(n) and both error
/// flags to 0.  On return A holds U in every band element, or, after a failed
/// pivot (flag set), the complete factor of every slab before the failing
/// one.  Rows: how the slabs' rows run (see RowBody), with the same bits
/// whichever it is; here and in the kernels below.
template <typename T, typename Tr = ElementTraits<T>, RowBody Rows = RowBody::fixed>
void band_slab_factor(T* const& a, const int& n, const int& hb, const Index& slab_rows,
                      const MutexHandle& mutex, const SyncIds& sync_ids, const int& team_size,
                      Index& slab_start, Index& next_chunk, const RealOf<T>& pivot_floor,
                      ErrorFlags& error_flags) noexcept {
    detail::SlabTeam team(mutex, sync_ids, team_size);
    detail::slab_factor_forward<T, Tr, Rows>(team, a, n, std::max(hb, 0), nullptr, slab_rows,
                                             slab_start, next_chunk, pivot_floor, error_flags);
}

/// band_slab_factor with the forward substitution U^T y = b of one
/// right-hand side run along, as in band_slab_factor_solve.  After a failed
/// pivot y is partly transformed.
template <typename T, typename Tr = ElementTraits<T>, RowBody Rows = RowBody::fixed>
void band_slab_factor_forward(T* const& a, const int& n, const int& hb, T* const& y,
                              const Index& slab_rows, const MutexHandle& mutex,
                              const SyncIds& sync_ids, const int& team_size, Index& slab_start,
                              Index& next_chunk, const RealOf<T>& pivot_floor,
                              ErrorFlags& error_flags) noexcept {
    detail::SlabTeam team(mutex, sync_ids, team_size);
    detail::slab_factor_forward<T, Tr, Rows>(team, a, n, std::max(hb, 0), y, slab_rows, slab_start,
                                             next_chunk, pivot_floor, error_flags);
}

/// One thread's share of U^T U x = y for one right-hand side y with a factor
/// from band_slab_factor or band_slab_factor_solve: forward slabs of
/// slab_rows rows, backward slabs of slab_rows rows.  Makes no test: a zero
/// pivot of U gives infinities or NaN in y.
template <typename T, typename Tr = ElementTraits<T>>
void band_slab_solve(const T* const& a, const int& n, const int& hb, T* const& y,
                     const Index& slab_rows, const MutexHandle& mutex, const SyncIds& sync_ids,
                     const int& team_size, Index& slab_start, Index& next_chunk,
                     Index& back_slab_end, Index& back_chunk) noexcept {
    detail::SlabTeam team(mutex, sync_ids, team_size);
    const Index w = std::max(hb, 0);
    detail::slab_solve_forward<T, Tr>(team, a, n, w, y, slab_rows, slab_start, next_chunk);
    detail::slab_solve_backward<T, Tr>(team, a, n, w, y, slab_rows, back_slab_end, back_chunk);
}

/// One thread's share of the factorisation with the forward substitution of
/// y fused into it, followed by the back substitution in slabs of
/// 2*slab_rows rows; y then holds exactly what band_slab_solve with
/// 2*slab_rows leaves on the same factor.  After a failed pivot the back
/// substitution does not run and y is partly transformed.
template <typename T, typename Tr = ElementTraits<T>, RowBody Rows = RowBody::fixed>
void band_slab_factor_solve(T* const& a, const int& n, const int& hb, T* const& y,
                            const Index& slab_rows, const MutexHandle& mutex,
                            const SyncIds& sync_ids, const int& team_size, Index& slab_start,
                            Index& next_chunk, Index& back_slab_end, Index& back_chunk,
                            const RealOf<T>& pivot_floor, ErrorFlags& error_flags) noexcept {
    detail::SlabTeam team(mutex, sync_ids, team_size);
    const Index w = std::max(hb, 0);
    if (!detail::slab_factor_forward<T, Tr, Rows>(team, a, n, w, y, slab_rows, slab_start,
                                                  next_chunk, pivot_floor, error_flags))
        return;
    detail::slab_solve_backward<T, Tr>(team, a, n, w, y, 2 * slab_rows, back_slab_end, back_chunk);
}

}  // namespace bandsolve
