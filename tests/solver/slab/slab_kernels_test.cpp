// The slab kernels against the sequential algorithm: the factor and the
// forward substitution are the same bits for every slab height, team size
// and kernel body, the back substitution for every team size; a failed
// pivot stops the whole team with the earlier slabs factorised.
#include "solver/slab/slab_kernels.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bandsolve.hpp"
#include "solver/block_tree/kernel.h"
#include "solver/common/team.h"
#include "solver/slab/slab_solve.h"
#include "support/band_systems.h"
#include "support/solve_testing.h"
#include "support/test_support.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using testing::random_system;
using testing::same_bytes;
using testing::TeamOf;

template <typename T>
class SlabKernels : public ::testing::Test {};
TYPED_TEST_SUITE(SlabKernels, testing::ElementTypes);

// The row-oriented factor of rows 1..n in one sequential pass: the plain
// form, loop for loop the order that defines the bits.
template <typename T>
std::vector<T> sequential_factor(std::vector<T> a, int n, int hb) {
    ErrorFlags flags{0, 0};
    plain::band_block_factor<T>(a.data(), hb, 1, n, 0, flags, 1);
    return a;
}

// The forward stages of the solve kernel alone, so that y = U^-T b can be
// seen before the back substitution.
template <typename T>
void forward_only(const T* const& a, const int& n, const int& hb, T* const& y, const Index& r,
                  const MutexHandle& mutex, const SyncIds& ids, const int& team, Index& slab_start,
                  Index& next_chunk) noexcept {
    detail::SlabTeam t(mutex, ids, team);
    detail::slab_solve_forward<T>(t, a, n, hb, y, r, slab_start, next_chunk);
}

template <typename T>
void run_forward_only(const T* a, int n, int hb, T* y, Index r, int team) {
    TeamObjects objects(team);
    ASSERT_TRUE(team == 1 || objects.shared());
    SlabControl c = SlabControl::start(n);
    run_team(team, objects.ids(), &forward_only<T>, a, n, hb, y, r, objects.mutex(), objects.ids(),
             team, c.slab_start, c.next_chunk);
}

// The portable kernel bodies forced for a scope, or the best the processor
// has.
class KernelBodyOf {
  public:
    explicit KernelBodyOf(bool portable) { detail::force_portable_kernels(portable); }
    ~KernelBodyOf() { detail::force_portable_kernels(false); }
    KernelBodyOf(const KernelBodyOf&) = delete;
    KernelBodyOf& operator=(const KernelBodyOf&) = delete;
};

// The back substitution of one column y with the factor u (slabs of n
// rows) in the best body, then in the portable one.
template <typename T>
std::array<std::vector<T>, 2> backward_in_both_bodies(const std::vector<T>& u, int n, int hb,
                                                      const std::vector<T>& y) {
    std::array<std::vector<T>, 2> x;
    for (bool portable : {false, true}) {
        KernelBodyOf body(portable);
        x[portable] = y;
        detail::backward_side_by_side<T>(u.data(), n, hb, x[portable].data(), 1, n, n);
    }
    return x;
}

TYPED_TEST(SlabKernels, FactorIsTheSequentialFactorForEveryHeightTeamAndBody) {
    using T = TypeParam;
    testing::Watchdog dog(300s, "factor bits");
    // Every half bandwidth whose rows run with a fixed span (the complex
    // families' AVX2 rows among them) and one beyond, an order drawn for
    // each, every slab height up to n + 1 with the team going round 1..8,
    // in both bodies: the factor is the plain sequential one, the fused
    // kernel's solution that of the solve with it at twice the height, and
    // the same bytes in both bodies (the back substitutions of one column
    // of float and of the complex types have AVX2 bodies of their own).  The
    // complex matrices are turned by -1 or i (exactly) for two hb in three,
    // so that the roots' imaginary parts are the larger ones, or about as
    // large, and Smith's division takes its other rule too.
    std::mt19937 gen(15);
    for (int hb = 0; hb <= detail::FIXED_SPANS + 1; ++hb) {
        const int n = hb + 2 + static_cast<int>(gen() % 40);
        auto s = random_system<T>(n, hb, 1, 100 + hb);
        if constexpr (ElementTraits<T>::is_complex)
            for (T& e : s.a) e *= hb % 3 == 0 ? T(1) : hb % 3 == 1 ? T(-1) : T(0, 1);
        const auto expected = sequential_factor(s.a, n, hb);
        std::vector<std::vector<T>> best_body(n + 2);  // the solution for each r
        for (bool portable : {false, true}) {
            KernelBodyOf body(portable);
            for (int r = 1; r <= n + 1; ++r) {
                const int team = 1 + (r + hb) % 8;
                TeamOf scope(team);
                const std::string where = "n " + std::to_string(n) + ", hb " + std::to_string(hb) +
                                          ", r " + std::to_string(r) + ", team " +
                                          std::to_string(team) + ", portable " +
                                          std::to_string(portable);
                auto a = s.a;
                ASSERT_EQ(band_factor(a.data(), n, hb, r), 0) << where;
                EXPECT_TRUE(same_bytes(a, expected)) << where;
                auto a2 = s.a, y = s.b, y2 = s.b;
                ASSERT_EQ(band_factor_solve(a2.data(), n, hb, y.data(), 1, r), 0) << where;
                ASSERT_EQ(band_solve_with_factor(expected.data(), n, hb, y2.data(), 1, 2 * r), 0);
                EXPECT_TRUE(same_bytes(a2, expected)) << where;
                EXPECT_TRUE(same_bytes(y, y2)) << where;
                if (!portable)
                    best_body[r] = y;
                else
                    EXPECT_TRUE(same_bytes(y, best_body[r])) << where;
            }
        }
    }
    if constexpr (std::is_same_v<T, std::complex<double>>) {
        // Near the top of the range Smith's numerators overflow, and the
        // division is rescaled: row 32, the last one of span 8 in a slab of
        // 40 rows, divides its last element (0.99 of the largest double in
        // both parts) by a root whose parts differ by about tan(pi/8).  Its
        // quotient is finite, and both bodies give the same bytes.
        const int n = 40, hb = 8;
        auto s = random_system<T>(n, hb, 1, 77);
        const double top = 0.99 * std::numeric_limits<double>::max();
        s.at(32, 32) = T(1e3, 1e3);
        s.at(32, 40) = T(top, top);
        std::vector<T> factor[2], solution[2];
        for (bool portable : {false, true}) {
            KernelBodyOf body(portable);
            auto a = s.a, y = s.b;
            ASSERT_EQ(band_factor_solve(a.data(), n, hb, y.data(), 1, n), 0);
            const T u = a[std::size_t(31) * hb + 39];  // U(32, 40)
            EXPECT_TRUE(std::isfinite(u.real()) && std::isfinite(u.imag()))
                << "portable " << portable;
            factor[portable] = a;
            solution[portable] = y;
        }
        EXPECT_TRUE(same_bytes(factor[0], factor[1]));
        EXPECT_TRUE(same_bytes(solution[0], solution[1]));
        // The same in the back substitution of one column: row 12 of an
        // identity factor with U(12, 12) = 40 (1 + i tan(pi/8)) divides
        // y(12) = (top, top), whose real numerator overflows.
        std::vector<T> u(band_array_size(n, hb));
        for (int i = 1; i <= n; ++i) u[std::size_t(i - 1) * (hb + 1)] = 1.0;
        u[std::size_t(11) * (hb + 1)] = T(40.0, 40.0 * std::tan(std::acos(-1.0) / 8));
        std::vector<T> y(n, T(0.5, 0.25));
        y[11] = T(top, top);
        const auto x = backward_in_both_bodies(u, n, hb, y);
        EXPECT_TRUE(std::isfinite(x[0][11].real()) && std::isfinite(x[0][11].imag()));
        EXPECT_TRUE(same_bytes(x[0], x[1]));
    }
}

TEST(SlabBackward, SinglePrecisionRoundingsAsDefined) {
    // x(i) = (y(i) - U(i, i+c) x(i+c)) / 1 with y(i) = 1 + 2^-23,
    // U(i, i+c) = 2^-24 (1 + 2^-23) and x(i+c) = 1 - 2^-23: the product is
    // 2^-24 (1 - 2^-46), so the exact difference lies just above 1 + 2^-24,
    // halfway between the floats 1 and 1 + 2^-23.  Rounded once to float it
    // is 1 + 2^-23; rounded first to double it is that halfway point, and
    // then to float 1 (to even), the value the update is defined to have.
    // Rows 21 (c = 1) and 12 (c = 5) of a slab of 40 rows, hb = 8, where the
    // AVX2 body runs; every other row is x = y.
    const int n = 40, hb = 8;
    const float above = 1.0f + std::ldexp(1.0f, -23), below = 1.0f - std::ldexp(1.0f, -23);
    std::vector<float> u(band_array_size(n, hb), 0.0f), y0(n, 0.5f);
    for (int i = 1; i <= n; ++i) u[std::size_t(i - 1) * (hb + 1)] = 1.0f;
    for (const auto& [i, c] : {std::pair{21, 1}, std::pair{12, 5}}) {
        u[std::size_t(i - 1) * (hb + 1) + c] = std::ldexp(above, -24);
        y0[i - 1] = above;
        y0[i + c - 1] = below;
    }
    const auto x = backward_in_both_bodies(u, n, hb, y0);
    EXPECT_TRUE(same_bytes(x[0], x[1]));
    EXPECT_EQ(x[0][20], 1.0f);
    EXPECT_EQ(x[0][11], 1.0f);

    // Complex single, whose AVX2 body rounds by the bits and divides by a
    // reciprocal, checked against the defined roundings: in row 21,
    // (1, 1) - U(21, 22) x(22) with U(21, 22) = -2^-24 and x(22) = (1, 1)
    // is 1 + 2^-24 in both parts, halfway, so (1, 1) to even; in row 12,
    // y(12) / 4 with y(12) = 2^-125 (1 + 2^-23) lies halfway between two
    // subnormal floats, so 2^-127 to even, and row 11, 0 + 2^100 x(12),
    // takes 2^-27 from it; row 1, with a zero on the diagonal, is NaN.
    using C = std::complex<float>;
    std::vector<C> uc(band_array_size(n, hb)), yc(n, C(0.5f, -0.25f));
    for (int i = 1; i <= n; ++i) uc[std::size_t(i - 1) * (hb + 1)] = 1.0f;
    uc[std::size_t(20) * (hb + 1) + 1] = -std::ldexp(1.0f, -24);
    yc[20] = yc[21] = C(1.0f, 1.0f);
    uc[std::size_t(11) * (hb + 1)] = 4.0f;
    yc[11] = std::ldexp(above, -125);
    uc[std::size_t(10) * (hb + 1) + 1] = -std::ldexp(1.0f, 100);
    yc[10] = 0.0f;
    uc[0] = 0.0f;
    const auto xc = backward_in_both_bodies(uc, n, hb, yc);
    EXPECT_TRUE(same_bytes(xc[0], xc[1]));
    EXPECT_EQ(xc[0][20], C(1.0f, 1.0f));
    EXPECT_EQ(xc[0][11], C(std::ldexp(1.0f, -127), 0.0f));
    EXPECT_EQ(xc[0][10], C(std::ldexp(1.0f, -27), 0.0f));
    EXPECT_TRUE(std::isnan(xc[0][0].real()) && std::isnan(xc[0][0].imag()));
}

TYPED_TEST(SlabKernels, ForwardSubstitutionIsIndependentOfHeightAndTeam) {
    using T = TypeParam;
    testing::Watchdog dog(300s, "forward bits");
    const int n = 70, hb = 5;
    const auto s = random_system<T>(n, hb, 1, 7);
    const auto u = sequential_factor(s.a, n, hb);
    auto expected = s.b;  // y(j) updated by rows k in increasing order
    forward_slab<T>(u.data(), hb, expected.data(), 1, n);
    for (Index r : {1, 2, 5, 16, 100})
        for (int team : {1, 2, 3, 5, 8}) {
            auto y = s.b;
            run_forward_only<T>(u.data(), n, hb, y.data(), r, team);
            EXPECT_TRUE(same_bytes(y, expected)) << "r " << r << ", team " << team;
        }
}

TYPED_TEST(SlabKernels, FusedEqualsFactorThenSolveAtTwiceTheHeight) {
    using T = TypeParam;
    testing::Watchdog dog(300s, "fused against separate");
    // The factorisation carries the forward substitution along, row by row,
    // in slabs taller than hb (in fixed-span rows up to hb = 16, beyond in
    // the general loop); the separate kernels run it after each slab.
    for (const auto& [n, hb] : {std::pair{90, 6}, std::pair{75, 1}, std::pair{120, 17}})
        for (int r : {1, 3, 8, 20, hb + 1, n}) {
            const auto s = random_system<T>(n, hb, 1, 11 + hb);
            std::vector<T> first_y;
            for (int team : {1, 2, 4, 7}) {
                TeamOf scope(team);
                auto a1 = s.a, y1 = s.b;
                ASSERT_EQ(band_factor_solve(a1.data(), n, hb, y1.data(), 1, r), 0);
                auto a2 = s.a, y2 = s.b;
                ASSERT_EQ(band_factor(a2.data(), n, hb, r + 1), 0);
                ASSERT_EQ(band_solve_with_factor(a2.data(), n, hb, y2.data(), 1, 2 * r), 0);
                EXPECT_TRUE(same_bytes(a1, a2))
                    << "n " << n << ", hb " << hb << ", r " << r << ", team " << team;
                EXPECT_TRUE(same_bytes(y1, y2))
                    << "n " << n << ", hb " << hb << ", r " << r << ", team " << team;
                if (first_y.empty()) first_y = y1;
                EXPECT_TRUE(same_bytes(y1, first_y))
                    << "n " << n << ", hb " << hb << ", r " << r << ", team " << team;
            }
            // The factor of every slab height is the plain sequential one.
            auto a1 = s.a, y1 = s.b;
            ASSERT_EQ(band_factor_solve(a1.data(), n, hb, y1.data(), 1, r), 0);
            EXPECT_TRUE(same_bytes(a1, sequential_factor(s.a, n, hb))) << "n " << n << ", r " << r;
        }
}

TYPED_TEST(SlabKernels, EveryColumnGetsTheBitsOfAFirstColumn) {
    using T = TypeParam;
    testing::Watchdog dog(300s, "several right-hand sides");
    // 23 columns: lane groups of 16 and 4 columns (complex: 4) and three
    // left over; tiles of 64 rows, the last one partial, with hb below the
    // tile height and above it.
    const int n = 150, nrhs = 23;
    auto column = [&](const std::vector<T>& b, int k) {
        return std::vector<T>(b.begin() + k * n, b.begin() + (k + 1) * n);
    };
    for (int hb : {4, 70}) {
        const auto s = random_system<T>(n, hb, nrhs, 23);
        // Heights at and below hb run the columns one by one on the team,
        // those above side by side on one thread, in both bodies.
        for (int r : {2, hb, hb + 1, 2 * hb + 1}) {
            // Each column alone; its bits do not depend on the team.
            std::vector<std::vector<T>> alone, alone_with_factor;
            auto factor = s.a;
            for (int k = 0; k < nrhs; ++k) {
                auto a1 = s.a, x = column(s.b, k), x2 = x;
                ASSERT_EQ(band_factor_solve(a1.data(), n, hb, x.data(), 1, r), 0);
                ASSERT_EQ(band_solve_with_factor(a1.data(), n, hb, x2.data(), 1, r), 0);
                alone.push_back(x);
                alone_with_factor.push_back(x2);
                factor = a1;
            }
            for (bool portable : {false, true})
                for (int team : {1, 3}) {
                    TeamOf scope(team);
                    detail::force_portable_kernels(portable);
                    auto a = s.a, b = s.b, b2 = s.b;
                    const int info = band_factor_solve(a.data(), n, hb, b.data(), nrhs, r);
                    const int info2 =
                        band_solve_with_factor(factor.data(), n, hb, b2.data(), nrhs, r);
                    detail::force_portable_kernels(false);
                    ASSERT_EQ(info, 0);
                    ASSERT_EQ(info2, 0);
                    for (int k = 0; k < nrhs; ++k) {
                        EXPECT_TRUE(same_bytes(column(b, k), alone[k]))
                            << "column " << k + 1 << ", hb " << hb << ", r " << r << ", team "
                            << team << ", portable " << portable;
                        EXPECT_TRUE(same_bytes(column(b2, k), alone_with_factor[k]))
                            << "column " << k + 1 << ", hb " << hb << ", r " << r << ", team "
                            << team << ", portable " << portable;
                    }
                }
        }
    }
}

TYPED_TEST(SlabKernels, FailedPivotInTheSecondSlabStopsEveryThread) {
    using T = TypeParam;
    testing::Watchdog dog(300s, "failed pivot");
    const int n = 40, hb = 3, r = 6, bad = r + 1 + r / 2;
    auto s = random_system<T>(n, hb, 1, 5);
    // Row `bad` decoupled from the rows above it, with a zero diagonal: its
    // pivot stays exactly 0 and fails for every element type.
    for (int k = bad - hb; k <= bad; ++k) s.at(k, bad) = T(0);
    const auto sequential = sequential_factor(s.a, n, hb);  // stops at row `bad`
    auto slab1 = s.a;
    ErrorFlags none{0, 0};
    band_block_factor<T>(slab1.data(), hb, 1, r, 0, none, 1);
    auto y1 = s.b;  // slab 1 solved forward, nothing solved backward
    forward_slab<T>(sequential.data(), hb, y1.data(), 1, r);

    for (int team = 1; team <= 8; ++team) {
        TeamOf scope(team);
        auto a = s.a, y = s.b;
        EXPECT_EQ(band_factor(a.data(), n, hb, r), 1) << "team " << team;
        auto a2 = s.a;
        EXPECT_EQ(band_factor_solve(a2.data(), n, hb, y.data(), 1, r), 1) << "team " << team;
        for (int i = 1; i <= r; ++i) {
            for (int j = i; j <= i + hb; ++j) {
                const std::size_t at = std::size_t(i - 1) * hb + j - 1;
                if (j <= r) {
                    EXPECT_EQ(a[at], slab1[at]) << "U(" << i << "," << j << ")";
                }
                EXPECT_EQ(a[at], sequential[at]) << "U(" << i << "," << j << ")";
                EXPECT_EQ(a2[at], sequential[at]) << "U(" << i << "," << j << ")";
            }
            EXPECT_EQ(y[i - 1], y1[i - 1]) << "y(" << i << "), team " << team;
        }
    }
}

template <typename T>
std::string expected_fingerprint() {
    if constexpr (std::is_same_v<T, float>) return "521fc79ea3a9333a";
    if constexpr (std::is_same_v<T, double>) return "21d6a0e7513e4ef2";
    if constexpr (std::is_same_v<T, std::complex<float>>) return "ec288a139bb9621d";
    return "d3ad9ff964e01ee6";
}

TYPED_TEST(SlabKernels, FusedSolutionOfTheBenchmarkSystemHasItsFingerprint) {
    using T = TypeParam;
    testing::Watchdog dog(120s, "fingerprint");
    const int n = 1000, hb = 8;
    const auto s = testing::benchmark_system<T>(n, hb, 1);
    for (int team : {1, 2, 5}) {
        TeamOf scope(team);
        auto a = s.a, y = s.b;
        ASSERT_EQ(band_factor_solve(a.data(), n, hb, y.data(), 1, 16), 0);
        EXPECT_EQ(testing::hex64(testing::fnv1a64(y)), expected_fingerprint<T>())
            << "team " << team;
    }
}

}  // namespace
}  // namespace bandsolve
