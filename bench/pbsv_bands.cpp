// band_pbsv_? beside reference LAPACK ?pbsv across band widths, in both
// layouts: the same arrays (n * kd about constant), teams of one up to the
// processor count, medians of the timed solves after a warm-up, every
// solution compared with LAPACK's.  The complex systems are Hermitian.
// With type d it also times band_solve_with_factor_d beside dpbtrs on the
// same factor with several right-hand sides (n = 200,000, kd = 8, 16
// columns), each column against dpbtrs's solution.
// LAPACK and ours take turns to run first on a row, from row to row; a
// fourth argument of 1 swaps every row's order, so that two runs of the
// program time each row both ways.
// Usage: pbsv_bands [runs [types [max_kd [swap]]]], e.g. pbsv_bands 7 sdcz 64 1;
// the default is 7 runs of type d up to kd = 256, not swapped.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bandsolve.hpp"
#include "bench/compare_stats.h"
#include "bench/lapack_entries.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Case {
    int n, kd;
};
constexpr Case CASES[] = {{2000000, 8}, {500000, 32}, {250000, 64}, {100000, 128}, {40000, 256}};

template <typename T>
struct IsComplex : std::false_type {};
template <typename C>
struct IsComplex<std::complex<C>> : std::true_type {};

template <typename T>
T conj_of(T x) {
    if constexpr (IsComplex<T>::value)
        return std::conj(x);
    else
        return x;
}

/// Diagonally dominant Hermitian (real: symmetric) positive-definite matrix
/// in the layout uplo with LDAB = kd + 1, and a right-hand side.
template <typename T>
void make_system(int n, int kd, char uplo, std::vector<T>& a, std::vector<T>& b) {
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    auto draw = [&]() -> T {
        if constexpr (IsComplex<T>::value)
            return T(u(gen), u(gen));
        else
            return T(u(gen));
    };
    const std::size_t ld = kd + 1;
    a.assign(n * ld, T(0));
    b.resize(n);
    for (int j = 0; j < n; ++j) {
        // Column j of 'L' holds A(j+k, j); 'U' holds A(j, j+k) = conj
        // A(j+k, j) in column j + k, row kd - k.
        const T diag = T(2.0 * kd + 1.0);
        a[j * ld + (uplo == 'U' ? kd : 0)] = diag;
        for (int k = 1; k <= kd && j + k < n; ++k) {
            const T v = draw();
            if (uplo == 'U')
                a[(j + k) * ld + kd - k] = conj_of(v);
            else
                a[j * ld + k] = v;
        }
        b[j] = draw();
    }
}

template <typename T, typename Solve>
bandcompare::TimingSummary time(const std::vector<T>& a0, const std::vector<T>& b0,
                                std::vector<T>& x, int runs, Solve solve) {
    std::vector<double> seconds;
    std::vector<T> a;
    for (int r = 0; r <= runs; ++r) {
        a = a0;
        x = b0;
        const auto start = Clock::now();
        if (solve(a, x) != 0) std::fprintf(stderr, "solve failed\n");
        if (r > 0) seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    return bandcompare::summarise(std::move(seconds));
}

/// One line of the table.
void print_line(const Case& c, char uplo, const char* name, int team, double median_ms,
                double min_ms, double max_ms, double vs_lapack, const char* agree) {
    std::printf("%9d %5d %c %-12s %4d %11.1f %9.1f %9.1f %9.2f %10s\n", c.n, c.kd, uplo, name, team,
                median_ms, min_ms, max_ms, vs_lapack, agree);
}

template <typename T>
void run_type(char type, int runs, int max_kd, int processors, int& row) {
    for (const Case& c : CASES) {
        if (c.kd > max_kd) continue;
        for (char uplo : {'L', 'U'}) {
            std::vector<T> a0, b0, ref, x;
            make_system(c.n, c.kd, uplo, a0, b0);
            // Whichever runs first on a row may find the machine in another
            // state (caches, clock, the other processes): the order
            // alternates from row to row, and the table is printed after.
            const bool lapack_first = row++ % 2 == 0;
            bandcompare::TimingSummary lapack_time{};
            bool have_lapack = false;
            auto time_lapack = [&] {
                if (!bandcompare::have_reference_lapack()) return;
                lapack_time = time(a0, b0, ref, runs, [&](std::vector<T>& a, std::vector<T>& b) {
                    return bandcompare::lapack_pbsv(a.data(), c.n, c.kd, b.data(), 1, uplo);
                });
                have_lapack = true;
            };
            std::vector<bandcompare::TimingSummary> ours;
            std::vector<std::vector<T>> solutions;
            auto time_ours = [&] {
                for (int team = 1; team <= processors; ++team) {
                    set_team_size(&team);
                    ours.push_back(time(a0, b0, x, runs, [&](std::vector<T>& a, std::vector<T>& b) {
                        return bandsolve::band_pbsv(uplo, c.n, c.kd, 1, a.data(), c.kd + 1,
                                                    b.data(), c.n);
                    }));
                    solutions.push_back(x);
                }
                reset_team_size();
            };
            if (lapack_first) {
                time_lapack();
                time_ours();
            } else {
                time_ours();
                time_lapack();
            }
            char lapack_name[] = "?pbsv";
            lapack_name[0] = type;
            const double lapack_ms = have_lapack ? lapack_time.median * 1e3 : 0.0;
            if (have_lapack)
                print_line(c, uplo, lapack_name, 1, lapack_ms, lapack_time.min * 1e3,
                           lapack_time.max * 1e3, 1.0, lapack_first ? "- (first)" : "-");
            char name[] = "band_pbsv_?";
            name[10] = type;
            for (int team = 1; team <= processors; ++team) {
                const auto& t = ours[team - 1];
                const auto& sol = solutions[team - 1];
                // Largest difference from LAPACK's solution, relative to its size.
                double diff = 0, size = 0;
                for (std::size_t i = 0; i < ref.size(); ++i) {
                    diff = std::max<double>(diff, std::abs(sol[i] - ref[i]));
                    size = std::max<double>(size, std::abs(ref[i]));
                }
                char agree[32] = "-";
                if (!ref.empty())
                    std::snprintf(agree, sizeof agree, "%.1e", size > 0 ? diff / size : diff);
                print_line(c, uplo, name, team, t.median * 1e3, t.min * 1e3, t.max * 1e3,
                           lapack_ms > 0 ? lapack_ms / (t.median * 1e3) : 0.0, agree);
            }
        }
    }
}

/// band_solve_with_factor_d beside dpbtrs with nrhs columns on one factor
/// (band_factor_d's, which is dpbtrf's to rounding; our band storage is
/// LAPACK's 'L' layout).
void run_solve_with_factor(int runs, int processors) {
    constexpr int n = 200000, kd = 8, nrhs = 16;
    std::vector<double> a, b1, b0(std::size_t{n} * nrhs), ref, x;
    make_system(n, kd, 'L', a, b1);
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (double& v : b0) v = u(gen);
    if (bandsolve::band_factor(a.data(), n, kd) != 0) {
        std::fprintf(stderr, "factorisation failed\n");
        return;
    }
    // time() copies its first argument into the array it passes, which the
    // solves here only read.
    double lapack_ms = 0;
    if (bandcompare::have_reference_lapack()) {
        const auto t = time(a, b0, ref, runs, [&](std::vector<double>& f, std::vector<double>& y) {
            return bandcompare::lapack_pbtrs(f.data(), n, kd, y.data(), nrhs);
        });
        lapack_ms = t.median * 1e3;
        std::printf("%9d %5d %c %-12s %4d %11.1f %9.1f %9.1f %9.2f %10s  (%d columns)\n", n, kd,
                    'L', "dpbtrs", 1, lapack_ms, t.min * 1e3, t.max * 1e3, 1.0, "-", nrhs);
    }
    for (int team = 1; team <= processors; ++team) {
        set_team_size(&team);
        const auto t = time(a, b0, x, runs, [&](std::vector<double>& f, std::vector<double>& y) {
            return bandsolve::band_solve_with_factor(f.data(), n, kd, y.data(), nrhs);
        });
        double diff = 0, size = 0;
        for (std::size_t i = 0; i < ref.size(); ++i) {
            diff = std::max(diff, std::abs(x[i] - ref[i]));
            size = std::max(size, std::abs(ref[i]));
        }
        char agree[32] = "-";
        if (!ref.empty()) std::snprintf(agree, sizeof agree, "%.1e", size > 0 ? diff / size : diff);
        std::printf("%9d %5d %c %-12s %4d %11.1f %9.1f %9.1f %9.2f %10s  (%d columns)\n", n, kd,
                    'L', "solve_w_fac", team, t.median * 1e3, t.min * 1e3, t.max * 1e3,
                    lapack_ms > 0 ? lapack_ms / (t.median * 1e3) : 0.0, agree, nrhs);
    }
    reset_team_size();
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const char* types = argc > 2 ? argv[2] : "d";
    const int max_kd = argc > 3 ? std::atoi(argv[3]) : 256;
    int row = argc > 4 && std::atoi(argv[4]) != 0 ? 1 : 0;  // even rows: LAPACK first
    int processors = 0;
    count_processors(&processors);
    if (!bandcompare::have_reference_lapack())
        std::printf("(built without LAPACK: no ?pbsv rows)\n");
    std::printf("%9s %5s %c %-12s %4s %11s %9s %9s %9s %10s\n", "n", "kd", 'U', "entry", "team",
                "median ms", "min ms", "max ms", "x ?pbsv", "vs ?pbsv");
    if (std::strchr(types, 's')) run_type<float>('s', runs, max_kd, processors, row);
    if (std::strchr(types, 'd')) {
        run_type<double>('d', runs, max_kd, processors, row);
        run_solve_with_factor(runs, processors);
    }
    if (std::strchr(types, 'c')) run_type<std::complex<float>>('c', runs, max_kd, processors, row);
    if (std::strchr(types, 'z')) run_type<std::complex<double>>('z', runs, max_kd, processors, row);
}
