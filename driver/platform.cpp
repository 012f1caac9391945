#include "driver/platform.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

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

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    // madvise wants page-aligned bounds: advise the whole pages inside.
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) / page * page;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void touch_pages(void* data, std::size_t bytes) noexcept {
    // Through a volatile pointer: a plain zero fill of fresh memory may be
    // turned into a calloc that touches nothing.
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    volatile unsigned char* p = static_cast<unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; i += page) p[i] = 0;
}

}  // namespace bandbench
