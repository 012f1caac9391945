// A solve whose threads, mutex or events the platform refuses runs with the
// threads it can have, down to the calling thread alone, and gives the same
// bits; it never hangs and never leaks a worker slot or a sync object.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "bandsolve.hpp"
#include "support/band_systems.h"
#include "support/test_support.h"
#include "threads/platform/fault_injection.h"
#include "threads/team_size.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using platform::Resource;
using testing::random_system;

struct Result {
    int info;
    std::vector<float> a, b;
};

Result solve_once(const testing::BandSystem<float>& s, int team) {
    Result r{0, s.a, s.b};
    auto work = s.zero_work();
    detail::force_team_size(team);
    r.info = band_solve(r.a.data(), s.n, s.hb, r.b.data(), s.nrhs, work.data());
    reset_team_size();
    return r;
}

class SolveResources : public ::testing::Test {
  protected:
    void TearDown() override { platform::clear_injected_failures(); }
    const testing::BandSystem<float> system_ = random_system<float>(1000, 8, 2, 77);
};

TEST_F(SolveResources, RefusedWorkersLeaveTheResultUnchanged) {
    testing::Watchdog dog(120s, "refused workers");
    const Result reference = solve_once(system_, 1);
    ASSERT_EQ(reference.info, 0);
    for (int team : {2, 4, 8})
        for (int k = 1; k < team; ++k) {
            platform::inject_failure(Resource::thread, k);
            const Result r = solve_once(system_, team);
            EXPECT_EQ(r.info, 0) << "team " << team << ", refused thread " << k;
            EXPECT_EQ(r.a, reference.a);
            EXPECT_EQ(r.b, reference.b);
        }
}

TEST_F(SolveResources, RefusedMutexOrEventLeavesTheCallerAloneWithTheSameBits) {
    testing::Watchdog dog(120s, "refused sync objects");
    const Result reference = solve_once(system_, 1);
    ASSERT_EQ(reference.info, 0);
    // A solve of a team of two creates three mutexes (its own and one per
    // sync object) and two events; without all of them no worker starts.
    for (auto [what, count] : {std::pair{Resource::mutex, 3}, std::pair{Resource::event, 2}})
        for (int k = 1; k <= count; ++k) {
            platform::inject_failure(what, k);
            const long threads = platform::creation_count(Resource::thread);
            const Result r = solve_once(system_, 2);
            EXPECT_EQ(r.info, 0) << "k = " << k;
            EXPECT_EQ(platform::creation_count(Resource::thread), threads) << "k = " << k;
            EXPECT_EQ(r.a, reference.a);
            EXPECT_EQ(r.b, reference.b);
        }
}

TEST_F(SolveResources, NothingLeaksAcrossManySolves) {
    testing::Watchdog dog(300s, "many solves");
    // More solves than the tables have entries: a slot or sync object lost
    // per solve would exhaust them.
    const auto s = random_system<float>(200, 3, 1, 5);
    for (int i = 0; i < 80; ++i) {
        if (i % 5 == 0) platform::inject_failure(Resource::thread, 1 + i % 3);
        if (i % 7 == 0) platform::inject_failure(Resource::event, 1 + i % 2);
        const Result r = solve_once(s, 1 + i % 6);
        ASSERT_EQ(r.info, 0);
        platform::clear_injected_failures();
    }
    const Result last = solve_once(s, 4);
    EXPECT_EQ(last.info, 0);
    EXPECT_LT(testing::max_abs_error(last.b, s.x), 1e-5);
}

}  // namespace
}  // namespace bandsolve
