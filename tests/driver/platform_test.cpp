#include "driver/platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "support/test_support.h"

namespace bandbench {
namespace {

TEST(BenchmarkMxcsr, MasksEverythingAndRoundsToNearest) {
    EXPECT_EQ(benchmark_mxcsr(0x1F80U), 0x1F80U);  // the usual default
    EXPECT_EQ(benchmark_mxcsr(0x0000U), 0x1F80U);  // every exception unmasked
    EXPECT_EQ(benchmark_mxcsr(0x7F80U), 0x1F80U);  // round toward zero
    EXPECT_EQ(benchmark_mxcsr(0x3E80U), 0x1F80U);  // round up, invalid unmasked
}

TEST(BenchmarkMxcsr, KeepsDenormalModesAndStatusFlags) {
    EXPECT_EQ(benchmark_mxcsr(0x8040U), 0x9FC0U);  // flush-to-zero and denormals-are-zero
    EXPECT_EQ(benchmark_mxcsr(0x9FC0U), 0x9FC0U);
    EXPECT_EQ(benchmark_mxcsr(0x003FU), 0x1FBFU);  // sticky exception flags
}

#if defined(__x86_64__) || defined(__i386__)

std::uint16_t read_x87_control() {
    std::uint16_t word = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(word));
    return word;
}

std::uint32_t read_mxcsr() {
    std::uint32_t value = 0;
    __asm__ __volatile__("stmxcsr %0" : "=m"(value));
    return value;
}

void write_x87_control(std::uint16_t word) { __asm__ __volatile__("fldcw %0" : : "m"(word)); }

void write_mxcsr(std::uint32_t value) { __asm__ __volatile__("ldmxcsr %0" : : "m"(value)); }

TEST(FpEnvironment, LoadsControlWordAndMxcsrAndNewThreadsInheritThem) {
    const std::uint16_t saved_control = read_x87_control();
    const std::uint32_t saved_mxcsr = read_mxcsr();

    // Round toward zero, divide-by-zero unmasked, flush-to-zero on; 64-bit
    // x87 precision, rounding down.
    write_mxcsr(0x7D80U | MXCSR_FLUSH_TO_ZERO);
    write_x87_control(0x077F);

    set_fp_environment();
    const std::uint16_t control = read_x87_control();
    const std::uint32_t mxcsr = read_mxcsr();
    std::uint16_t thread_control = 0;
    std::uint32_t thread_mxcsr = 0;
    std::thread([&] {
        thread_control = read_x87_control();
        thread_mxcsr = read_mxcsr();
    }).join();

    write_mxcsr(saved_mxcsr);
    write_x87_control(saved_control);

    EXPECT_EQ(control, X87_CONTROL_WORD);
    EXPECT_EQ(mxcsr & ~0x3FU, 0x1F80U | MXCSR_FLUSH_TO_ZERO);
    EXPECT_EQ(thread_control, X87_CONTROL_WORD);
    EXPECT_EQ(thread_mxcsr & ~0x3FU, 0x1F80U | MXCSR_FLUSH_TO_ZERO);
}

#endif

TEST(TickCount, CountsMilliseconds) {
    // The two tick reads lie between the outer clock reads and enclose the
    // inner ones, so their difference is bounded by both intervals.
    using Clock = std::chrono::steady_clock;
    const auto outer_start = Clock::now();
    const std::uint32_t start = tick_count_ms();
    const auto inner_start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto inner_stop = Clock::now();
    const std::uint32_t stop = tick_count_ms();
    const auto outer_stop = Clock::now();

    const auto ms = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::microseconds>(d).count() / 1000.0;
    };
    const double ticks = static_cast<double>(static_cast<std::uint32_t>(stop - start));
    EXPECT_GE(ticks, ms(inner_stop - inner_start) - 1.0);
    EXPECT_LE(ticks, ms(outer_stop - outer_start) + 1.0);
}

TEST(ProcessTimes, IncludeEveryThreadOfTheProcess) {
    bandsolve::testing::Watchdog watchdog(std::chrono::seconds(60), "process times");
    ProcessTimes before;
    ASSERT_TRUE(read_process_times(before));

    std::uint64_t thread_units = 0;
    std::thread([&] {
        timespec now{};
        volatile unsigned sink = 0;
        do {
            for (int i = 0; i < 10000; ++i) sink = sink + static_cast<unsigned>(i);
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        } while (now.tv_sec == 0 && now.tv_nsec < 200000000);
        thread_units = static_cast<std::uint64_t>(now.tv_sec) * 10000000U +
                       static_cast<std::uint64_t>(now.tv_nsec) / 100U;
    }).join();

    ProcessTimes after;
    ASSERT_TRUE(read_process_times(after));
    EXPECT_GE(after.user, before.user);
    EXPECT_GE(after.kernel, before.kernel);
    // The ended thread's time is counted, to within a millisecond.
    EXPECT_GE((after.user + after.kernel) - (before.user + before.kernel), thread_units - 10000U);
}

}  // namespace
}  // namespace bandbench
