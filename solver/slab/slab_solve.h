// The slab-pipelined solver entries, written once over the element type.
// Each prepares the state of one team run (mutex, two sync objects,
// SlabControl, error flags), runs the kernel on get_team_size threads and
// turns the flags into INFO (see <bandsolve.h>).
#pragma once

#include <algorithm>
#include <type_traits>

#include "bandsolve.h"
#include "solver/common/team.h"
#include "solver/slab/slab_kernels.h"

namespace bandsolve {

/// Default slab heights, for slab_rows <= 0 (0 would never advance a
/// stage).  Measured on the benchmark problem (n = 2,000,000, hb = 8) with
/// teams of one and two: every stage ends in a barrier, and the threads other
/// than the slab's own share a stage's work only when r <= hb (see
/// detail::working_team).
///  - Factorisation: band_block_factor factorises a slab whose diagonal block
///    holds at most FACTOR_SLAB_ELEMENTS band elements in a local copy, about
///    twice as fast as in place, so the default is the tallest such slab
///    (455 rows for hb = 8); below it the barriers cost more than they save.
///  - Solution with a finished factor: a stage is only O(r hb) work, so the
///    time falls with r until the barriers are negligible and is flat from
///    SOLVE_SLAB_ROWS on.
inline constexpr Index FACTOR_SLAB_ELEMENTS = LOCAL_BUFFER_MAX_ELEMENTS;
inline constexpr int SOLVE_SLAB_ROWS = 16384;

/// The slab height of a factorisation: slab_rows, or the default for hb.
constexpr Index factor_slab_rows(int slab_rows, int hb) noexcept {
    return slab_rows > 0 ? slab_rows
                         : std::max<Index>(FACTOR_SLAB_ELEMENTS / (std::max<Index>(hb, 0) + 1), 1);
}

/// The slab height of a solve with a finished factor.
constexpr Index solve_slab_rows(int slab_rows) noexcept {
    return slab_rows > 0 ? slab_rows : SOLVE_SLAB_ROWS;
}

namespace detail {

/// The threads of a slab run that can receive work.  A stage's chunks are r
/// rows or columns, and a stage reaches hb beyond its slab's first row, so a
/// chunk besides the slab's own exists only when r <= hb.  Otherwise every
/// other thread would only wait at the barriers, a wake-up per stage that
/// made a team of two a third slower than one on narrow bands; the run goes
/// on the calling thread alone, with the same bits, which do not depend on
/// the team.
constexpr int working_team(int team, Index r, int hb) noexcept { return r <= hb ? team : 1; }

/// Runs the solve kernel on column y with slab height r and fresh counters.
template <typename T, typename Tr = ElementTraits<T>>
void run_slab_solve(int team, TeamObjects& objects, const T* a, int n, int hb, T* y,
                    Index r) noexcept {
    SlabControl c = SlabControl::start(n);
    int working = working_team(team, r, hb);
    run_team(working, objects.ids(), &band_slab_solve<T, Tr>, a, n, hb, y, r, objects.mutex(),
             objects.ids(), working, c.slab_start, c.next_chunk, c.back_slab_end, c.back_chunk);
}

/// Whether the slab entries run their AVX2 body (the columns side by side,
/// and the complex symmetric families' rows of the factorisation): the
/// kernel body chosen for the block-tree solves (see kernel_body) is not the
/// portable one, so the processor has AVX2 and FMA.
bool slab_uses_avx2() noexcept;

#if defined(__x86_64__) || defined(__i386__)
#define BANDSOLVE_COLUMNS_X86 1
/// The lane sweeps compiled for processors with AVX2, vectorised four
/// doubles wide with the same operations, so the same bytes (no FMA, which
/// would change the rounding).
template <typename T, typename Tr>
__attribute__((target("avx2"), flatten)) void forward_columns_avx2(const T* a, Index n, Index hb,
                                                                   T* y, Index nrhs,
                                                                   Index ldy) noexcept {
    forward_columns_lanes<T, Tr, lanes::Avx2Isa>(a, n, hb, y, nrhs, ldy);
}
template <typename T, typename Tr>
__attribute__((target("avx2"), flatten)) void backward_columns_avx2(const T* a, Index n, Index hb,
                                                                    T* y, Index nrhs, Index ldy,
                                                                    Index q) noexcept {
    backward_columns_lanes<T, Tr, lanes::Avx2Isa>(a, n, hb, y, nrhs, ldy, q);
}
#else
#define BANDSOLVE_COLUMNS_X86 0
#endif

/// run(rows) with rows a std::integral_constant of the RowBody the
/// factorisation runs on this processor: fixed_avx2 for the families that
/// have such rows where slab_uses_avx2(), otherwise fixed.  Both give the
/// same bits.
template <typename T, typename Tr, typename Run>
void with_row_body(Run run) noexcept {
#if BANDSOLVE_COLUMNS_X86
    if constexpr (has_avx2_rows<T, Tr>)
        if (slab_uses_avx2()) return run(std::integral_constant<RowBody, RowBody::fixed_avx2>{});
#endif
    run(std::integral_constant<RowBody, RowBody::fixed>{});
}

/// Runs the factorisation kernel with slab height r and fresh counters on
/// the team's objects; returns 0, or 1 after a failed pivot.
template <typename T, typename Tr = ElementTraits<T>>
int run_slab_factor(int team, TeamObjects& objects, T* a, int n, int hb, Index r) noexcept {
    SlabControl c = SlabControl::start(n);
    ErrorFlags flags{0, 0};
    const RealOf<T> pivot_floor = 0;
    int working = working_team(team, r, hb);
    with_row_body<T, Tr>([&](auto rows) {
        run_team(working, objects.ids(), &band_slab_factor<T, Tr, decltype(rows)::value>, a, n, hb,
                 r, objects.mutex(), objects.ids(), working, c.slab_start, c.next_chunk,
                 pivot_floor, flags);
    });
    return flags[0] | flags[1];
}

/// forward_columns for nrhs columns, in lanes (see forward_columns_lanes).
template <typename T, typename Tr = ElementTraits<T>>
void forward_side_by_side(const T* a, Index n, Index hb, T* y, Index nrhs, Index ldy) noexcept {
#if BANDSOLVE_COLUMNS_X86
    if (nrhs > 1 && slab_uses_avx2()) return forward_columns_avx2<T, Tr>(a, n, hb, y, nrhs, ldy);
#endif
    forward_columns_lanes<T, Tr, lanes::PortableIsa>(a, n, hb, y, nrhs, ldy);
}

/// backward_columns for nrhs columns, in lanes; one column of float or of
/// a complex type through backward_column_windows where the processor has
/// AVX2 and FMA.
template <typename T, typename Tr = ElementTraits<T>>
void backward_side_by_side(const T* a, Index n, Index hb, T* y, Index nrhs, Index ldy,
                           Index q) noexcept {
#if BANDSOLVE_COLUMNS_X86
    if (nrhs > 1 && slab_uses_avx2())
        return backward_columns_avx2<T, Tr>(a, n, hb, y, nrhs, ldy, q);
    constexpr bool windows = std::is_same_v<T, float> || ElementTraits<T>::is_complex;
    if constexpr (windows && std::is_same_v<Tr, ElementTraits<T>>)
        if (nrhs == 1 && slab_uses_avx2() &&
            backward_column_fixed(a, n, hb, y, q, std::make_integer_sequence<Index, FIXED_SPANS>{}))
            return;
#endif
    backward_columns_lanes<T, Tr, lanes::PortableIsa>(a, n, hb, y, nrhs, ldy, q);
}

/// Solves the nrhs columns of b (leading dimension n) with the factor, each
/// with the bits of run_slab_solve at slab height r.  When r > hb the stages
/// have nothing to share (see working_team): the columns then run side by
/// side on the calling thread, with no stages at all; otherwise one after
/// another on the team.
template <typename T, typename Tr = ElementTraits<T>>
void solve_all_columns(int team, TeamObjects& objects, const T* a, int n, int hb, T* b, int nrhs,
                       Index r) noexcept {
    if (nrhs <= 0) return;
    if (r > hb) {
        const Index w = std::max(hb, 0);
        forward_side_by_side<T, Tr>(a, n, w, b, nrhs, n);
        backward_side_by_side<T, Tr>(a, n, w, b, nrhs, n, r);
        return;
    }
    for (int k = 0; k < nrhs; ++k)
        run_slab_solve<T, Tr>(team, objects, a, n, hb, b + Index{k} * n, r);
}

}  // namespace detail

/// Factorises A = U^T U in place; returns INFO.  Arguments that would make
/// the solver address memory outside the arrays are rejected with INFO =
/// -(their position) before anything is touched; n <= 0 does nothing.
template <typename T>
int slab_factor(T* a, int n, int hb, int slab_rows) noexcept {
    if (n > 0 && a == nullptr) return -1;
    if (hb < 0) return -3;
    if (n <= 0) return 0;

    int team = 0;
    get_team_size(&team);
    TeamObjects objects(team);
    team = objects.team_for(team);
    return detail::run_slab_factor(team, objects, a, n, hb, factor_slab_rows(slab_rows, hb));
}

/// Solves U^T U X = B column by column with a finished factor; returns INFO.
template <typename T>
int slab_solve_with_factor(const T* a, int n, int hb, T* b, int nrhs, int slab_rows) noexcept {
    const bool reads = n > 0 && nrhs > 0;
    if (reads && a == nullptr) return -1;
    if (hb < 0) return -3;
    if (reads && b == nullptr) return -4;
    if (!reads) return 0;

    int team = 0;
    get_team_size(&team);
    TeamObjects objects(team);
    team = objects.team_for(team);

    const Index r = solve_slab_rows(slab_rows);
    detail::solve_all_columns(team, objects, a, n, hb, b, nrhs, r);
    return 0;
}

/// Factorises A and solves A X = B; returns INFO.  The first column is
/// solved by the fused kernel with slab height r, every further one by the
/// solve kernel with 2r, the fused kernel's backward slab height, so that
/// every column gets the same bits it would get as the first (run side by
/// side where the team shares no stage).  With nrhs <= 0 only the
/// factorisation runs.
template <typename T>
int slab_factor_solve(T* a, int n, int hb, T* b, int nrhs, int slab_rows) noexcept {
    if (n > 0 && a == nullptr) return -1;
    if (hb < 0) return -3;
    if (n > 0 && nrhs > 0 && b == nullptr) return -4;
    if (nrhs <= 0) return slab_factor(a, n, hb, slab_rows);
    if (n <= 0) return 0;

    int team = 0;
    get_team_size(&team);
    TeamObjects objects(team);
    team = objects.team_for(team);

    const Index r = factor_slab_rows(slab_rows, hb);
    SlabControl c = SlabControl::start(n);
    ErrorFlags flags{0, 0};
    const RealOf<T> pivot_floor = 0;
    int working = detail::working_team(team, r, hb);
    if (r > hb) {
        // The team shares no stage (see detail::working_team): the slabs
        // factorise and run the first column's forward substitution on this
        // thread, then every column's back substitution runs side by side,
        // with the back substitution's slab height 2r but no stages.
        detail::with_row_body<T, ElementTraits<T>>([&](auto rows) {
            run_team(working, objects.ids(),
                     &band_slab_factor_forward<T, ElementTraits<T>, decltype(rows)::value>, a, n,
                     hb, b, r, objects.mutex(), objects.ids(), working, c.slab_start, c.next_chunk,
                     pivot_floor, flags);
        });
        const int info = flags[0] | flags[1];
        if (info != 0) return info;
        detail::forward_side_by_side<T>(a, n, hb, b + Index{n}, nrhs - 1, n);
        detail::backward_side_by_side<T>(a, n, hb, b, nrhs, n, 2 * r);
        return 0;
    }
    detail::with_row_body<T, ElementTraits<T>>([&](auto rows) {
        run_team(working, objects.ids(),
                 &band_slab_factor_solve<T, ElementTraits<T>, decltype(rows)::value>, a, n, hb, b,
                 r, objects.mutex(), objects.ids(), working, c.slab_start, c.next_chunk,
                 c.back_slab_end, c.back_chunk, pivot_floor, flags);
    });
    const int info = flags[0] | flags[1];
    if (info != 0) return info;
    detail::solve_all_columns(team, objects, static_cast<const T*>(a), n, hb, b + Index{n},
                              nrhs - 1, 2 * r);
    return 0;
}

}  // namespace bandsolve
