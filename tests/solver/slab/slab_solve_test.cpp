// The slab entries: solutions, agreement with LAPACK, edge sizes, argument
// errors and refused resources.
#include "solver/slab/slab_solve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "bandsolve.hpp"
#include "support/band_systems.h"
#include "support/lapack.h"
#include "support/solve_testing.h"
#include "support/test_support.h"
#include "threads/platform/fault_injection.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using testing::random_system;
using testing::same_bytes;
using testing::TeamOf;

template <typename T>
class SlabEntries : public ::testing::Test {};
TYPED_TEST_SUITE(SlabEntries, testing::ElementTypes);

TYPED_TEST(SlabEntries, TridiagonalByHand) {
    using T = TypeParam;
    // A = U^T U with U = [2 1 0; 0 2 1; 0 0 2], x = (1, 1, 1).
    const std::vector<T> a0 = {T(4), T(2), T(5), T(2), T(5)}, b0 = {T(6), T(9), T(7)};
    const std::vector<T> u = {T(2), T(1), T(2), T(1), T(2)}, x = {T(1), T(1), T(1)};
    for (int r : {1, 2, 3}) {
        auto a = a0, b = b0;
        EXPECT_EQ(band_factor_solve(a.data(), 3, 1, b.data(), 1, r), 0);
        EXPECT_EQ(a, u);
        EXPECT_EQ(b, x);
        b = b0;
        EXPECT_EQ(band_solve_with_factor(u.data(), 3, 1, b.data(), 1, r), 0);
        EXPECT_EQ(b, x);
    }
}

TYPED_TEST(SlabEntries, SolvesAcrossSizesBandwidthsAndHeights) {
    using T = TypeParam;
    using C = testing::Component<T>;
    testing::Watchdog dog(600s, "size sweep");
    const double eps = std::numeric_limits<C>::epsilon();
    for (int team : {1, 3}) {
        TeamOf scope(team);
        for (int hb : {0, 1, 3, 8, 20})
            for (int n : {1, 2, 7, 8, 9, 50, 200})
                for (int r : {1, 7, 0}) {
                    const auto s = random_system<T>(n, hb, 2, 1000 * hb + n);
                    auto a = s.a, x = s.b;
                    ASSERT_EQ(band_factor_solve(a.data(), n, hb, x.data(), 2, r), 0);
                    EXPECT_LT(testing::scaled_residual(s.a, n, hb, x, s.b, 2), 30.0)
                        << "n " << n << ", hb " << hb << ", r " << r;
                    EXPECT_LT(testing::max_abs_error(x, s.x), 1e3 * eps);
                    // The factor left in A serves later solves.
                    auto x2 = s.b;
                    ASSERT_EQ(band_solve_with_factor(a.data(), n, hb, x2.data(), 2, r), 0);
                    EXPECT_LT(testing::scaled_residual(s.a, n, hb, x2, s.b, 2), 30.0);
                }
    }
}

TYPED_TEST(SlabEntries, DefaultHeightsForZeroOrNegativeSlabRows) {
    using T = TypeParam;
    testing::Watchdog dog(120s, "default slab heights");
    TeamOf scope(2);
    const int n = 2 * SOLVE_SLAB_ROWS + 37, hb = 2;
    const int factor_rows = static_cast<int>(factor_slab_rows(0, hb));
    const auto s = random_system<T>(n, hb, 1, 3);
    auto a = s.a, y = s.b, z = s.b;
    ASSERT_EQ(band_factor_solve(a.data(), n, hb, y.data(), 1, factor_rows), 0);
    EXPECT_LT(testing::scaled_residual(s.a, n, hb, y, s.b, 1), 30.0);
    ASSERT_EQ(band_solve_with_factor(a.data(), n, hb, z.data(), 1, SOLVE_SLAB_ROWS), 0);
    for (int r : {0, -5}) {
        auto a1 = s.a, y1 = s.b, z1 = s.b;
        ASSERT_EQ(band_factor_solve(a1.data(), n, hb, y1.data(), 1, r), 0);
        EXPECT_TRUE(same_bytes(y1, y)) << "slab_rows " << r;
        ASSERT_EQ(band_solve_with_factor(a1.data(), n, hb, z1.data(), 1, r), 0);
        EXPECT_TRUE(same_bytes(z1, z)) << "slab_rows " << r;
    }
}

#ifdef BANDSOLVE_HAVE_LAPACK
template <typename T>
class SlabAgainstLapack : public ::testing::Test {};
using RealTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SlabAgainstLapack, RealTypes);

TYPED_TEST(SlabAgainstLapack, FactorAndSolutionAgreeToRounding) {
    using T = TypeParam;
    testing::Watchdog dog(120s, "LAPACK");
    TeamOf scope(2);
    const int n = 500, hb = 8;
    const auto s = random_system<T>(n, hb, 1, 31);
    auto a = s.a, x = s.b, la = s.a, lx = s.b;
    ASSERT_EQ(band_factor_solve(a.data(), n, hb, x.data(), 1, 16), 0);
    ASSERT_EQ(testing::lapack_pbsv(la.data(), n, hb, lx.data(), 1), 0);
    double umax = 0, udiff = 0;
    for (int i = 1; i <= n; ++i)
        for (int j = i; j <= std::min(n, i + hb); ++j) {
            const std::size_t at = std::size_t(i - 1) * hb + j - 1;
            umax = std::max(umax, double(std::abs(la[at])));
            udiff = std::max(udiff, double(std::abs(a[at] - la[at])));
        }
    const double eps = std::numeric_limits<T>::epsilon();
    EXPECT_LE(udiff, 16 * eps * umax);
    EXPECT_LE(testing::max_abs_error(x, lx), 100 * eps);
}
#endif

TEST(SlabEntryArguments, RejectedBeforeAnythingIsTouched) {
    std::vector<double> a = {4, 2, 5, 2, 5}, b = {6, 9, 7};
    const auto a0 = a, b0 = b;
    int n = 3, hb = 1, nrhs = 1, r = 2, bad_hb = -1, zero = 0, info = 7;
    band_factor_d(nullptr, &n, &hb, &r, &info);
    EXPECT_EQ(info, -1);
    band_factor_d(a.data(), &n, &bad_hb, &r, &info);
    EXPECT_EQ(info, -3);
    band_factor_solve_d(nullptr, &n, &hb, b.data(), &nrhs, &r, &info);
    EXPECT_EQ(info, -1);
    band_factor_solve_d(a.data(), &n, &bad_hb, b.data(), &nrhs, &r, &info);
    EXPECT_EQ(info, -3);
    band_factor_solve_d(a.data(), &n, &hb, nullptr, &nrhs, &r, &info);
    EXPECT_EQ(info, -4);
    band_solve_with_factor_d(nullptr, &n, &hb, b.data(), &nrhs, &r, &info);
    EXPECT_EQ(info, -1);
    band_solve_with_factor_d(a.data(), &n, &bad_hb, b.data(), &nrhs, &r, &info);
    EXPECT_EQ(info, -3);
    band_solve_with_factor_d(a.data(), &n, &hb, nullptr, &nrhs, &r, &info);
    EXPECT_EQ(info, -4);
    // A null scalar is reported by its position; without INFO nothing is done.
    band_factor_d(a.data(), nullptr, &hb, &r, &info);
    EXPECT_EQ(info, -2);
    band_factor_d(a.data(), &n, &hb, nullptr, &info);
    EXPECT_EQ(info, -4);
    band_factor_solve_d(a.data(), &n, nullptr, b.data(), &nrhs, &r, &info);
    EXPECT_EQ(info, -3);
    band_factor_solve_d(a.data(), &n, &hb, b.data(), nullptr, &r, &info);
    EXPECT_EQ(info, -5);
    band_solve_with_factor_d(a.data(), &n, &hb, b.data(), &nrhs, nullptr, &info);
    EXPECT_EQ(info, -6);
    band_factor_d(a.data(), &n, &hb, &r, nullptr);
    band_factor_solve_d(a.data(), &n, &hb, b.data(), &nrhs, &r, nullptr);
    band_solve_with_factor_d(a.data(), &n, &hb, b.data(), &nrhs, &r, nullptr);
    EXPECT_EQ(a, a0);
    EXPECT_EQ(b, b0);

    // Arrays that would not be read may be null.
    info = 7;
    band_factor_solve_d(nullptr, &zero, &hb, nullptr, &nrhs, &r, &info);
    EXPECT_EQ(info, 0);
    info = 7;
    band_solve_with_factor_d(nullptr, &n, &hb, nullptr, &zero, &r, &info);
    EXPECT_EQ(info, 0);
    band_factor_solve_d(a.data(), &n, &hb, nullptr, &zero, &r, &info);  // factorises only
    EXPECT_EQ(info, 0);
    EXPECT_EQ(a, (std::vector<double>{2, 1, 2, 1, 2}));
}

TEST(SlabEntryArguments, SpanFormTakesTheDocumentedSizeAtTheLargestHalfBandwidth) {
    // Sizes are computed in 64 bits: an order-2 band array with hb = INT_MAX
    // has 2^31 + 1 elements, which the span form must accept, and not one
    // fewer.  Only the three elements the matrix has are ever touched.
    constexpr int big = std::numeric_limits<int>::max();
    const std::size_t size = band_array_size(2, big);
    ASSERT_EQ(size, (std::size_t{1} << 31) + 1);
    EXPECT_EQ(band_array_size(big, big), std::size_t{big - 1} * (std::size_t{big} + 1) + 1);
    testing::SparseArray<float> a(size);
    ASSERT_NE(a.data(), nullptr);
    a.data()[0] = 4;
    a.data()[1] = 1;
    a.data()[size - 1] = 4;
    EXPECT_EQ(factor(std::span<float>(a.data(), size - 1), 2, big), -1);
    EXPECT_EQ(a.data()[0], 4.0f);
    ASSERT_EQ(factor(std::span<float>(a.data(), size), 2, big), 0);
    EXPECT_EQ(a.data()[0], 2.0f);
    EXPECT_EQ(a.data()[1], 0.5f);
    EXPECT_EQ(a.data()[size - 1], static_cast<float>(std::sqrt(3.75)));
}

TEST(SlabEntryResources, RefusedObjectsOrWorkersChangeNothing) {
    testing::Watchdog dog(120s, "refused resources");
    // Slabs of 2 rows on a band of 4: every run starts the whole team.
    const auto s = random_system<float>(300, 4, 2, 9);
    auto ra = s.a, rb = s.b, rsolved = s.b;
    {
        TeamOf scope(1);
        ASSERT_EQ(band_factor_solve(ra.data(), s.n, s.hb, rb.data(), 2, 2), 0);
        ASSERT_EQ(band_solve_with_factor(ra.data(), s.n, s.hb, rsolved.data(), 2, 2), 0);
    }
    TeamOf scope(4);
    // Without its mutex or a sync object a call runs on the calling thread
    // alone.
    const long threads = platform::creation_count(platform::Resource::thread);
    platform::inject_failure(platform::Resource::mutex, 1);
    auto a = s.a, b = s.b;
    EXPECT_EQ(band_factor_solve(a.data(), s.n, s.hb, b.data(), 2, 2), 0);
    EXPECT_TRUE(same_bytes(a, ra) && same_bytes(b, rb));
    platform::inject_failure(platform::Resource::event, 2);
    a = s.a;
    EXPECT_EQ(band_factor(a.data(), s.n, s.hb, 2), 0);
    EXPECT_TRUE(same_bytes(a, ra));
    platform::inject_failure(platform::Resource::mutex, 2);
    b = s.b;
    EXPECT_EQ(band_solve_with_factor(ra.data(), s.n, s.hb, b.data(), 2, 2), 0);
    EXPECT_TRUE(same_bytes(b, rsolved));
    EXPECT_EQ(platform::creation_count(platform::Resource::thread), threads);
    for (int k = 1; k <= 3; ++k) {
        platform::inject_failure(platform::Resource::thread, k);
        a = s.a, b = s.b;
        EXPECT_EQ(band_factor_solve(a.data(), s.n, s.hb, b.data(), 2, 2), 0);
        EXPECT_TRUE(same_bytes(a, ra) && same_bytes(b, rb)) << "refused thread " << k;
    }
    platform::clear_injected_failures();
}

TEST(SlabEntryResources, ThreadsThatWouldOnlyWaitAreNotStarted) {
    // A stage has a chunk besides the slab's own only when the slab is no
    // taller than the band is wide; otherwise the entries run on the calling
    // thread alone, with the same bits.
    const auto s = random_system<double>(500, 6, 1, 4);
    for (int r : {6, 7, 0}) {
        SCOPED_TRACE(::testing::Message() << "slab_rows " << r);
        auto a = s.a, b = s.b;
        {
            TeamOf four(4);
            const long before = platform::creation_count(platform::Resource::thread);
            ASSERT_EQ(band_factor(a.data(), s.n, s.hb, r), 0);
            ASSERT_EQ(band_solve_with_factor(a.data(), s.n, s.hb, b.data(), 1, r), 0);
            const long started = platform::creation_count(platform::Resource::thread) - before;
            EXPECT_EQ(started, r == 6 ? 2 * 3 : 0);
        }
        auto a1 = s.a, b1 = s.b;
        {
            TeamOf one(1);
            ASSERT_EQ(band_factor(a1.data(), s.n, s.hb, r), 0);
            ASSERT_EQ(band_solve_with_factor(a1.data(), s.n, s.hb, b1.data(), 1, r), 0);
        }
        EXPECT_TRUE(same_bytes(a, a1) && same_bytes(b, b1));
    }
}

}  // namespace
}  // namespace bandsolve
