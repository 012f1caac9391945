// The platform refuses a thread, a mutex or an event at the k-th creation
// of a call, for every k the call makes, in every entry and element type.
// A refused thread leaves the solve to the threads that did start, a refused
// mutex or event to the calling thread alone; either way the call gives the
// bytes of a team of one (and a planted failing pivot is still reported).
// Nothing hangs, and nothing leaks: no worker
// slot, sync object or thread is left behind (and under AddressSanitizer no
// memory).
#include <gtest/gtest.h>

#include <cstdio>

#include "reliability/reliability_support.h"
#include "support/test_support.h"
#include "threads/platform/fault_injection.h"
#include "threads/team_size.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using platform::Resource;
using testing::BandSystem;
using testing::Entry;
using testing::Outcome;

constexpr Resource ALL_RESOURCES[] = {Resource::thread, Resource::mutex, Resource::event};

const char* resource_name(Resource r) {
    return r == Resource::thread ? "thread" : r == Resource::mutex ? "mutex" : "event";
}

long g_injected = 0;  // faults injected by every test of this executable

struct Counts {
    long of[3] = {};
    static Counts now() {
        Counts c;
        for (Resource r : ALL_RESOURCES) c.of[static_cast<int>(r)] = platform::creation_count(r);
        return c;
    }
    long since(const Counts& before, Resource r) const {
        return of[static_cast<int>(r)] - before.of[static_cast<int>(r)];
    }
};

template <typename T>
Outcome<T> run_with_team(int team, Entry e, const BandSystem<T>& s, int slab_rows) {
    detail::force_team_size(team);
    Outcome<T> o = testing::run_entry(e, s, slab_rows, 7);
    reset_team_size();
    return o;
}

template <typename T>
class RefusedResources : public ::testing::Test {
  protected:
    void SetUp() override { threads_before_ = testing::baseline_thread_count(); }
    void TearDown() override {
        platform::clear_injected_failures();
        reset_team_size();
        EXPECT_EQ(testing::settled_thread_count(threads_before_), threads_before_)
            << "threads left behind";
        testing::expect_tables_free();
    }
    static void TearDownTestSuite() {
        std::printf("refused resources: %ld faults injected so far\n", g_injected);
    }

  private:
    int threads_before_ = 0;
};
TYPED_TEST_SUITE(RefusedResources, testing::ElementTypes);

TYPED_TEST(RefusedResources, EveryCreationOfACallRefusedInTurn) {
    using T = TypeParam;
    testing::Watchdog dog(600s, "refused resources");
    // Slabs shorter than the band, so that every slab run starts the whole team.
    const int n = 400, hb = 6, nrhs = 3, slab_rows = 4;
    const auto s = testing::random_system<T>(n, hb, nrhs, 42);
    for (Entry e : testing::ALL_ENTRIES) {
        const Outcome<T> reference = run_with_team(1, e, s, slab_rows);
        ASSERT_EQ(reference.info, 0);
        for (int team : {2, 8}) {
            // What one call of this entry creates.
            const Counts before = Counts::now();
            const Outcome<T> clean = run_with_team(team, e, s, slab_rows);
            const Counts after = Counts::now();
            ASSERT_TRUE(testing::same_bytes(clean, reference));
            ASSERT_GE(after.since(before, Resource::thread), team - 1);

            for (Resource what : ALL_RESOURCES) {
                const long made = after.since(before, what);
                ASSERT_GT(made, 0) << resource_name(what);
                for (int k = 1; k <= made; ++k) {
                    SCOPED_TRACE(::testing::Message() << testing::entry_name(e) << ", team " << team
                                                      << ", " << resource_name(what) << " creation "
                                                      << k << " of " << made << " refused");
                    const Counts start = Counts::now();
                    platform::inject_failure(what, k);
                    const Outcome<T> o = run_with_team(team, e, s, slab_rows);
                    ++g_injected;
                    // The fault was met: the call reached its k-th creation.
                    EXPECT_GE(Counts::now().since(start, what), k);
                    platform::clear_injected_failures();
                    // The call runs with a smaller team (a refused mutex or
                    // event leaves its caller alone) and gives the same bits.
                    const long started = Counts::now().since(start, Resource::thread) -
                                         (what == Resource::thread ? 1 : 0);
                    EXPECT_LT(started, after.since(before, Resource::thread));
                    EXPECT_EQ(o.info, 0);
                    EXPECT_TRUE(testing::same_bytes(o, reference))
                        << "differs from the team of one";
                }
            }
        }
    }
}

TYPED_TEST(RefusedResources, FailingPivotIsReportedByAShortHandedTeam) {
    using T = TypeParam;
    testing::Watchdog dog(600s, "refused threads and a failing pivot");
    auto s = testing::random_system<T>(600, 5, 2, 43);
    // Rows in the first block, in the middle and in the last row.
    for (int row : {3, 300, 600}) {
        auto failing = s;
        testing::plant_failing_pivot(failing, row);
        for (Entry e : testing::ALL_ENTRIES)
            for (int k = 1; k <= 7; ++k) {
                SCOPED_TRACE(::testing::Message() << testing::entry_name(e) << ", row " << row
                                                  << ", thread " << k << " of 7 refused");
                platform::inject_failure(Resource::thread, k);
                const Outcome<T> o = run_with_team(8, e, failing, 8);
                ++g_injected;
                platform::clear_injected_failures();
                EXPECT_EQ(o.info, 1);
            }
    }
}

}  // namespace
}  // namespace bandsolve
