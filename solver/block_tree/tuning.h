// TuningParameters: three process-wide integers installed once, by the first
// block-tree solve of the process that has work to do (or before it, by
// set_block_parameter), and shared by every family.  Only P1 is used: it
// sets the block size of the block-tree solvers.
#pragma once

namespace bandsolve {

struct TuningParameters {
    int p1 = 0;  // 0: not yet set
    int p2 = 0;
    int p3 = 0;
};

/// The current values (all 0 before the first solve).
TuningParameters tuning_parameters() noexcept;

/// Real families: 24, 12, 8.  Does nothing once the record is set.
void init_tuning_parameters() noexcept;
/// Complex families: 16, 8, 6 for a team of 2 or fewer, else 8, 6, 4.
void init_tuning_parameters_complex() noexcept;
/// Installs P1 = p1 (P2 = P3 = 0) unless the record is set: 1 when it took
/// effect, 0 when the record was already set (and stays as it is), -1 when
/// p1 < 1 (nothing done).
int install_block_parameter(int p1) noexcept;

namespace detail {
/// Forgets the record, so that a test can play a fresh process's first solve.
void reset_tuning_parameters() noexcept;
}  // namespace detail

}  // namespace bandsolve
