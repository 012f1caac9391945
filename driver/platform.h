// The few operating-system services the benchmark needs, behind plain
// functions so that everything above them is ordinary, testable code:
// the floating-point control, a millisecond tick counter and the process's
// accumulated CPU times.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bandbench {

/// x87 control word of the benchmark: every exception masked, 53-bit
/// significand, round to nearest.
inline constexpr std::uint16_t X87_CONTROL_WORD = 0x027F;

/// MXCSR bits: the six exception masks, the rounding-control field, and the
/// two denormal-handling bits that the setting leaves alone.
inline constexpr std::uint32_t MXCSR_EXCEPTION_MASKS = 0x1F80;
inline constexpr std::uint32_t MXCSR_ROUNDING = 0x6000;
inline constexpr std::uint32_t MXCSR_FLUSH_TO_ZERO = 0x8000;
inline constexpr std::uint32_t MXCSR_DENORMALS_ARE_ZERO = 0x0040;

/// The SSE control/status value that matches the x87 setting, derived from
/// the current one: all exception masks set, round to nearest; status flags,
/// flush-to-zero and denormals-are-zero stay as they were.
constexpr std::uint32_t benchmark_mxcsr(std::uint32_t current) noexcept {
    return (current | MXCSR_EXCEPTION_MASKS) & ~MXCSR_ROUNDING;
}

/// Applies the floating-point setting to the calling thread: loads the x87
/// control word X87_CONTROL_WORD and, on processors with SSE, writes
/// benchmark_mxcsr(current MXCSR).  Threads created afterwards inherit it.
void set_fp_environment() noexcept;

/// Milliseconds of a monotonic clock, wrapping modulo 2^32.
std::uint32_t tick_count_ms() noexcept;

/// CPU time the whole process (every thread, including those that have
/// already ended) has spent, in 100-nanosecond units.
struct ProcessTimes {
    std::uint64_t kernel = 0;
    std::uint64_t user = 0;
};

/// Reads the process's CPU times into `times`.  Returns false and leaves
/// `times` unchanged when the system refuses the query.
bool read_process_times(ProcessTimes& times) noexcept;

/// Asks the system to back [data, data + bytes) with huge pages where it
/// grants them: fewer page faults when the solver first touches its work
/// area.  A hint only; nothing changes where it is refused.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

/// Writes one byte of every page of [data, data + bytes), so that the system
/// backs the range with memory now rather than on first use.
void touch_pages(void* data, std::size_t bytes) noexcept;

}  // namespace bandbench
