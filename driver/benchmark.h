// The benchmark: times one solve of the fixed test problem for every team
// size from 1 up to the number of processors and prints the report on
// standard output.
#pragma once

#include <cstdint>

namespace bandbench {

/// The fixed test problem.
inline constexpr int PROBLEM_ORDER = 2000000;
inline constexpr int PROBLEM_HALF_BANDWIDTH = 8;
inline constexpr int PROBLEM_RHS = 1;

/// Where the regions of the workspace start (1-based indices into one array
/// of reals) and how many reals it has: the band array A, the right-hand side
/// b, the exact solution x and the solver's work area of 2 n hb reals (the
/// region holds one more).
struct WorkspaceLayout {
    std::int64_t ia = 0;
    std::int64_t ib = 0;
    std::int64_t ix = 0;
    std::int64_t iw = 0;
    std::int64_t length = 0;
};

/// Layout for order n and half bandwidth hb; a negative length is taken as 0.
constexpr WorkspaceLayout workspace_layout(std::int64_t n, std::int64_t hb) noexcept {
    WorkspaceLayout layout;
    layout.ia = 1;
    layout.ib = layout.ia + (n - 1) * hb + n;
    layout.ix = layout.ib + n;
    layout.iw = layout.ix + n;
    layout.length = layout.iw + 2 * n * hb;
    if (layout.length < 0) layout.length = 0;
    return layout;
}

/// Process exit status of a run whose workspace could not be allocated.
inline constexpr int EXIT_NO_MEMORY = 1;
/// Process exit status of a run whose report could not be written.
inline constexpr int EXIT_OUTPUT_FAILED = 2;

/// Runs the benchmark and returns the process exit status: 0 after the
/// report, EXIT_NO_MEMORY when the workspace could not be allocated (the two
/// size lines and " Unable to allocate memory" are then all that is printed),
/// EXIT_OUTPUT_FAILED when a line of the report could not be written to
/// standard output (the run stops there, with one line on standard error).
int run_benchmark();

}  // namespace bandbench
