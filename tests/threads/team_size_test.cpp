// Processor count and team size: the pure rules on any mask, the platform
// query, and the process-wide values (whose first use is tested here, so this
// executable runs alone in its process).
#include "threads/team_size.h"

#include <bandsolve.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "threads/platform/fault_injection.h"

namespace bandsolve {
namespace {

TEST(CountMaskBits, Bits0And1And3) {
    const std::uint64_t mask[] = {0b1011};
    EXPECT_EQ(count_mask_bits(mask), 3);
}

TEST(CountMaskBits, All32BitsIncludingBit31) {
    const std::uint64_t mask[] = {0xFFFF'FFFFu};
    EXPECT_EQ(count_mask_bits(mask), 32);
}

TEST(CountMaskBits, EveryWordOfAWideMaskCounts) {
    const std::uint64_t mask[] = {~0ull, 0, 1ull << 63, 0b101};
    EXPECT_EQ(count_mask_bits(mask), 64 + 1 + 2);
    const std::uint64_t top_only[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1ull << 63};
    EXPECT_EQ(count_mask_bits(top_only), 1);
}

TEST(CountMaskBits, EmptyMaskIsZero) {
    EXPECT_EQ(count_mask_bits({}), 0);
    const std::uint64_t zero[] = {0, 0};
    EXPECT_EQ(count_mask_bits(zero), 0);
}

TEST(ClampTeamSize, RequestCappedAt32AndAtTheProcessorCount) {
    EXPECT_EQ(clamp_team_size(40, 8), 8);
    EXPECT_EQ(clamp_team_size(5, 8), 5);
    EXPECT_EQ(clamp_team_size(8, 8), 8);
    EXPECT_EQ(clamp_team_size(40, 64), 32);
    EXPECT_EQ(clamp_team_size(33, 33), 32);
    EXPECT_EQ(clamp_team_size(1, 1), 1);
}

TEST(ClampTeamSize, ZeroAndNegativeRequestsStoreZero) {
    EXPECT_EQ(clamp_team_size(0, 8), 0);
    EXPECT_EQ(clamp_team_size(-1, 8), 0);
    EXPECT_EQ(clamp_team_size(-2147483647 - 1, 8), 0);
}

TEST(CountProcessors, CountsTheProcessAffinityMask) {
    // An independent reading of the same mask (fixed-size set: this machine
    // has fewer than CPU_SETSIZE processors).
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(getpid(), sizeof set, &set), 0);
    int count = -1;
    count_processors(&count);
    EXPECT_EQ(count, CPU_COUNT(&set));
    EXPECT_GE(count, 1);
}

TEST(CountProcessors, FailedQueryCountsOneProcessor) {
    platform::fail_affinity_query(true);
    int count = -1;
    count_processors(&count);
    platform::fail_affinity_query(false);
    EXPECT_EQ(count, 1);
}

// The process-wide values, in the order a run meets them.  No other test of
// this executable calls set, get or reset.
TEST(TeamSize, FollowsThePart21RulesFromTheFirstUseOn) {
    int n = 0;
    count_processors(&n);
    const int full = std::min(n, MAX_TEAM_SIZE);

    // get before any set takes the processor count, and keeps it.
    int size = -5;
    get_team_size(&size);
    EXPECT_EQ(size, full);
    get_team_size(&size);
    EXPECT_EQ(size, full);

    // The count is cached now: a direct count sees a failing query, the
    // team-size operations do not count again.
    platform::fail_affinity_query(true);
    int direct = -1;
    count_processors(&direct);
    EXPECT_EQ(direct, 1);
    int request = 40;
    set_team_size(&request);
    get_team_size(&size);
    EXPECT_EQ(size, full);
    request = 1;
    set_team_size(&request);
    reset_team_size();
    get_team_size(&size);
    EXPECT_EQ(size, full);
    platform::fail_affinity_query(false);

    // 0 means "the processor count at the next get".
    request = 0;
    set_team_size(&request);
    get_team_size(&size);
    EXPECT_EQ(size, full);

    request = 1;
    set_team_size(&request);
    get_team_size(&size);
    EXPECT_EQ(size, 1);

    if (n >= 2) {
        request = n - 1;
        set_team_size(&request);
        get_team_size(&size);
        EXPECT_EQ(size, std::min(n - 1, MAX_TEAM_SIZE));
    }

    // A negative request stores 0: the next get takes the processor count.
    request = -3;
    set_team_size(&request);
    get_team_size(&size);
    EXPECT_EQ(size, full);

    // Tests may oversubscribe the machine, within 1..32.
    detail::force_team_size(8);
    get_team_size(&size);
    EXPECT_EQ(size, 8);
    detail::force_team_size(40);
    get_team_size(&size);
    EXPECT_EQ(size, MAX_TEAM_SIZE);
    detail::force_team_size(0);
    get_team_size(&size);
    EXPECT_EQ(size, 1);
}

// Threads entering solves at once read and set the team size without a data
// race (checked by ThreadSanitizer) and always see a usable size.
TEST(TeamSize, ConcurrentCallersSeeAUsableSize) {
    int n = 0;
    count_processors(&n);
    const int full = std::min(n, MAX_TEAM_SIZE);
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, full, &bad] {
            for (int i = 0; i < 2000; ++i) {
                int request = (i + t) % 3;  // 0, 1, 2
                set_team_size(&request);
                int size = -1;
                get_team_size(&size);
                if (size < 1 || size > full) ++bad[t];
                if (i % 100 == 0) reset_team_size();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace bandsolve
