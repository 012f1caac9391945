// The block-tree solver entry, written once over the element type.
#pragma once

#include "bandsolve.h"
#include "solver/block_tree/block_tree.h"
#include "solver/block_tree/kernel.h"
#include "solver/block_tree/tuning.h"
#include "solver/common/team.h"

namespace bandsolve {

template <typename T>
using BlockKernel = void (*)(T* const&, const int&, const int&, T* const&, const int&, T* const&,
                             T* const&, const MutexHandle&, const SyncIds&, const Index&,
                             const int&, Index&, Index&, Index&, Index&, Index&, Index&,
                             const RealOf<T>&, ErrorFlags&);

/// Factorises A = U^T U and solves A X = B with a team of get_team_size
/// threads; returns INFO (see <bandsolve.h>).  Arguments that would make the
/// solver address memory outside the arrays are rejected with INFO = -(their
/// position) before anything is touched; n <= 0 and nrhs <= 0 are harmless.
/// The first call with n > 0 and legal arguments installs the process's
/// tuning parameters through init_tuning (unless set_block_parameter did).
template <typename T>
int block_tree_solve(T* a, int n, int hb, T* b, int nrhs, T* work, BlockKernel<T> kernel,
                     void (*init_tuning)() noexcept) noexcept {
    if (n > 0 && a == nullptr) return -1;
    if (hb < 0) return -3;
    if (n > 0 && nrhs > 0 && b == nullptr) return -4;
    if (n > 0 && hb > 0 && work == nullptr) return -6;
    // Nothing to solve: such a call must not be the one that fixes the
    // process's block size.
    if (n <= 0) return 0;

    init_tuning();
    int team = 0;
    get_team_size(&team);
    TeamObjects objects(team);
    team = objects.team_for(team);

    SolveControl c = SolveControl::start(block_size_for(tuning_parameters().p1, hb));
    ErrorFlags flags{0, 0};
    const RealOf<T> pivot_floor = 0;
    T* const corner = work;
    T* const panel = n > 0 && hb > 0 ? work + Index{n} * hb : work;

    run_team(team, objects.ids(), kernel, a, n, hb, b, nrhs, corner, panel, objects.mutex(),
             objects.ids(), c.block_size, team, c.level_factor, c.neighbour_distance,
             c.block_stride, c.first_odd_row, c.next_row, c.back_row, pivot_floor, flags);
    return flags[0] | flags[1];
}

}  // namespace bandsolve
