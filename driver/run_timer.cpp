#include "driver/run_timer.h"

namespace bandbench {

namespace {

RunTimerState timer_state;

// The unsigned value of a 64-bit time count built byte by byte, most
// significant first, in double precision: exact for every count below 2^53.
double time_value(std::uint64_t count) noexcept {
    double value = 0.0;
    for (int shift = 56; shift >= 0; shift -= 8) {
        value = value * 256.0 + static_cast<double>((count >> shift) & 0xFFU);
    }
    return value;
}

}  // namespace

double elapsed_seconds(std::uint32_t start_tick, std::uint32_t stop_tick) noexcept {
    const auto ticks = static_cast<std::int32_t>(stop_tick - start_tick);
    return static_cast<double>(ticks) / 1000.0;
}

double cpu_seconds(std::uint64_t start, std::uint64_t stop) noexcept {
    return (time_value(stop) - time_value(start)) * static_cast<double>(CPU_TIME_UNIT);
}

RunTimes run_timer_results(const RunTimerState& state) noexcept {
    RunTimes times;
    times.elapsed = static_cast<float>(elapsed_seconds(state.start_tick, state.stop_tick));
    times.user = static_cast<float>(cpu_seconds(state.start_times.user, state.stop_times.user));
    const double kernel = cpu_seconds(state.start_times.kernel, state.stop_times.kernel);
    times.kernel = static_cast<float>(kernel);
    times.total = static_cast<float>(kernel + static_cast<double>(times.user));
    return times;
}

void run_timer_start() noexcept {
    timer_state.start_tick = tick_count_ms();
    // A refused read leaves the previous values: the CPU times then come out
    // as zero or stale differences while the elapsed time stays right.
    read_process_times(timer_state.start_times);
}

void run_timer_stop(float& elapsed, float& user, float& kernel, float& total) noexcept {
    // The process times are read inside the interval of the two ticks.
    read_process_times(timer_state.stop_times);
    timer_state.stop_tick = tick_count_ms();
    const RunTimes times = run_timer_results(timer_state);
    elapsed = times.elapsed;
    user = times.user;
    kernel = times.kernel;
    total = times.total;
}

}  // namespace bandbench
