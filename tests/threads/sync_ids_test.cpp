// Sync object numbering on a fresh table, and operations on ids that name no
// allocated object.  This executable runs alone in its process and its one
// test walks the table from its first use on.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "support/test_support.h"
#include "threads/platform/fault_injection.h"
#include "threads/sync.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;

// Every operation on an id that names nothing returns at once (the waits
// would block for ever otherwise) and leaves the out flag alone.
void expect_every_operation_does_nothing(int id) {
    sync_arm(id, 2);
    sync_arrive(id);
    int elected = 7;
    sync_wait_elect(id, elected);
    EXPECT_EQ(elected, 7) << "id " << id;
    sync_release_next(id);
    sync_wait_pass(id);
    sync_withdraw(id, 1);
    sync_rearm(id, 2, 2);
    sync_rearm(id, 2, 2);
    sync_destroy(id);
}

TEST(SyncObjectIds, HandedOutInOrderWrappingAndNoneWhenFull) {
    testing::Watchdog watchdog(60s, "sync object ids");

    // The first three creates yield 1, 2 and 3; after destroying 1, the next
    // is 4: the search goes on from where it stopped.
    int a = -1, b = -1, c = -1;
    sync_create(a);
    sync_create(b);
    sync_create(c);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(c, 3);
    sync_destroy(a);
    int d = -1;
    sync_create(d);
    EXPECT_EQ(d, 4);

    // Fill the table: 5..64, then the search wraps to the free record 1.
    for (int expected = 5; expected <= MAX_SYNC_OBJECTS; ++expected) {
        int id = -1;
        sync_create(id);
        EXPECT_EQ(id, expected);
    }
    int wrapped = -1;
    sync_create(wrapped);
    EXPECT_EQ(wrapped, 1);

    // 64 allocated: the 65th create yields 0 and creates nothing.
    const long events_before = platform::creation_count(platform::Resource::event);
    const long mutexes_before = platform::creation_count(platform::Resource::mutex);
    int none = -1;
    sync_create(none);
    EXPECT_EQ(none, 0);
    EXPECT_EQ(platform::creation_count(platform::Resource::event), events_before);
    EXPECT_EQ(platform::creation_count(platform::Resource::mutex), mutexes_before);

    // After destroying 17, the next create yields 17.
    sync_destroy(17);
    int again = -1;
    sync_create(again);
    EXPECT_EQ(again, 17);

    // Id 0, ids out of range and a destroyed id: every operation does
    // nothing, and the destroyed record stays free for the next create.
    expect_every_operation_does_nothing(0);
    expect_every_operation_does_nothing(-1);
    expect_every_operation_does_nothing(MAX_SYNC_OBJECTS + 1);
    sync_destroy(20);
    expect_every_operation_does_nothing(20);
    int reused = -1;
    sync_create(reused);
    EXPECT_EQ(reused, 20);

    // The allocated objects are untouched by all of that: a team of one
    // passes object 20 (fresh) and object 5 (never armed before) at once.
    for (int id : {20, 5}) {
        sync_arm(id, 1);
        sync_arrive(id);
        int elected = 7;
        sync_wait_elect(id, elected);
        EXPECT_EQ(elected, 0);
        sync_release_next(id);
    }

    for (int id = 1; id <= MAX_SYNC_OBJECTS; ++id) sync_destroy(id);
    int fresh = -1;
    sync_create(fresh);
    EXPECT_EQ(fresh, 21);  // the search goes on after 20
    sync_destroy(fresh);
}

}  // namespace
}  // namespace bandsolve
