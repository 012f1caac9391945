// band_solve_mpi_s/d beside ScaLAPACK's pspbsv/pdpbsv on the benchmark's
// test system, over the ranks mpiexec starts:
//
//   mpiexec -n 4 --oversubscribe build/default/bench/mpi_compare [--runs N] [--n N] [--team T]
//
// Every rank builds the test system and keeps its own rows (ours as
// band_solve_mpi_rows_? deals them out, ScaLAPACK's in blocks of
// ceil(n / ranks) columns of the same band storage, LAPACK's 'L' with
// LDA = hb + 1).  A run starts from fresh copies after a barrier and lasts
// until the slowest rank is done; the table gives the median, minimum and
// maximum of the runs and checks every solution against the exact one.
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bandsolve_mpi.h"
#include "bench/compare_stats.h"
#include "driver/test_system.h"

#ifdef MPI_COMPARE_HAVE_SCALAPACK
extern "C" {
void Cblacs_get(int context, int what, int* value);
void Cblacs_gridinit(int* context, const char* order, int rows, int cols);
void Cblacs_gridexit(int context);
void pspbsv_(const char* uplo, const int* n, const int* bw, const int* nrhs, float* a,
             const int* ja, const int* desca, float* b, const int* ib, const int* descb,
             float* work, const int* lwork, int* info);
void pdpbsv_(const char* uplo, const int* n, const int* bw, const int* nrhs, double* a,
             const int* ja, const int* desca, double* b, const int* ib, const int* descb,
             double* work, const int* lwork, int* info);
}
#endif

namespace {

struct Options {
    int n = 2000000, hb = 8, runs = 7, team = 1;
};

int rank_ = 0, ranks_ = 1;

void entry(float* a, int n, int hb, float* b, float* work, int* info) {
    const int nrhs = 1;
    band_solve_mpi_s(MPI_COMM_WORLD, a, &n, &hb, b, &nrhs, work, info);
}
void entry(double* a, int n, int hb, double* b, double* work, int* info) {
    const int nrhs = 1;
    band_solve_mpi_d(MPI_COMM_WORLD, a, &n, &hb, b, &nrhs, work, info);
}
void rows_entry(float*, int n, int hb, int* first, int* rows, int* info) {
    band_solve_mpi_rows_s(MPI_COMM_WORLD, &n, &hb, first, rows, info);
}
void rows_entry(double*, int n, int hb, int* first, int* rows, int* info) {
    band_solve_mpi_rows_d(MPI_COMM_WORLD, &n, &hb, first, rows, info);
}

// Times solve() `runs` times after set_up() and a barrier, each until the
// slowest rank is done; returns the seconds of every run (on every rank).
template <typename SetUp, typename Solve>
std::vector<double> time_runs(int runs, SetUp set_up, Solve solve) {
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        set_up();
        MPI_Barrier(MPI_COMM_WORLD);
        const double start = MPI_Wtime();
        solve();
        double took = MPI_Wtime() - start;
        MPI_Allreduce(MPI_IN_PLACE, &took, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
        seconds.push_back(took);
    }
    return seconds;
}

// The largest |x_i - exact_i| over the rows first..first+rows-1, all ranks.
template <typename T>
double worst_error(const std::vector<T>& x, const std::vector<float>& exact, int first) {
    double e = 0;
    for (std::size_t i = 0; i < x.size(); ++i)
        e = std::max(e, std::abs(double(x[i]) - double(exact[first - 1 + i])));
    MPI_Allreduce(MPI_IN_PLACE, &e, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    return e;
}

void report(const char* type, const char* entry_name, const bandcompare::TimingSummary& t,
            double peer_median, double error) {
    if (rank_ != 0) return;
    std::printf("%-4s %-16s %5d %11.3f %11.3f %11.3f", type, entry_name, ranks_, t.median * 1e3,
                t.min * 1e3, t.max * 1e3);
    if (peer_median > 0)
        std::printf(" %9.2f", t.median / peer_median);
    else
        std::printf(" %9s", "-");
    std::printf("  error %.1e%s\n", error, std::isfinite(error) && error < 1e-2 ? "" : "  WRONG");
}

template <typename T>
void compare(const char* type, const Options& o, const std::vector<float>& a_whole,
             const std::vector<float>& b_whole, const std::vector<float>& x_whole) {
    const int n = o.n, hb = o.hb, row = hb + 1;
    auto band_rows = [&](int first, int rows, std::vector<T>& a) {
        a.assign(std::size_t(rows) * row, T(0));
        const std::size_t from = std::size_t(first - 1) * row;
        const std::size_t count = std::min(a.size(), a_whole.size() - from);
        std::copy(a_whole.begin() + from, a_whole.begin() + from + count, a.begin());
    };
    auto rhs_rows = [&](int first, int rows, std::vector<T>& b) {
        b.assign(b_whole.begin() + (first - 1), b_whole.begin() + (first - 1 + rows));
    };

    double scalapack_median = 0;
    bandcompare::TimingSummary scalapack{};
    double scalapack_error = 0;
#ifdef MPI_COMPARE_HAVE_SCALAPACK
    {
        int context = 0;
        Cblacs_get(0, 0, &context);
        Cblacs_gridinit(&context, "R", 1, ranks_);
        const int nb = (n + ranks_ - 1) / ranks_;
        const int first = std::min(rank_ * nb, n) + 1;
        const int rows = std::max(0, std::min(n - (first - 1), nb));
        const int lld_a = row, lld_b = std::max(nb, 1), one = 1, nrhs = 1;
        const int desca[7] = {501, context, n, nb, 0, lld_a, 0};
        const int descb[7] = {502, context, n, nb, 0, lld_b, 0};
        const int lwork = (nb + 2 * hb) * hb + std::max(hb * nrhs, hb * hb);
        std::vector<T> a, b, work(lwork);
        int info = 0;
        auto set_up = [&] {
            band_rows(first, std::max(rows, 1), a);
            b.assign(lld_b, T(0));
            std::vector<T> part;
            rhs_rows(first, rows, part);
            std::copy(part.begin(), part.end(), b.begin());
        };
        auto solve = [&] {
            if constexpr (std::is_same_v<T, float>)
                pspbsv_("L", &n, &hb, &nrhs, a.data(), &one, desca, b.data(), &one, descb,
                        work.data(), &lwork, &info);
            else
                pdpbsv_("L", &n, &hb, &nrhs, a.data(), &one, desca, b.data(), &one, descb,
                        work.data(), &lwork, &info);
        };
        scalapack = bandcompare::summarise(time_runs(o.runs, set_up, solve));
        b.resize(rows);
        scalapack_error = info == 0 ? worst_error(b, x_whole, first) : NAN;
        scalapack_median = scalapack.median;
        Cblacs_gridexit(context);
    }
#endif

    int first = 0, rows = 0, info = 0;
    rows_entry(static_cast<T*>(nullptr), n, hb, &first, &rows, &info);
    std::vector<T> a, b, work(std::size_t(2) * rows * hb);
    int solve_info = 0;
    auto set_up = [&] {
        band_rows(first, rows, a);
        rhs_rows(first, rows, b);
    };
    auto solve = [&] { entry(a.data(), n, hb, b.data(), work.data(), &solve_info); };
    const auto ours = bandcompare::summarise(time_runs(o.runs, set_up, solve));
    const double our_error = solve_info == 0 ? worst_error(b, x_whole, first) : NAN;
    report(type, std::is_same_v<T, float> ? "band_solve_mpi_s" : "band_solve_mpi_d", ours,
           scalapack_median, our_error);
#ifdef MPI_COMPARE_HAVE_SCALAPACK
    report(type, std::is_same_v<T, float> ? "pspbsv" : "pdpbsv", scalapack, 0, scalapack_error);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks_);
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (flag == "--runs") o.runs = std::max(1, value);
        if (flag == "--n") o.n = std::max(1, value);
        if (flag == "--team") o.team = std::max(1, value);
    }
    set_team_size(&o.team);

    std::vector<float> a(std::size_t(o.n - 1) * (o.hb + 1) + 1), b(o.n), x(o.n);
    bandbench::build_test_system(a.data(), b.data(), x.data(), o.n, o.hb, 1);
    if (rank_ == 0) {
        std::printf("n = %d  hb = %d  nrhs = 1  ranks %d  threads per rank %d  (%d runs)\n", o.n,
                    o.hb, ranks_, o.team, o.runs);
        std::printf("%-4s %-16s %5s %11s %11s %11s %9s\n", "type", "entry", "ranks", "median ms",
                    "min ms", "max ms", "x peer");
    }
    compare<float>("s", o, a, b, x);
    compare<double>("d", o, a, b, x);
    MPI_Finalize();
    return 0;
}
