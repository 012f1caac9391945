// The barrier protocol of one sync object, with real threads, and the plain
// mutex.  Pauses only widen race windows or give a wrongly released thread
// time to show itself; every wait for progress is an explicit handshake.
#include "threads/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;

constexpr auto kLimit = 120s;
constexpr auto kWindow = 100ms;  // time a wrongly released thread gets to show itself

// A sync object of the test's own, destroyed at the end of its scope.
class Object {
  public:
    Object() { sync_create(id_); }
    ~Object() { sync_destroy(id_); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    int id() const { return id_; }

  private:
    int id_ = 0;
};

// The full cycle of one thread: arrive, wait, and if elected release the
// others.  Returns the flag.
int pass_barrier(int id) {
    sync_arrive(id);
    int elected = -1;
    sync_wait_elect(id, elected);
    if (elected == 0) sync_release_next(id);
    return elected;
}

TEST(SyncObject, TeamOfFourElectsExactlyOneAndHoldsTheOthersUntilRelease) {
    testing::Watchdog watchdog(kLimit);
    Object object;
    ASSERT_NE(object.id(), 0);
    const int id = object.id();
    constexpr int kTeam = 4;

    for (int cycle = 0; cycle < 20; ++cycle) {
        // After the first cycle, sync_arm with the same count makes the
        // object usable again.
        sync_arm(id, kTeam);
        std::atomic<int> arrived{0};
        std::atomic<int> elected_count{0};
        std::atomic<int> followers_out{0};
        std::atomic<bool> released{false};
        std::atomic<int> early{0};
        std::atomic<int> bad_flag{0};
        std::atomic<int> opened_too_soon{0};
        std::vector<std::thread> team;
        for (int t = 0; t < kTeam; ++t) {
            team.emplace_back([&] {
                arrived.fetch_add(1);
                sync_arrive(id);
                int elected = -1;
                sync_wait_elect(id, elected);
                if (elected == 0) {
                    elected_count.fetch_add(1);
                    if (arrived.load() != kTeam) opened_too_soon.fetch_add(1);
                    // Widen the window: a follower let out now would be seen.
                    std::this_thread::sleep_for(cycle < 3 ? kWindow : 1ms);
                    if (followers_out.load() != 0) early.fetch_add(1);
                    released.store(true);
                    sync_release_next(id);
                } else if (elected == 1) {
                    if (!released.load()) early.fetch_add(1);
                    followers_out.fetch_add(1);
                } else {
                    bad_flag.fetch_add(1);
                }
            });
        }
        for (auto& thread : team) thread.join();
        EXPECT_EQ(elected_count.load(), 1) << "cycle " << cycle;
        EXPECT_EQ(followers_out.load(), kTeam - 1) << "cycle " << cycle;
        EXPECT_EQ(early.load(), 0) << "cycle " << cycle;
        EXPECT_EQ(bad_flag.load(), 0) << "cycle " << cycle;
        EXPECT_EQ(opened_too_soon.load(), 0) << "cycle " << cycle;
    }
}

TEST(SyncObject, NobodyIsLetOutBeforeTheLastArrival) {
    testing::Watchdog watchdog(kLimit);
    Object object;
    const int id = object.id();
    sync_arm(id, 3);
    std::atomic<int> out{0};
    std::vector<std::thread> two;
    for (int t = 0; t < 2; ++t) {
        two.emplace_back([&] {
            pass_barrier(id);
            out.fetch_add(1);
        });
    }
    std::this_thread::sleep_for(kWindow);
    EXPECT_EQ(out.load(), 0);
    EXPECT_GE(pass_barrier(id), 0);  // the third arrival opens it
    for (auto& thread : two) thread.join();
    EXPECT_EQ(out.load(), 2);
}

TEST(SyncObject, TeamOfOneNeverBlocksAndLeavesNoWaiter) {
    testing::Watchdog watchdog(kLimit);
    Object object;
    const int id = object.id();
    sync_arm(id, 1);
    for (int cycle = 0; cycle < 1000; ++cycle) {
        sync_arrive(id);
        int elected = -1;
        sync_wait_elect(id, elected);
        ASSERT_EQ(elected, 0) << "cycle " << cycle;
        sync_release_next(id);
        sync_arm(id, 1);
    }
    // Waiters ended at 0: a re-arm that waits for the cycle to drain returns
    // at once (the first re-arm after sync_arm never waits, the second does).
    sync_rearm(id, 1, 1);
    EXPECT_EQ(pass_barrier(id), 0);
    sync_rearm(id, 1, 1);
    EXPECT_EQ(pass_barrier(id), 0);
}

TEST(SyncObject, ArmClearsASignalLeftPendingByEarlierUse) {
    testing::Watchdog watchdog(kLimit);
    Object object;
    const int id = object.id();
    // Leave a signal pending: the arrival opens the object, nobody waits.
    sync_arm(id, 1);
    sync_arrive(id);
    sync_arm(id, 2);

    std::atomic<bool> returned{false};
    int flag = -1;
    std::thread first([&] {
        flag = pass_barrier(id);
        returned.store(true);
    });
    // A pending signal would let the first thread through a closed object.
    std::this_thread::sleep_for(kWindow);
    EXPECT_FALSE(returned.load());
    const int mine = pass_barrier(id);
    first.join();
    EXPECT_EQ(flag + mine, 1);  // one elected (0), one follower (1)
}

TEST(SyncObject, WithdrawByTheLastParticipantOpensTheObject) {
    testing::Watchdog watchdog(kLimit);
    Object object;
    const int id = object.id();
    sync_arm(id, 3);
    sync_rearm(id, 3, 3);  // the same arming; later re-arms wait for a drain
    std::atomic<int> out{0};
    int flags[2] = {-1, -1};
    std::vector<std::thread> two;
    for (int t = 0; t < 2; ++t) {
        two.emplace_back([&, t] {
            flags[t] = pass_barrier(id);
            out.fetch_add(1);
        });
    }
    std::this_thread::sleep_for(kWindow);
    EXPECT_EQ(out.load(), 0);
    sync_withdraw(id, 1);  // leaves the cycle, counted as the third arrival
    for (auto& thread : two) thread.join();
    EXPECT_EQ(out.load(), 2);
    EXPECT_EQ(flags[0] + flags[1], 1);
    // Waiters ended at 0 (the withdrawn thread counted out): a draining
    // re-arm returns at once.
    sync_rearm(id, 1, 1);
    EXPECT_EQ(pass_barrier(id), 0);
}

TEST(SyncObject, WithdrawWithoutArrivingLeavesTheObjectClosed) {
    testing::Watchdog watchdog(kLimit);
    Object object;
    const int id = object.id();
    sync_arm(id, 2);
    std::atomic<bool> returned{false};
    int flag = -1;
    std::thread waiter([&] {
        flag = pass_barrier(id);
        returned.store(true);
    });
    sync_withdraw(id, 0);
    std::this_thread::sleep_for(kWindow);
    EXPECT_FALSE(returned.load());
    sync_arrive(id);  // the second arrival, from a thread that no longer waits
    waiter.join();
    EXPECT_EQ(flag, 0);
}

TEST(SyncObject, WaitPassElectsNobodyAndPassesTheTurnOn) {
    testing::Watchdog watchdog(kLimit);
    Object object;
    const int id = object.id();
    for (int cycle = 0; cycle < 200; ++cycle) {
        sync_arm(id, 3);
        int flags[2] = {-1, -1};
        std::vector<std::thread> electors;
        for (int t = 0; t < 2; ++t) {
            electors.emplace_back([&, t] { flags[t] = pass_barrier(id); });
        }
        std::thread passer([&] {
            sync_arrive(id);
            sync_wait_pass(id);
        });
        for (auto& thread : electors) thread.join();
        passer.join();
        EXPECT_EQ(flags[0] + flags[1], 1) << "cycle " << cycle;
    }
}

TEST(SyncObject, RearmWaitsForThePreviousCycleToDrain) {
    testing::Watchdog watchdog(kLimit);
    Object object;
    const int id = object.id();
    sync_arm(id, 2);
    sync_rearm(id, 2, 2);  // first re-arm after sync_arm: at once, mode 2 from now on

    std::latch holding(1);
    std::latch let_go(1);
    auto member = [&] {
        sync_arrive(id);
        int elected = -1;
        sync_wait_elect(id, elected);
        if (elected == 0) {
            holding.count_down();
            let_go.wait();
            sync_release_next(id);
        }
    };
    std::thread a(member);
    std::thread b(member);
    holding.wait();  // the elected thread holds the turn; the other still waits

    std::atomic<bool> rearmed{false};
    std::thread rearmer([&] {
        sync_rearm(id, 2, 2);
        rearmed.store(true);
    });
    std::this_thread::sleep_for(kWindow);
    EXPECT_FALSE(rearmed.load());
    let_go.count_down();
    a.join();
    b.join();
    rearmer.join();
    EXPECT_TRUE(rearmed.load());

    // Re-armed for a new cycle of two.
    int flag = -1;
    std::thread other([&] { flag = pass_barrier(id); });
    const int mine = pass_barrier(id);
    other.join();
    EXPECT_EQ(flag + mine, 1);
}

TEST(Mutex, ExcludesAndOrdersItsHolders) {
    testing::Watchdog watchdog(kLimit);
    MutexHandle mutex = nullptr;
    mutex_create(mutex);
    ASSERT_NE(mutex, nullptr);
    int counter = 0;  // plain: only the holder touches it
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                mutex_lock(mutex);
                const int seen = counter;  // read, pause, write
                if (i % 16 == 0) std::this_thread::yield();
                counter = seen + 1;
                mutex_unlock(mutex);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, kThreads * kRounds);
    mutex_destroy(mutex);
    EXPECT_EQ(mutex, nullptr);
    mutex_lock(mutex);  // none: nothing
    mutex_unlock(mutex);
    mutex_destroy(mutex);
}

}  // namespace
}  // namespace bandsolve
