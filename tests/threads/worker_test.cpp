// Worker threads: argument passing, the waiting states of a slot and the
// table-wide operations.  No test here depends on which slot ids it gets.
#include "threads/worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <latch>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;

constexpr auto kLimit = 120s;

std::atomic<int> g_no_arg_calls{0};
void no_arguments() { g_no_arg_calls.fetch_add(1); }

// A routine of exactly 52 int references that records where each one points
// and writes 1000 + its position through it.
void* g_seen[MAX_WORKER_ARGS];

template <std::size_t>
using IntRef = int&;

template <std::size_t... I>
void record_52(IntRef<I>... refs) {
    ((g_seen[I] = &refs, refs = 1000 + static_cast<int>(I)), ...);
}

// The solver's shape: mixed types, read and written through the references.
void solver_like(float*& data, const int& n, int& info, double& sum) {
    for (int i = 0; i < n; ++i) {
        sum += data[i];
        data[i] *= 2.0f;
    }
    data += 1;
    info = 7;
}

void finish(std::atomic<int>& done) { done.fetch_add(1); }

// Waits for the release, pauses so that a wrongly early return of a wait is
// caught, then counts itself done.
void block_then_finish(std::latch& release, std::atomic<int>& done) {
    release.wait();
    std::this_thread::sleep_for(20ms);
    done.fetch_add(1);
}

void block(std::latch& release) { release.wait(); }

// Number of free slots in the table, found by occupying them all.
int free_slots() {
    std::latch release(1);
    std::vector<int> taken;
    for (;;) {
        int id = -1;
        worker_launch(id, block, release);
        if (id == 0) break;
        taken.push_back(id);
    }
    release.count_down();
    for (int id : taken) worker_join(id);
    return static_cast<int>(taken.size());
}

TEST(WorkerLaunch, RoutineWithNoArgumentsIsCalledWithNone) {
    testing::Watchdog watchdog(kLimit);
    int id = -1;
    worker_launch(id, no_arguments);
    ASSERT_GT(id, 0);
    worker_join(id);
    EXPECT_EQ(g_no_arg_calls.load(), 1);
}

TEST(WorkerLaunch, FiftyTwoReferencesArriveInOrderAndWritesReachTheLauncher) {
    testing::Watchdog watchdog(kLimit);
    int vars[MAX_WORKER_ARGS] = {};
    int id = -1;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        worker_launch(id, &record_52<I...>, vars[I]...);
    }
    (std::make_index_sequence<MAX_WORKER_ARGS>{});
    ASSERT_GT(id, 0);
    worker_join(id);
    for (int k = 0; k < MAX_WORKER_ARGS; ++k) {
        EXPECT_EQ(g_seen[k], &vars[k]) << "reference " << k;
        EXPECT_EQ(vars[k], 1000 + k) << "reference " << k;
    }
}

TEST(WorkerLaunch, MixedReferencesReadAndWriteTheLaunchersVariables) {
    testing::Watchdog watchdog(kLimit);
    float values[3] = {1.0f, 2.0f, 3.0f};
    float* data = values;
    const int n = 3;
    int info = 0;
    double sum = 0.5;
    int id = -1;
    worker_launch(id, solver_like, data, n, info, sum);
    ASSERT_GT(id, 0);
    worker_join(id);
    EXPECT_EQ(data, values + 1);
    EXPECT_EQ(info, 7);
    EXPECT_EQ(sum, 6.5);
    EXPECT_EQ(values[0], 2.0f);
    EXPECT_EQ(values[2], 6.0f);
}

TEST(WorkerJoin, ThreadThatHasAlreadyEndedIsJoinedAndItsSlotFreed) {
    testing::Watchdog watchdog(kLimit);
    const int free_before = free_slots();
    std::atomic<int> done{0};
    int id = -1;
    worker_launch(id, finish, done);
    ASSERT_GT(id, 0);
    while (done.load() == 0) std::this_thread::yield();
    std::this_thread::sleep_for(10ms);  // let the thread end
    worker_join(id);
    EXPECT_EQ(free_slots(), free_before);
}

TEST(WorkerWait, SecondWaitDoesNothingAndCloseFreesTheSlotOnce) {
    testing::Watchdog watchdog(kLimit);
    const int free_before = free_slots();
    std::latch release(1);
    std::atomic<int> done{0};
    int id = -1;
    worker_launch(id, block_then_finish, release, done);
    ASSERT_GT(id, 0);
    release.count_down();
    worker_wait(id);
    EXPECT_EQ(done.load(), 1);  // the wait really waited
    worker_wait(id);
    EXPECT_EQ(free_slots(), free_before - 1);  // waited for, still occupied
    worker_close(id);
    EXPECT_EQ(free_slots(), free_before);
    worker_close(id);  // the slot is free now: nothing
    worker_join(id);
    EXPECT_EQ(free_slots(), free_before);
}

TEST(WorkerClose, SlotNeverWaitedForIsNeitherClosedNorFreed) {
    testing::Watchdog watchdog(kLimit);
    const int free_before = free_slots();
    std::latch release(1);
    std::atomic<int> done{0};
    int id = -1;
    worker_launch(id, block_then_finish, release, done);
    ASSERT_GT(id, 0);
    worker_close(id);
    EXPECT_EQ(free_slots(), free_before - 1);
    release.count_down();
    worker_join(id);  // still the launcher's slot: joins the thread
    EXPECT_EQ(done.load(), 1);
    EXPECT_EQ(free_slots(), free_before);
}

TEST(WorkerJoin, IdsThatNameNoOccupiedSlotDoNothing) {
    testing::Watchdog watchdog(kLimit);
    const int free_before = free_slots();
    for (int id : {0, -1, MAX_WORKER_SLOTS + 1, 1000, -2147483647 - 1}) {
        worker_wait(id);
        worker_close(id);
        worker_join(id);
    }
    // A slot that has been closed: its old id names no occupied slot.
    std::atomic<int> done{0};
    int id = -1;
    worker_launch(id, finish, done);
    ASSERT_GT(id, 0);
    worker_join(id);
    worker_join(id);
    EXPECT_EQ(free_slots(), free_before);
}

TEST(WorkerWaitAll, WaitsForEveryWorkerAndCloseAllFreesThem) {
    testing::Watchdog watchdog(kLimit);
    const int free_before = free_slots();
    std::latch release(1);
    std::atomic<int> done{0};
    int ids[3];
    for (int& id : ids) {
        worker_launch(id, block_then_finish, release, done);
        ASSERT_GT(id, 0);
    }
    release.count_down();
    worker_wait_all();
    EXPECT_EQ(done.load(), 3);
    EXPECT_EQ(free_slots(), free_before - 3);  // waited for, not closed
    worker_wait(ids[0]);                       // already waited for: nothing
    worker_close(ids[0]);                      // one by hand ...
    worker_close_all();                        // ... and the rest together
    EXPECT_EQ(free_slots(), free_before);
    for (int id : ids) worker_join(id);  // all free: nothing
}

TEST(WorkerCloseAll, LeavesSlotsNotWaitedForAlone) {
    testing::Watchdog watchdog(kLimit);
    const int free_before = free_slots();
    std::latch release(1);
    std::atomic<int> done{0};
    int id = -1;
    worker_launch(id, block_then_finish, release, done);
    ASSERT_GT(id, 0);
    worker_close_all();
    EXPECT_EQ(free_slots(), free_before - 1);
    release.count_down();
    worker_join(id);
    EXPECT_EQ(done.load(), 1);
    EXPECT_EQ(free_slots(), free_before);
}

TEST(WorkerJoinAll, FreesEveryOccupiedSlotAndWaitsForItsThread) {
    testing::Watchdog watchdog(kLimit);
    const int free_before = free_slots();
    std::latch release(1);
    std::atomic<int> done{0};
    int ids[4];
    for (int& id : ids) {
        worker_launch(id, block_then_finish, release, done);
        ASSERT_GT(id, 0);
    }
    release.count_down();
    worker_wait(ids[1]);  // one waited for, three not: join_all takes both states
    worker_join_all();
    EXPECT_EQ(done.load(), 4);
    EXPECT_EQ(free_slots(), free_before);
    for (int id : ids) worker_join(id);  // all free: nothing
}

TEST(ShutdownThreadRuntime, LeavesTheRuntimeUsable) {
    testing::Watchdog watchdog(kLimit);
    shutdown_thread_runtime();
    std::atomic<int> done{0};
    int id = -1;
    worker_launch(id, finish, done);
    ASSERT_GT(id, 0);
    worker_join(id);
    EXPECT_EQ(done.load(), 1);
}

}  // namespace
}  // namespace bandsolve
