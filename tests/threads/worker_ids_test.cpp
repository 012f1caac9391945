// Slot numbering on a fresh table: this executable runs alone in its process
// and its one test walks the table from its first use on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <vector>

#include "support/test_support.h"
#include "threads/platform/fault_injection.h"
#include "threads/worker.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;

void count_run(std::atomic<int>& runs) { runs.fetch_add(1); }

void count_run_then_block(std::atomic<int>& runs, std::latch& release) {
    runs.fetch_add(1);
    release.wait();
}

TEST(WorkerSlotIds, HandedOutInOrderWrappingAfter64AndNoneWhenFull) {
    testing::Watchdog watchdog(120s, "worker slot ids");
    std::atomic<int> runs{0};

    // A solve with team size 4 launches into slots 1, 2 and 3.
    int ids[3] = {-1, -1, -1};
    for (int& id : ids) worker_launch(id, count_run, runs);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], 2);
    EXPECT_EQ(ids[2], 3);
    for (int id : ids) worker_join(id);
    EXPECT_EQ(runs.load(), 3);

    // After their joins, the next solve launches into 4, 5 and 6.
    for (int& id : ids) worker_launch(id, count_run, runs);
    EXPECT_EQ(ids[0], 4);
    EXPECT_EQ(ids[1], 5);
    EXPECT_EQ(ids[2], 6);
    for (int id : ids) worker_join(id);
    EXPECT_EQ(runs.load(), 6);

    // Occupy the whole table: 7..64, then the search wraps to 1..6.
    std::latch release(1);
    std::vector<int> held;
    for (int k = 0; k < MAX_WORKER_SLOTS; ++k) {
        int id = -1;
        worker_launch(id, count_run_then_block, runs, release);
        held.push_back(id);
    }
    for (int k = 0; k < MAX_WORKER_SLOTS; ++k) {
        const int expected = k < 58 ? 7 + k : k - 57;
        EXPECT_EQ(held[k], expected) << "launch " << k;
    }

    // A full table writes 0 and starts nothing.
    const long threads_before = platform::creation_count(platform::Resource::thread);
    int id = -1;
    worker_launch(id, count_run, runs);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(platform::creation_count(platform::Resource::thread), threads_before);

    release.count_down();
    for (int slot : held) worker_join(slot);
    EXPECT_EQ(runs.load(), 6 + MAX_WORKER_SLOTS);  // the refused launch never ran

    // The last slot handed out was 6: the search goes on from 7.
    worker_launch(id, count_run, runs);
    EXPECT_EQ(id, 7);
    worker_join(id);
    EXPECT_EQ(runs.load(), 7 + MAX_WORKER_SLOTS);
}

}  // namespace
}  // namespace bandsolve
