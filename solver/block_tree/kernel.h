// The block-tree factor-and-solve kernel that every thread of a solve runs.
//
// Rows are cut into blocks of block_size rows, eliminated in the order of a
// binary block tree (nested dissection of the band): at level 1 every odd
// block is factorised independently; the even blocks between them are the
// separators, which take the Schur complement updates of their neighbours
// and form the same kind of system one level up.  The forward substitution
// runs with the factorisation; the back substitution runs the levels in
// reverse.  Within a sweep the threads claim blocks from a shared counter
// under the mutex; between sweeps they meet at a barrier whose elected thread
// advances the shared control fields.  Which thread takes which block does
// not change a single bit of the result.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "solver/block_tree/block_steps.h"
#include "solver/block_tree/block_tree.h"
#include "solver/block_tree/complex_lane_steps.h"
#include "solver/block_tree/lane_steps.h"
#include "solver/common/team.h"
#include "threads/sync.h"

// The AVX2 and AVX-512 bodies and the processor test that chooses one exist
// on x86-64 only; elsewhere the portable body is the one body.
#if defined(__x86_64__)
#define BANDSOLVE_X86 1
#else
#define BANDSOLVE_X86 0
#endif

namespace bandsolve {

/// Shared integers of one block-tree solve.  The counters are claimed under
/// the solve's mutex; every other field is written only by the elected
/// thread of a barrier, while all others are held, and read without a lock
/// during the sweeps.  64-bit, so that row arithmetic near n = 2^31 cannot
/// wrap.  Each field sits on a cache line of its own: the counters are
/// written by every thread.
struct SolveControl {
    alignas(64) Index block_size = 0;
    alignas(64) Index level_factor = 1;        // 2^(l-1) in odd-block and backward sweeps
    alignas(64) Index neighbour_distance = 0;  // 2^(l-1) * block_size
    alignas(64) Index block_stride = 0;        // 2^l * block_size
    alignas(64) Index first_odd_row = 1;       // first row of the level's first odd block
    alignas(64) Index next_row = 1;            // next block of a forward sweep
    alignas(64) Index back_row = 0;            // next block of a backward sweep

    /// Initial values for a solve with blocks of bs rows.
    static SolveControl start(Index bs) noexcept {
        SolveControl c;
        c.block_size = bs;
        c.neighbour_distance = bs;
        c.block_stride = 2 * bs;
        return c;
    }
};

/// Stack a kernel body with lane steps needs, with room to spare: their
/// buffers (a group of blocks, lane-interleaved) are in its frame, about
/// 520 KiB for double elements with AVX-512, about 500 KiB for complex
/// double elements with AVX2.  Without lanes a body needs under 70 KiB for
/// the real families, about 100 KiB for complex double elements.
inline constexpr std::size_t LANE_BODY_STACK_BYTES = std::size_t{1} << 20;

/// One sweep of a block-tree solve: which blocks it claims (first_row,
/// first_row + stride, ... up to row n) and the control values its steps
/// read.
enum class SweepKind { odd_gather, odd, separator, backward, done };
struct Sweep {
    SweepKind kind = SweepKind::done;
    Index first_row = 0, stride = 0, dist = 0, first_odd = 0;
    friend bool operator==(const Sweep&, const Sweep&) = default;
};

/// The rows a team works on, as the kernel's body sees them: the whole
/// system, every row of it the team's, with nothing to exchange between
/// sweeps.  A rank of a distributed solve (solver/distributed) offers the
/// same operations for its run of rows.
template <typename T>
class WholeSystem {
  public:
    explicit WholeSystem(const BlockTreeArrays<T>& m) noexcept : m_(m) {}
    /// The arrays the lane steps run on.
    const BlockTreeArrays<T>& window() const noexcept { return m_; }
    /// The arrays the one-block steps run on.
    const BlockTreeArrays<T>& arrays() const noexcept { return m_; }
    /// Blocks starting after this row are not the team's.
    Index last_row() const noexcept { return m_.n; }
    /// Whether the `count` blocks of the current sweep from row v on read
    /// and write nothing outside window().
    bool group_local(Index, Index) const noexcept { return true; }
    /// In the serial step after a sweep that may fail: whether a pivot
    /// failed in it.
    bool failed(ErrorFlags& flags, int phase) const noexcept {
        return error_flag_set(flags, phase);
    }
    /// In the serial step before `next`: the sweep's counter, already at
    /// next.first_row, stays there.
    void begin(const Sweep&, Index&) const noexcept {}

  private:
    BlockTreeArrays<T> m_;
};

namespace detail {

/// The kernel's body, compiled as it stands for every processor (Isa =
/// lanes::PortableIsa), with every step it calls inlined into it;
/// run_block_tree below runs this or one of the bodies compiled for x86
/// instruction sets.  The real families take the blocks of every sweep in
/// groups of Isa::lanes, one block per lane (solver/block_tree/lane_steps.h),
/// the complex families likewise (complex_lane_steps.h).  `rows` says which
/// blocks are the team's and runs whatever a distributed solve exchanges in
/// the serial steps of the barriers.
template <typename T, typename Isa, typename Rows>
__attribute__((flatten)) void band_kernel_body(Rows& rows, const MutexHandle& mutex,
                                               const SyncIds& sync_ids, const Index& block_size,
                                               const int& team_size, Index& level_factor,
                                               Index& neighbour_distance, Index& block_stride,
                                               Index& first_odd_row, Index& next_row,
                                               Index& back_row, const RealOf<T>& pivot_floor,
                                               ErrorFlags& error_flags) noexcept {
    const auto& m = rows.window();
    const auto& one = rows.arrays();
    const Index bs = block_size;
    const Index order = m.n;
    const Index hb = m.hb;
    const Index limit = rows.last_row();

    // Takes the next `blocks` blocks of a sweep from `counter` (the first at
    // row v); false when the sweep is exhausted.  The lock covers only the
    // read-and-advance.
    auto claim = [&](Index& counter, Index& v, Index blocks = 1) {
        mutex_lock(mutex);
        const Index c = counter;
        const bool got = c <= limit;
        if (got) counter = c + blocks * block_stride;
        mutex_unlock(mutex);
        v = c;
        return got;
    };
    // Blocks of the sweep from row v on, up to `most`.
    auto blocks_from = [&](Index v, Index most) {
        return std::min(most, (limit - v) / block_stride + 1);
    };
    // End of a sweep (see TeamBarrier).
    TeamBarrier sync(sync_ids, team_size);
    auto barrier = [&](auto serial) { sync.wait(serial); };
    auto failed = [&] { return error_flag_set(error_flags, sync.phase()); };
    auto sweep = [&](SweepKind kind, Index first) {
        return Sweep{kind, first, block_stride, neighbour_distance, first_odd_row};
    };
    // The fast steps where a block's panel fits their local buffers (every
    // band up to hb = 63; up to hb = 45 for complex double), the plain ones
    // otherwise; both give the same bytes.  The complex single family's
    // kernel is compiled with options that keep GCC 12 from dropping the
    // roundings of its update chains (see block_tree_solve_c.cpp).
    const bool fast = fits_step_buffers<T>(bs, hb);
    auto odd_step = [&](Index v, bool gather) {
        if (fast)
            odd_block_step(one, v, gather, neighbour_distance, first_odd_row, bs, pivot_floor,
                           error_flags, sync.phase());
        else
            plain::odd_block_step(one, v, gather, neighbour_distance, first_odd_row, bs,
                                  pivot_floor, error_flags, sync.phase());
    };
    // A group of up to `group` odd blocks from row v on; false after a failed
    // pivot.  A full group of regular blocks runs in lanes; should a pivot
    // fail there, nothing has been written and the blocks run again one by
    // one, stopping at the failing one as a single block would.
    constexpr int L = Isa::lanes;
    constexpr bool complex = ElementTraits<T>::is_complex;
    constexpr bool lane_family = L > 1;
    const bool lanes = lane_family && fast && lanes::fits_lane_buffers(bs, hb);
    const Index group = lanes ? L : 1;
    auto odd_lanes = [&](Index v, bool gather) {
        if constexpr (!lane_family)
            return false;
        else if constexpr (complex)
            return lanes::complex_odd_block_step<T, Isa>(m, v, block_stride, gather,
                                                         neighbour_distance, bs, pivot_floor);
        else
            return lanes::odd_block_step<T, Isa>(m, v, block_stride, gather, neighbour_distance, bs,
                                                 pivot_floor);
    };
    auto odd_group = [&](Index v, bool gather) {
        const Index count = blocks_from(v, group);
        if constexpr (lane_family) {
            if (lanes && count == L &&
                lanes::odd_group_fits<L>(order, hb, v, block_stride, gather, neighbour_distance,
                                         first_odd_row, bs) &&
                rows.group_local(v, count) && odd_lanes(v, gather))
                return !failed();
        }
        for (Index i = 0; i < count; ++i) {
            odd_step(v + i * block_stride, gather);
            if (failed()) return false;
        }
        return true;
    };
    auto separator = [&](Index s) {
        if (fast)
            separator_step(one, s, neighbour_distance, first_odd_row, bs);
        else
            plain::separator_step(one, s, neighbour_distance, first_odd_row, bs);
    };
    // A group of up to `group` separators from row s on, in lanes when all
    // are regular.
    auto separator_group = [&](Index s) {
        const Index count = blocks_from(s, group);
        if constexpr (lane_family) {
            if (lanes && count == L &&
                lanes::separator_group_fits<L>(order, s, block_stride, neighbour_distance,
                                               first_odd_row, bs) &&
                rows.group_local(s, count)) {
                if constexpr (complex)
                    lanes::complex_separator_step<T, Isa>(m, s, block_stride, neighbour_distance,
                                                          bs);
                else
                    lanes::separator_step<T, Isa>(m, s, block_stride, neighbour_distance, bs);
                return;
            }
        }
        for (Index i = 0; i < count; ++i) separator(s + i * block_stride);
    };
    auto backward = [&](Index v) {
        if (fast)
            backward_step(one, v, neighbour_distance, bs);
        else
            plain::backward_step(one, v, neighbour_distance, bs);
    };
    // A group of up to `back_group` blocks of a backward sweep from row v
    // on: G groups of lanes, whose back substitutions (chains of dependent
    // updates) run interleaved, when all are regular; else one by one.  Four
    // groups of four lanes keep enough chains in flight; eight lanes need two,
    // and the complex families' larger buffers stay at two.
    constexpr int G = !complex && L == 4 ? 4 : 2;
    const Index back_group = lanes ? G * L : 1;
    auto backward_group = [&](Index v) {
        const Index count = blocks_from(v, back_group);
        if constexpr (lane_family) {
            if (lanes && count == G * L &&
                lanes::backward_group_fits<L, G>(order, hb, v, block_stride, neighbour_distance) &&
                rows.group_local(v, count)) {
                if constexpr (complex)
                    lanes::complex_backward_step<T, Isa, G>(m, v, block_stride, neighbour_distance,
                                                            bs);
                else
                    lanes::backward_step<T, Isa, G>(m, v, block_stride, neighbour_distance, bs);
                return;
            }
        }
        for (Index i = 0; i < count; ++i) backward(v + i * block_stride);
    };
    auto toggle = [&] { sync.toggle(); };
    auto first_row_of_level = [&] { return level_first_row(level_factor, bs); };

    Index v = 0;
    // Level 1: odd blocks, couplings gathered from the band array.
    while (claim(next_row, v, group))
        if (!odd_group(v, true)) break;
    barrier([&] {  // B1
        level_factor *= 2;
        next_row = first_row_of_level();
        if (!rows.failed(error_flags, sync.phase()))
            rows.begin(sweep(SweepKind::separator, next_row), next_row);
    });
    if (failed()) return;
    toggle();

    for (;;) {
        while (claim(next_row, v, group)) separator_group(v);
        barrier([&] {  // B2
            next_row = first_row_of_level();
            first_odd_row = next_row;
            block_stride *= 2;
            neighbour_distance *= 2;
            rows.begin(sweep(SweepKind::odd, next_row), next_row);
        });
        toggle();

        while (claim(next_row, v, group))
            if (!odd_group(v, false)) break;
        barrier([&] {  // B3
            const bool top = is_top_level(level_factor, order, bs);
            if (top) {
                back_row = first_row_of_level();
            } else {
                level_factor *= 2;
                next_row = first_row_of_level();
            }
            if (rows.failed(error_flags, sync.phase())) return;
            if (top)
                rows.begin(sweep(SweepKind::backward, back_row), back_row);
            else
                rows.begin(sweep(SweepKind::separator, next_row), next_row);
        });
        if (failed()) return;
        toggle();
        // back_row is set by the serial step of B3 once the top level is
        // reached; threads already released may be claiming from it, so it is
        // read under the mutex.
        mutex_lock(mutex);
        const bool top_reached = back_row != 0;
        mutex_unlock(mutex);
        if (top_reached) break;
    }

    // Back substitution, from the top level down to level 1.
    while (level_factor >= 1) {
        while (claim(back_row, v, back_group)) backward_group(v);
        barrier([&] {  // B4
            level_factor /= 2;
            block_stride /= 2;
            neighbour_distance /= 2;
            back_row = first_row_of_level();
            rows.begin(level_factor >= 1 ? sweep(SweepKind::backward, back_row) : Sweep{},
                       back_row);
        });
        toggle();
    }
}

#if BANDSOLVE_X86
/// The body compiled for processors with AVX2: everything it calls from
/// these headers is inlined into it and vectorised four doubles wide.  FMA is
/// not enabled: a fused multiply-add would change the rounding of the double
/// and complex families (see band_kernel_avx2_fma for single precision).
template <typename T, typename Isa, typename Rows>
__attribute__((target("avx2"), flatten)) void band_kernel_avx2(
    Rows& rows, const MutexHandle& mutex, const SyncIds& sync_ids, const Index& block_size,
    const int& team_size, Index& level_factor, Index& neighbour_distance, Index& block_stride,
    Index& first_odd_row, Index& next_row, Index& back_row, const RealOf<T>& pivot_floor,
    ErrorFlags& error_flags) noexcept {
    band_kernel_body<T, Isa>(rows, mutex, sync_ids, block_size, team_size, level_factor,
                             neighbour_distance, block_stride, first_odd_row, next_row, back_row,
                             pivot_floor, error_flags);
}

/// The single-precision family's AVX2 body: as band_kernel_avx2, with the
/// lane steps' updates fused (Avx2FmaIsa), exact for that family alone.
template <typename Rows>
__attribute__((target("avx2,fma"), flatten)) void band_kernel_avx2_fma(
    Rows& rows, const MutexHandle& mutex, const SyncIds& sync_ids, const Index& block_size,
    const int& team_size, Index& level_factor, Index& neighbour_distance, Index& block_stride,
    Index& first_odd_row, Index& next_row, Index& back_row, const float& pivot_floor,
    ErrorFlags& error_flags) noexcept {
    band_kernel_body<float, lanes::Avx2FmaIsa>(
        rows, mutex, sync_ids, block_size, team_size, level_factor, neighbour_distance,
        block_stride, first_odd_row, next_row, back_row, pivot_floor, error_flags);
}

/// The body compiled for processors with AVX-512 (foundation): the lane
/// steps run eight blocks at once.  The compiler does not contract; the lane
/// steps fuse only where the result cannot change (see lane_steps.h).
template <typename T, typename Rows>
__attribute__((target("avx512f"), flatten)) void band_kernel_avx512(
    Rows& rows, const MutexHandle& mutex, const SyncIds& sync_ids, const Index& block_size,
    const int& team_size, Index& level_factor, Index& neighbour_distance, Index& block_stride,
    Index& first_odd_row, Index& next_row, Index& back_row, const RealOf<T>& pivot_floor,
    ErrorFlags& error_flags) noexcept {
    band_kernel_body<T, lanes::Avx512Isa>(
        rows, mutex, sync_ids, block_size, team_size, level_factor, neighbour_distance,
        block_stride, first_odd_row, next_row, back_row, pivot_floor, error_flags);
}
#endif

/// The kernel bodies; all give the same bytes.
enum class KernelBody { portable, avx2, avx512 };

/// The body later solves run: the one named by the environment variable
/// BANDSOLVE_KERNEL (portable, avx2 or avx512; read at the first solve of
/// the process), else the best the processor has; a body the processor
/// lacks falls back to the best it has.  A body forced by a test comes
/// first.
KernelBody kernel_body() noexcept;
/// Makes later solves run `body` (or the best the processor has below it),
/// for tests that hold the bodies to the same bytes.
void force_kernel_body(KernelBody body) noexcept;
/// Ends force_kernel_body: later solves run the body kernel_body chooses.
void unforce_kernel_body() noexcept;
/// force_kernel_body(portable) (true) or unforce_kernel_body() (false).
void force_portable_kernels(bool portable) noexcept;

}  // namespace detail

/// One thread's share of a block-tree solve on `rows` (WholeSystem, or a
/// rank's rows of a distributed solve), in the body the processor runs best.
/// Every thread of the team calls it once with references to the same
/// variables (team_size of them, since every barrier waits for team_size
/// arrivals).
template <typename T, typename Rows>
void run_block_tree(Rows& rows, const MutexHandle& mutex, const SyncIds& sync_ids,
                    const Index& block_size, const int& team_size, Index& level_factor,
                    Index& neighbour_distance, Index& block_stride, Index& first_odd_row,
                    Index& next_row, Index& back_row, const RealOf<T>& pivot_floor,
                    ErrorFlags& error_flags) noexcept {
    // The lane steps' buffers live in the body's frame; a thread whose stack
    // cannot hold them runs a body without lanes, with the same bits.
    const bool lanes_fit = stack_room() >= LANE_BODY_STACK_BYTES;
    auto* body = lanes_fit ? &detail::band_kernel_body<T, lanes::PortableIsa, Rows>
                           : &detail::band_kernel_body<T, lanes::SingleLane, Rows>;
#if BANDSOLVE_X86
    switch (detail::kernel_body()) {
        case detail::KernelBody::avx512:
            // GCC 12 turns the complex products of the one-block steps into
            // fused multiply-adds (vfmaddsub) when compiling for AVX-512,
            // -ffp-contract=off notwithstanding: the complex families keep
            // the AVX2 body, four lanes.
            if constexpr (!ElementTraits<T>::is_complex) {
                body = lanes_fit ? &detail::band_kernel_avx512<T, Rows>
                                 : &detail::band_kernel_avx2<T, lanes::SingleLane, Rows>;
                break;
            }
            [[fallthrough]];
        case detail::KernelBody::avx2:
            if constexpr (std::is_same_v<T, float>)
                body = lanes_fit ? &detail::band_kernel_avx2_fma<Rows>
                                 : &detail::band_kernel_avx2<T, lanes::SingleLane, Rows>;
            else
                body = lanes_fit ? &detail::band_kernel_avx2<T, lanes::Avx2Isa, Rows>
                                 : &detail::band_kernel_avx2<T, lanes::SingleLane, Rows>;
            break;
        case detail::KernelBody::portable:
            break;
    }
#endif
    body(rows, mutex, sync_ids, block_size, team_size, level_factor, neighbour_distance,
         block_stride, first_odd_row, next_row, back_row, pivot_floor, error_flags);
}

/// One thread's share of a block-tree solve of the whole system.  Every
/// thread of the team calls it once with references to the same variables
/// (team_size of them, since every barrier waits for team_size arrivals).
template <typename T>
void band_kernel(T* const& a, const int& n, const int& hb, T* const& b, const int& nrhs,
                 T* const& corner, T* const& panel, const MutexHandle& mutex,
                 const SyncIds& sync_ids, const Index& block_size, const int& team_size,
                 Index& level_factor, Index& neighbour_distance, Index& block_stride,
                 Index& first_odd_row, Index& next_row, Index& back_row,
                 const RealOf<T>& pivot_floor, ErrorFlags& error_flags) noexcept {
    WholeSystem<T> rows(BlockTreeArrays<T>{a, n, hb, b, nrhs, corner, panel});
    run_block_tree<T>(rows, mutex, sync_ids, block_size, team_size, level_factor,
                      neighbour_distance, block_stride, first_odd_row, next_row, back_row,
                      pivot_floor, error_flags);
}

}  // namespace bandsolve
