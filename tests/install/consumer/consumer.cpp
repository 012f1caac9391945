// A program outside the project that uses the installed library through the
// C++ header: the size-checked form of every entry (solve, factor,
// solve_with_factor, factor_solve, pbsv), called with vectors, mutable and
// const, and spans as they come, and the overloaded pointer form of
// band_pbsv, in double and complex double, each solution checked against a
// known one; and the size checks that refuse short arrays.  Exit status 0
// when all is right.
#include <algorithm>
#include <bandsolve.hpp>
#include <cmath>
#include <complex>
#include <cstdio>
#include <span>
#include <type_traits>
#include <vector>

namespace {

constexpr int n = 2000;
constexpr int hb = 4;

// A(i, i+k) for 0-based i: diagonally dominant; the complex matrix has an
// imaginary part on every element (complex symmetric, and Hermitian only
// where it has to be: the LAPACK-style entry reads the real diagonal).
template <typename T>
T element(int i, int k) {
    double re = k == 0 ? 4.0 * hb + 2.0 + (i % 5) * 0.5 : -1.0 / (k + 1) + ((i + k) % 3) * 0.1;
    if constexpr (std::is_same_v<T, double>) {
        return re;
    } else {
        return T(re, k == 0 ? 0.0 : 0.2 / k);
    }
}

template <typename T>
T solution(int i) {
    if constexpr (std::is_same_v<T, double>) {
        return 1.0 + (i % 9) / 4.0;
    } else {
        return T(1.0 + (i % 9) / 4.0, 0.5 - (i % 4) / 8.0);
    }
}

template <typename T>
std::vector<T> band() {
    std::vector<T> a(bandsolve::band_array_size(n, hb));
    for (int i = 0; i < n; ++i)
        for (int k = 0; k <= hb && i + k < n; ++k)
            a[static_cast<std::size_t>(i) * (hb + 1) + k] = element<T>(i, k);
    return a;
}

// b = A x for the known x.  The band array holds element(i, k) at
// i*(hb+1) + k.  Read as band storage that is A(i, i+k) of a complex
// symmetric A; read as LAPACK's lower layout ('L', LDAB = hb + 1) it is
// A(i+k, i) of a Hermitian A (`hermitian`), whose A(i, i+k) is then the
// conjugate.
template <typename T>
std::vector<T> rhs(bool hermitian) {
    std::vector<T> b(n);
    for (int i = 0; i < n; ++i) {
        T y = element<T>(i, 0) * solution<T>(i);
        for (int k = 1; k <= hb; ++k) {
            if (i + k < n) {
                T upper = element<T>(i, k);
                if constexpr (!std::is_same_v<T, double>) {
                    if (hermitian) upper = std::conj(upper);
                }
                y += upper * solution<T>(i + k);
            }
            if (i - k >= 0) y += element<T>(i - k, k) * solution<T>(i - k);
        }
        b[i] = y;
    }
    return b;
}

template <typename T>
double error(const std::vector<T>& x) {
    double worst = 0;
    for (int i = 0; i < n; ++i) {
        const double d = std::abs(x[i] - solution<T>(i));
        if (!(d <= worst)) worst = d;
    }
    return worst;
}

int failures = 0;

void check(const char* what, int info, double err) {
    const bool ok = info == 0 && err < 1e-10;
    std::printf("%-38s INFO %d, error %.3g%s\n", what, info, err, ok ? "" : "  <- wrong");
    if (!ok) ++failures;
}

void check_info(const char* what, int info, int expected) {
    std::printf("%-38s INFO %d\n", what, info);
    if (info != expected) ++failures;
}

// LAPACK's upper layout of the Hermitian matrix that the band array holds
// as LAPACK's lower one (see rhs): A(j-k, j) = conj(A(j, j-k)), column j at
// j*ldab, bottom-aligned.  Exactly as many elements as the entry reaches:
// the last column's kd + 1 cells and nothing of the padding after them.
template <typename T>
std::vector<T> upper_layout(int ldab) {
    std::vector<T> ab(static_cast<std::size_t>(n - 1) * ldab + hb + 1);
    for (int j = 0; j < n; ++j)
        for (int k = 0; k <= hb && j - k >= 0; ++k) {
            T v = element<T>(j - k, k);
            if constexpr (!std::is_same_v<T, double>) v = std::conj(v);
            ab[static_cast<std::size_t>(j) * ldab + hb - k] = v;
        }
    return ab;
}

template <typename T>
void run(const char* type) {
    std::printf("%s:\n", type);
    {
        // Containers bind to the span forms as they are.
        auto a = band<T>();
        auto b = rhs<T>(false);
        std::vector<T> work(bandsolve::work_size(n, hb));
        const int info = bandsolve::solve(a, n, hb, b, 1, work);
        check("  solve", info, error(b));
    }
    {
        // A mutable span and a mutable vector bind where the factor is only
        // read.
        auto a = band<T>();
        auto b = rhs<T>(false);
        int info = bandsolve::factor(std::span<T>(a), n, hb);
        check_info("  factor", info, 0);
        info = bandsolve::solve_with_factor(std::span<T>(a), n, hb, b, 1);
        check("  solve_with_factor (span)", info, error(b));
        b = rhs<T>(false);
        info = bandsolve::solve_with_factor(a, n, hb, std::span<T>(b), 1);
        check("  solve_with_factor (vector)", info, error(b));
    }
    {
        // factor_solve leaves a factor that a later solve reads through a
        // const vector.
        auto a = band<T>();
        auto b = rhs<T>(false);
        int info = bandsolve::factor_solve(a, n, hb, b, 1, 64);
        check("  factor_solve", info, error(b));
        const std::vector<T>& factor = a;
        b = rhs<T>(false);
        info = bandsolve::solve_with_factor(factor, n, hb, b, 1, 128);
        check("  solve_with_factor (const)", info, error(b));
    }
    {
        // LAPACK's lower layout with LDAB = hb + 1, n full columns.
        auto a = band<T>();
        std::vector<T> ab(static_cast<std::size_t>(hb + 1) * n);
        std::copy(a.begin(), a.end(), ab.begin());
        auto b = rhs<T>(true);
        const int info = bandsolve::band_pbsv('L', n, hb, 1, ab.data(), hb + 1, b.data(), n);
        check("  band_pbsv", info, error(b));
    }
    {
        // The upper layout with a padded LDAB and two right-hand sides LDB
        // apart, in arrays of exactly the size the entry reaches.
        const int ldab = hb + 3, ldb = n + 5;
        auto ab = upper_layout<T>(ldab);
        const auto column = rhs<T>(true);
        std::vector<T> b(static_cast<std::size_t>(ldb) + n);
        std::copy(column.begin(), column.end(), b.begin());
        std::copy(column.begin(), column.end(), b.begin() + ldb);
        const int info = bandsolve::pbsv('U', n, hb, 2, ab, ldab, b, ldb);
        const std::vector<T> first(b.begin(), b.begin() + n), second(b.begin() + ldb, b.end());
        check("  pbsv ('U', padded)", info, std::max(error(first), error(second)));
    }
    {
        // One element short of each array: refused, nothing touched.
        auto a = band<T>();
        auto b = rhs<T>(false);
        std::vector<T> work(bandsolve::work_size(n, hb));
        auto a_short = std::span(a).first(a.size() - 1);
        auto b_short = std::span(b).first(b.size() - 1);
        auto work_short = std::span(work).first(work.size() - 1);
        check_info("  solve, band array short", bandsolve::solve(a_short, n, hb, b, 1, work), -1);
        check_info("  solve, right-hand side short", bandsolve::solve(a, n, hb, b_short, 1, work),
                   -4);
        check_info("  solve, work short", bandsolve::solve(a, n, hb, b, 1, work_short), -6);
        check_info("  factor, band array short", bandsolve::factor(a_short, n, hb), -1);
        check_info("  solve_with_factor, band array short",
                   bandsolve::solve_with_factor(a_short, n, hb, b, 1), -1);
        check_info("  factor_solve, right-hand side short",
                   bandsolve::factor_solve(a, n, hb, b_short, 1), -4);
        const int ldab = hb + 3, ldb = n + 5;
        auto ab = upper_layout<T>(ldab);
        std::vector<T> b2(static_cast<std::size_t>(ldb) + n);
        check_info(
            "  pbsv, band array short",
            bandsolve::pbsv('U', n, hb, 2, std::span(ab).first(ab.size() - 1), ldab, b2, ldb), -5);
        check_info(
            "  pbsv, right-hand sides short",
            bandsolve::pbsv('U', n, hb, 2, ab, ldab, std::span(b2).first(b2.size() - 1), ldb), -7);
        check_info("  pbsv, illegal UPLO first", bandsolve::pbsv('X', n, hb, 2, ab, ldab, b2, ldb),
                   -1);
        if (a != band<T>() || b != rhs<T>(false) || ab != upper_layout<T>(ldab) ||
            b2 != std::vector<T>(b2.size())) {
            std::printf("  a refused call changed its arrays\n");
            ++failures;
        }
    }
}

}  // namespace

int main() {
    run<double>("double");
    run<std::complex<double>>("complex double");
    std::printf(failures ? "FAILED\n" : "ok\n");
    return failures == 0 ? 0 : 1;
}
