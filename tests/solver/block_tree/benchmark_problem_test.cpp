// The benchmark's own problem: n = 2,000,000, hb = 8, one right-hand side.
#include <gtest/gtest.h>

#include <vector>

#include "bandsolve.hpp"
#include "support/band_systems.h"
#include "support/test_support.h"
#include "threads/team_size.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using testing::fnv1a64;
using testing::hex64;

TEST(BenchmarkProblem, SameAccurateSolutionForEveryTeamSize) {
    testing::Watchdog dog(600s, "benchmark problem");
    const auto s = testing::benchmark_system<float>(2000000, 8, 1);
    std::uint64_t first_a = 0, first_work = 0;
    for (int team = 1; team <= 8; ++team) {
        SCOPED_TRACE(::testing::Message() << "team " << team);
        auto a = s.a;
        auto b = s.b;
        auto work = s.zero_work();
        detail::force_team_size(team);
        ASSERT_EQ(band_solve(a.data(), s.n, s.hb, b.data(), 1, work.data()), 0);
        reset_team_size();
        // The fingerprint of an independent implementation.
        EXPECT_EQ(hex64(fnv1a64(b)), "71a5cecc252bd2d0");
        if (team == 1) {
            first_a = fnv1a64(a);
            first_work = fnv1a64(work);
            // The matrix is well conditioned (diagonal x10): single precision
            // leaves a few units in the last place of x in [0, 1).
            EXPECT_LT(testing::max_abs_error(b, s.x), 1e-5);
        } else {
            EXPECT_EQ(fnv1a64(a), first_a);
            EXPECT_EQ(fnv1a64(work), first_work);
        }
    }
}

}  // namespace
}  // namespace bandsolve
