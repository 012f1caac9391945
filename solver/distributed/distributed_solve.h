// The block-tree solve spread over the ranks of a Transport, written once
// over the element type: the arguments agreed among the ranks, the rows
// dealt out, and every rank's team running the kernel on its own rows.
#pragma once

#include <climits>
#include <new>
#include <optional>

#include "bandsolve.h"
#include "solver/block_tree/block_tree.h"
#include "solver/block_tree/tuning.h"
#include "solver/common/team.h"
#include "solver/distributed/distributed_rows.h"

namespace bandsolve::distributed {

/// What differs between the families around the solve: the tuning
/// initialiser a solve of the family calls, and the shared-memory solve of a
/// diagonal system (nothing couples its rows, so each rank solves its own).
template <typename T>
struct Family {
    void (*init_tuning)() noexcept;
    void (*diagonal_solve)(T* a, const int* n, const int* hb, T* b, const int* nrhs, T* work,
                           int* info);
};

/// The arguments of every rank, agreed: values[i] becomes the largest of
/// the ranks' values[i].  A rank reports an illegal argument as its
/// position p (slot 0 holds INT_MIN, or -p), and each integer x that must
/// be the same everywhere twice, as x and ~x, so that the largest of both
/// tell whether the ranks agree.
struct Agreement {
    static constexpr int size = 8;
    int values[size];

    void set_illegal(int position) noexcept {
        if (values[0] == INT_MIN) values[0] = -position;
    }
    void put(int slot, const int* x) noexcept {
        values[slot] = x ? *x : INT_MIN;
        values[slot + 1] = x ? ~*x : INT_MIN;
    }
    Agreement() noexcept {
        for (int& v : values) v = INT_MIN;
    }
    // Whether every rank put the same value into `slot`.
    bool agreed(int slot) const noexcept { return values[slot] == ~values[slot + 1]; }
};

/// Scalars of the solve and of the rows query: n, hb and nrhs at the given
/// argument positions (nrhs_position 0: none), agreed.  Returns 0 and the
/// agreed block size (bs 0 when n <= 0), or the negative INFO every rank
/// reports.  Installs the family's tuning parameters as the first solve of
/// a process does; the block size is rank 0's, so that every rank cuts the
/// same blocks.
template <typename T>
int agree_scalars(Transport& transport, const Family<T>& family, const int* n, int n_position,
                  const int* hb, int hb_position, const int* nrhs, int nrhs_position,
                  Index& bs) noexcept {
    Agreement ag;
    if (n == nullptr) ag.set_illegal(n_position);
    if (hb == nullptr || *hb < 0) ag.set_illegal(hb_position);
    if (nrhs_position != 0 && nrhs == nullptr) ag.set_illegal(nrhs_position);
    ag.put(1, n);
    ag.put(3, hb);
    if (nrhs_position != 0) ag.put(5, nrhs);
    const bool legal = ag.values[0] == INT_MIN;
    if (legal && *n > 0) family.init_tuning();
    ag.values[7] = transport.rank() == 0 && legal ? tuning_parameters().p1 : INT_MIN;
    transport.max(ag.values, Agreement::size);
    if (ag.values[0] != INT_MIN) return ag.values[0];
    if (!ag.agreed(1)) return -n_position;
    if (!ag.agreed(3)) return -hb_position;
    if (nrhs_position != 0 && !ag.agreed(5)) return -nrhs_position;
    bs = *n > 0 ? block_size_for(ag.values[7], *hb) : 0;
    return 0;
}

/// The rows of this rank: first_row and rows (0 when it holds none, or when
/// n <= 0).  Arguments as for band_solve_mpi_rows_? after the communicator.
template <typename T>
int solve_rows(Transport& transport, const Family<T>& family, const int* n, const int* hb,
               int* first_row, int* rows) noexcept {
    Index bs = 0;
    const int info = agree_scalars<T>(transport, family, n, 2, hb, 3, nullptr, 0, bs);
    if (info != 0) return info;
    Agreement ag;
    if (first_row == nullptr) ag.set_illegal(4);
    if (rows == nullptr) ag.set_illegal(5);
    transport.max(ag.values, Agreement::size);
    if (ag.values[0] != INT_MIN) return ag.values[0];
    const RowRun run =
        *n > 0 ? rows_of_rank(*n, bs, transport.rank(), transport.ranks()) : RowRun{};
    *first_row = static_cast<int>(run.first);
    *rows = static_cast<int>(run.rows());
    return 0;
}

/// Factorises A = U^T U and solves A X = B over the ranks of `transport`,
/// each rank passing its rows (solve_rows) in local arrays: a their band
/// rows, b their right-hand side entries (nrhs columns of `rows` entries),
/// work their corner slots (rows * hb) and then their panel columns (hb
/// panel rows of `rows` entries).  Argument positions as for
/// band_solve_mpi_? (a 2, n 3, hb 4, b 5, nrhs 6, work 7).  Each rank's team
/// has up to `most_threads` threads.  Every rank gets the same INFO: 0, 1
/// (a pivot failed on some rank), BANDSOLVE_INFO_NO_RESOURCES (some rank
/// could not allocate what its part needs; nothing was touched) or -p.  The
/// arrays end as the rank's rows of the same system solved by the
/// shared-memory solve with the same block size, byte for byte.
template <typename T>
int solve(Transport& transport, const Family<T>& family, T* a, const int* n, const int* hb, T* b,
          const int* nrhs, T* work, int most_threads) noexcept {
    Index bs = 0;
    int info = agree_scalars<T>(transport, family, n, 3, hb, 4, nrhs, 6, bs);
    if (info != 0 || *n <= 0) return info;
    const Layout layout{*n, *hb, std::max(*nrhs, 0), bs, transport.ranks()};
    const RowRun mine = layout.rows_of(transport.rank());
    const bool some = mine.rows() > 0;
    Agreement ag;
    if (some && a == nullptr) ag.set_illegal(2);
    if (some && layout.nrhs > 0 && b == nullptr) ag.set_illegal(5);
    if (some && layout.hb > 0 && work == nullptr) ag.set_illegal(7);

    if (layout.hb == 0) {
        transport.max(ag.values, Agreement::size);
        if (ag.values[0] != INT_MIN) return ag.values[0];
        const int local_n = static_cast<int>(mine.rows()), zero = 0;
        int local = 0;
        if (some) family.diagonal_solve(a, &local_n, &zero, b, nrhs, work, &local);
        return transport.any(local != 0) ? 1 : 0;
    }

    std::optional<DistributedRows<T>> rows;
    if (ag.values[0] == INT_MIN) {
        try {
            rows.emplace(transport, layout, a, b, work);
        } catch (const std::bad_alloc&) {
            ag.values[1] = 1;
        }
    }
    transport.max(ag.values, Agreement::size);
    if (ag.values[0] != INT_MIN) return ag.values[0];
    if (ag.values[1] != INT_MIN) return BANDSOLVE_INFO_NO_RESOURCES;

    int team = 0;
    get_team_size(&team);
    team = std::max(1, std::min(team, most_threads));
    TeamObjects objects(team);
    team = objects.team_for(team);

    SolveControl c = SolveControl::start(bs);
    ErrorFlags flags{0, 0};
    const RealOf<T> pivot_floor = 0;
    rows->begin(Sweep{SweepKind::odd_gather, c.next_row, c.block_stride, c.neighbour_distance,
                      c.first_odd_row},
                c.next_row);
    run_team(team, objects.ids(), &run_block_tree<T, DistributedRows<T>>, *rows, objects.mutex(),
             objects.ids(), c.block_size, team, c.level_factor, c.neighbour_distance,
             c.block_stride, c.first_odd_row, c.next_row, c.back_row, pivot_floor, flags);
    return flags[0] | flags[1];
}

}  // namespace bandsolve::distributed
