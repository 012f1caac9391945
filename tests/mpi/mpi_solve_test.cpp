// The MPI entries under mpiexec, with whatever number of ranks it starts:
// every rank's rows of the band array, the solutions and the work area
// equal the shared-memory solve's, byte for byte, for every element type and
// team size; a failing pivot or an illegal argument on any one rank gives
// every rank the same INFO, and nothing waits for ever.
#include <gtest/gtest.h>
#include <mpi.h>

#include <complex>
#include <vector>

#include "bandsolve_mpi.h"
#include "support/distributed_testing.h"
#include "support/test_support.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using testing::Arrays;
using testing::BandSystem;
using testing::IsComplex;
using testing::random_system;
using testing::RowRun;
using testing::rows_of;
using testing::same_bytes;
using testing::TeamOf;
using testing::use_block_parameter;
using testing::Watchdog;

template <typename T>
struct Entries;
template <>
struct Entries<float> {
    static constexpr auto rows = band_solve_mpi_rows_s;
    static constexpr auto solve = band_solve_mpi_s;
};
template <>
struct Entries<double> {
    static constexpr auto rows = band_solve_mpi_rows_d;
    static constexpr auto solve = band_solve_mpi_d;
};
template <>
struct Entries<std::complex<float>> {
    static constexpr auto rows = band_solve_mpi_rows_c;
    static constexpr auto solve = band_solve_mpi_c;
};
template <>
struct Entries<std::complex<double>> {
    static constexpr auto rows = band_solve_mpi_rows_z;
    static constexpr auto solve = band_solve_mpi_z;
};

int world_rank() {
    int r = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &r);
    return r;
}
int world_size() {
    int p = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &p);
    return p;
}

/// This rank's rows of s and the rows of `whole` they correspond to.
template <typename T>
RowRun my_rows(const BandSystem<T>& s) {
    int first = 0, rows = 0, info = 0;
    Entries<T>::rows(MPI_COMM_WORLD, &s.n, &s.hb, &first, &rows, &info);
    EXPECT_EQ(info, 0);
    return RowRun{first, first + rows - 1};
}

/// This rank's rows of s solved over MPI_COMM_WORLD; `tweak` may change the
/// rank's arguments first.
template <typename T, typename Tweak>
Arrays<T> solve_here(const BandSystem<T>& s, RowRun run, Tweak tweak) {
    Arrays<T> mine = rows_of(testing::initial(s), s.n, s.hb, s.nrhs, run);
    int n = s.n, hb = s.hb, nrhs = s.nrhs;
    T* a = mine.a.empty() ? nullptr : mine.a.data();
    T* b = mine.b.empty() ? nullptr : mine.b.data();
    T* work = mine.work.empty() ? nullptr : mine.work.data();
    tweak(a, n, hb, b, nrhs, work);
    Entries<T>::solve(MPI_COMM_WORLD, a, &n, &hb, b, &nrhs, work, &mine.info);
    return mine;
}
template <typename T>
Arrays<T> solve_here(const BandSystem<T>& s, RowRun run) {
    return solve_here(s, run, [](T*&, int&, int&, T*&, int&, T*&) {});
}

template <typename T>
class MpiSolve : public testing::FreshTuning {};
using testing::ElementTypes;
TYPED_TEST_SUITE(MpiSolve, ElementTypes);

TYPED_TEST(MpiSolve, EveryRankHoldsTheSharedMemoryBytes) {
    using T = TypeParam;
    Watchdog dog(240s, "MPI solves");
    std::uint64_t seed = 101;
    for (const testing::Shape& sh : testing::shapes()) {
        use_block_parameter(sh.p1);
        const auto s = random_system<T>(sh.n, sh.hb, sh.nrhs, seed++);
        const Arrays<T> whole = testing::shared_memory_solve(s);
        ASSERT_EQ(whole.info, 0);
        const RowRun run = my_rows(s);
        const auto want = rows_of(whole, s.n, s.hb, s.nrhs, run);
        for (int team : {1, 2}) {
            SCOPED_TRACE(::testing::Message()
                         << "p1=" << sh.p1 << " n=" << sh.n << " hb=" << sh.hb
                         << " nrhs=" << sh.nrhs << " team=" << team << " rank=" << world_rank());
            TeamOf threads(team);
            const auto mine = solve_here(s, run);
            EXPECT_EQ(mine.info, 0);
            EXPECT_TRUE(same_bytes(mine.a, want.a)) << "band rows";
            EXPECT_TRUE(same_bytes(mine.b, want.b)) << "solution";
            EXPECT_TRUE(same_bytes(mine.work, want.work)) << "work area";
        }
    }
}

TYPED_TEST(MpiSolve, FailingPivotOnAnyRankGivesOneOnEvery) {
    using T = TypeParam;
    Watchdog dog(120s, "failing pivots");
    use_block_parameter(8);
    const int n = 300, hb = 8;  // blocks of 9 rows, spread over every rank
    for (int row : {1, 9 * 14 + 4, 9 * 23 + 2, n}) {
        auto s = random_system<T>(n, hb, 1, 5);
        for (int q = std::max(1, row - hb); q <= std::min(n, row + hb); ++q)
            (q < row ? s.at(q, row) : s.at(row, q)) = T(0);
        s.at(row, row) = IsComplex<T>::value ? T(0) : T(-1);
        TeamOf threads(2);
        EXPECT_EQ(solve_here(s, my_rows(s)).info, 1) << "row " << row;
    }
}

TYPED_TEST(MpiSolve, IllegalArgumentOnTheLastRankGivesItsInfoOnEvery) {
    using T = TypeParam;
    Watchdog dog(120s, "illegal arguments");
    use_block_parameter(8);
    const auto s = random_system<T>(400, 4, 1, 9);
    const RowRun run = my_rows(s);
    const bool last = world_rank() == world_size() - 1;
    using Tweak = void (*)(T*&, int&, int&, T*&, int&, T*&);
    const std::pair<int, Tweak> cases[] = {
        {-2, [](T*& a, int&, int&, T*&, int&, T*&) { a = nullptr; }},
        {-3, [](T*&, int& n, int&, T*&, int&, T*&) { n = 399; }},
        {-4, [](T*&, int&, int& hb, T*&, int&, T*&) { hb = -1; }},
        {-6, [](T*&, int&, int&, T*&, int& nrhs, T*&) { nrhs = 3; }},
        {-7, [](T*&, int&, int&, T*&, int&, T*& work) { work = nullptr; }},
    };
    const auto untouched = rows_of(testing::initial(s), s.n, s.hb, s.nrhs, run);
    for (const auto& [expected, tweak] : cases) {
        // n and nrhs of the last rank alone disagree with nobody's: with one
        // rank they would be a legal call on arrays too short.
        if ((expected == -3 || expected == -6) && world_size() == 1) continue;
        const auto mine =
            solve_here(s, run, [&](T*& a, int& n, int& hb, T*& b, int& nrhs, T*& work) {
                if (last) tweak(a, n, hb, b, nrhs, work);
            });
        EXPECT_EQ(mine.info, expected);
        EXPECT_TRUE(same_bytes(mine.b, untouched.b));
    }
}

TEST(MpiEntries, RefuseAnUnusableCommunicatorAtOnce) {
    int n = 10, hb = 1, nrhs = 1, info = 0, first = 0, rows = 0;
    std::vector<double> a(20), b(10), work(20);
    band_solve_mpi_d(MPI_COMM_NULL, a.data(), &n, &hb, b.data(), &nrhs, work.data(), &info);
    EXPECT_EQ(info, -1);
    info = 0;
    band_solve_mpi_rows_d(MPI_COMM_NULL, &n, &hb, &first, &rows, &info);
    EXPECT_EQ(info, -1);
}

}  // namespace
}  // namespace bandsolve

int main(int argc, char** argv) {
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
    ::testing::InitGoogleTest(&argc, argv);
    const int failed = RUN_ALL_TESTS();
    MPI_Finalize();
    return failed;
}
