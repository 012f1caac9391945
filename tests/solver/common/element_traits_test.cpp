// Element arithmetic: complex division, square root and modulus, and the
// rounding points of the single-precision families.
#include "solver/common/element_traits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace bandsolve {
namespace {

template <typename C>
class ComplexFunctions : public ::testing::Test {};
using ComponentTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ComplexFunctions, ComponentTypes);

template <typename C>
std::complex<C> csqrt(std::complex<C> z) {
    return complex_sqrt<C, double>(z);
}
template <typename C>
std::complex<C> cdiv(std::complex<C> x, std::complex<C> y) {
    return complex_divide<C, double>(x, y);
}

TYPED_TEST(ComplexFunctions, SquareRootTakesThePrincipalBranch) {
    using C = TypeParam;
    using Z = std::complex<C>;
    EXPECT_EQ(csqrt(Z(3, 4)), Z(2, 1));
    EXPECT_EQ(csqrt(Z(-3, -4)), Z(1, -2));
    // A negative zero imaginary part does not count as negative.
    const Z r = csqrt(Z(-4, -0.0));
    EXPECT_EQ(r, Z(0, 2));
    EXPECT_FALSE(std::signbit(r.imag()));
    const Z zero = csqrt(Z(0, 0));
    EXPECT_EQ(zero, Z(0, 0));
    // Scaling keeps huge arguments finite: sqrt((1 + i) 1e30) in single.
    const C big = std::numeric_limits<C>::max() / 4;
    const Z h = csqrt(Z(big, big));
    EXPECT_TRUE(std::isfinite(h.real()) && std::isfinite(h.imag()));
    EXPECT_GT(h.real(), h.imag());
}

TYPED_TEST(ComplexFunctions, DivisionScalesByTheLargerDivisorPart) {
    using C = TypeParam;
    using Z = std::complex<C>;
    // |3| < |4|: r = 3/4, den = 3 r + 4 = 6.25, parts 2.75/6.25 and 0.5/6.25.
    EXPECT_EQ(cdiv(Z(1, 2), Z(3, 4)), Z(C(0.44), C(0.08)));
    // |4| > |3|: the first rule.
    EXPECT_EQ(cdiv(Z(2, 11), Z(4, 3)), Z(C(1.64), C(1.52)));
    // Equal magnitudes take the second rule and stay exact.
    EXPECT_EQ(cdiv(Z(2, 0), Z(1, 1)), Z(1, -1));
    const Z q = cdiv(Z(5, -7), Z(0, 0));
    EXPECT_TRUE(std::isnan(q.real()) && std::isnan(q.imag()));
    const Z q2 = cdiv(Z(5, -7), Z(-0.0, 0));
    EXPECT_TRUE(std::isnan(q2.real()) && std::isnan(q2.imag()));
}

TYPED_TEST(ComplexFunctions, ModulusAvoidsOverflowAndUnderflow) {
    using C = TypeParam;
    using Z = std::complex<C>;
    EXPECT_EQ(complex_modulus(Z(3, 4)), 5.0);
    EXPECT_EQ(complex_modulus(Z(0, -2)), 2.0);
    EXPECT_EQ(complex_modulus(Z(-7, 0)), 7.0);
    // Squaring either part would overflow in the component precision.
    const C big = std::numeric_limits<C>::max() / 2;
    EXPECT_TRUE(std::isfinite(complex_modulus(Z(big, big / 2))));
    EXPECT_TRUE(std::isfinite(complex_modulus(Z(big / 2, -big))));
    const C tiny = std::numeric_limits<C>::denorm_min();
    EXPECT_GT(complex_modulus(Z(tiny, tiny)), 0.0);
}

// Near the top of the range the square root's |x| + m and a division's
// numerators and denominator exceed the largest double although the parts
// and the result are finite; complex double rescales them.  Every square
// root and every quotient that is finite must be within a few ulps of the
// extended-precision one (normwise: Smith's small part may lose more), for
// parts at the top of either component's range and moderate ones.
TYPED_TEST(ComplexFunctions, StayRightAtTheTopOfTheRange) {
    using C = TypeParam;
    using Z = std::complex<C>;
    using W = std::complex<long double>;
    const C top = std::numeric_limits<C>::max();
    const C huge[] = {0, top, -top, C(0.75) * top, C(-0.6) * top};
    const C moderate[] = {0, 1, C(-0.99), C(0.5)};
    std::vector<Z> tops, moderates, all;
    for (C x : huge)
        for (C y : huge) tops.emplace_back(x, y);
    for (C x : moderate)
        for (C y : moderate) moderates.emplace_back(x, y);
    all = tops;
    all.insert(all.end(), moderates.begin(), moderates.end());
    for (C x : huge)
        for (C y : moderate) {
            all.emplace_back(x, y);
            all.emplace_back(y, x);
        }
    const long double eps = std::numeric_limits<C>::epsilon();
    const long double tiny = std::numeric_limits<C>::denorm_min();
    auto near = [&](Z got, W want) {
        return std::abs(W(got.real(), got.imag()) - want) <= 4 * eps * std::abs(want) + tiny;
    };
    for (const Z z : all) {
        const Z root = csqrt(z);
        EXPECT_TRUE(near(root, std::sqrt(W(z.real(), z.imag())))) << "sqrt " << z << ": " << root;
    }
    for (const std::vector<Z>* divisors : {&tops, &moderates})
        for (const Z y : *divisors) {
            if (y == Z(0, 0)) continue;
            for (const Z x : all) {
                const W want = W(x.real(), x.imag()) / W(y.real(), y.imag());
                if (std::abs(want.real()) > top || std::abs(want.imag()) > top) continue;
                const Z q = cdiv(x, y);
                EXPECT_TRUE(near(q, want)) << x << " / " << y << ": " << q;
            }
        }
}

// The factorisations take the pivot's test and square root in one step,
// which hands the test's modulus to the square root: the root must be
// complex_sqrt's to the bit, and the step must fail exactly when the test
// does, for random pivots and every special part (zeros of either sign,
// subnormal, huge, infinite, NaN).
TYPED_TEST(ComplexFunctions, PivotRootIsTheTestThenTheSquareRoot) {
    using C = TypeParam;
    using Z = std::complex<C>;
    using Tr = ElementTraits<Z>;
    using L = std::numeric_limits<C>;
    const C parts[] = {0,
                       -C(0),
                       1,
                       -3,
                       C(0.75),
                       L::min(),
                       L::denorm_min(),
                       -L::denorm_min(),
                       L::max() / 3,
                       -L::max(),
                       L::infinity(),
                       -L::infinity(),
                       L::quiet_NaN()};
    std::vector<Z> pivots;
    for (C x : parts)
        for (C y : parts) pivots.emplace_back(x, y);
    std::mt19937 gen(17);
    std::uniform_real_distribution<C> u(-4, 4);
    for (int k = 0; k < 4000; ++k) pivots.emplace_back(u(gen), u(gen));
    for (const C floor : {C(0), C(0.5)})
        for (const Z d : pivots) {
            Z root(7, 7);
            const bool fails = Tr::pivot_root_fails(d, floor, root);
            ASSERT_EQ(fails, Tr::pivot_fails(d, floor)) << d;
            if (fails) continue;
            const Z expected = Tr::sqrt(d);
            EXPECT_EQ(std::memcmp(&root, &expected, sizeof(Z)), 0)
                << d << ": " << root << " against " << expected;
        }
}

TEST(PivotTest, OnlyNonPositiveRealOrZeroComplexPivotsFail) {
    using RS = ElementTraits<float>;
    using CS = ElementTraits<std::complex<float>>;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(RS::pivot_fails(0.0f, 0.0f));
    EXPECT_TRUE(RS::pivot_fails(-1.0f, 0.0f));
    EXPECT_FALSE(RS::pivot_fails(1e-30f, 0.0f));
    EXPECT_FALSE(RS::pivot_fails(nan, 0.0f));
    EXPECT_TRUE(CS::pivot_fails({0.0f, -0.0f}, 0.0f));
    EXPECT_FALSE(CS::pivot_fails({-4.0f, 0.0f}, 0.0f));
    EXPECT_FALSE(CS::pivot_fails({0.0f, 1e-40f}, 0.0f));
    EXPECT_FALSE(CS::pivot_fails({nan, 0.0f}, 0.0f));
}

TEST(SinglePrecisionRounding, UpdateIsEvaluatedInDoubleAndRoundedOnce) {
    // x*x = 1 + 2^-11 + 2^-24 needs 25 bits: a product rounded to single
    // first would lose the 2^-24 and give -2^-11.
    const float x = 1.0f + std::ldexp(1.0f, -12);
    const float expected = -(std::ldexp(1.0f, -11) + std::ldexp(1.0f, -24));
    EXPECT_EQ(ElementTraits<float>::update(1.0f, x, x), expected);
    EXPECT_EQ(ElementTraits<float>::add_product(-1.0f, x, x), -expected);

    // Complex single: the product's parts stay in double until the update
    // is stored, so the same 2^-24 survives in the real part.
    using Z = std::complex<float>;
    const Z t = ElementTraits<Z>::update(Z(1, 0), Z(x, 0), Z(x, 0));
    EXPECT_EQ(t, Z(expected, 0));
    // (x + i)(x + i) = x^2 - 1 + 2xi: real part 2^-11 + 2^-24, exact only
    // when x^2 - 1 is formed in double.
    const Z s = ElementTraits<Z>::add_product(Z(0, 0), Z(x, 1), Z(x, 1));
    EXPECT_EQ(s.real(), -expected);
}

TEST(SinglePrecisionRounding, DivisionAndSquareRootAreCorrectlyRounded) {
    // Evaluated in double and rounded once, float division and square root
    // agree with the correctly rounded single-precision operations.
    for (float a : {1.0f, 3.0f, 7.1f, 1e-20f, 123456.7f})
        for (float b : {3.0f, 0.7f, 1e10f, 9.5f}) {
            EXPECT_EQ(ElementTraits<float>::divide(a, b), a / b);
            EXPECT_EQ(ElementTraits<float>::sqrt(a), std::sqrt(a));
        }
}

// The update and accumulation loops of the block steps over complex
// elements, compiled as they stand and for processors with fused
// multiply-adds, where GCC 12's vectoriser fuses a complex product's parts
// unless they are written as ElementTraits writes them.
template <typename T>
void complex_loops(T* __restrict u, T* __restrict s, const T* __restrict x, T y, Index n) {
    for (Index j = 0; j < n; ++j) u[j] = ElementTraits<T>::update(u[j], x[j], y);
    for (Index j = 0; j < n; ++j) s[j] = ElementTraits<T>::add_product(s[j], x[j], y);
}
#if defined(__x86_64__)
template <typename T>
__attribute__((noinline)) void complex_loops_baseline(T* u, T* s, const T* x, T y, Index n) {
    complex_loops(u, s, x, y, n);
}
template <typename T>
__attribute__((noinline, target("avx2,fma"))) void complex_loops_fma(T* u, T* s, const T* x, T y,
                                                                     Index n) {
    complex_loops(u, s, x, y, n);
}
#endif

TYPED_TEST(ComplexFunctions, ProductsAreNotFusedWhereTheProcessorCouldFuse) {
#if defined(__x86_64__)
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma"))
        GTEST_SKIP() << "no AVX2 with FMA";
    using Z = std::complex<TypeParam>;
    const Index n = 1000;
    std::vector<Z> x(n), t(n);
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<TypeParam> part(-1, 1);
    for (Index j = 0; j < n; ++j) {
        x[j] = Z(part(rng), part(rng));
        t[j] = Z(part(rng), part(rng));
    }
    const Z y(part(rng), part(rng));
    auto u1 = t, s1 = t, u2 = t, s2 = t;
    complex_loops_baseline(u1.data(), s1.data(), x.data(), y, n);
    complex_loops_fma(u2.data(), s2.data(), x.data(), y, n);
    EXPECT_EQ(std::memcmp(u1.data(), u2.data(), n * sizeof(Z)), 0);
    EXPECT_EQ(std::memcmp(s1.data(), s2.data(), n * sizeof(Z)), 0);
#else
    GTEST_SKIP() << "x86-64 only";
#endif
}

}  // namespace
}  // namespace bandsolve
