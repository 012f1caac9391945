// Accuracy on hard but positive-definite band matrices: graded ones whose
// entries span tens of orders of magnitude, and powers of the difference
// operator, whose condition number grows as n^(2k).  The normwise backward
// error ||A x - b|| / (||A|| ||x||) of every entry stays within a small
// factor of reference LAPACK's ?pbsv on the same stored system.  Complex
// systems are (1 + i/8) A with complex right-hand sides; LAPACK's complex
// band routines are Hermitian, so they are held to the real ?pbsv's error
// on A itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "reliability/reliability_support.h"
#include "support/lapack.h"
#include "support/test_support.h"
#include "threads/team_size.h"

namespace bandsolve {
namespace {

using namespace std::chrono_literals;
using testing::BandSystem;
using testing::Entry;
using testing::IsComplex;
using testing::Wide;
using testing::WideOf;

/// A symmetric positive-definite band matrix in band storage, exact in
/// extended precision before it is rounded to the type under test.
struct HardMatrix {
    std::string name;
    int n = 0, hb = 0;
    std::vector<Wide> a;
    Wide& at(int r, int c) { return a[std::size_t(r - 1) * hb + (c - 1)]; }
};

/// D M D with M a random diagonally dominant band matrix and D a diagonal
/// whose entries spread over `orders` decades: congruent to M, so positive
/// definite, with entries spanning twice `orders` decades.
HardMatrix graded(int n, int hb, double orders, std::uint64_t seed) {
    const auto m = testing::random_system<double>(n, hb, 0, seed);
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    std::vector<Wide> d(n + 1);
    for (int i = 1; i <= n; ++i) d[i] = std::pow(Wide(10), Wide(orders * u(gen)));
    HardMatrix h{"graded n=" + std::to_string(n) + " hb=" + std::to_string(hb) + " 10^" +
                     std::to_string(int(orders)),
                 n, hb, std::vector<Wide>(m.band_elements())};
    for (int r = 1; r <= n; ++r)
        for (int c = r; c <= std::min(n, r + hb); ++c) h.at(r, c) = d[r] * Wide(m.at(r, c)) * d[c];
    return h;
}

/// B^T B with B = (I - S)^k, S the shift to the next column: half bandwidth
/// k, integer entries, condition number of order n^(2k); then graded by a
/// diagonal over `orders` decades.
HardMatrix difference_power(int n, int k, double orders, std::uint64_t seed) {
    std::vector<Wide> coef(k + 1);  // B(l, l + j) = (-1)^j C(k, j)
    coef[0] = 1;
    for (int j = 1; j <= k; ++j) coef[j] = -coef[j - 1] * Wide(k - j + 1) / Wide(j);
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    std::vector<Wide> d(n + 1);
    for (int i = 1; i <= n; ++i) d[i] = std::pow(Wide(10), Wide(orders * u(gen)));
    HardMatrix h{"difference^" + std::to_string(k) + " n=" + std::to_string(n) + " 10^" +
                     std::to_string(int(orders)),
                 n, k, std::vector<Wide>(std::size_t(n - 1) * (k + 1) + 1)};
    for (int r = 1; r <= n; ++r)
        for (int c = r; c <= std::min(n, r + k); ++c) {
            Wide s = 0;  // sum over l of B(l, r) B(l, c), with r - l, c - l in 0..k
            for (int l = std::max(1, c - k); l <= r; ++l) s += coef[r - l] * coef[c - l];
            h.at(r, c) = d[r] * s * d[c];
        }
    return h;
}

template <typename R>
std::vector<HardMatrix> hard_matrices() {
    if constexpr (std::is_same_v<R, float>)
        return {graded(2000, 8, 12, 1),          graded(1500, 40, 8, 2),
                graded(500, 0, 36, 3),           graded(3000, 2, 16, 4),
                difference_power(1500, 1, 0, 5), difference_power(60, 2, 0, 6),
                difference_power(800, 1, 10, 7)};
    else
        return {graded(2000, 8, 40, 1),          graded(1500, 40, 30, 2),
                graded(500, 0, 300, 3),          graded(3000, 2, 100, 4),
                difference_power(2000, 1, 0, 5), difference_power(600, 2, 0, 6),
                difference_power(120, 3, 10, 7), difference_power(900, 2, 20, 8)};
}

template <typename T>
T narrow(WideOf<T> v) {
    using C = testing::Component<T>;
    if constexpr (IsComplex<T>::value)
        return T(static_cast<C>(v.real()), static_cast<C>(v.imag()));
    else
        return static_cast<T>(v);
}

/// The stored system of type T: A rounded from the hard matrix (times
/// 1 + i/8 for complex types, exactly), x random, b = A x rounded once.
template <typename T>
BandSystem<T> stored_system(const HardMatrix& h, int nrhs, std::uint64_t seed) {
    using C = testing::Component<T>;
    BandSystem<T> s;
    s.n = h.n;
    s.hb = h.hb;
    s.nrhs = nrhs;
    for (Wide v : h.a) {
        const C real = static_cast<C>(v);
        if constexpr (IsComplex<T>::value)
            s.a.push_back(T(real, real / C(8)));
        else
            s.a.push_back(real);
    }
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    s.x.resize(std::size_t(h.n) * nrhs);
    for (auto& v : s.x) {
        if constexpr (IsComplex<T>::value)
            v = T(static_cast<C>(u(gen)), static_cast<C>(u(gen)));
        else
            v = static_cast<T>(u(gen));
    }
    const auto y = testing::band_multiply(s.a, s.n, s.hb, s.x, nrhs);
    for (const auto& v : y) s.b.push_back(narrow<T>(v));
    return s;
}

/// The normwise backward error max_k ||A x_k - b_k||_inf / (||A||_inf
/// ||x_k||_inf), in extended precision.  Equilibrated, of the system
/// (S A S)(S^-1 x) = S b with S = diag(|a_ii|^-1/2) instead: for a graded
/// matrix the plain one is governed by its largest entries alone, while the
/// equilibrated one stays of the order of one unit of rounding for a stable
/// solve.
struct BackwardErrors {
    double normwise = 0;
    double equilibrated = 0;
};

template <typename T>
BackwardErrors backward_errors(const std::vector<T>& a, int n, int hb, const std::vector<T>& x,
                               const std::vector<T>& b, int nrhs) {
    auto entry = [&](int r, int c) {  // |A(r, c)|, either triangle
        return std::abs(testing::widen(r <= c ? a[std::size_t(r - 1) * hb + c - 1]
                                              : a[std::size_t(c - 1) * hb + r - 1]));
    };
    std::vector<Wide> scale(n);
    for (int i = 1; i <= n; ++i) scale[i - 1] = 1 / std::sqrt(entry(i, i));
    Wide anorm = 0, snorm = 0;
    for (int i = 1; i <= n; ++i) {
        Wide row = 0, srow = 0;
        for (int q = std::max(1, i - hb); q <= std::min(n, i + hb); ++q) {
            row += entry(i, q);
            srow += scale[i - 1] * entry(i, q) * scale[q - 1];
        }
        anorm = std::max(anorm, row);
        snorm = std::max(snorm, srow);
    }
    const auto ax = testing::band_multiply(a, n, hb, x, nrhs);
    BackwardErrors e;
    for (int k = 0; k < nrhs; ++k) {
        Wide r = 0, xn = 0, sr = 0, sxn = 0;
        for (int i = 0; i < n; ++i) {
            const std::size_t at = std::size_t(k) * n + i;
            const Wide ri = std::abs(ax[at] - testing::widen(b[at]));
            const Wide xi = std::abs(testing::widen(x[at]));
            r = std::max(r, ri);
            xn = std::max(xn, xi);
            sr = std::max(sr, scale[i] * ri);
            sxn = std::max(sxn, xi / scale[i]);
        }
        e.normwise = std::max(e.normwise, static_cast<double>(r / (anorm * xn)));
        e.equilibrated = std::max(e.equilibrated, static_cast<double>(sr / (snorm * sxn)));
    }
    return e;
}

/// Reference LAPACK's backward error on the real stored system.
template <typename R>
BackwardErrors lapack_backward_errors(const HardMatrix& h, int nrhs) {
    const BandSystem<R> s = stored_system<R>(h, nrhs, 99);
    auto a = s.a, x = s.b;
    const int info = testing::lapack_pbsv(a.data(), s.n, s.hb, x.data(), nrhs);
    EXPECT_EQ(info, 0) << "LAPACK on " << h.name;
    return backward_errors(s.a, s.n, s.hb, x, s.b, nrhs);
}

// Ours may exceed LAPACK's error by this factor: the elimination orders
// differ, and so do the roundings of the complex arithmetic.
constexpr double ALLOWED_FACTOR = 10;

template <typename T>
class HardMatrices : public ::testing::Test {};
TYPED_TEST_SUITE(HardMatrices, testing::ElementTypes);

TYPED_TEST(HardMatrices, BackwardErrorWithinASmallFactorOfLapack) {
#ifndef BANDSOLVE_HAVE_LAPACK
    GTEST_SKIP() << "reference LAPACK not found";
#else
    using T = TypeParam;
    using R = testing::Component<T>;
    testing::Watchdog dog(600s, "hard matrices");
    const double eps = std::numeric_limits<R>::epsilon();
    const int nrhs = 2;
    testing::TeamOf team(3);
    for (const HardMatrix& h : hard_matrices<R>()) {
        const BackwardErrors reference = lapack_backward_errors<R>(h, nrhs);
        const BandSystem<T> s = stored_system<T>(h, nrhs, 99);
        for (Entry e : testing::ALL_ENTRIES) {
            const auto o = testing::run_entry(e, s, 0, 1);
            ASSERT_EQ(o.info, 0) << testing::entry_name(e) << " on " << h.name;
            const BackwardErrors ours = backward_errors(s.a, s.n, s.hb, o.b, s.b, nrhs);
            std::printf("%s %-34s %-28s normwise %.2e (LAPACK %.2e), equilibrated %.2e (%.2e)\n",
                        testing::type_name<T>(), testing::entry_name(e), h.name.c_str(),
                        ours.normwise, reference.normwise, ours.equilibrated,
                        reference.equilibrated);
            // Errors below one unit of rounding are not told apart.  (The
            // plain error of a graded matrix lies far below it: there the
            // equilibrated one is the measure that tells.)
            EXPECT_LE(ours.normwise, ALLOWED_FACTOR * std::max(reference.normwise, eps))
                << testing::entry_name(e) << " on " << h.name;
            EXPECT_LE(ours.equilibrated, ALLOWED_FACTOR * std::max(reference.equilibrated, eps))
                << testing::entry_name(e) << " on " << h.name;
        }
    }
#endif
}

}  // namespace
}  // namespace bandsolve
