// Command line of bandcompare.
#pragma once

#include <cstdint>
#include <string>

namespace bandcompare {

/// Default limit of n*hb in the sweep: that of the benchmark problem, which
/// keeps the full sweep near ten minutes on two cores.  It leaves out
/// n = 10^6 with hb = 32 and n = 2*10^6 with hb = 16 and 32.
inline constexpr std::int64_t DEFAULT_MAX_NHB = 2000000LL * 8;

struct Options {
    bool quick = false;                      // the benchmark problem only, fewer runs
    int runs = 0;                            // timed runs per measurement; 0: the defaults below
    std::string csv;                         // CSV output file; empty: none
    std::string types = "sdcz";              // element types, always in this order
    int max_team = 0;                        // largest team size; 0: the processor count
    std::string openblas;                    // OpenBLAS LAPACK to load; empty: the Debian path
    bool no_openblas = false;                // do not look for OpenBLAS
    int slab_rows = 0;                       // slab height of the slab solvers; 0: their default
    std::int64_t max_nhb = DEFAULT_MAX_NHB;  // sweep cases with n*hb above: skipped; 0: none
    bool help = false;
};

/// Runs of the benchmark problem and of the other sweep cases when --runs
/// is not given.  Never below MIN_RUNS.
inline constexpr int MIN_RUNS = 5;
inline constexpr int DEFAULT_PROBLEM_RUNS = 9;
inline constexpr int DEFAULT_QUICK_RUNS = 5;
inline constexpr int DEFAULT_SWEEP_RUNS = 5;

/// Parses argv into `options`; on a bad argument returns false with `error`
/// saying which and why.
bool parse_options(int argc, const char* const* argv, Options& options, std::string& error);

/// The usage text.
const char* usage_text() noexcept;

}  // namespace bandcompare
