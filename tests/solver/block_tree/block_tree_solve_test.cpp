// The block-tree solver entries of the four families: agreement with the
// known solution and with reference LAPACK, bit-identical results for every
// team size, failing pivots, argument checks and the fingerprints of the
// benchmark's test system.
#include <gtest/gtest.h>

#include <atomic>
#include <complex>
#include <cstring>
#include <thread>
#include <vector>

#include "bandsolve.hpp"
#include "solver/block_tree/block_tree.h"
#include "solver/block_tree/tuning.h"
#include "support/band_systems.h"
#include "support/lapack.h"
#include "support/solve_testing.h"
#include "support/test_support.h"
#include "threads/team_size.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using testing::BandSystem;
using testing::benchmark_system;
using testing::fnv1a64;
using testing::hex64;
using testing::IsComplex;
using testing::random_system;
using testing::same_bytes;
using testing::Watchdog;

/// Runs one block-tree solve with a team of `team` threads (beyond the
/// processor count if asked) and restores the default team afterwards.
template <typename T>
int solve_with_team(int team, std::vector<T>& a, int n, int hb, std::vector<T>& b, int nrhs,
                    std::vector<T>& work) {
    detail::force_team_size(team);
    const int info = band_solve(a.data(), n, hb, b.data(), nrhs, work.data());
    reset_team_size();
    return info;
}

/// The arrays a solve leaves.
template <typename T>
struct Outcome {
    int info = 0;
    std::vector<T> a, b, work;
    bool operator==(const Outcome&) const = default;
};

template <typename T>
Outcome<T> run(const BandSystem<T>& s, int team) {
    Outcome<T> o{0, s.a, s.b, s.zero_work()};
    // A fixed pattern in the work area: its contents on entry must not
    // matter, and every run starts from the same bytes.
    std::memset(static_cast<void*>(o.work.data()), 0x5a, o.work.size() * sizeof(T));
    o.info = solve_with_team(team, o.a, s.n, s.hb, o.b, s.nrhs, o.work);
    return o;
}

template <typename T>
class BlockTreeSolve : public ::testing::Test {
  protected:
    void SetUp() override { detail::reset_tuning_parameters(); }
    void TearDown() override { reset_team_size(); }
};
using testing::ElementTypes;
TYPED_TEST_SUITE(BlockTreeSolve, ElementTypes);

struct Shape {
    int n, hb, nrhs;
};

/// Shapes around the block size (72 for hb = 8, 576 for hb <= 1, hb + 1 for
/// hb >= 24 with the real tuning; 32 or 9 for hb = 8 with the complex one):
/// a single block, n = 2 bs + 1, n = 4 bs, a last block shorter than hb.
std::vector<Shape> sweep_shapes() {
    return {{1, 0, 1},    {5, 0, 2},    {600, 0, 1},  {1, 1, 1},    {2, 1, 3},
            {577, 1, 1},  {1153, 1, 2}, {7, 2, 1},    {300, 2, 2},  {1000, 3, 1},
            {72, 8, 1},   {73, 8, 2},   {145, 8, 1},  {288, 8, 3},  {291, 8, 1},
            {65, 8, 1},   {129, 8, 2},  {2000, 8, 1}, {62, 30, 1},  {63, 30, 2},
            {100, 30, 1}, {500, 30, 1}, {131, 45, 2}, {3000, 5, 1}, {250, 8, 0}};
}

TYPED_TEST(BlockTreeSolve, SolvesRandomSystemsAccurately) {
    using T = TypeParam;
    Watchdog dog(300s, "random systems");
    std::uint64_t seed = 1;
    for (const Shape& sh : sweep_shapes()) {
        SCOPED_TRACE(::testing::Message()
                     << "n=" << sh.n << " hb=" << sh.hb << " nrhs=" << sh.nrhs);
        const auto s = random_system<T>(sh.n, sh.hb, sh.nrhs, seed++);
        auto o = run(s, 2);
        ASSERT_EQ(o.info, 0);
        if (sh.nrhs == 0) {
            EXPECT_TRUE(o.b.empty());
            continue;
        }
        EXPECT_LT(testing::scaled_residual(s.a, s.n, s.hb, o.b, s.b, s.nrhs), 30.0);
        // The matrices are diagonally dominant, hence well conditioned.
        const double eps = std::numeric_limits<testing::Component<T>>::epsilon();
        EXPECT_LT(testing::max_abs_error(o.b, s.x), 100 * eps);
#ifdef BANDSOLVE_HAVE_LAPACK
        if constexpr (!IsComplex<T>::value) {
            auto a = s.a;
            auto b = s.b;
            ASSERT_EQ(testing::lapack_pbsv(a.data(), s.n, s.hb, b.data(), s.nrhs), 0);
            EXPECT_LT(testing::max_abs_error(o.b, b), 100 * eps);
        }
#endif
    }
}

TYPED_TEST(BlockTreeSolve, ResultIsBitIdenticalForEveryTeamSize) {
    using T = TypeParam;
    Watchdog dog(300s, "team sizes");
    for (const Shape& sh : {Shape{1000, 8, 2}, Shape{4 * 72 + 5, 8, 1}, Shape{700, 3, 1},
                            Shape{130, 30, 2}, Shape{50, 0, 1}}) {
        SCOPED_TRACE(::testing::Message() << "n=" << sh.n << " hb=" << sh.hb);
        const auto s = random_system<T>(sh.n, sh.hb, sh.nrhs, 42);
        const auto first = run(s, 1);
        ASSERT_EQ(first.info, 0);
        for (int team = 2; team <= 8; ++team) {
            const auto o = run(s, team);
            EXPECT_EQ(o.info, 0);
            EXPECT_TRUE(same_bytes(o.a, first.a)) << "band array, team " << team;
            EXPECT_TRUE(same_bytes(o.b, first.b)) << "solution, team " << team;
            EXPECT_TRUE(same_bytes(o.work, first.work)) << "work area, team " << team;
        }
    }
}

TYPED_TEST(BlockTreeSolve, FailingPivotReportsOneAndEndsEveryThread) {
    using T = TypeParam;
    Watchdog dog(120s, "failing pivots");
    const int n = 1000, hb = 8;
    // Rows in block 1, block 3 (level 1), block 2 (a separator, fails at
    // level 2), and the last block.
    for (int row : {1, 2 * 72 + 10, 72 + 70, n}) {
        auto s = random_system<T>(n, hb, 1, 5);
        // Row and column `row` cleared, so no update reaches the pivot: it
        // stays -1 (real) or 0 + 0i (complex, where only zero fails).
        for (int q = std::max(1, row - hb); q <= std::min(n, row + hb); ++q)
            (q < row ? s.at(q, row) : s.at(row, q)) = T(0);
        s.at(row, row) = IsComplex<T>::value ? T(0) : T(-1);
        for (int team : {1, 2, 5, 8}) {
            const auto o = run(s, team);
            EXPECT_EQ(o.info, 1) << "row " << row << ", team " << team;
        }
    }
}

TYPED_TEST(BlockTreeSolve, NrhsZeroFactorisesAndLeavesBAlone) {
    using T = TypeParam;
    auto s = random_system<T>(300, 8, 1, 3);
    const auto with_b = run(s, 2);
    auto a = s.a;
    std::vector<T> b = s.b, work = s.zero_work();
    ASSERT_EQ(solve_with_team(2, a, s.n, s.hb, b, 0, work), 0);
    EXPECT_TRUE(same_bytes(a, with_b.a));
    EXPECT_TRUE(same_bytes(b, s.b));
}

TYPED_TEST(BlockTreeSolve, RejectsArgumentsThatWouldAddressOutsideTheArrays) {
    using T = TypeParam;
    auto s = random_system<T>(20, 2, 1, 4);
    auto a = s.a;
    auto b = s.b;
    auto work = s.zero_work();
    EXPECT_EQ(band_solve<T>(a.data(), 20, -1, b.data(), 1, work.data()), -3);
    EXPECT_EQ(band_solve<T>(nullptr, 20, 2, b.data(), 1, work.data()), -1);
    EXPECT_EQ(band_solve<T>(a.data(), 20, 2, nullptr, 1, work.data()), -4);
    EXPECT_EQ(band_solve<T>(a.data(), 20, 2, b.data(), 1, nullptr), -6);
    // A null scalar is reported by its position; without INFO nothing is done.
    const auto entry = detail::CEntries<T>::solve;
    int n = 20, hb = 2, nrhs = 1, info = 0;
    entry(a.data(), nullptr, &hb, b.data(), &nrhs, work.data(), &info);
    EXPECT_EQ(info, -2);
    entry(a.data(), &n, nullptr, b.data(), &nrhs, work.data(), &info);
    EXPECT_EQ(info, -3);
    entry(a.data(), &n, &hb, b.data(), nullptr, work.data(), &info);
    EXPECT_EQ(info, -5);
    entry(a.data(), &n, &hb, b.data(), &nrhs, work.data(), nullptr);
    EXPECT_TRUE(same_bytes(a, s.a));
    EXPECT_TRUE(same_bytes(b, s.b));
    // Empty problems are harmless and need no arrays.
    EXPECT_EQ(band_solve<T>(nullptr, 0, 2, nullptr, 1, nullptr), 0);
    EXPECT_EQ(band_solve<T>(nullptr, -5, 2, nullptr, 1, nullptr), 0);
    // The span form refuses arrays too short for the sizes given.
    EXPECT_EQ(
        solve(std::span<T>(a).first(a.size() - 1), 20, 2, std::span<T>(b), 1, std::span<T>(work)),
        -1);
    EXPECT_EQ(solve(std::span<T>(a), 20, 2, std::span<T>(b), 2, std::span<T>(work)), -4);
    EXPECT_EQ(solve(std::span<T>(a), 20, 2, std::span<T>(b), 1, std::span<T>(work).first(79)), -6);
    EXPECT_EQ(solve(std::span<T>(a), 20, 2, std::span<T>(b), 1, std::span<T>(work)), 0);
    EXPECT_LT(testing::max_abs_error(b, s.x), 1e-4);
}

// Fingerprints of an independent implementation on the benchmark's test
// system, n = 1000, hb = 8, two right-hand sides, zero work area: they pin
// the order and rounding of every operation.
template <typename T>
std::string fingerprint(int p1_first_solve_team) {
    detail::reset_tuning_parameters();
    auto s = benchmark_system<T>(1000, 8, 2);
    auto work = s.zero_work();
    detail::force_team_size(p1_first_solve_team);
    const int info = band_solve(s.a.data(), s.n, s.hb, s.b.data(), s.nrhs, work.data());
    reset_team_size();
    EXPECT_EQ(info, 0);
    return hex64(fnv1a64(s.b));
}

TEST(Fingerprints, BenchmarkSystemOfOrder1000) {
    EXPECT_EQ(fingerprint<float>(2), "51c001f653da796d");
    EXPECT_EQ(fingerprint<float>(7), "51c001f653da796d");
    EXPECT_EQ(fingerprint<double>(2), "44afc1fa758934e0");
    // Complex: A + iA/8 and b + 0i, first solve of the process with a team
    // of 2 or fewer, hence P1 = 16 and blocks of 32 rows.
    EXPECT_EQ(fingerprint<std::complex<float>>(2), "f41947a4d1aca44e");
    EXPECT_EQ(fingerprint<std::complex<double>>(1), "cc098b836a53177c");
}

TEST(TuningParameters, FirstSolveOfTheProcessFixesThem) {
    detail::reset_tuning_parameters();
    auto s = random_system<std::complex<double>>(100, 8, 1, 8);
    auto w = s.zero_work();
    detail::force_team_size(4);
    ASSERT_EQ(band_solve(s.a.data(), s.n, s.hb, s.b.data(), 1, w.data()), 0);
    EXPECT_EQ(tuning_parameters().p1, 8);  // complex first, team of 4
    auto r = random_system<float>(100, 8, 1, 9);
    auto wr = r.zero_work();
    ASSERT_EQ(band_solve(r.a.data(), r.n, r.hb, r.b.data(), 1, wr.data()), 0);
    EXPECT_EQ(tuning_parameters().p1, 8);  // the real solve keeps them
    EXPECT_EQ(block_size_for(tuning_parameters().p1, 8), 9);
    reset_team_size();

    // Calls that solve nothing leave the choice to the first one that does.
    detail::reset_tuning_parameters();
    std::vector<std::complex<double>> none;
    EXPECT_EQ(band_solve(none.data(), 0, 8, none.data(), 1, none.data()), 0);
    EXPECT_EQ(band_solve(s.a.data(), s.n, -1, s.b.data(), 1, w.data()), -3);
    EXPECT_EQ(tuning_parameters().p1, 0);
    ASSERT_EQ(band_solve(r.a.data(), r.n, r.hb, r.b.data(), 1, wr.data()), 0);
    EXPECT_EQ(tuning_parameters().p1, 24);
    EXPECT_EQ(tuning_parameters().p2, 12);
    EXPECT_EQ(tuning_parameters().p3, 8);
}

TEST(TuningParameters, SetBeforeTheFirstSolveTheyHoldForEveryFamilyAndTeam) {
    detail::reset_tuning_parameters();
    int p1 = 16, status = 7, bad = 0, got = -1;
    set_block_parameter(&bad, &status);
    EXPECT_EQ(status, -1);
    set_block_parameter(nullptr, &status);
    EXPECT_EQ(status, -1);
    get_block_parameter(&got);
    EXPECT_EQ(got, 0);
    set_block_parameter(&p1, &status);
    EXPECT_EQ(status, 1);
    const int later = 24;
    set_block_parameter(&later, &status);
    EXPECT_EQ(status, 0);
    get_block_parameter(&got);
    EXPECT_EQ(got, 16);
    // A complex first solve with a team of 4 would have chosen 8.
    auto s = random_system<std::complex<double>>(100, 8, 1, 8);
    auto w = s.zero_work();
    ASSERT_EQ(solve_with_team(4, s.a, s.n, s.hb, s.b, 1, w), 0);
    EXPECT_EQ(tuning_parameters().p1, 16);

    // First solves of two families racing: one initialiser's values, whole.
    for (int round = 0; round < 20; ++round) {
        detail::reset_tuning_parameters();
        auto z = random_system<std::complex<double>>(64, 4, 1, round);
        auto d = random_system<double>(64, 4, 1, round);
        auto wz = z.zero_work();
        auto wd = d.zero_work();
        std::atomic<int> ready{0};
        auto start = [&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
        };
        std::thread tz([&] {
            start();
            band_solve(z.a.data(), z.n, z.hb, z.b.data(), 1, wz.data());
        });
        start();
        band_solve(d.a.data(), d.n, d.hb, d.b.data(), 1, wd.data());
        tz.join();
        const TuningParameters t = tuning_parameters();
        const bool real_first = t.p1 == 24 && t.p2 == 12 && t.p3 == 8;
        const bool complex_first =
            (t.p1 == 16 && t.p2 == 8 && t.p3 == 6) || (t.p1 == 8 && t.p2 == 6 && t.p3 == 4);
        EXPECT_TRUE(real_first || complex_first) << t.p1 << " " << t.p2 << " " << t.p3;
    }
}

TEST(ComplexSymmetric, NegativePivotFactorisesWhereTheRealSolverFails) {
    // A(1,1) = -4, other rows diagonally dominant.
    const int n = 40, hb = 2;
    auto z = random_system<std::complex<double>>(n, hb, 1, 21);
    auto d = random_system<double>(n, hb, 1, 21);
    z.at(1, 1) = -4.0;
    d.at(1, 1) = -4.0;
    // Keep the other two systems consistent with the changed matrix.
    auto zb = testing::band_multiply(z.a, n, hb, z.x, 1);
    for (int i = 0; i < n; ++i) z.b[i] = std::complex<double>(zb[i].real(), zb[i].imag());
    auto za = z.a;
    auto zw = z.zero_work();
    ASSERT_EQ(band_solve(za.data(), n, hb, z.b.data(), 1, zw.data()), 0);
    EXPECT_EQ(za[0], std::complex<double>(0, 2));
    EXPECT_LT(testing::max_abs_error(z.b, z.x), 1e-12);
    auto dw = d.zero_work();
    EXPECT_EQ(band_solve(d.a.data(), n, hb, d.b.data(), 1, dw.data()), 1);
}

TEST(ComplexSymmetric, NothingIsConjugated) {
    // b = A x with A(c, r) = A(r, c): the solution satisfies the plain
    // transpose, and the same check with the conjugate transpose fails.
    const int n = 300, hb = 5;
    auto s = random_system<std::complex<float>>(n, hb, 1, 31);
    auto a = s.a;
    auto b = s.b;
    auto work = s.zero_work();
    ASSERT_EQ(band_solve(a.data(), n, hb, b.data(), 1, work.data()), 0);
    EXPECT_LT(testing::scaled_residual(s.a, n, hb, b, s.b, 1), 30.0);
    // Hermitian reading of the same upper band: lower triangle conjugated.
    std::vector<std::complex<long double>> herm(n);
    for (int i = 1; i <= n; ++i) {
        std::complex<long double> acc = testing::widen(s.at(i, i)) * testing::widen(b[i - 1]);
        for (int q = std::max(1, i - hb); q < i; ++q)
            acc += std::conj(testing::widen(s.at(q, i))) * testing::widen(b[q - 1]);
        for (int q = i + 1; q <= std::min(n, i + hb); ++q)
            acc += testing::widen(s.at(i, q)) * testing::widen(b[q - 1]);
        herm[i - 1] = acc;
    }
    double worst = 0;
    for (int i = 0; i < n; ++i)
        worst = std::max(worst, static_cast<double>(std::abs(herm[i] - testing::widen(s.b[i]))));
    EXPECT_GT(worst, 0.1);
}

TEST(ComplexSymmetric, ZeroFirstPivotFails) {
    auto s = random_system<std::complex<float>>(50, 3, 1, 2);
    s.at(1, 1) = std::complex<float>(0.0f, -0.0f);
    auto w = s.zero_work();
    EXPECT_EQ(band_solve(s.a.data(), 50, 3, s.b.data(), 1, w.data()), 1);
}

TEST(SpecialValues, NanOnTheDiagonalIsNotAnError) {
    auto s = random_system<float>(200, 4, 1, 6);
    s.at(100, 100) = std::numeric_limits<float>::quiet_NaN();
    auto w = s.zero_work();
    EXPECT_EQ(band_solve(s.a.data(), 200, 4, s.b.data(), 1, w.data()), 0);
    bool any_nan = false;
    for (float v : s.b) any_nan = any_nan || std::isnan(v);
    EXPECT_TRUE(any_nan);
}

/// INFO 0 from the block-tree and the slab entries on s, and each solution
/// within `tolerance` eps of s.x, relative to s.x's largest element.
template <typename T>
void expect_both_entries_solve(const BandSystem<T>& s, double tolerance) {
    const long double eps = std::numeric_limits<testing::Component<T>>::epsilon();
    long double size = 0;
    for (const T& v : s.x) size = std::max(size, std::abs(testing::widen(v)));
    for (const bool slab : {false, true}) {
        auto a = s.a;
        auto b = s.b;
        auto work = s.zero_work();
        const int info = slab ? band_factor_solve(a.data(), s.n, s.hb, b.data(), s.nrhs)
                              : band_solve(a.data(), s.n, s.hb, b.data(), s.nrhs, work.data());
        EXPECT_EQ(info, 0) << (slab ? "slab" : "block tree");
        long double worst = 0;
        for (std::size_t i = 0; i < b.size(); ++i)
            worst = std::max(worst, std::abs(testing::widen(b[i]) - testing::widen(s.x[i])));
        EXPECT_LE(worst, tolerance * eps * size)
            << (slab ? "slab" : "block tree") << ": " << b[0] << " for " << s.x[0];
    }
}

/// The system of order 1: A = a, b = b and x = b/a rounded once.
template <typename T>
BandSystem<T> order_one(T a, T b) {
    BandSystem<T> s;
    s.n = 1;
    s.nrhs = 1;
    s.a = {a};
    s.b = {b};
    const auto x = testing::widen(b) / testing::widen(a);
    s.x = {T(static_cast<testing::Component<T>>(x.real()),
             static_cast<testing::Component<T>>(x.imag()))};
    return s;
}

// Complex pivots and solutions near the top of the range.  The square root
// of a pivot above half the largest value forms |x| + m above it, and the
// substitutions' numerators a + b*r overflow for large right-hand sides
// while the quotient is finite; complex double rescales them, complex
// single evaluates in double.  Both must solve, not return zeros.
TYPED_TEST(BlockTreeSolve, ComplexPivotsAndSolutionsNearTheTopOfTheRange) {
    using T = TypeParam;
    if constexpr (IsComplex<T>::value) {
        using C = testing::Component<T>;
        const C top = std::numeric_limits<C>::max();
        // A = b = 0.55 top: sqrt(A) overflowed, x was 0.
        expect_both_entries_solve(order_one(T(C(0.55) * top, 0), T(C(0.55) * top, 0)), 4);
        expect_both_entries_solve(order_one(T(C(0.5) * top, C(0.7) * top), T(top, 0)), 4);
        // A = (1 + 0.95i)^2: b/sqrt(A) overflowed in a + b*r.
        expect_both_entries_solve(order_one(T(C(0.0975), C(1.9)), T(C(0.7) * top, C(0.7) * top)),
                                  8);
        // Random systems scaled by a power of two until their largest
        // diagonal part is above top/2, with solutions of 1/8 and below.
        for (const Shape sh : {Shape{12, 3, 2}, Shape{300, 2, 1}}) {
            auto s = random_system<T>(sh.n, sh.hb, sh.nrhs, 41);
            C largest = 0;
            for (int i = 1; i <= s.n; ++i) largest = std::max(largest, s.at(i, i).real());
            const int shift = std::ilogb(top) - std::ilogb(largest);
            for (T& v : s.a) v = T(std::ldexp(v.real(), shift), std::ldexp(v.imag(), shift));
            for (T& v : s.x) v /= C(8);
            const auto b = testing::band_multiply(s.a, s.n, s.hb, s.x, s.nrhs);
            for (std::size_t i = 0; i < b.size(); ++i)
                s.b[i] = T(static_cast<C>(b[i].real()), static_cast<C>(b[i].imag()));
            SCOPED_TRACE(::testing::Message() << "n=" << sh.n << " hb=" << sh.hb);
            expect_both_entries_solve(s, 100);
        }
    }
}

TEST(SpecialValues, DiagonalSystemDividesTwiceByTheRoot) {
    std::vector<double> a = {4, 9, 16}, b = {8, 27, 64};
    std::vector<double> work(1);
    ASSERT_EQ(band_solve(a.data(), 3, 0, b.data(), 1, work.data()), 0);
    EXPECT_EQ(a, (std::vector<double>{2, 3, 4}));
    EXPECT_EQ(b, (std::vector<double>{2, 3, 4}));
}

}  // namespace
}  // namespace bandsolve
