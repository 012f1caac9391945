// Every entry, for every element type and band widths from 0 to past the
// fast steps' buffers, called from a user thread with a 128 KiB stack, with
// teams of one and two (the calling thread runs its share of the kernel):
// the results are byte for byte those of the same call on the main thread.
// And the block-tree entries on a stack just large enough for the lane steps,
// on systems where they run.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>

#include "bandsolve.hpp"
#include "reliability/reliability_support.h"
#include "solver/block_tree/kernel.h"
#include "support/test_support.h"
#include "threads/team_size.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using testing::Entry;
using testing::Outcome;

constexpr std::size_t SMALL_STACK_BYTES = 128 * 1024;

/// Runs `call` on a new thread whose stack is `bytes`.
void on_stack(std::size_t bytes, const std::function<void()>& call) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
    pthread_t thread;
    auto start = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, start, const_cast<std::function<void()>*>(&call)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

void on_small_stack(const std::function<void()>& call) { on_stack(SMALL_STACK_BYTES, call); }

template <typename T>
class SmallStack : public ::testing::Test {};
TYPED_TEST_SUITE(SmallStack, testing::ElementTypes);

TYPED_TEST(SmallStack, EveryEntryAtEveryBandWidth) {
    using T = TypeParam;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's instrumentation enlarges every frame: the bound holds for "
                    "the uninstrumented library";
#endif
    testing::Watchdog dog(600s, "entries on a small stack");
    for (int hb : {0, 1, 8, 40, 63, 64, 100}) {
        const auto s = testing::random_system<T>(4 * hb + 150, hb, 2, 300 + hb);
        for (int team : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << "hb " << hb << ", team " << team);
            detail::force_team_size(team);
            for (Entry e : testing::ALL_ENTRIES) {
                const Outcome<T> expected = testing::run_entry(e, s, 0, 1);
                Outcome<T> got;
                on_small_stack([&] { got = testing::run_entry(e, s, 0, 1); });
                EXPECT_TRUE(testing::same_bytes(got, expected)) << testing::entry_name(e);
            }
            // Band storage is LAPACK's 'L' layout with LDAB = hb + 1.
            auto ab = s.a, b = s.b, ab_small = s.a, b_small = s.b;
            const int info = band_pbsv('L', s.n, hb, s.nrhs, ab.data(), hb + 1, b.data(), s.n);
            int info_small = 0;
            on_small_stack([&] {
                info_small =
                    band_pbsv('L', s.n, hb, s.nrhs, ab_small.data(), hb + 1, b_small.data(), s.n);
            });
            EXPECT_EQ(info_small, info);
            EXPECT_TRUE(testing::same_bytes(ab_small, ab) && testing::same_bytes(b_small, b))
                << "band_pbsv";
        }
    }
    // Many regular blocks per sweep, so that groups of them run in lanes,
    // on a stack with little more than the lane bodies ask for.
    for (int hb : {8, 24}) {
        const auto s = testing::random_system<T>(40 * (hb + 72), hb, 1, 400 + hb);
        for (int team : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << "lanes, hb " << hb << ", team " << team);
            detail::force_team_size(team);
            const Outcome<T> expected = testing::run_entry(Entry::block_tree, s, 0, 1);
            Outcome<T> got;
            on_stack(LANE_BODY_STACK_BYTES + 32 * 1024,
                     [&] { got = testing::run_entry(Entry::block_tree, s, 0, 1); });
            EXPECT_TRUE(testing::same_bytes(got, expected));
        }
    }
    reset_team_size();
}

}  // namespace
}  // namespace bandsolve
