// Many user threads solving at once, each with its own arrays: more workers
// wanted than the 64 worker slots hold, more sync objects wanted than the 64
// of the table, and callers that each set a team size of their own.  A solve
// that finds no free worker slot runs with the threads it got, one that finds
// no free sync object on the calling thread alone; every call solves, with
// the bytes of a team of one (or, on a system with a failing pivot, its
// INFO).  Nothing hangs, and threads, descriptors and tables end as they
// started.
#include <gtest/gtest.h>

#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "reliability/reliability_support.h"
#include "support/test_support.h"
#include "threads/team_size.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using testing::BandSystem;
using testing::Entry;
using testing::Outcome;

/// What the solves of all callers came to.
struct Tally {
    std::mutex mutex;
    long solved = 0;  // the bytes (or the INFO) of a team of one
    long wrong = 0;   // anything else
    std::string first_wrong;

    void add(long s, long w, const std::string& why) {
        std::lock_guard lock(mutex);
        solved += s;
        wrong += w;
        if (w > 0 && first_wrong.empty()) first_wrong = why;
    }
};

/// One caller's system, with a failing pivot at row `failing` unless it is
/// 0, and the outcome a team of one gives for it.
template <typename T>
class Job {
  public:
    Job(Entry e, int n, int hb, int nrhs, std::uint64_t seed, int failing)
        : entry_(e), system_(testing::random_system<T>(n, hb, nrhs, seed)), fill_seed_(seed) {
        if (failing > 0) testing::plant_failing_pivot(system_, failing);
        detail::force_team_size(1);
        reference_ = testing::run_entry(entry_, system_, slab_rows(), fill_seed_);
        reset_team_size();
        reference_ok_ = failing > 0 ? reference_.info > 0 : reference_.info == 0;
    }

    bool reference_ok() const { return reference_ok_; }

    /// One solve with whatever team size is current; adds its verdict.
    void solve(Tally& tally) const {
        const Outcome<T> o = testing::run_entry(entry_, system_, slab_rows(), fill_seed_);
        // After a failed pivot the arrays depend on which blocks the team
        // got to; INFO does not.
        const bool same = reference_.info != 0 ? o.info == reference_.info
                                               : o.info == 0 && testing::same_bytes(o, reference_);
        if (same) {
            tally.add(1, 0, {});
        } else {
            std::ostringstream why;
            why << testing::type_name<T>() << " " << testing::entry_name(entry_) << ": INFO "
                << o.info << ", a team of one gives " << reference_.info;
            tally.add(0, 1, why.str());
        }
    }

  private:
    int slab_rows() const { return 2 * system_.hb + 1; }

    Entry entry_;
    BandSystem<T> system_;
    std::uint64_t fill_seed_;
    Outcome<T> reference_;
    bool reference_ok_ = false;
};

using Solve = std::function<void(Tally&)>;

/// The job of caller i: the element type and the entry rotate with i; with
/// `failing`, every fifth system has a failing pivot.
Solve make_job(int i, int n, int hb, bool failing) {
    const Entry e = testing::ALL_ENTRIES[(i / 4) % 3];
    const int nrhs = 1 + i % 3;
    const std::uint64_t seed = 1000 + i;
    const int row = failing && i % 5 == 4 ? 1 + (i * 37) % n : 0;
    auto wrap = [](auto job) -> Solve {
        EXPECT_TRUE(job->reference_ok());
        return [job](Tally& t) { job->solve(t); };
    };
    switch (i % 4) {
        case 0:
            return wrap(std::make_shared<Job<float>>(e, n, hb, nrhs, seed, row));
        case 1:
            return wrap(std::make_shared<Job<double>>(e, n, hb, nrhs, seed, row));
        case 2:
            return wrap(std::make_shared<Job<std::complex<float>>>(e, n, hb, nrhs, seed, row));
        default:
            return wrap(std::make_shared<Job<std::complex<double>>>(e, n, hb, nrhs, seed, row));
    }
}

/// The jobs of `callers` callers, their references solved beforehand.
std::vector<Solve> make_jobs(int callers, int n, int hb, bool failing = false) {
    std::vector<Solve> jobs;
    for (int i = 0; i < callers; ++i) jobs.push_back(make_job(i, n, hb, failing));
    return jobs;
}

/// Runs one user thread per job, released together, each making `rounds`
/// solves of its own job.  Before each solve, caller i calls before_solve(i)
/// (nothing when empty).
void run_callers(const std::vector<Solve>& jobs, int rounds, Tally& tally,
                 const std::function<void(int)>& before_solve = {}) {
    const int callers = static_cast<int>(jobs.size());
    std::latch start(callers);
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            for (int k = 0; k < rounds; ++k) {
                if (before_solve) before_solve(i);
                jobs[i](tally);
            }
        });
    for (auto& t : threads) t.join();
}

class ConcurrentCallers : public ::testing::Test {
  protected:
    void SetUp() override {
        threads_before_ = testing::baseline_thread_count();
        descriptors_before_ = testing::process_descriptor_count();
    }
    void TearDown() override {
        reset_team_size();
        EXPECT_EQ(testing::settled_thread_count(threads_before_), threads_before_)
            << "threads left behind";
        EXPECT_EQ(testing::process_descriptor_count(), descriptors_before_)
            << "descriptors left open";
        testing::expect_tables_free();
    }
    static void report(const char* what, const Tally& t) {
        std::printf("%s: %ld solved as a team of one solves, %ld wrong\n", what, t.solved, t.wrong);
    }

  private:
    int threads_before_ = 0;
    int descriptors_before_ = 0;
};

TEST_F(ConcurrentCallers, MoreWorkersWantedThanSlotsAllSolve) {
    testing::Watchdog dog(600s, "12 callers with teams of 8");
    // 12 callers x 7 workers want 84 slots of 64, while 24 sync objects fit
    // the table: every solve must succeed, some with fewer threads.
    detail::force_team_size(8);
    Tally tally;
    const int callers = 12, rounds = 30;
    run_callers(make_jobs(callers, 2500, 12), rounds, tally);
    report("12 callers, team 8", tally);
    EXPECT_EQ(tally.wrong, 0) << tally.first_wrong;
    EXPECT_EQ(tally.solved, callers * rounds);
}

TEST_F(ConcurrentCallers, NoFreeWorkerSlotRunsTheSolveOnTheCallersAlone) {
    testing::Watchdog dog(600s, "callers without worker slots");
    const auto jobs = make_jobs(6, 1500, 10);
    detail::force_team_size(8);
    for (int free_slots : {0, 3}) {
        SCOPED_TRACE(::testing::Message() << free_slots << " free worker slots");
        testing::HeldWorkers held(MAX_WORKER_SLOTS - free_slots);
        ASSERT_EQ(held.held(), MAX_WORKER_SLOTS - free_slots);
        Tally tally;
        run_callers(jobs, 10, tally);
        EXPECT_EQ(tally.wrong, 0) << tally.first_wrong;
        EXPECT_EQ(tally.solved, 6 * 10);
    }
}

TEST_F(ConcurrentCallers, FarMoreCallersThanTheTablesHoldAllSolve) {
    testing::Watchdog dog(900s, "256 callers");
    // 256 callers with teams of 4, then 8, want 512 sync objects of 64 and
    // hundreds of worker slots of 64: the calls that get neither run on
    // their callers alone, and every call solves.  Every fifth system has a
    // failing pivot, which every team reports as a team of one does.
    const int callers = 256, rounds = 3;
    const auto jobs = make_jobs(callers, 400, 6, true);
    for (int team : {4, 8}) {
        detail::force_team_size(team);
        Tally tally;
        run_callers(jobs, rounds, tally);
        report(team == 4 ? "256 callers, team 4" : "256 callers, team 8", tally);
        EXPECT_EQ(tally.wrong, 0) << tally.first_wrong;
        EXPECT_EQ(tally.solved, callers * rounds);
    }
}

TEST_F(ConcurrentCallers, TooFewSyncObjectsRunTheCallersAloneWithoutLosingAny) {
    testing::Watchdog dog(300s, "callers short of sync objects");
    const auto jobs = make_jobs(8, 200, 4);
    detail::force_team_size(3);
    for (int free_objects : {1, 4}) {
        // With one free object every solve, which needs two, runs on its
        // caller alone; with four, two solves at a time get a team.  The
        // objects a solve takes for a moment all come back.
        SCOPED_TRACE(::testing::Message() << free_objects << " free sync objects");
        testing::HeldSyncObjects held(MAX_SYNC_OBJECTS - free_objects);
        ASSERT_EQ(held.held(), MAX_SYNC_OBJECTS - free_objects);
        Tally tally;
        run_callers(jobs, 5, tally);
        EXPECT_EQ(tally.wrong, 0) << tally.first_wrong;
        EXPECT_EQ(tally.solved, 8 * 5);
        testing::HeldSyncObjects rest(free_objects + 1);
        EXPECT_EQ(rest.held(), free_objects);
    }
}

TEST_F(ConcurrentCallers, EachWithATeamSizeOfItsOwn) {
    testing::Watchdog dog(600s, "callers with their own team sizes");
    // The team size is one value for the process: what caller i sets may be
    // overwritten by another caller before its solve reads it, so a solve
    // runs with some caller's size.  The bytes do not depend on it.
    Tally tally;
    run_callers(make_jobs(8, 1500, 10), 20, tally, [](int i) { detail::force_team_size(1 + i); });
    report("8 callers, teams 1..8", tally);
    EXPECT_EQ(tally.wrong, 0) << tally.first_wrong;
    EXPECT_EQ(tally.solved, 8 * 20);
}

}  // namespace
}  // namespace bandsolve
