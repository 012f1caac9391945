// TuningParameters: three process-wide integers set once, by the first solve
// of the process, and shared by every family.  Only P1 is used: it sets the
// block size of the block-tree solvers.
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

namespace detail {
/// Forgets the record, so that a test can play a fresh process's first solve.
void reset_tuning_parameters() noexcept;
}  // namespace detail

}  // namespace bandsolve
