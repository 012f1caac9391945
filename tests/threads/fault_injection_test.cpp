// The platform refuses a thread, an event or a mutex: the runtime writes 0,
// leaves nothing occupied and goes on working.
#include "threads/platform/fault_injection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <vector>

#include "support/test_support.h"
#include "threads/sync.h"
#include "threads/worker.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;

using platform::Resource;

void count_run(std::atomic<int>& runs) { runs.fetch_add(1); }

void count_run_then_block(std::atomic<int>& runs, std::latch& release) {
    runs.fetch_add(1);
    release.wait();
}

class FaultInjection : public ::testing::Test {
  protected:
    void TearDown() override { platform::clear_injected_failures(); }
};

TEST_F(FaultInjection, RefusedThreadFreesItsSlotAndWritesZero) {
    testing::Watchdog watchdog(120s);
    std::atomic<int> runs{0};
    platform::inject_failure(Resource::thread, 1);
    int id = -1;
    worker_launch(id, count_run, runs);
    EXPECT_EQ(id, 0);
    worker_join(id);  // nothing to join

    // The slot came back free: all 64 slots can be occupied.
    std::latch release(1);
    std::vector<int> held;
    for (;;) {
        int slot = -1;
        worker_launch(slot, count_run_then_block, runs, release);
        if (slot == 0) break;
        held.push_back(slot);
    }
    EXPECT_EQ(held.size(), static_cast<std::size_t>(MAX_WORKER_SLOTS));
    std::vector<int> sorted = held;
    std::sort(sorted.begin(), sorted.end());
    for (int k = 0; k < static_cast<int>(sorted.size()); ++k) EXPECT_EQ(sorted[k], k + 1);
    release.count_down();
    for (int slot : held) worker_join(slot);
    EXPECT_EQ(runs.load(), static_cast<int>(held.size()));  // the refused routine never ran
}

TEST_F(FaultInjection, OnlyTheKthThreadIsRefused) {
    testing::Watchdog watchdog(60s);
    std::atomic<int> runs{0};
    const long before = platform::creation_count(Resource::thread);
    platform::inject_failure(Resource::thread, 2);
    int ids[3] = {-1, -1, -1};
    for (int& id : ids) worker_launch(id, count_run, runs);
    EXPECT_GT(ids[0], 0);
    EXPECT_EQ(ids[1], 0);
    EXPECT_GT(ids[2], 0);
    EXPECT_EQ(platform::creation_count(Resource::thread), before + 3);
    for (int id : ids) worker_join(id);
    EXPECT_EQ(runs.load(), 2);
}

TEST_F(FaultInjection, ClearedFaultRefusesNothing) {
    testing::Watchdog watchdog(60s);
    std::atomic<int> runs{0};
    platform::inject_failure(Resource::thread, 1);
    platform::clear_injected_failures();
    int id = -1;
    worker_launch(id, count_run, runs);
    EXPECT_GT(id, 0);
    worker_join(id);
    EXPECT_EQ(runs.load(), 1);
}

// Creates objects until the table is full; returns how many it got and
// destroys them.
int free_sync_objects() {
    std::vector<int> ids;
    for (;;) {
        int id = -1;
        sync_create(id);
        if (id == 0) break;
        ids.push_back(id);
    }
    for (int id : ids) sync_destroy(id);
    return static_cast<int>(ids.size());
}

TEST_F(FaultInjection, RefusedEventOrMutexLeavesTheSyncRecordFree) {
    testing::Watchdog watchdog(60s);
    for (Resource refused : {Resource::event, Resource::mutex}) {
        platform::inject_failure(refused, 1);
        int id = -1;
        sync_create(id);
        EXPECT_EQ(id, 0);
        int elected = 7;
        sync_arm(id, 1);
        sync_arrive(id);
        sync_wait_elect(id, elected);  // id 0: nothing, no block
        EXPECT_EQ(elected, 7);
    }
    EXPECT_EQ(free_sync_objects(), MAX_SYNC_OBJECTS);

    // The next create works again.
    int id = -1;
    sync_create(id);
    EXPECT_GT(id, 0);
    sync_arm(id, 1);
    sync_arrive(id);
    int elected = -1;
    sync_wait_elect(id, elected);
    EXPECT_EQ(elected, 0);
    sync_release_next(id);
    sync_destroy(id);
}

TEST_F(FaultInjection, RefusedMutexWritesNoneAndItsOperationsDoNothing) {
    platform::inject_failure(Resource::mutex, 1);
    MutexHandle mutex = reinterpret_cast<MutexHandle>(&mutex);  // garbage to be overwritten
    mutex_create(mutex);
    EXPECT_EQ(mutex, nullptr);
    mutex_lock(mutex);
    mutex_unlock(mutex);
    mutex_destroy(mutex);
    mutex_create(mutex);
    EXPECT_NE(mutex, nullptr);
    mutex_lock(mutex);
    mutex_unlock(mutex);
    mutex_destroy(mutex);
}

}  // namespace
}  // namespace bandsolve
