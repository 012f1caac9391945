// Times one solve: wall-clock seconds from a millisecond tick counter, and
// the user-mode, kernel-mode and total CPU seconds of the whole process.
//
//     run_timer_start();
//     solve();
//     float elapsed, user, kernel, total;
//     run_timer_stop(elapsed, user, kernel, total);
//
// Calls must alternate start, stop, start, stop.  The record is process-wide
// and unprotected: only one thread may use the timer.
#pragma once

#include <cstdint>

#include "driver/platform.h"

namespace bandbench {

/// Seconds per 100-nanosecond unit, as the single-precision constant 1.0e-7
/// (exactly 1.0000000116860974e-7) that the CPU times are scaled by.
inline constexpr float CPU_TIME_UNIT = 1.0e-7F;

/// What one timed interval recorded.  Zero at program start; the values stay
/// after a stop until the next start overwrites them.
struct RunTimerState {
    std::uint32_t start_tick = 0;
    std::uint32_t stop_tick = 0;
    ProcessTimes start_times;
    ProcessTimes stop_times;
};

/// The four results of an interval, in seconds.
struct RunTimes {
    float elapsed = 0.0F;
    float user = 0.0F;
    float kernel = 0.0F;
    float total = 0.0F;
};

/// (stop - start) milliseconds in seconds; the difference is taken modulo
/// 2^32 and read as signed, so a counter that wrapped once still gives the
/// right interval.
double elapsed_seconds(std::uint32_t start_tick, std::uint32_t stop_tick) noexcept;

/// (stop - start) 100-ns units in seconds, in double precision, before the
/// rounding to single precision.
double cpu_seconds(std::uint64_t start, std::uint64_t stop) noexcept;

/// The results of a recorded interval.  total is the kernel seconds before
/// their rounding plus the user seconds after theirs, rounded once.
RunTimes run_timer_results(const RunTimerState& state) noexcept;

/// Records the start tick and the process times.
void run_timer_start() noexcept;

/// Records the stop times and tick and writes the interval's results.
void run_timer_stop(float& elapsed, float& user, float& kernel, float& total) noexcept;

}  // namespace bandbench
