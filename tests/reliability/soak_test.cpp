// Soak: thousands of seeded random solves over the four element types and
// every entry, with random shapes and team sizes and a failing pivot planted
// in a quarter of them.  Every solve must give the expected INFO and the
// bytes of the same solve run by a team of one, must not hang, and the run
// must leave both process tables free and no thread behind.
//
// Bounded in time, not in count.  Replay a run, or one case of it, with
//   BANDSOLVE_SOAK_SEED=<seed> [BANDSOLVE_SOAK_CASE=<first case>]
//   [BANDSOLVE_SOAK_CASES=<count>] [BANDSOLVE_SOAK_SECONDS=<limit>]
// The seed of every run is printed; a failing case prints its replay line.
#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <sstream>

#include "reliability/reliability_support.h"
#include "solver/block_tree/block_tree.h"
#include "solver/block_tree/tuning.h"
#include "support/test_support.h"
#include "threads/team_size.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using testing::BandSystem;
using testing::Entry;
using testing::Outcome;

struct SoakTotals {
    long cases = 0;
    long solves = 0;   // entry calls
    long planted = 0;  // cases with a failing pivot
    long by_type[4] = {};
    long by_entry[3] = {};
};

/// One case, fully determined by the run's seed and the case's index.
struct Case {
    std::uint64_t seed = 0;
    std::uint64_t index = 0;
    int type = 0;  // 0 s, 1 d, 2 c, 3 z
    Entry entry = Entry::block_tree;
    int n = 0, hb = 0, nrhs = 0, team = 0, slab_rows = 0;
    bool fail = false;

    std::string replay() const {
        std::ostringstream s;
        s << "replay: BANDSOLVE_SOAK_SEED=" << seed << " BANDSOLVE_SOAK_CASE=" << index
          << " BANDSOLVE_SOAK_CASES=1";
        return s.str();
    }
};

std::uint64_t mix(std::uint64_t x) {  // splitmix64's finaliser
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

Case draw_case(std::uint64_t seed, std::uint64_t index, std::mt19937_64& gen) {
    Case c;
    c.seed = seed;
    c.index = index;
    c.type = std::uniform_int_distribution<int>(0, 3)(gen);
    c.entry = testing::ALL_ENTRIES[std::uniform_int_distribution<int>(0, 2)(gen)];
    // Orders spread evenly over their logarithm, 1 to 4000.
    c.n = static_cast<int>(
        std::exp(std::uniform_real_distribution<double>(0, std::log(4000.0))(gen)));
    c.hb = std::uniform_int_distribution<int>(0, 40)(gen);
    c.nrhs = std::uniform_int_distribution<int>(0, 4)(gen);
    c.team = std::uniform_int_distribution<int>(2, 8)(gen);
    c.slab_rows = std::uniform_int_distribution<int>(0, 3)(gen) == 0
                      ? 0
                      : std::uniform_int_distribution<int>(1, 3 * c.hb + 8)(gen);
    c.fail = std::uniform_int_distribution<int>(0, 3)(gen) == 0;
    return c;
}

template <typename T>
Outcome<T> run_with_team(int team, Entry e, const BandSystem<T>& s, int slab_rows,
                         std::uint64_t fill_seed) {
    detail::force_team_size(team);
    Outcome<T> o = testing::run_entry(e, s, slab_rows, fill_seed);
    reset_team_size();
    return o;
}

template <typename T>
void soak_case(const Case& c, std::mt19937_64& gen, SoakTotals& totals) {
    BandSystem<T> s = testing::random_system<T>(c.n, c.hb, c.nrhs, gen());
    int row = 0, level = 0;
    if (c.fail) {
        if (c.entry == Entry::block_tree) {
            const Index bs = block_size_for(tuning_parameters().p1, c.hb);
            row = testing::pick_row_by_level(c.n, bs, gen, level);
        } else {
            row = std::uniform_int_distribution<int>(1, c.n)(gen);
        }
        testing::plant_failing_pivot(s, row);
    }
    std::ostringstream what;
    what << testing::type_name<T>() << " " << testing::entry_name(c.entry) << " n=" << c.n
         << " hb=" << c.hb << " nrhs=" << c.nrhs << " team=" << c.team
         << " slab_rows=" << c.slab_rows;
    if (c.fail) what << " failing pivot at row " << row << " (block-tree level " << level << ")";
    what << "; " << c.replay();
    SCOPED_TRACE(what.str());
    testing::Watchdog dog(120s, "soak case " + what.str());

    const std::uint64_t fill_seed = gen();
    const Outcome<T> one = run_with_team(1, c.entry, s, c.slab_rows, fill_seed);
    const Outcome<T> many = run_with_team(c.team, c.entry, s, c.slab_rows, fill_seed);
    const int calls = c.entry == Entry::slab_split ? 2 : 1;
    totals.solves += (one.info == 0 ? calls : 1) + (many.info == 0 ? calls : 1);

    const int expected = c.fail ? 1 : 0;
    EXPECT_EQ(one.info, expected);
    EXPECT_EQ(many.info, expected);
    if (expected != 0) return;  // the arrays are not defined after a failed pivot
    EXPECT_TRUE(testing::same_bytes(one.a, many.a)) << "band array differs from team of 1";
    EXPECT_TRUE(testing::same_bytes(one.b, many.b)) << "solution differs from team of 1";
    EXPECT_TRUE(testing::same_bytes(one.work, many.work)) << "work area differs from team of 1";
    EXPECT_LT(testing::scaled_residual(s.a, s.n, s.hb, many.b, s.b, s.nrhs), 30.0);
}

TEST(Soak, RandomSolvesAgreeWithTeamOfOneAndLeaveNothingBehind) {
    const std::uint64_t seed = testing::env_or(
        "BANDSOLVE_SOAK_SEED",
        static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
    const auto seconds = std::chrono::seconds(testing::env_or("BANDSOLVE_SOAK_SECONDS", 90));
    const std::uint64_t first = testing::env_or("BANDSOLVE_SOAK_CASE", 0);
    const std::uint64_t limit =
        testing::env_or("BANDSOLVE_SOAK_CASES", std::numeric_limits<std::uint64_t>::max());
    std::printf("soak: seed %" PRIu64 ", %lld s, from case %" PRIu64 "\n", seed,
                static_cast<long long>(seconds.count()), first);
    std::fflush(stdout);
    RecordProperty("seed", std::to_string(seed));

    const int threads_before = testing::baseline_thread_count();
    ASSERT_GT(threads_before, 0);

    // The first solve of the process fixes the block size of every family;
    // a real one first, so that it is known before any failing row is chosen.
    {
        auto warm = testing::random_system<float>(10, 1, 1, 1);
        auto w = warm.zero_work();
        ASSERT_EQ(band_solve(warm.a.data(), warm.n, warm.hb, warm.b.data(), 1, w.data()), 0);
    }

    SoakTotals totals;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = first; i - first < limit; ++i) {
        if (std::chrono::steady_clock::now() - start >= seconds) break;
        std::mt19937_64 gen(mix(seed ^ mix(i)));
        const Case c = draw_case(seed, i, gen);
        switch (c.type) {
            case 0:
                soak_case<float>(c, gen, totals);
                break;
            case 1:
                soak_case<double>(c, gen, totals);
                break;
            case 2:
                soak_case<std::complex<float>>(c, gen, totals);
                break;
            default:
                soak_case<std::complex<double>>(c, gen, totals);
                break;
        }
        ++totals.cases;
        totals.planted += c.fail;
        ++totals.by_type[c.type];
        ++totals.by_entry[static_cast<int>(c.entry)];
        if (HasFailure()) break;
    }

    std::printf(
        "soak: %ld cases, %ld solves, %ld with a failing pivot; by type s/d/c/z %ld/%ld/%ld/%ld; "
        "by entry block-tree/slab fused/slab split %ld/%ld/%ld\n",
        totals.cases, totals.solves, totals.planted, totals.by_type[0], totals.by_type[1],
        totals.by_type[2], totals.by_type[3], totals.by_entry[0], totals.by_entry[1],
        totals.by_entry[2]);
    RecordProperty("solves", std::to_string(totals.solves));
    if (HasFailure()) std::printf("soak: failed with seed %" PRIu64 "\n", seed);

    EXPECT_EQ(testing::settled_thread_count(threads_before), threads_before)
        << "threads left behind";
    testing::expect_tables_free();
}

}  // namespace
}  // namespace bandsolve
