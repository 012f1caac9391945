// The block-tree solve spread over ranks, played by threads of this process:
// every rank count and team size leaves each rank's rows of the band array,
// the right-hand sides and the work area exactly as the shared-memory solve
// leaves them; a failing pivot or an illegal argument on any one rank gives
// every rank the same INFO.
#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstring>
#include <vector>

#include "bandsolve.hpp"
#include "solver/block_tree/block_tree.h"
#include "solver/block_tree/tuning.h"
#include "solver/distributed/distributed_entries.h"
#include "solver/distributed/pieces.h"
#include "support/distributed_testing.h"
#include "support/test_support.h"
#include "support/thread_ranks.h"
#include "threads/team_size.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using distributed::RowRun;
using distributed::Transport;
using testing::Arrays;
using testing::BandSystem;
using testing::initial;
using testing::random_system;
using testing::rows_of;
using testing::same_bytes;
using testing::Shape;
using testing::shapes;
using testing::shared_memory_solve;
using testing::TeamOf;
using testing::ThreadRanks;
using testing::use_block_parameter;
using testing::Watchdog;

int solve_rank(Transport& t, float* a, int n, int hb, float* b, int nrhs, float* work) {
    return distributed::solve_s(t, a, &n, &hb, b, &nrhs, work, 64);
}
int solve_rank(Transport& t, double* a, int n, int hb, double* b, int nrhs, double* work) {
    return distributed::solve_d(t, a, &n, &hb, b, &nrhs, work, 64);
}
int solve_rank(Transport& t, std::complex<float>* a, int n, int hb, std::complex<float>* b,
               int nrhs, std::complex<float>* work) {
    return distributed::solve_c(t, a, &n, &hb, b, &nrhs, work, 64);
}
int solve_rank(Transport& t, std::complex<double>* a, int n, int hb, std::complex<double>* b,
               int nrhs, std::complex<double>* work) {
    return distributed::solve_z(t, a, &n, &hb, b, &nrhs, work, 64);
}

/// The system solved over `ranks` ranks with teams of `team` threads: each
/// rank's arrays.  `tweak` may change a rank's arguments before its call.
template <typename T, typename Tweak>
std::vector<Arrays<T>> distributed_solve(const BandSystem<T>& s, int ranks, int team, Tweak tweak) {
    const Arrays<T> whole = initial(s);
    const Index bs = block_size_for(tuning_parameters().p1, s.hb);
    std::vector<Arrays<T>> parts(ranks);
    for (int r = 0; r < ranks; ++r)
        parts[r] = rows_of(whole, s.n, s.hb, s.nrhs, distributed::rows_of_rank(s.n, bs, r, ranks));
    TeamOf threads(team);
    ThreadRanks(ranks).run([&](Transport& t) {
        Arrays<T>& p = parts[t.rank()];
        int n = s.n, hb = s.hb, nrhs = s.nrhs;
        T* a = p.a.empty() ? nullptr : p.a.data();
        T* b = p.b.empty() ? nullptr : p.b.data();
        T* work = p.work.empty() ? nullptr : p.work.data();
        tweak(t.rank(), a, n, hb, b, nrhs, work);
        p.info = solve_rank(t, a, n, hb, b, nrhs, work);
    });
    return parts;
}
template <typename T>
std::vector<Arrays<T>> distributed_solve(const BandSystem<T>& s, int ranks, int team) {
    return distributed_solve(s, ranks, team, [](int, T*&, int&, int&, T*&, int&, T*&) {});
}

template <typename T>
class DistributedSolve : public testing::FreshTuning {};
using testing::ElementTypes;
TYPED_TEST_SUITE(DistributedSolve, ElementTypes);

TYPED_TEST(DistributedSolve, EveryRankCountAndTeamGivesTheSharedMemoryBytes) {
    using T = TypeParam;
    Watchdog dog(600s, "distributed solves");
    std::uint64_t seed = 11;
    for (const Shape& sh : shapes()) {
        use_block_parameter(sh.p1);
        const auto s = random_system<T>(sh.n, sh.hb, sh.nrhs, seed++);
        const Arrays<T> whole = shared_memory_solve(s);
        ASSERT_EQ(whole.info, 0);
        const Index bs = block_size_for(sh.p1, sh.hb);
        for (int ranks = 1; ranks <= 4; ++ranks)
            for (int team : {1, 3}) {
                SCOPED_TRACE(::testing::Message()
                             << "p1=" << sh.p1 << " n=" << sh.n << " hb=" << sh.hb
                             << " nrhs=" << sh.nrhs << " ranks=" << ranks << " team=" << team);
                const auto parts = distributed_solve(s, ranks, team);
                for (int r = 0; r < ranks; ++r) {
                    const auto want = rows_of(whole, s.n, s.hb, s.nrhs,
                                              distributed::rows_of_rank(s.n, bs, r, ranks));
                    EXPECT_EQ(parts[r].info, 0) << "rank " << r;
                    EXPECT_TRUE(same_bytes(parts[r].a, want.a)) << "band rows of rank " << r;
                    EXPECT_TRUE(same_bytes(parts[r].b, want.b)) << "solution of rank " << r;
                    EXPECT_TRUE(same_bytes(parts[r].work, want.work)) << "work of rank " << r;
                }
            }
    }
}

TYPED_TEST(DistributedSolve, FailingPivotOnOneRankGivesOneOnEvery) {
    using T = TypeParam;
    using testing::IsComplex;
    Watchdog dog(120s, "failing pivots");
    use_block_parameter(8);
    const int n = 300, hb = 8;  // blocks of 9 rows
    // The first row, a level-1 block in the middle, a separator, the last row.
    for (int row : {1, 9 * 14 + 4, 9 * 23 + 2, n}) {
        auto s = random_system<T>(n, hb, 1, 5);
        for (int q = std::max(1, row - hb); q <= std::min(n, row + hb); ++q)
            (q < row ? s.at(q, row) : s.at(row, q)) = T(0);
        s.at(row, row) = IsComplex<T>::value ? T(0) : T(-1);
        for (int ranks : {2, 3})
            for (const auto& part : distributed_solve(s, ranks, 2))
                EXPECT_EQ(part.info, 1) << "row " << row << ", " << ranks << " ranks";
    }
}

TYPED_TEST(DistributedSolve, IllegalArgumentOnOneRankGivesItsInfoOnEvery) {
    using T = TypeParam;
    Watchdog dog(120s, "illegal arguments");
    use_block_parameter(8);
    const auto s = random_system<T>(200, 4, 1, 9);
    struct Case {
        int rank, expected;
        void (*tweak)(T*&, int&, int&, T*&, int&, T*&);
    };
    const Case cases[] = {
        {1, -2, [](T*& a, int&, int&, T*&, int&, T*&) { a = nullptr; }},
        {0, -3, [](T*&, int& n, int&, T*&, int&, T*&) { n = 199; }},
        {2, -4, [](T*&, int&, int& hb, T*&, int&, T*&) { hb = -1; }},
        {2, -4, [](T*&, int&, int& hb, T*&, int&, T*&) { hb = 3; }},
        {1, -5, [](T*&, int&, int&, T*& b, int&, T*&) { b = nullptr; }},
        {0, -6, [](T*&, int&, int&, T*&, int& nrhs, T*&) { nrhs = 2; }},
        {2, -7, [](T*&, int&, int&, T*&, int&, T*& work) { work = nullptr; }},
    };
    for (const Case& c : cases) {
        const auto parts = distributed_solve(
            s, 3, 2, [&](int rank, T*& a, int& n, int& hb, T*& b, int& nrhs, T*& work) {
                if (rank == c.rank) c.tweak(a, n, hb, b, nrhs, work);
            });
        for (int r = 0; r < 3; ++r) {
            EXPECT_EQ(parts[r].info, c.expected) << "rank " << r;
            // Nothing was touched.
            const auto want = rows_of(
                initial(s), s.n, s.hb, s.nrhs,
                distributed::rows_of_rank(s.n, block_size_for(tuning_parameters().p1, s.hb), r, 3));
            EXPECT_TRUE(same_bytes(parts[r].b, want.b)) << "rank " << r;
        }
    }
}

TEST(DistributedRows, RanksHoldConsecutiveRunsOfWholeBlocks) {
    for (int ranks = 1; ranks <= 5; ++ranks)
        for (Index n : {1, 8, 9, 10, 100, 1001})
            for (Index bs : {1, 9, 72}) {
                Index next = 1;
                for (int r = 0; r < ranks; ++r) {
                    const RowRun run = distributed::rows_of_rank(n, bs, r, ranks);
                    ASSERT_EQ(run.first, next);
                    if (run.rows() > 0) {
                        EXPECT_EQ((run.first - 1) % bs, 0);
                        EXPECT_TRUE(run.last == n || run.last % bs == 0);
                        for (Index row : {run.first, run.last})
                            EXPECT_EQ(distributed::rank_of_block((row - 1) / bs, block_count(n, bs),
                                                                 ranks),
                                      r);
                    }
                    next = run.last + 1;
                }
                EXPECT_EQ(next, n + 1);
            }
}

}  // namespace
}  // namespace bandsolve
