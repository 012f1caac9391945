// The LAPACK-style entries band_pbsv_?, band_pbtrf_? and band_pbtrs_?:
// agreement with reference LAPACK ?pbsv, ?pbtrf and ?pbtrs on the same
// arrays in both layouts (the complex ones Hermitian), each library's
// factor solved by the other's ?pbtrs, INFO as LAPACK gives it, untouched
// padding, argument errors, and the same bits for every layout, leading
// dimension, team size and body (AVX-512, AVX2 or portable), and for the pair as for
// band_pbsv_?.
#include "solver/lapack/lapack_style.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "bandsolve.hpp"
#include "solver/slab/slab_solve.h"
#include "support/band_systems.h"
#include "support/lapack.h"
#include "support/solve_testing.h"

namespace bandsolve {
namespace {

using testing::Component;
using testing::IsComplex;
using testing::same_bytes;
using testing::TeamOf;

/// A Hermitian (real: symmetric) positive-definite band matrix, kept dense
/// for the checks, with a block of right-hand sides.
template <typename T>
struct Problem {
    int n = 0, kd = 0, nrhs = 0;
    std::vector<T> dense;  // n x n, column-major
    std::vector<T> rhs;    // n x nrhs, column-major

    T& at(int i, int j) { return dense[std::size_t(j - 1) * n + (i - 1)]; }
    T at(int i, int j) const { return dense[std::size_t(j - 1) * n + (i - 1)]; }
};

template <typename T>
T conj_of(T x) {
    if constexpr (IsComplex<T>::value)
        return std::conj(x);
    else
        return x;
}

/// Diagonally dominant, so every leading minor is positive definite.  The
/// complex diagonal carries an imaginary part that a Hermitian solver must
/// ignore (LAPACK reads only the real part).
template <typename T>
Problem<T> hermitian_problem(int n, int kd, int nrhs, std::uint64_t seed) {
    using C = Component<T>;
    Problem<T> p;
    p.n = n, p.kd = kd, p.nrhs = nrhs;
    p.dense.assign(std::size_t(n) * n, T{});
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    auto draw = [&] { return testing::uniform_element<T>(gen); };
    for (int j = 1; j <= n; ++j)
        for (int i = std::max(1, j - kd); i < j; ++i) {
            p.at(i, j) = draw();
            p.at(j, i) = conj_of(p.at(i, j));
        }
    for (int i = 1; i <= n; ++i) {
        double off = 0;
        for (int j = 1; j <= n; ++j)
            if (j != i) off += std::abs(p.at(i, j));
        const C diag = static_cast<C>(1.0 + 1.5 * off);
        if constexpr (IsComplex<T>::value)
            p.at(i, i) = T(diag, static_cast<C>(u(gen)));
        else
            p.at(i, i) = diag;
    }
    p.rhs.resize(std::size_t(n) * nrhs);
    for (auto& v : p.rhs) v = draw();
    return p;
}

/// A value no solver writes: marks padding that must stay untouched.
template <typename T>
T sentinel() {
    if constexpr (IsComplex<T>::value)
        return T(Component<T>(-777.25), Component<T>(333.5));
    else
        return T(-777.25);
}

/// The problem's matrix in LAPACK's band layout with leading dimension
/// ldab (rows beyond kd + 1 hold the sentinel).
template <typename T>
std::vector<T> lapack_band(const Problem<T>& p, char uplo, int ldab) {
    std::vector<T> ab(std::size_t(ldab) * std::max(p.n, 1), sentinel<T>());
    for (int j = 1; j <= p.n; ++j)
        for (int i = 1; i <= p.n; ++i) {
            const bool inside = uplo == 'U' ? (i <= j && j - i <= p.kd) : (i >= j && i - j <= p.kd);
            if (!inside) continue;
            const int row = uplo == 'U' ? p.kd + i - j : i - j;
            ab[std::size_t(j - 1) * ldab + row] = p.at(i, j);
        }
    return ab;
}

/// The right-hand sides with leading dimension ldb (padding: sentinel).
template <typename T>
std::vector<T> rhs_block(const Problem<T>& p, int ldb) {
    std::vector<T> b(std::size_t(ldb) * std::max(p.nrhs, 1), sentinel<T>());
    for (int k = 0; k < p.nrhs; ++k)
        for (int i = 0; i < p.n; ++i) b[std::size_t(k) * ldb + i] = p.rhs[std::size_t(k) * p.n + i];
    return b;
}

/// max |A x - b| / (|A| |x| + |b|) over the columns, A Hermitian with the
/// real part of its diagonal, in extended precision.
template <typename T>
double scaled_residual(const Problem<T>& p, const std::vector<T>& b, int ldb) {
    using W = testing::WideOf<T>;
    double worst = 0;
    for (int k = 0; k < p.nrhs; ++k) {
        const T* x = b.data() + std::size_t(k) * ldb;
        long double anorm = 0, xnorm = 0, bnorm = 0, rnorm = 0;
        for (int i = 1; i <= p.n; ++i) {
            W y = testing::widen(p.rhs[std::size_t(k) * p.n + i - 1]);
            bnorm = std::max<long double>(bnorm, std::abs(y));
            long double row = 0;
            for (int j = std::max(1, i - p.kd); j <= std::min(p.n, i + p.kd); ++j) {
                T aij = p.at(i, j);
                if (i == j) aij = T(std::real(aij));
                y -= testing::widen(aij) * testing::widen(x[j - 1]);
                row += std::abs(testing::widen(aij));
            }
            anorm = std::max(anorm, row);
            xnorm = std::max<long double>(xnorm, std::abs(testing::widen(x[i - 1])));
            rnorm = std::max<long double>(rnorm, std::abs(y));
        }
        worst = std::max(worst, double(rnorm / (anorm * xnorm + bnorm)));
    }
    return worst;
}

template <typename T>
int our_pbsv(char uplo, int n, int kd, int nrhs, std::vector<T>& ab, int ldab, std::vector<T>& b,
             int ldb) {
    return band_pbsv(uplo, n, kd, nrhs, ab.data(), ldab, b.data(), ldb);
}

/// band_pbtrf_? then, when it succeeds, band_pbtrs_?: the same contract as
/// band_pbsv_? but for b, which a failing pivot leaves as it is anyway.
template <typename T>
int our_pbtrf_pbtrs(char uplo, int n, int kd, int nrhs, std::vector<T>& ab, int ldab,
                    std::vector<T>& b, int ldb) {
    const int info = band_pbtrf(uplo, n, kd, ab.data(), ldab);
    if (info != 0) return info;
    return band_pbtrs(uplo, n, kd, nrhs, ab.data(), ldab, b.data(), ldb);
}

/// Largest |x - y| over the elements, relative to the largest |y|.
template <typename T>
double relative_difference(const std::vector<T>& x, const std::vector<T>& y) {
    double diff = 0, scale = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        diff = std::max<double>(diff, std::abs(x[i] - y[i]));
        scale = std::max<double>(scale, std::abs(y[i]));
    }
    return scale > 0 ? diff / scale : diff;
}

template <typename T>
double epsilon() {
    return std::numeric_limits<Component<T>>::epsilon();
}

template <typename T>
class LapackStyle : public ::testing::Test {};
TYPED_TEST_SUITE(LapackStyle, testing::ElementTypes);

struct Shape {
    int n, kd, nrhs, extra_ldab, extra_ldb;
};
// From four columns on the columns run in SIMD lanes (16 real or 4 complex
// at a time, then 4 real), in tiles of 64 rows.
const Shape shapes[] = {{1, 0, 1, 0, 0},  {7, 0, 2, 1, 3},    {40, 1, 1, 0, 0},
                        {60, 3, 3, 2, 1}, {300, 8, 23, 0, 5}, {123, 17, 1, 1, 0},
                        {5, 7, 2, 0, 0},  {900, 30, 1, 0, 0}, {200, 70, 6, 0, 1}};

TYPED_TEST(LapackStyle, AgreesWithReferenceLapackInBothLayouts) {
#ifndef BANDSOLVE_HAVE_LAPACK
    GTEST_SKIP() << "reference LAPACK not found";
#else
    using T = TypeParam;
    std::uint64_t seed = 11;
    for (const Shape& s : shapes)
        for (char uplo : {'U', 'L'}) {
            SCOPED_TRACE(::testing::Message() << "n " << s.n << " kd " << s.kd << " nrhs " << s.nrhs
                                              << " uplo " << uplo);
            const auto p = hermitian_problem<T>(s.n, s.kd, s.nrhs, ++seed);
            const int ldab = s.kd + 1 + s.extra_ldab, ldb = s.n + s.extra_ldb;
            auto ab = lapack_band(p, uplo, ldab), ref_ab = ab;
            auto b = rhs_block(p, ldb), ref_b = b;
            int ref_info = -1;
            testing::lapack_pbsv(uplo, s.n, s.kd, s.nrhs, ref_ab.data(), ldab, ref_b.data(), ldb,
                                 &ref_info);
            ASSERT_EQ(ref_info, 0);
            ASSERT_EQ(our_pbsv(uplo, s.n, s.kd, s.nrhs, ab, ldab, b, ldb), 0);

            // The solution and the factor left in AB agree to rounding;
            // the padding of both arrays is as it was, bit for bit.
            const double tol = 40 * (s.kd + 1) * epsilon<T>();
            EXPECT_LT(relative_difference(b, ref_b), tol);
            EXPECT_LT(relative_difference(ab, ref_ab), tol);
            EXPECT_LT(scaled_residual(p, b, ldb), 4 * (s.kd + 1) * epsilon<T>());
            const T pad = sentinel<T>();
            for (int j = 0; j < s.n; ++j)
                for (int r = s.kd + 1; r < ldab; ++r) ASSERT_EQ(ab[std::size_t(j) * ldab + r], pad);
            for (int k = 0; k < s.nrhs; ++k)
                for (int i = s.n; i < ldb; ++i) ASSERT_EQ(b[std::size_t(k) * ldb + i], pad);

            // The factor-and-solve pair leaves band_pbsv_?'s very bytes, padding
            // included; and each library solves with the other's factor
            // (ref_ab is what ?pbtrf leaves) to rounding.
            auto pair_ab = lapack_band(p, uplo, ldab);
            auto pair_b = rhs_block(p, ldb);
            ASSERT_EQ(our_pbtrf_pbtrs(uplo, s.n, s.kd, s.nrhs, pair_ab, ldab, pair_b, ldb), 0);
            EXPECT_TRUE(same_bytes(pair_ab, ab));
            EXPECT_TRUE(same_bytes(pair_b, b));
            auto ours_on_lapack = rhs_block(p, ldb), lapack_on_ours = ours_on_lapack;
            ASSERT_EQ(band_pbtrs(uplo, s.n, s.kd, s.nrhs, ref_ab.data(), ldab,
                                 ours_on_lapack.data(), ldb),
                      0);
            ASSERT_EQ(testing::lapack_pbtrs(uplo, s.n, s.kd, s.nrhs, ab.data(), ldab,
                                            lapack_on_ours.data(), ldb),
                      0);
            EXPECT_LT(relative_difference(ours_on_lapack, ref_b), tol);
            EXPECT_LT(relative_difference(lapack_on_ours, ref_b), tol);
            auto lapack_factor = lapack_band(p, uplo, ldab);
            ASSERT_EQ(testing::lapack_pbtrf(uplo, s.n, s.kd, lapack_factor.data(), ldab), 0);
            EXPECT_TRUE(same_bytes(lapack_factor, ref_ab));
        }
#endif
}

/// Runs the given body of band_pbsv_? for the scope's lifetime.
struct ForcedBody {
    explicit ForcedBody(detail::PbsvBody body) { detail::force_pbsv_body(body); }
    ~ForcedBody() { detail::force_pbsv_body(detail::PbsvBody::best); }
};

TYPED_TEST(LapackStyle, SameBitsForEveryLayoutLeadingDimensionTeamSizeAndBody) {
    using T = TypeParam;
    // Columns in lanes, and one to three columns in place beside the rows
    // of fixed span (the widest included), odd and even, and beside the
    // general rows (whose single-precision updates run fused in the AVX2
    // body).
    const struct {
        int kd, nrhs;
    } cases[] = {{6, 21}, {1, 1}, {8, 1}, {13, 2}, {16, 3}, {17, 1}, {42, 2}};
    const int n = 500;
    for (const auto& c : cases) {
        const int kd = c.kd, nrhs = c.nrhs;
        const auto p = hermitian_problem<T>(n, kd, nrhs, 99 + kd);
        std::vector<T> first, first_ab;
        for (int team : {1, 2, 3, 8}) {
            TeamOf scope(team);
            // Team 1 the best body, 3 AVX2 alone, the even teams portable.
            const auto forced = team % 2 == 0 ? detail::PbsvBody::portable
                                : team == 3   ? detail::PbsvBody::avx2
                                              : detail::PbsvBody::best;
            ForcedBody body(forced);
            for (char uplo : {'L', 'U'})
                for (int extra : {0, 2}) {
                    SCOPED_TRACE(::testing::Message()
                                 << "kd " << kd << " nrhs " << nrhs << " team " << team << " uplo "
                                 << uplo << " padding " << extra << " body " << int(forced));
                    const int ldab = kd + 1 + extra, ldb = n + extra;
                    auto ab = lapack_band(p, uplo, ldab);
                    auto b = rhs_block(p, ldb);
                    ASSERT_EQ(our_pbsv(uplo, n, kd, nrhs, ab, ldab, b, ldb), 0);
                    auto pair_ab = lapack_band(p, uplo, ldab);
                    auto pair_b = rhs_block(p, ldb);
                    ASSERT_EQ(our_pbtrf_pbtrs(uplo, n, kd, nrhs, pair_ab, ldab, pair_b, ldb), 0);
                    EXPECT_TRUE(same_bytes(pair_ab, ab));
                    EXPECT_TRUE(same_bytes(pair_b, b));
                    std::vector<T> x;
                    for (int k = 0; k < nrhs; ++k)
                        x.insert(x.end(), b.begin() + std::size_t(k) * ldb,
                                 b.begin() + std::size_t(k) * ldb + n);
                    // The factor, U(i, j) for j - i = 0..kd in row-major
                    // order, read back from an 'L' array as its conjugate
                    // (the real diagonal as it is).
                    std::vector<T> f;
                    for (int i = 1; i <= n; ++i)
                        for (int j = i; j <= std::min(n, i + kd); ++j) {
                            const T v = uplo == 'U' ? ab[std::size_t(j - 1) * ldab + kd + i - j]
                                                    : ab[std::size_t(i - 1) * ldab + j - i];
                            f.push_back(uplo == 'L' && j > i ? conj_of(v) : v);
                        }
                    if (first.empty()) {
                        first = x;
                        first_ab = f;
                    } else {
                        EXPECT_TRUE(same_bytes(x, first));
                        EXPECT_TRUE(same_bytes(f, first_ab));
                    }
                }
        }
        // A column solved alone (its own back substitution) has the bits it
        // has among others in lanes.
        if (nrhs >= 4)
            for (char uplo : {'L', 'U'}) {
                SCOPED_TRACE(::testing::Message() << "kd " << kd << " alone, uplo " << uplo);
                auto ab = lapack_band(p, uplo, kd + 1);
                auto b = rhs_block(p, n);
                ASSERT_EQ(our_pbsv(uplo, n, kd, 1, ab, kd + 1, b, n), 0);
                EXPECT_TRUE(same_bytes(std::vector<T>(b.begin(), b.begin() + n),
                                       std::vector<T>(first.begin(), first.begin() + n)));
            }
    }
}

/// The solution order the real LAPACK-style entries define, written plainly
/// on our band storage of a factor U (U(i, j) at (i-1)*kd + j - 1): forward
/// substitution row by row, back substitution column by column.  Every
/// stored result is evaluated in double and rounded once.
template <typename T>
void plain_pbsv_solve(const std::vector<T>& u, int n, int kd, T* y) {
    auto at = [&](int i, int j) { return double(u[std::size_t(i - 1) * kd + j - 1]); };
    for (int i = 1; i <= n; ++i) {
        y[i - 1] = T(double(y[i - 1]) / at(i, i));
        for (int j = i + 1; j <= std::min(n, i + kd); ++j)
            y[j - 1] = T(double(y[j - 1]) - at(i, j) * double(y[i - 1]));
    }
    for (int j = n; j >= 1; --j) {
        y[j - 1] = T(double(y[j - 1]) / at(j, j));
        for (int i = j - 1; i >= std::max(1, j - kd); --i)
            y[i - 1] = T(double(y[i - 1]) - at(i, j) * double(y[j - 1]));
    }
}

/// 'L' with LDAB = KD + 1 is our band storage: the real entries must leave
/// exactly band_factor's factor, and each column, in lanes or not, exactly
/// the plain order's solution on it.
template <typename T>
void expect_defined_bits() {
    for (int kd : {1, 8, 33}) {
        SCOPED_TRACE(::testing::Message() << "kd " << kd);
        for (int nrhs : {23, 1}) {
            const int n = 2000;
            const auto p = hermitian_problem<T>(n, kd, nrhs, 5);
            auto ab = lapack_band(p, 'L', kd + 1), slab_a = ab;
            auto b = rhs_block(p, n), plain_b = b;
            ASSERT_EQ(our_pbsv('L', n, kd, nrhs, ab, kd + 1, b, n), 0);
            ASSERT_EQ(bandsolve::band_factor(slab_a.data(), n, kd), 0);
            for (int k = 0; k < nrhs; ++k) plain_pbsv_solve(slab_a, n, kd, plain_b.data() + k * n);
            EXPECT_TRUE(same_bytes(ab, slab_a));
            EXPECT_TRUE(same_bytes(b, plain_b));
        }
    }
}

TEST(LapackStyleEntries, RealLowerLayoutGivesTheSlabFactorAndThePlainSolve) {
    expect_defined_bits<float>();
    expect_defined_bits<double>();
    // A halfway case in the back substitution, which the AVX2 body runs as
    // a single-precision fused multiply-subtract: with U(2, 3) =
    // 2^-24 (1 + 2^-23), the forward substitution leaves y(2) = 1 + 2^-23
    // and y(3) = 1 - 2^-23, and y(2) - U(2, 3) x(3) = 1 + 2^-24 + 2^-70 is
    // 1 + 2^-24 in double, halfway, so 1 (to even), where the exact value
    // rounded once would be 1 + 2^-23.
    const int n = 3, kd = 1;
    const float above = 1.0f + std::ldexp(1.0f, -23);
    std::vector<float> u = {1.0f, 0.0f, 1.0f, std::ldexp(above, -24), 1.0f, 0.0f};
    std::vector<float> b = {0.5f, above, 1.0f - std::ldexp(1.0f, -24)}, plain_b = b;
    ASSERT_EQ(band_pbtrs('L', n, kd, 1, u.data(), kd + 1, b.data(), n), 0);
    plain_pbsv_solve(u, n, kd, plain_b.data());
    EXPECT_TRUE(same_bytes(b, plain_b));
    EXPECT_EQ(b[1], 1.0f);
}

TYPED_TEST(LapackStyle, FailingPivotGivesLapacksInfoAndFinishedRowsAndLeavesBUntouched) {
    using T = TypeParam;
    const int n = 1000;
    // kd = 5 and 8: the rows of fixed span (in the AVX2 body the AVX2 rows
    // of every type); kd = 20: the general loop, and for the complex types
    // the AVX2 rows of a span given at run time.
    for (int kd : {5, 8, 20}) {
        // Every row among the last kd of the first slab the slab entries
        // factorise (a pivot failing there leaves their rows above it
        // unfinished beyond the slab) and the row after it, beside the first
        // rows and the last.
        const int slab_end = static_cast<int>(factor_slab_rows(0, kd));
        std::vector<int> bad_rows = {1, 2, n - 1, n};
        for (int i = slab_end - kd + 1; i <= slab_end + 1; ++i) bad_rows.push_back(i);
        const auto p = hermitian_problem<T>(n, kd, 5, 1234 + kd);
        const int ldab = kd + 1;
        for (char uplo : {'U', 'L'}) {
            // U(i, i) at diag(i); U(i, j) in AB's column j, row kd + i - j
            // for 'U', conjugated in column i, row j - i for 'L'.
            auto diag = [&](int i) { return std::size_t(i - 1) * ldab + (uplo == 'U' ? kd : 0); };
            const auto ab0 = lapack_band(p, uplo, ldab);
            const auto b0 = rhs_block(p, n);
            for (int bad_row : bad_rows) {
                // Two columns are kept aside as the forward substitution
                // runs, five wait for the factorisation.
                const int nrhs = bad_row % 2 == 0 ? 2 : 5;
                SCOPED_TRACE(::testing::Message() << "kd " << kd << " row " << bad_row << " uplo "
                                                  << uplo << " nrhs " << nrhs);
                // Leading minors up to bad_row - 1 stay diagonally dominant;
                // the minor of order bad_row gets a negative pivot.
                auto input = ab0;
                input[diag(bad_row)] = T(-1);
                // The same INFO, b as it came and the same bytes in AB from
                // every body, both teams and band_pbtrf_?.
                std::vector<T> ab;
                for (int team : {1, 2})
                    for (auto forced : {detail::PbsvBody::best, detail::PbsvBody::avx2,
                                        detail::PbsvBody::portable}) {
                        SCOPED_TRACE(::testing::Message()
                                     << "team " << team << " body " << int(forced));
                        TeamOf scope(team);
                        ForcedBody body(forced);
                        auto run_ab = input;
                        auto b = b0;
                        EXPECT_EQ(our_pbsv(uplo, n, kd, nrhs, run_ab, ldab, b, n), bad_row);
                        EXPECT_TRUE(same_bytes(b, b0));
                        auto pair_ab = input;
                        EXPECT_EQ(band_pbtrf(uplo, n, kd, pair_ab.data(), ldab), bad_row);
                        EXPECT_TRUE(same_bytes(pair_ab, run_ab));
                        if (ab.empty())
                            ab = run_ab;
                        else
                            EXPECT_TRUE(same_bytes(run_ab, ab));
                    }
#ifdef BANDSOLVE_HAVE_LAPACK
                auto ref_ab = input;
                auto ref_b = b0;
                int ref_info = 0;
                testing::lapack_pbsv(uplo, n, kd, nrhs, ref_ab.data(), ldab, ref_b.data(), n,
                                     &ref_info);
                EXPECT_EQ(ref_info, bad_row);
                // ?pbsv leaves ?pbtrf's array, in which rows 1..bad_row-1
                // of U are finished, every element, and the failing pivot is
                // reduced by them.  Ours agree to rounding, each element
                // relative to itself or its row's pivot.
                auto ref_factor = input;
                ASSERT_EQ(testing::lapack_pbtrf(uplo, n, kd, ref_factor.data(), ldab), bad_row);
                EXPECT_TRUE(same_bytes(ref_factor, ref_ab));
                const double tol = 16 * (kd + 1) * epsilon<T>();
                for (int i = 1; i < bad_row; ++i)
                    for (int j = i; j <= std::min(n, i + kd); ++j) {
                        const std::size_t at = uplo == 'U' ? std::size_t(j - 1) * ldab + kd + i - j
                                                           : std::size_t(i - 1) * ldab + j - i;
                        const double scale =
                            std::max<double>(std::abs(ref_ab[at]), std::abs(ref_ab[diag(i)]));
                        ASSERT_LE(std::abs(ab[at] - ref_ab[at]), tol * scale)
                            << "U(" << i << ", " << j << "): " << ab[at] << " against "
                            << ref_ab[at];
                    }
                const double pivot = std::real(ref_ab[diag(bad_row)]);
                EXPECT_LE(std::abs(std::real(ab[diag(bad_row)]) - pivot),
                          tol * std::max(1.0, std::abs(pivot)));
#endif
            }
        }
    }
}

TYPED_TEST(LapackStyle, IllegalArgumentsTouchNothing) {
    using T = TypeParam;
    const int n = 10, kd = 2, nrhs = 1;
    const auto p = hermitian_problem<T>(n, kd, nrhs, 3);
    const auto ab0 = lapack_band(p, 'U', kd + 1);
    const auto b0 = rhs_block(p, n);
    struct Case {
        char uplo;
        int n, kd, nrhs, ldab, ldb, info;
    };
    const Case cases[] = {{'X', n, kd, nrhs, kd + 1, n, -1}, {'u', -1, kd, nrhs, kd + 1, n, -2},
                          {'U', n, -1, nrhs, kd + 1, n, -3}, {'l', n, kd, -2, kd + 1, n, -4},
                          {'U', n, kd, nrhs, kd, n, -6},     {'U', n, kd, nrhs, kd + 1, n - 1, -8},
                          {'U', 0, kd, nrhs, kd + 1, 0, -8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "expected INFO " << c.info);
        auto ab = ab0;
        auto b = b0;
        EXPECT_EQ(our_pbsv(c.uplo, c.n, c.kd, c.nrhs, ab, c.ldab, b, c.ldb), c.info);
        EXPECT_TRUE(same_bytes(ab, ab0));
        EXPECT_TRUE(same_bytes(b, b0));
    }
    // Null arrays that would be read, and null scalars.
    int info = 0, ldab = kd + 1, ldb = n;
    const char upper = 'U';
    auto b = b0;
    detail::CEntries<T>::pbsv(&upper, &n, &kd, &nrhs, nullptr, &ldab, b.data(), &ldb, &info);
    EXPECT_EQ(info, -5);
    auto ab = ab0;
    detail::CEntries<T>::pbsv(&upper, &n, &kd, &nrhs, ab.data(), &ldab, nullptr, &ldb, &info);
    EXPECT_EQ(info, -7);
    detail::CEntries<T>::pbsv(nullptr, &n, &kd, &nrhs, ab.data(), &ldab, b.data(), &ldb, &info);
    EXPECT_EQ(info, -1);
    // Without INFO to report in, nothing is done.
    detail::CEntries<T>::pbsv(&upper, &n, &kd, &nrhs, ab.data(), &ldab, b.data(), &ldb, nullptr);
    EXPECT_TRUE(same_bytes(ab, ab0));
    EXPECT_TRUE(same_bytes(b, b0));
    // band_pbtrf_? and band_pbtrs_?: LAPACK's checks in their argument
    // orders (pbtrf: uplo, n, kd, ab, ldab), nothing touched.
    const Case pair_cases[] = {
        {'X', n, kd, nrhs, kd + 1, n, -1}, {'L', -1, kd, nrhs, kd + 1, n, -2},
        {'U', n, -1, nrhs, kd + 1, n, -3}, {'u', n, kd, -1, kd + 1, n, -4},
        {'U', n, kd, nrhs, kd, n, -6},     {'l', n, kd, nrhs, kd + 1, n - 1, -8}};
    for (const Case& c : pair_cases) {
        SCOPED_TRACE(::testing::Message() << "pair, expected INFO " << c.info);
        auto ab_c = ab0;
        auto b_c = b0;
        const int trf_info = c.info == -4 || c.info == -8 ? 0 : c.info == -6 ? -5 : c.info;
        if (trf_info != 0) {
            EXPECT_EQ(band_pbtrf(c.uplo, c.n, c.kd, ab_c.data(), c.ldab), trf_info);
        }
        EXPECT_EQ(band_pbtrs(c.uplo, c.n, c.kd, c.nrhs, ab_c.data(), c.ldab, b_c.data(), c.ldb),
                  c.info);
        EXPECT_TRUE(same_bytes(ab_c, ab0));
        EXPECT_TRUE(same_bytes(b_c, b0));
    }
    detail::CEntries<T>::pbtrf(&upper, &n, &kd, nullptr, &ldab, &info);
    EXPECT_EQ(info, -4);
    detail::CEntries<T>::pbtrf(&upper, &n, &kd, ab.data(), nullptr, &info);
    EXPECT_EQ(info, -5);
    detail::CEntries<T>::pbtrs(&upper, &n, &kd, &nrhs, nullptr, &ldab, b.data(), &ldb, &info);
    EXPECT_EQ(info, -5);
    detail::CEntries<T>::pbtrs(&upper, &n, &kd, &nrhs, ab.data(), &ldab, nullptr, &ldb, &info);
    EXPECT_EQ(info, -7);
    detail::CEntries<T>::pbtrs(&upper, &n, &kd, nullptr, ab.data(), &ldab, b.data(), &ldb, &info);
    EXPECT_EQ(info, -4);
    detail::CEntries<T>::pbtrf(&upper, &n, &kd, ab.data(), &ldab, nullptr);
    detail::CEntries<T>::pbtrs(&upper, &n, &kd, &nrhs, ab.data(), &ldab, b.data(), &ldb, nullptr);
    EXPECT_TRUE(same_bytes(ab, ab0));
    EXPECT_TRUE(same_bytes(b, b0));
    // The pair's size-checked forms refuse arrays too short, touching nothing.
    EXPECT_EQ(pbtrf('U', n, kd, std::span<T>(ab).first(ab.size() - 1), kd + 1), -4);
    EXPECT_EQ(pbtrs('U', n, kd, nrhs, std::span<const T>(ab).first(ab.size() - 1), kd + 1,
                    std::span<T>(b), n),
              -5);
    EXPECT_EQ(
        pbtrs('U', n, kd, nrhs, std::span<const T>(ab), kd + 1, std::span<T>(b).first(n - 1), n),
        -7);
    EXPECT_TRUE(same_bytes(ab, ab0));
    EXPECT_TRUE(same_bytes(b, b0));
    // n = 0 and nrhs = 0 are legal: nothing to do, and a factorisation only.
    EXPECT_EQ(our_pbsv('L', 0, kd, nrhs, ab, kd + 1, b, 1), 0);
    EXPECT_TRUE(same_bytes(ab, ab0));
    auto factored = ab0;
    EXPECT_EQ(our_pbsv('U', n, kd, 0, factored, kd + 1, b, n), 0);
    EXPECT_FALSE(same_bytes(factored, ab0));
    EXPECT_TRUE(same_bytes(b, b0));
}

TEST(LapackStyleEntries, FortranNamesGiveTheSameBits) {
    const int n = 200, kd = 4, nrhs = 1, ldab = kd + 1, ldb = n;
    const auto p = hermitian_problem<double>(n, kd, nrhs, 8);
    auto ab = lapack_band(p, 'U', ldab), ab_f = ab;
    auto b = rhs_block(p, ldb), b_f = b;
    int info = -1, info_f = -1;
    band_pbsv_d("U", &n, &kd, &nrhs, ab.data(), &ldab, b.data(), &ldb, &info);
    band_pbsv_d_("U", &n, &kd, &nrhs, ab_f.data(), &ldab, b_f.data(), &ldb, &info_f, 1);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(info_f, 0);
    EXPECT_TRUE(same_bytes(ab, ab_f));
    EXPECT_TRUE(same_bytes(b, b_f));

    const auto pz = hermitian_problem<std::complex<double>>(n, kd, nrhs, 9);
    auto az = lapack_band(pz, 'L', ldab), az_f = az;
    auto bz = rhs_block(pz, ldb), bz_f = bz;
    band_pbsv_z("L", &n, &kd, &nrhs, az.data(), &ldab, bz.data(), &ldb, &info);
    band_pbsv_z_("L", &n, &kd, &nrhs, az_f.data(), &ldab, bz_f.data(), &ldb, &info_f, 1);
    EXPECT_EQ(info, 0);
    EXPECT_EQ(info_f, 0);
    EXPECT_TRUE(same_bytes(bz, bz_f));
    EXPECT_LT(scaled_residual(pz, bz, ldb), 20 * std::numeric_limits<double>::epsilon());

    // DPBTRF and DPBTRS under their Fortran names: band_pbsv_d's bits.
    auto ab_pair = lapack_band(p, 'U', ldab);
    auto b_pair = rhs_block(p, ldb);
    band_pbtrf_d_("U", &n, &kd, ab_pair.data(), &ldab, &info_f, 1);
    EXPECT_EQ(info_f, 0);
    band_pbtrs_d_("U", &n, &kd, &nrhs, ab_pair.data(), &ldab, b_pair.data(), &ldb, &info_f, 1);
    EXPECT_EQ(info_f, 0);
    EXPECT_TRUE(same_bytes(ab_pair, ab));
    EXPECT_TRUE(same_bytes(b_pair, b));
}

TEST(LapackStyleEntries, ComplexEntriesAreHermitianNotComplexSymmetric) {
    // A = [2, i; -i, 2] is Hermitian positive definite (eigenvalues 1, 3).
    // Solving it as complex symmetric would read A(2,1) as i and give a
    // different x.  With b = A (1, 1): x = (1, 1).
    using Z = std::complex<double>;
    const int n = 2, kd = 1, nrhs = 1, ldab = 2, ldb = 2;
    std::vector<Z> ab = {Z(0), Z(2), Z(0, 1), Z(2)};  // 'U': A(1,2) above A(2,2)
    std::vector<Z> b = {Z(2, 1), Z(2, -1)};
    int info = -1;
    band_pbsv_z("U", &n, &kd, &nrhs, ab.data(), &ldab, b.data(), &ldb, &info);
    ASSERT_EQ(info, 0);
    EXPECT_NEAR(std::abs(b[0] - Z(1)), 0, 1e-15);
    EXPECT_NEAR(std::abs(b[1] - Z(1)), 0, 1e-15);
    // U = [sqrt 2, i/sqrt 2; 0, sqrt(3/2)], with a real diagonal.
    EXPECT_NEAR(std::abs(ab[1] - Z(std::sqrt(2.0))), 0, 1e-15);
    EXPECT_NEAR(std::abs(ab[2] - Z(0, 1 / std::sqrt(2.0))), 0, 1e-15);
    EXPECT_EQ(ab[3].imag(), 0.0);
    EXPECT_NEAR(ab[3].real(), std::sqrt(1.5), 1e-15);
}

}  // namespace
}  // namespace bandsolve
