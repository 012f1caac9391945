#include "driver/platform.h"

#include <sys/resource.h>

#include <cfenv>
#include <ctime>

namespace bandbench {

void set_fp_environment() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    const std::uint16_t control_word = X87_CONTROL_WORD;
    __asm__ __volatile__("fldcw %0" : : "m"(control_word));
#if defined(__SSE__)
    std::uint32_t mxcsr = 0;
    __asm__ __volatile__("stmxcsr %0" : "=m"(mxcsr));
    mxcsr = benchmark_mxcsr(mxcsr);
    __asm__ __volatile__("ldmxcsr %0" : : "m"(mxcsr));
#endif
#else
    // Elsewhere the defaults already mask every exception; only the rounding
    // mode can differ.
    std::fesetround(FE_TONEAREST);
#endif
}

std::uint32_t tick_count_ms() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
    return static_cast<std::uint32_t>(ms);
}

namespace {

std::uint64_t to_100ns(const timeval& tv) noexcept {
    return static_cast<std::uint64_t>(tv.tv_sec) * 10000000U +
           static_cast<std::uint64_t>(tv.tv_usec) * 10U;
}

}  // namespace

bool read_process_times(ProcessTimes& times) noexcept {
    // RUSAGE_SELF sums the times of every thread of the process, the ones
    // that have already been joined included.
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return false;
    times.kernel = to_100ns(usage.ru_stime);
    times.user = to_100ns(usage.ru_utime);
    return true;
}

}  // namespace bandbench
