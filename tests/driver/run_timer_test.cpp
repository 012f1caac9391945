#include "driver/run_timer.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "driver/report.h"
#include "support/test_support.h"

namespace bandbench {
namespace {

RunTimerState interval(std::uint64_t kernel, std::uint64_t user) {
    RunTimerState state;
    state.start_tick = 500;
    state.stop_tick = 500;
    state.start_times = {1000, 2000};
    state.stop_times = {1000 + kernel, 2000 + user};
    return state;
}

TEST(RunTimerArithmetic, ElapsedFromMilliseconds) {
    EXPECT_EQ(elapsed_seconds(1000, 2234), 1.234);
    RunTimerState state;
    state.start_tick = 0;
    state.stop_tick = 1234;
    EXPECT_EQ(run_timer_results(state).elapsed, 1.234F);
}

TEST(RunTimerArithmetic, ElapsedAcrossCounterWrap) {
    EXPECT_EQ(elapsed_seconds(4294967000U, 704U), 1.0);
    // A stop tick before the start tick reads as a negative interval, not as
    // nearly fifty days.
    EXPECT_EQ(elapsed_seconds(1000U, 0U), -1.0);
}

TEST(RunTimerArithmetic, CpuSecondsUseTheSinglePrecisionConstant) {
    const double one_second = cpu_seconds(5, 10000005);
    EXPECT_EQ(one_second, 1.0000000116860974);
    const RunTimes times = run_timer_results(interval(0, 10000000));
    EXPECT_EQ(times.user, 1.0F);
    EXPECT_EQ(format_fixed(times.user, 8, 2), "    1.00");
    EXPECT_EQ(cpu_seconds(0, 1), static_cast<double>(1.0e-7F));
}

TEST(RunTimerArithmetic, CountsAboveThirtyTwoBits) {
    // 2^40 units and one more: the upper bytes count.
    const std::uint64_t start = std::uint64_t{1} << 40;
    EXPECT_EQ(cpu_seconds(start, start + 10000000), 1.0000000116860974);
    EXPECT_EQ(cpu_seconds(0, std::uint64_t{1} << 40),
              1099511627776.0 * static_cast<double>(1.0e-7F));
}

TEST(RunTimerArithmetic, NoTimePassed) {
    const RunTimes times = run_timer_results(interval(0, 0));
    EXPECT_EQ(times.elapsed, 0.0F);
    EXPECT_EQ(times.user, 0.0F);
    EXPECT_EQ(times.kernel, 0.0F);
    EXPECT_EQ(times.total, 0.0F);
}

TEST(RunTimerArithmetic, TotalFromUnroundedKernelAndRoundedUser) {
    // kernel = 16.750143... (16.75014305114746 once rounded) and
    // user = 21.428779... (21.42877960205078 once rounded).  Adding the
    // unrounded kernel to the rounded user gives 38.17892074584961; adding
    // both rounded or both unrounded values would give 38.178924560546875.
    const RunTimes times = run_timer_results(interval(167501427, 214287799));
    EXPECT_EQ(times.kernel, 16.75014305114746F);
    EXPECT_EQ(times.user, 21.42877960205078F);
    EXPECT_EQ(times.total, 38.17892074584961F);
    EXPECT_NE(times.total, 38.178924560546875F);
}

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Spins on a new thread until that thread has used `seconds` of CPU time,
// and returns the CPU time it used.
double burn_cpu_on_other_thread(double seconds) {
    double used = 0.0;
    std::thread burner([&] {
        volatile unsigned sink = 0;
        while (thread_cpu_seconds() < seconds) {
            for (int i = 0; i < 10000; ++i) sink = sink + static_cast<unsigned>(i);
        }
        used = thread_cpu_seconds();
    });
    burner.join();
    return used;
}

TEST(RunTimer, CountsCpuTimeOfOtherThreads) {
    bandsolve::testing::Watchdog watchdog(std::chrono::seconds(60), "run timer");
    run_timer_start();
    const double burned = burn_cpu_on_other_thread(0.2);
    float elapsed = -1.0F;
    float user = -1.0F;
    float kernel = -1.0F;
    float total = -1.0F;
    run_timer_stop(elapsed, user, kernel, total);

    EXPECT_GE(user, 0.0F);
    EXPECT_GE(kernel, 0.0F);
    // The burner's time lies inside the interval and belongs to the process;
    // a millisecond of slack for the accounting granularity.
    EXPECT_GE(static_cast<double>(total), burned - 0.001);
    // A single thread cannot use more CPU time than the wall clock passes.
    EXPECT_GE(static_cast<double>(elapsed), burned - 0.002);
    EXPECT_NEAR(total, user + kernel, 1e-6F * total);
}

}  // namespace
}  // namespace bandbench
