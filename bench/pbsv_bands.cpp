// band_pbsv_d beside reference LAPACK dpbsv across band widths: the same
// 'L' arrays (n * kd about constant), teams of one up to the processor
// count, medians of 7 solves after a warm-up, every solution compared with
// LAPACK's.  Usage: pbsv_bands [runs]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

/// Diagonally dominant SPD matrix in 'L' storage and a right-hand side.
void make_system(int n, int kd, std::vector<double>& a, std::vector<double>& b) {
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    a.assign(static_cast<std::size_t>(n) * (kd + 1), 0.0);
    b.resize(n);
    for (int j = 0; j < n; ++j) {
        a[std::size_t(j) * (kd + 1)] = 2.0 * kd + 1.0;
        for (int k = 1; k <= kd && j + k < n; ++k) a[std::size_t(j) * (kd + 1) + k] = u(gen);
        b[j] = u(gen);
    }
}

template <typename Solve>
bandcompare::TimingSummary time(const std::vector<double>& a0, const std::vector<double>& b0,
                                std::vector<double>& x, int runs, Solve solve) {
    std::vector<double> seconds;
    std::vector<double> a;
    for (int r = 0; r <= runs; ++r) {
        a = a0;
        x = b0;
        const auto start = Clock::now();
        if (solve(a, x) != 0) std::fprintf(stderr, "solve failed\n");
        if (r > 0) seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    return bandcompare::summarise(std::move(seconds));
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    int processors = 0;
    count_processors(&processors);
    if (!bandcompare::have_reference_lapack())
        std::printf("(built without LAPACK: no dpbsv rows)\n");
    std::printf("%9s %5s %-12s %4s %11s %9s %9s %9s %10s\n", "n", "kd", "entry", "team",
                "median ms", "min ms", "max ms", "x dpbsv", "vs dpbsv");
    for (const Case& c : CASES) {
        std::vector<double> a0, b0, ref, x;
        make_system(c.n, c.kd, a0, b0);
        double lapack_ms = 0;
        if (bandcompare::have_reference_lapack()) {
            const auto t =
                time(a0, b0, ref, runs, [&](std::vector<double>& a, std::vector<double>& b) {
                    return bandcompare::lapack_pbsv(a.data(), c.n, c.kd, b.data(), 1);
                });
            lapack_ms = t.median * 1e3;
            std::printf("%9d %5d %-12s %4d %11.1f %9.1f %9.1f %9.2f %10s\n", c.n, c.kd, "dpbsv", 1,
                        lapack_ms, t.min * 1e3, t.max * 1e3, 1.0, "-");
        }
        for (int team = 1; team <= processors; ++team) {
            set_team_size(&team);
            const auto t =
                time(a0, b0, x, runs, [&](std::vector<double>& a, std::vector<double>& b) {
                    return bandsolve::band_pbsv('L', c.n, c.kd, 1, a.data(), c.kd + 1, b.data(),
                                                c.n);
                });
            // Largest difference from LAPACK's solution, relative to its size.
            double diff = 0, size = 0;
            for (std::size_t i = 0; i < ref.size(); ++i) {
                diff = std::max(diff, std::fabs(x[i] - ref[i]));
                size = std::max(size, std::fabs(ref[i]));
            }
            char agree[32] = "-";
            if (!ref.empty())
                std::snprintf(agree, sizeof agree, "%.1e", size > 0 ? diff / size : diff);
            std::printf("%9d %5d %-12s %4d %11.1f %9.1f %9.1f %9.2f %10s\n", c.n, c.kd,
                        "band_pbsv_d", team, t.median * 1e3, t.min * 1e3, t.max * 1e3,
                        lapack_ms > 0 ? lapack_ms / (t.median * 1e3) : 0.0, agree);
        }
        reset_team_size();
    }
}
