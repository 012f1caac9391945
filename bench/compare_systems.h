// The systems the comparison solves, all made from the benchmark's float
// test system (driver/test_system.h), and the check of a solution against
// its exact one.
//
//   s  A, b as built;                      exact solution x
//   d  A, b widened to double;             exact solution x (up to the
//                                          rounding of b in single precision)
//   c  A + i A/8 and b + 0i, complex float  exact solution x / (1 + i/8)
//   z  the same in complex double           exact solution x / (1 + i/8)
//
// (1 + i/8) A is complex symmetric, and its factor is sqrt(1 + i/8) U, so
// the complex solvers meet exactly the pivots of the real ones, scaled.
// Dividing by 8 is exact, so the complex systems carry no extra rounding.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

namespace bandcompare {

template <typename T>
inline constexpr bool is_complex_v = !std::is_floating_point_v<T>;

/// Letter of an element type: s, d, c, z.
template <typename T>
constexpr char type_letter() noexcept {
    if constexpr (std::is_same_v<T, float>) return 's';
    if constexpr (std::is_same_v<T, double>) return 'd';
    if constexpr (std::is_same_v<T, std::complex<float>>) return 'c';
    return 'z';
}

/// The benchmark's test system of order n, half bandwidth hb, one
/// right-hand side, with its exact solution.
struct FloatSystem {
    int n = 0;
    int hb = 0;
    std::vector<float> a;  // band array, (n-1)(hb+1)+1 elements
    std::vector<float> b;  // right-hand side, n elements
    std::vector<float> x;  // exact solution, n elements

    static FloatSystem build(int n, int hb);
};

/// Imaginary part of the complex systems' matrix, relative to the real part.
inline constexpr double IMAGINARY_SCALE = 1.0 / 8.0;

/// The float system's values in element type T: real types widen, complex
/// types take v + i*scale*v.
template <typename T>
std::vector<T> convert_values(const std::vector<float>& v, double imaginary_scale) {
    std::vector<T> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        if constexpr (is_complex_v<T>) {
            using C = typename T::value_type;
            out[i] = T(static_cast<C>(v[i]), static_cast<C>(v[i] * imaginary_scale));
        } else {
            out[i] = static_cast<T>(v[i]);
        }
    }
    return out;
}

/// The matrix and right-hand side of the type-T system.
template <typename T>
std::vector<T> system_matrix(const FloatSystem& s) {
    return convert_values<T>(s.a, IMAGINARY_SCALE);
}
template <typename T>
std::vector<T> system_rhs(const FloatSystem& s) {
    return convert_values<T>(s.b, 0.0);
}

/// The factor the float system's exact x is multiplied by to give the
/// type-T system's exact solution: 1, or 1/(1 + i/8).
template <typename T>
std::complex<double> solution_factor() noexcept {
    if constexpr (is_complex_v<T>)
        return 1.0 / std::complex<double>(1.0, IMAGINARY_SCALE);
    else
        return 1.0;
}

/// Result of checking a solution.
struct Verification {
    bool ok = false;
    double max_error = 0;  // max |solution - exact| / max |x|; NaN if any is NaN
    std::string failure;   // empty when ok
};

/// Largest accepted max_error.
inline constexpr double TOLERANCE = 1e-4;

/// Checks n computed elements against factor * x: every error must be at
/// most tolerance * max|x| (NaN and infinity fail).
template <typename T>
Verification verify_solution(const T* solution, const std::vector<float>& x,
                             std::complex<double> factor, double tolerance = TOLERANCE) {
    Verification v;
    double scale = 0;
    for (float xi : x) scale = std::fmax(scale, std::fabs(static_cast<double>(xi)));
    if (scale == 0) scale = 1;
    double worst = 0;
    std::size_t worst_at = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const std::complex<double> got(solution[i]);
        const double error = std::abs(got - factor * static_cast<double>(x[i])) / scale;
        // Written so that a NaN error is kept and reported.
        if (!(error <= worst)) {
            worst = error;
            worst_at = i;
            if (std::isnan(error)) break;
        }
    }
    v.max_error = worst;
    v.ok = worst <= tolerance;
    if (!v.ok) {
        char text[128];
        std::snprintf(text, sizeof text, "error %.3g at row %zu (tolerance %.3g)", worst,
                      worst_at + 1, tolerance);
        v.failure = text;
    }
    return v;
}

}  // namespace bandcompare
