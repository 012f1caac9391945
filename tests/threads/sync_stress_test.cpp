// Thousands of barrier cycles run the way the solver runs them: a launcher
// creates a mutex and two sync objects, arms the first, launches team - 1
// workers on a kernel and runs the kernel itself; in every cycle the threads
// claim blocks from a shared counter under the mutex, meet at one object, and
// the elected thread checks the phase, resets the counter, arms the other
// object and releases the rest.  The shared data the protocol orders is plain
// (not atomic), so ThreadSanitizer sees any missing ordering.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "threads/sync.h"
#include "threads/worker.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;

constexpr int kBlocks = 12;

struct SolveState {
    int team = 0;
    int cycles = 0;
    // Guarded by the solve's mutex during a phase, written by the elected
    // thread alone during the serial step.
    int next_block = 0;
    // Written by the thread that claimed the block, read in the serial step.
    std::vector<int> block_cycle;
    // Written by the elected thread, read by the followers after they pass.
    std::vector<int> serial_runs;
    std::atomic<int> inside_serial{0};
    std::atomic<int> follower_passes{0};
    std::atomic<int> failures{0};
};

// Every thread of the team runs this, the launcher included.
void kernel(SolveState& s, int& first, int& second, MutexHandle& mutex) {
    int current = first;
    int other = second;
    for (int cycle = 0; cycle < s.cycles; ++cycle) {
        // The phase: claim blocks until none is left.
        for (;;) {
            mutex_lock(mutex);
            const int block = s.next_block < kBlocks ? s.next_block++ : -1;
            mutex_unlock(mutex);
            if (block < 0) break;
            s.block_cycle[block] = cycle + 1;
        }

        sync_arrive(current);
        int elected = -1;
        sync_wait_elect(current, elected);
        if (elected == 0) {
            // The serial step runs alone, after every block of the phase.
            if (s.inside_serial.fetch_add(1) != 0) s.failures.fetch_add(1);
            for (int b = 0; b < kBlocks; ++b) {
                if (s.block_cycle[b] != cycle + 1) s.failures.fetch_add(1);
            }
            s.serial_runs[cycle] += 1;
            s.next_block = 0;
            if (cycle % 97 == 0) {
                for (int i = 0; i < 20; ++i) std::this_thread::yield();  // widen the window
            }
            // Arm the other object before anybody can reach it.
            sync_arm(other, s.team);
            s.inside_serial.fetch_sub(1);
            sync_release_next(current);
        } else if (elected == 1) {
            if (s.inside_serial.load() != 0 || s.serial_runs[cycle] != 1) s.failures.fetch_add(1);
            s.follower_passes.fetch_add(1);
        } else {
            s.failures.fetch_add(1);
        }
        std::swap(current, other);
    }
}

// One solve: everything of it is created here and released before it returns.
void run_solve(SolveState& s) {
    MutexHandle mutex = nullptr;
    mutex_create(mutex);
    int first = 0;
    int second = 0;
    sync_create(first);
    sync_create(second);
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    sync_arm(first, s.team);
    std::vector<int> slots(s.team - 1, 0);
    for (int& slot : slots) {
        worker_launch(slot, kernel, s, first, second, mutex);
        ASSERT_NE(slot, 0);
    }
    kernel(s, first, second, mutex);
    for (int slot : slots) worker_join(slot);
    sync_destroy(first);
    sync_destroy(second);
    mutex_destroy(mutex);
}

void expect_clean(const SolveState& s) {
    EXPECT_EQ(s.failures.load(), 0) << "team " << s.team;
    EXPECT_EQ(s.follower_passes.load(), s.cycles * (s.team - 1)) << "team " << s.team;
    int wrong = 0;
    for (int runs : s.serial_runs) wrong += runs != 1;
    EXPECT_EQ(wrong, 0) << "team " << s.team << ": cycles whose serial step did not run once";
}

void prepare(SolveState& s, int team, int cycles) {
    s.team = team;
    s.cycles = cycles;
    s.block_cycle.assign(kBlocks, 0);
    s.serial_runs.assign(cycles, 0);
}

TEST(SyncStress, TeamsOfTwoToEightAlternatingTwoObjects) {
    testing::Watchdog watchdog(300s, "sync stress");
    for (int team = 2; team <= 8; ++team) {
        SolveState s;
        prepare(s, team, 2000);
        run_solve(s);
        expect_clean(s);
    }
}

// Several user threads run solves at once, each with its own mutex, sync
// objects and workers: the process-wide tables are shared among them.
TEST(SyncStress, ConcurrentSolvesShareTheTables) {
    testing::Watchdog watchdog(300s, "concurrent solves");
    constexpr int kSolvers = 3;
    std::vector<std::thread> solvers;
    std::vector<int> failures(kSolvers, 0);
    for (int t = 0; t < kSolvers; ++t) {
        solvers.emplace_back([t, &failures] {
            for (int round = 0; round < 15; ++round) {
                SolveState s;
                prepare(s, 2 + (t + round) % 3, 150);
                run_solve(s);
                int wrong = 0;
                for (int runs : s.serial_runs) wrong += runs != 1;
                if (s.failures.load() != 0 || wrong != 0 ||
                    s.follower_passes.load() != s.cycles * (s.team - 1)) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& solver : solvers) solver.join();
    for (int t = 0; t < kSolvers; ++t) EXPECT_EQ(failures[t], 0) << "solver thread " << t;
}

}  // namespace
}  // namespace bandsolve
