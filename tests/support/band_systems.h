// Test systems with known solutions, band products and error measures for
// the four element types.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "driver/test_system.h"

namespace bandsolve::testing {

template <typename T>
struct IsComplex : std::false_type {};
template <typename C>
struct IsComplex<std::complex<C>> : std::true_type {};

template <typename T>
using Component = decltype(std::abs(T{}));

/// A band system in band storage with its exact solution.
template <typename T>
struct BandSystem {
    int n = 0;
    int hb = 0;
    int nrhs = 0;
    std::vector<T> a;  // (n-1)*(hb+1)+1 elements
    std::vector<T> b;  // n*nrhs
    std::vector<T> x;  // n*nrhs, the exact solution

    std::size_t band_elements() const {
        return n > 0 ? static_cast<std::size_t>(n - 1) * (hb + 1) + 1 : 0;
    }
    std::vector<T> zero_work() const {
        return std::vector<T>(std::max<std::size_t>(2 * std::size_t(std::max(n, 0)) * hb, 1));
    }
    T& at(int r, int c) { return a[std::size_t(r - 1) * hb + (c - 1)]; }
    const T& at(int r, int c) const { return a[std::size_t(r - 1) * hb + (c - 1)]; }
};

using Wide = long double;
template <typename T>
using WideOf = std::conditional_t<IsComplex<T>::value, std::complex<Wide>, Wide>;

template <typename T>
WideOf<T> widen(T v) {
    if constexpr (IsComplex<T>::value)
        return {static_cast<Wide>(v.real()), static_cast<Wide>(v.imag())};
    else
        return static_cast<Wide>(v);
}

/// y = A x for every column, with the symmetric band matrix in band storage
/// (element (c, r) read from (r, c), never conjugated), in extended
/// precision.
template <typename T>
std::vector<WideOf<T>> band_multiply(const std::vector<T>& a, int n, int hb,
                                     const std::vector<T>& x, int nrhs) {
    std::vector<WideOf<T>> y(std::size_t(n) * nrhs);
    auto A = [&](int r, int c) { return widen(a[std::size_t(r - 1) * hb + (c - 1)]); };
    for (int k = 0; k < nrhs; ++k)
        for (int i = 1; i <= n; ++i) {
            WideOf<T> s = A(i, i) * widen(x[std::size_t(k) * n + i - 1]);
            for (int q = std::max(1, i - hb); q < i; ++q)
                s += A(q, i) * widen(x[std::size_t(k) * n + q - 1]);
            for (int q = i + 1; q <= std::min(n, i + hb); ++q)
                s += A(i, q) * widen(x[std::size_t(k) * n + q - 1]);
            y[std::size_t(k) * n + i - 1] = s;
        }
    return y;
}

/// An element drawn uniformly from [-1, 1) (each part, for complex T).
template <typename T>
T uniform_element(std::mt19937_64& gen) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    using C = Component<T>;
    if constexpr (IsComplex<T>::value)
        return T(static_cast<C>(u(gen)), static_cast<C>(u(gen)));
    else
        return static_cast<T>(u(gen));
}

/// Random symmetric band matrix, diagonally dominant with a positive real
/// diagonal part (so SPD for real types and safely factorisable without
/// pivoting for complex symmetric ones), a known random solution and
/// b = A x rounded once from extended precision.  For complex types the
/// diagonal and off-diagonal entries have imaginary parts too.
template <typename T>
BandSystem<T> random_system(int n, int hb, int nrhs, std::uint64_t seed) {
    using C = Component<T>;
    BandSystem<T> s;
    s.n = n;
    s.hb = hb;
    s.nrhs = nrhs;
    s.a.assign(s.band_elements(), T{});
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    auto draw = [&] { return uniform_element<T>(gen); };
    for (int r = 1; r <= n; ++r)
        for (int c = r + 1; c <= std::min(n, r + hb); ++c) s.at(r, c) = draw();
    for (int r = 1; r <= n; ++r) {
        double off = 0;
        for (int q = std::max(1, r - hb); q <= std::min(n, r + hb); ++q)
            if (q != r) off += std::abs(q < r ? s.at(q, r) : s.at(r, q));
        const double diag = 1.0 + off * (1.0 + 0.5 * (u(gen) + 1.0));
        if constexpr (IsComplex<T>::value)
            s.at(r, r) = T(static_cast<C>(diag), static_cast<C>(0.25 * diag * u(gen)));
        else
            s.at(r, r) = static_cast<T>(diag);
    }
    s.x.resize(std::size_t(n) * std::max(nrhs, 0));
    for (auto& v : s.x) v = draw();
    const auto y = band_multiply(s.a, n, hb, s.x, std::max(nrhs, 0));
    s.b.resize(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        if constexpr (IsComplex<T>::value)
            s.b[i] = T(static_cast<C>(y[i].real()), static_cast<C>(y[i].imag()));
        else
            s.b[i] = static_cast<T>(y[i]);
    }
    return s;
}

/// The benchmark's test system of order n (A = U^T U with the diagonal x10),
/// widened exactly to T; for complex T the matrix is A + i A/8 (exact) and
/// the right-hand side b + 0i.  The exact solution of the widened system is
/// only known for float; x holds the generator's x in every case.
template <typename T>
BandSystem<T> benchmark_system(int n, int hb, int nrhs) {
    BandSystem<T> s;
    s.n = n;
    s.hb = hb;
    s.nrhs = nrhs;
    std::vector<float> a(std::max<std::size_t>(s.band_elements(), 1));
    std::vector<float> b(std::size_t(n) * nrhs), x(std::size_t(n) * nrhs);
    bandbench::build_test_system(a.data(), b.data(), x.data(), n, hb, nrhs);
    a.resize(s.band_elements());
    auto convert = [](float v, float imag_scale) -> T {
        if constexpr (IsComplex<T>::value) {
            using C = Component<T>;
            return T(static_cast<C>(v), static_cast<C>(v) * static_cast<C>(imag_scale));
        } else {
            (void)imag_scale;
            return static_cast<T>(v);
        }
    };
    for (float v : a) s.a.push_back(convert(v, 0.125f));
    for (float v : b) s.b.push_back(convert(v, 0.0f));
    for (float v : x) s.x.push_back(convert(v, 0.0f));
    return s;
}

/// Largest |x_i - xref_i|.
template <typename T>
double max_abs_error(const std::vector<T>& x, const std::vector<T>& xref) {
    double e = 0;
    for (std::size_t i = 0; i < x.size(); ++i)
        e = std::max(e, static_cast<double>(std::abs(widen(x[i]) - widen(xref[i]))));
    return e;
}

/// Scaled residual max_k ||A x_k - b_k||_inf / (||A||_inf ||x_k||_inf eps n),
/// LAPACK's test ratio: a backward-stable solve keeps it of order one.
template <typename T>
double scaled_residual(const std::vector<T>& a, int n, int hb, const std::vector<T>& x,
                       const std::vector<T>& b, int nrhs) {
    if (n <= 0 || nrhs <= 0) return 0;
    const double eps = std::numeric_limits<Component<T>>::epsilon();
    double anorm = 0;
    for (int i = 1; i <= n; ++i) {
        double row = 0;
        for (int q = std::max(1, i - hb); q <= std::min(n, i + hb); ++q)
            row += static_cast<double>(std::abs(widen(q < i ? a[std::size_t(q - 1) * hb + i - 1]
                                                            : a[std::size_t(i - 1) * hb + q - 1])));
        anorm = std::max(anorm, row);
    }
    const auto ax = band_multiply(a, n, hb, x, nrhs);
    double worst = 0;
    for (int k = 0; k < nrhs; ++k) {
        double r = 0, xn = 0;
        for (int i = 0; i < n; ++i) {
            const std::size_t at = std::size_t(k) * n + i;
            r = std::max(r, static_cast<double>(std::abs(ax[at] - widen(b[at]))));
            xn = std::max(xn, static_cast<double>(std::abs(widen(x[at]))));
        }
        if (xn > 0) worst = std::max(worst, r / (anorm * xn * eps * n));
    }
    return worst;
}

}  // namespace bandsolve::testing
