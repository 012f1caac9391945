// A program outside the project that uses the installed library through the
// C++ header: span-checked block-tree and slab entries and the overloaded
// LAPACK-style entry, in double and complex double, each checked against a
// known solution; and the size checks that refuse short arrays.  Exit status
// 0 when all is right.
#include <bandsolve.hpp>

#include <algorithm>
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
    std::printf("%-34s INFO %d, error %.3g%s\n", what, info, err, ok ? "" : "  <- wrong");
    if (!ok) ++failures;
}

void check_info(const char* what, int info, int expected) {
    std::printf("%-34s INFO %d\n", what, info);
    if (info != expected) ++failures;
}

template <typename T>
void run(const char* type) {
    std::printf("%s:\n", type);
    {
        auto a = band<T>();
        auto b = rhs<T>(false);
        std::vector<T> work(bandsolve::work_size(n, hb));
        const int info = bandsolve::solve(std::span(a), n, hb, std::span(b), 1, std::span(work));
        check("  solve", info, error(b));
    }
    {
        auto a = band<T>();
        auto b = rhs<T>(false);
        int info = bandsolve::factor(std::span(a), n, hb);
        check_info("  factor", info, 0);
        info = bandsolve::solve_with_factor(std::span<const T>(a), n, hb, std::span(b), 1);
        check("  solve_with_factor", info, error(b));
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
        // One element short of each array: refused, nothing touched.
        auto a = band<T>();
        auto b = rhs<T>(false);
        std::vector<T> work(bandsolve::work_size(n, hb));
        auto a_short = std::span(a).first(a.size() - 1);
        auto b_short = std::span(b).first(b.size() - 1);
        auto work_short = std::span(work).first(work.size() - 1);
        check_info("  solve, band array short",
                      bandsolve::solve(a_short, n, hb, std::span(b), 1, std::span(work)), -1);
        check_info("  solve, right-hand side short",
                      bandsolve::solve(std::span(a), n, hb, b_short, 1, std::span(work)), -4);
        check_info("  solve, work short",
                      bandsolve::solve(std::span(a), n, hb, std::span(b), 1, work_short), -6);
        if (a != band<T>() || b != rhs<T>(false)) {
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
