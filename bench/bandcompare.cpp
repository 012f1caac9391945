// bandcompare: times bandsolve's block-tree and slab solvers beside LAPACK's
// ?pbsv (the reference library the program is linked with, and OpenBLAS's
// when it is installed) on the benchmark's test system, for every element
// type and team size, and checks every solution against the exact one.
//
// Each measurement is one warm-up and `runs` timed solves.  Before every
// solve the band array and right-hand side are copied back from a pristine
// copy, outside the timed interval; the work area is allocated and touched
// once, by the warm-up.  Ratios use medians from the same process run.
#include <bandsolve.h>

#include <algorithm>
#include <bandsolve.hpp>
#include <bit>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/compare_options.h"
#include "bench/compare_stats.h"
#include "bench/compare_systems.h"
#include "bench/lapack_entries.h"
#include "driver/benchmark.h"
#include "driver/platform.h"
#include "solver/block_tree/block_tree.h"
#include "solver/block_tree/tuning.h"
#include "threads/team_size.h"
#include "threads/worker.h"

namespace bandcompare {

namespace {

using Clock = std::chrono::steady_clock;
constexpr double NONE = std::numeric_limits<double>::quiet_NaN();

constexpr int SWEEP_ORDERS[] = {10000, 100000, 1000000, 2000000};
constexpr int SWEEP_HALF_BANDWIDTHS[] = {1, 2, 4, 8, 16, 32};
constexpr int NRHS = 1;

enum class Entry { lapack, openblas, block_tree, slab, pbsv, memory_floor };

const char* entry_name(Entry e) {
    switch (e) {
        case Entry::lapack:
            return "lapack";
        case Entry::openblas:
            return "openblas";
        case Entry::block_tree:
            return "block_tree";
        case Entry::slab:
            return "slab";
        case Entry::pbsv:
            return "band_pbsv";
        case Entry::memory_floor:
            return "memory_floor";
    }
    return "?";
}

enum class Status { verified, failed, unchecked, skipped };

const char* status_name(Status s) {
    switch (s) {
        case Status::verified:
            return "verified";
        case Status::failed:
            return "FAILED";
        case Status::unchecked:
            return "-";
        case Status::skipped:
            return "skipped";
    }
    return "?";
}

/// One line of the table and of the CSV.
struct Row {
    int n = 0;
    int hb = 0;
    char type = 's';
    Entry entry = Entry::block_tree;
    int team = 1;
    int runs = 0;
    TimingSummary time;
    double gbps = NONE;
    double vs_team1 = NONE;   // median(team 1) / median
    double vs_lapack = NONE;  // median(reference ?pbsv, same type) / median
    double max_error = NONE;
    Status status = Status::unchecked;
    std::string note;
};

bool is_problem(int n, int hb) {
    return n == bandbench::PROBLEM_ORDER && hb == bandbench::PROBLEM_HALF_BANDWIDTH;
}

std::string format_number(double v, const char* format) {
    if (std::isnan(v)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

std::string csv_number(double v) {
    if (std::isnan(v)) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

// Notes go into an unquoted CSV field.
std::string csv_text(std::string s) {
    std::replace(s.begin(), s.end(), ',', ';');
    std::replace(s.begin(), s.end(), '\n', ' ');
    return s;
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos)
                return line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    return "unknown processor";
}

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
    return text;
}

/// Team size of later solves, above the processor count when asked to.
void use_team_size(int p, int processors) {
    if (p <= processors)
        set_team_size(&p);
    else
        bandsolve::detail::force_team_size(p);
}

/// The arrays one element type's measurements work on.
template <typename T>
struct Working {
    std::vector<T> a0, b0;  // pristine system
    std::vector<T> a, b;    // solved in place
    std::vector<T> work;    // block-tree work area

    explicit Working(const FloatSystem& s)
        : a0(system_matrix<T>(s)),
          b0(system_rhs<T>(s)),
          a(a0.size()),
          b(b0.size()),
          work(static_cast<std::size_t>(block_tree_work_elements(s.n, s.hb))) {}

    void restore() {
        std::copy(a0.begin(), a0.end(), a.begin());
        std::copy(b0.begin(), b0.end(), b.begin());
    }
};

struct Measured {
    TimingSummary time;
    int runs = 0;
    Status status = Status::unchecked;
    double max_error = NONE;
    std::string failure;
};

/// One warm-up and `runs` timed calls of solve(), each on a freshly copied
/// system; with `check`, every call's INFO and solution are verified and
/// the worst is kept.
template <typename T, typename Solve>
Measured measure(Working<T>& w, const FloatSystem& s, int runs, bool check, Solve&& solve) {
    Measured m;
    std::vector<double> seconds;
    double worst = 0;
    for (int r = 0; r <= runs; ++r) {
        w.restore();
        const auto start = Clock::now();
        const int info = solve();
        const auto stop = Clock::now();
        if (r > 0) seconds.push_back(std::chrono::duration<double>(stop - start).count());
        if (!check || !m.failure.empty()) continue;
        if (info != 0) {
            m.failure = "INFO = " + std::to_string(info) + (r == 0 ? " (warm-up)" : "");
            continue;
        }
        const Verification v = verify_solution(w.b.data(), s.x, solution_factor<T>());
        if (!v.ok) m.failure = v.failure + (r == 0 ? " (warm-up)" : "");
        worst = std::isnan(v.max_error) ? v.max_error : std::max(worst, v.max_error);
    }
    m.time = summarise(std::move(seconds));
    m.runs = runs;
    m.max_error = check ? worst : NONE;
    m.status = !check ? Status::unchecked : m.failure.empty() ? Status::verified : Status::failed;
    return m;
}

template <typename T>
struct Component {
    using type = T;
};
template <typename C>
struct Component<std::complex<C>> {
    using type = C;
};

template <typename R>
using BitsOf = std::conditional_t<sizeof(R) == 4, std::uint32_t, std::uint64_t>;

/// A stretch [begin, end) of len elements, the k-th of p.
std::pair<std::size_t, std::size_t> share(std::size_t len, int k, int p) {
    const std::size_t per = (len + static_cast<std::size_t>(p) - 1) / static_cast<std::size_t>(p);
    const std::size_t begin = std::min(len, per * static_cast<std::size_t>(k));
    return {begin, std::min(len, begin + per)};
}

/// The memory floor on team threads: each thread takes its share of A, b
/// and the work area; reads and writes A once, reads it twice more, reads
/// and writes b once and writes the work area once.  The arithmetic is a
/// scaling by 1 and an exclusive-or of the bits, both far below the
/// memory's speed.
template <typename T>
void memory_floor_pass(Working<T>& w, int team) {
    using R = typename Component<T>::type;
    constexpr std::size_t PARTS = sizeof(T) / sizeof(R);
    static volatile R one = 1;
    static volatile BitsOf<R> sink = 0;
    R* a = reinterpret_cast<R*>(w.a.data());
    R* b = reinterpret_cast<R*>(w.b.data());
    R* work = reinterpret_cast<R*>(w.work.data());
    const std::size_t na = w.a.size() * PARTS, nb = w.b.size() * PARTS, nw = w.work.size() * PARTS;
    const R scale = one;

    auto body = [&](int k) {
        const auto [a0, a1] = share(na, k, team);
        for (std::size_t i = a0; i < a1; ++i) a[i] *= scale;
        BitsOf<R> bits = 0;
        for (int pass = 0; pass < 2; ++pass)
            for (std::size_t i = a0; i < a1; ++i) bits ^= std::bit_cast<BitsOf<R>>(a[i]);
        const auto [b0, b1] = share(nb, k, team);
        for (std::size_t i = b0; i < b1; ++i) b[i] *= scale;
        const auto [w0, w1] = share(nw, k, team);
        for (std::size_t i = w0; i < w1; ++i) work[i] = scale;
        sink = sink ^ bits;
    };
    std::vector<std::thread> threads;
    for (int k = 1; k < team; ++k) threads.emplace_back(body, k);
    body(0);
    for (auto& t : threads) t.join();
}

class Comparison {
  public:
    Comparison(const Options& options, int processors)
        : options_(options),
          processors_(processors),
          max_team_(options.max_team > 0 ? options.max_team : processors) {}

    /// Runs everything; returns the process exit status.
    int run(int argc, const char* const* argv);

  private:
    void run_case(int n, int hb);
    template <typename T>
    void run_type(const FloatSystem& s, int runs);
    template <typename T, typename Solve>
    Row measure_row(Row row, Working<T>& w, const FloatSystem& s, bool check, Solve&& solve);
    void add(Row row);
    void print_header(int n, int hb, char type) const;
    void print_row(const Row& row) const;
    void write_csv_row(const Row& row);
    const Row* find(int n, int hb, char type, Entry entry, int team) const;
    void print_targets() const;

    Options options_;
    int processors_;
    int max_team_;
    OpenBlas openblas_;
    std::ofstream csv_;
    std::vector<Row> rows_;
    int failures_ = 0;
};

int Comparison::run(int argc, const char* const* argv) {
    std::string command = "bandcompare";
    for (int i = 1; i < argc; ++i) command += std::string(" ") + argv[i];

    if (!options_.no_openblas) {
        const std::string path =
            options_.openblas.empty() ? DEFAULT_OPENBLAS_PATH : options_.openblas;
        if (!openblas_.open(path) && !options_.openblas.empty()) {
            std::fprintf(stderr, "bandcompare: cannot load OpenBLAS: %s\n",
                         openblas_.error().c_str());
            return 1;
        }
    }

    std::vector<std::string> about = {
        "command: " + command,
        "date: " + utc_now(),
        "processor: " + cpu_model() + ", " + std::to_string(processors_) + " processors",
        "team sizes: 1.." + std::to_string(max_team_),
        std::string(options_.quick ? "sweep: the benchmark problem only"
                                   : "sweep: n in 1e4 1e5 1e6 2e6, hb in 1 2 4 8 16 32") +
            (options_.quick || options_.max_nhb == 0
                 ? std::string()
                 : ", cases with n*hb > " + std::to_string(options_.max_nhb) + " skipped"),
        "reference LAPACK: " + (have_reference_lapack()
                                    ? reference_lapack_path() + ", BLAS " + reference_blas_path()
                                    : std::string("not built in")),
        "OpenBLAS: " + (openblas_.loaded()
                            ? openblas_.config()
                            : std::string("not loaded") + (options_.no_openblas
                                                               ? std::string(" (--no-openblas)")
                                                               : " (" + openblas_.error() + ")")),
#ifdef BANDCOMPARE_HAVE_SLAB
        "slab solvers: band_factor_solve_? with slab_rows " + std::to_string(options_.slab_rows),
#else
        "slab solvers: not built in",
#endif
        "GB/s: element bytes * (2|A| + 2n + 2|work|) / median, |A| = (n-1)(hb+1)+1, "
        "|work| = 2 n hb (block tree) or 0; memory_floor: (4|A| + 2n + |work|)",
    };
    if (have_reference_lapack() && (reference_lapack_path().find("openblas") != std::string::npos ||
                                    reference_blas_path().find("openblas") != std::string::npos))
        about.push_back(
            "WARNING: liblapack.so.3 or libblas.so.3 resolves to OpenBLAS (Debian "
            "alternatives), so the 'lapack' rows are not reference LAPACK");
    for (const auto& line : about) std::printf("%s\n", line.c_str());

    if (!options_.csv.empty()) {
        csv_.open(options_.csv);
        if (!csv_) {
            std::fprintf(stderr, "bandcompare: cannot write %s\n", options_.csv.c_str());
            return 1;
        }
        for (const auto& line : about) csv_ << "# " << line << '\n';
        csv_ << "n,hb,nrhs,type,entry,team,runs,median_ms,min_ms,max_ms,speedup_vs_team1,"
                "speedup_vs_lapack,gbps,max_error,status,note\n";
    }

    if (options_.quick) {
        run_case(bandbench::PROBLEM_ORDER, bandbench::PROBLEM_HALF_BANDWIDTH);
    } else {
        for (int n : SWEEP_ORDERS)
            for (int hb : SWEEP_HALF_BANDWIDTHS) run_case(n, hb);
    }
    print_targets();
    reset_team_size();
    if (failures_ > 0) {
        std::printf("\n%d measurement(s) FAILED verification\n", failures_);
        return 2;
    }
    std::printf("\nall solutions verified\n");
    return 0;
}

void Comparison::run_case(int n, int hb) {
    const bool skip = options_.max_nhb > 0 &&
                      static_cast<std::int64_t>(n) * hb > options_.max_nhb && !is_problem(n, hb);
    if (skip) {
        for (char type : options_.types) {
            Row row;
            row.n = n;
            row.hb = hb;
            row.type = type;
            row.status = Status::skipped;
            row.note = "n*hb above --max-nhb " + std::to_string(options_.max_nhb);
            std::printf("\nn = %d  hb = %d  type %c: skipped (%s)\n", n, hb, type,
                        row.note.c_str());
            write_csv_row(row);
        }
        return;
    }
    const int runs = options_.runs > 0   ? options_.runs
                     : options_.quick    ? DEFAULT_QUICK_RUNS
                     : is_problem(n, hb) ? DEFAULT_PROBLEM_RUNS
                                         : DEFAULT_SWEEP_RUNS;
    const FloatSystem s = FloatSystem::build(n, hb);
    for (char type : options_.types) {
        switch (type) {
            case 's':
                run_type<float>(s, runs);
                break;
            case 'd':
                run_type<double>(s, runs);
                break;
            case 'c':
                run_type<std::complex<float>>(s, runs);
                break;
            case 'z':
                run_type<std::complex<double>>(s, runs);
                break;
        }
    }
}

template <typename T>
void Comparison::run_type(const FloatSystem& s, int runs) {
    const int n = s.n, hb = s.hb;
    print_header(n, hb, type_letter<T>());
    Working<T> w(s);
    Row base;
    base.n = n;
    base.hb = hb;
    base.type = type_letter<T>();
    base.runs = runs;

    if constexpr (!is_complex_v<T>) {
        if (have_reference_lapack()) {
            Row row = base;
            row.entry = Entry::lapack;
            add(measure_row(row, w, s, true,
                            [&] { return lapack_pbsv(w.a.data(), n, hb, w.b.data(), NRHS); }));
        }
        if (openblas_.loaded()) {
            for (int p = 1; p <= max_team_; ++p) {
                openblas_.set_threads(p);
                Row row = base;
                row.entry = Entry::openblas;
                row.team = p;
                add(measure_row(row, w, s, true, [&] {
                    return openblas_.pbsv(w.a.data(), n, hb, w.b.data(), NRHS);
                }));
            }
            openblas_.set_threads(1);
        }
    }

    for (int p = 1; p <= max_team_; ++p) {
        use_team_size(p, processors_);
        Row row = base;
        row.entry = Entry::block_tree;
        row.team = p;
        row = measure_row(row, w, s, true, [&] {
            return bandsolve::band_solve(w.a.data(), n, hb, w.b.data(), NRHS, w.work.data());
        });
        // The block size comes from the tuning record that the process's
        // first solve set, whatever its element type.
        const int p1 = bandsolve::tuning_parameters().p1;
        row.note = "block size " + std::to_string(bandsolve::block_size_for(p1, hb)) +
                   (row.note.empty() ? "" : "; " + row.note);
        add(row);
    }

#ifdef BANDCOMPARE_HAVE_SLAB
    for (int p = 1; p <= max_team_; ++p) {
        use_team_size(p, processors_);
        Row row = base;
        row.entry = Entry::slab;
        row.team = p;
        add(measure_row(row, w, s, true, [&] {
            return bandsolve::band_factor_solve(w.a.data(), n, hb, w.b.data(), NRHS,
                                                options_.slab_rows);
        }));
    }
#endif

    // The LAPACK-style entry on the same arrays as LAPACK's row ('L',
    // LDAB = hb + 1), as a LAPACK caller would switch to it.  cpbsv, zpbsv
    // and band_pbsv_c/z solve Hermitian systems, and the complex test
    // system is complex symmetric: they get the test matrix without its
    // imaginary parts (real symmetric, so Hermitian) and the right-hand side
    // that keeps the exact solution the complex rows check against.
    std::string note;
    if constexpr (is_complex_v<T>) {
        w.a0 = convert_values<T>(s.a, 0.0);
        for (std::size_t i = 0; i < w.b0.size(); ++i)
            w.b0[i] = T(std::complex<double>(s.b[i]) * solution_factor<T>());
        note = "Hermitian system";
        if (have_reference_lapack()) {
            Row row = base;
            row.entry = Entry::lapack;
            row = measure_row(row, w, s, true,
                              [&] { return lapack_pbsv(w.a.data(), n, hb, w.b.data(), NRHS); });
            row.note = note + (row.note.empty() ? "" : "; " + row.note);
            add(row);
        }
    }
    // band_pbsv runs on the calling thread whatever the team size, so it is
    // timed once, as team 1: further team sizes would only add noise to its
    // best-team figure.
    reset_team_size();
    {
        Row row = base;
        row.entry = Entry::pbsv;
        row.team = 1;
        row = measure_row(row, w, s, true, [&] {
            return bandsolve::band_pbsv('L', n, hb, NRHS, w.a.data(), hb + 1, w.b.data(),
                                        std::max(n, 1));
        });
        if (!note.empty()) row.note = note + (row.note.empty() ? "" : "; " + row.note);
        add(row);
    }

    for (int p = 1; p <= max_team_; ++p) {
        Row row = base;
        row.entry = Entry::memory_floor;
        row.team = p;
        add(measure_row(row, w, s, false, [&] {
            memory_floor_pass(w, p);
            return 0;
        }));
    }
}

template <typename T, typename Solve>
Row Comparison::measure_row(Row row, Working<T>& w, const FloatSystem& s, bool check,
                            Solve&& solve) {
    const Measured m = measure(w, s, row.runs, check, solve);
    row.time = m.time;
    row.status = m.status;
    row.max_error = m.max_error;
    row.note = m.failure;
    const double bytes =
        row.entry == Entry::memory_floor
            ? floor_bytes(row.n, row.hb, NRHS, sizeof(T))
            : solve_bytes(
                  row.n, row.hb, NRHS,
                  row.entry == Entry::block_tree ? block_tree_work_elements(row.n, row.hb) : 0,
                  sizeof(T));
    if (m.time.median > 0) row.gbps = bytes / m.time.median * 1e-9;
    return row;
}

void Comparison::add(Row row) {
    // Team 1 and the LAPACK row itself are not in rows_ yet: they compare
    // with themselves.
    const Row* first = row.team == 1 ? &row : find(row.n, row.hb, row.type, row.entry, 1);
    if (first != nullptr && row.time.median > 0)
        row.vs_team1 = first->time.median / row.time.median;
    if (row.entry != Entry::memory_floor) {
        const Row* lapack =
            row.entry == Entry::lapack ? &row : find(row.n, row.hb, row.type, Entry::lapack, 1);
        if (lapack != nullptr && row.time.median > 0)
            row.vs_lapack = lapack->time.median / row.time.median;
    }
    if (row.status == Status::failed) ++failures_;
    rows_.push_back(row);
    print_row(row);
    write_csv_row(row);
}

const Row* Comparison::find(int n, int hb, char type, Entry entry, int team) const {
    for (const Row& r : rows_)
        if (r.n == n && r.hb == hb && r.type == type && r.entry == entry && r.team == team &&
            r.status != Status::skipped)
            return &r;
    return nullptr;
}

void Comparison::print_header(int n, int hb, char type) const {
    std::printf("\nn = %d  hb = %d  nrhs = %d  type %c\n", n, hb, NRHS, type);
    std::printf("%-13s %4s %11s %11s %11s %8s %8s %7s  %s\n", "entry", "team", "median ms",
                "min ms", "max ms", "x team1", "x LAPACK", "GB/s", "check");
    std::fflush(stdout);
}

void Comparison::print_row(const Row& r) const {
    std::string check = status_name(r.status);
    if (r.status == Status::verified)
        check += " (error " + format_number(r.max_error, "%.1e") + ")";
    if (!r.note.empty()) check += "  " + r.note;
    std::printf("%-13s %4d %11s %11s %11s %8s %8s %7s  %s\n", entry_name(r.entry), r.team,
                format_number(r.time.median * 1e3, "%.3f").c_str(),
                format_number(r.time.min * 1e3, "%.3f").c_str(),
                format_number(r.time.max * 1e3, "%.3f").c_str(),
                format_number(r.vs_team1, "%.2f").c_str(),
                format_number(r.vs_lapack, "%.2f").c_str(), format_number(r.gbps, "%.2f").c_str(),
                check.c_str());
    std::fflush(stdout);
}

void Comparison::write_csv_row(const Row& r) {
    if (!csv_.is_open()) return;
    const bool skipped = r.status == Status::skipped;
    csv_ << r.n << ',' << r.hb << ',' << NRHS << ',' << r.type << ','
         << (skipped ? "" : entry_name(r.entry)) << ',' << (skipped ? 0 : r.team) << ',' << r.runs
         << ',' << csv_number(skipped ? NONE : r.time.median * 1e3) << ','
         << csv_number(skipped ? NONE : r.time.min * 1e3) << ','
         << csv_number(skipped ? NONE : r.time.max * 1e3) << ',' << csv_number(r.vs_team1) << ','
         << csv_number(r.vs_lapack) << ',' << csv_number(r.gbps) << ',' << csv_number(r.max_error)
         << ',' << status_name(r.status) << ',' << csv_text(r.note) << '\n';
    csv_.flush();
}

void Comparison::print_targets() const {
    const int n = bandbench::PROBLEM_ORDER, hb = bandbench::PROBLEM_HALF_BANDWIDTH;
    auto get = [&](char type, Entry e, int team) { return find(n, hb, type, e, team); };
    auto describe = [](const Row* r) {
        return format_number(r->time.median * 1e3, "%.1f") + " ms (" +
               format_number(r->time.min * 1e3, "%.1f") + "-" +
               format_number(r->time.max * 1e3, "%.1f") + ")";
    };
    // ratio = median(x) / median(y); the target holds when it is on the
    // right side of `limit`.
    auto line = [&](const char* label, const Row* x, const Row* y, bool at_most, double limit) {
        if (x == nullptr || y == nullptr) {
            std::printf("  %-44s not measured\n", label);
            return;
        }
        const double ratio = x->time.median / y->time.median;
        const bool met = at_most ? ratio <= limit : ratio >= limit;
        std::printf("  %-44s %6.2f  (target %s %.1f: %s)  %s vs %s\n", label, ratio,
                    at_most ? "<=" : ">=", limit, met ? "met" : "MISSED", describe(x).c_str(),
                    describe(y).c_str());
    };
    if (get('s', Entry::block_tree, 1) == nullptr) return;

    std::printf("\nTargets on the benchmark problem (n = %d, hb = %d), ratios of medians:\n", n,
                hb);
    // The block tree against reference LAPACK and across team sizes.
    line("block_tree s team 1 / lapack spbsv", get('s', Entry::block_tree, 1),
         get('s', Entry::lapack, 1), true, 0.5);
    line("block_tree s team 1 / team 2 (speedup)", get('s', Entry::block_tree, 1),
         get('s', Entry::block_tree, 2), false, 1.7);
    line("block_tree d team 1 / lapack dpbsv", get('d', Entry::block_tree, 1),
         get('d', Entry::lapack, 1), true, 0.6);
    for (char type : {'c', 'z'}) {
        for (int team : {1, max_team_}) {
            const std::string label =
                std::string("block_tree ") + type + " / block_tree s, team " + std::to_string(team);
            line(label.c_str(), get(type, Entry::block_tree, team),
                 get('s', Entry::block_tree, team), true, 2.5);
            if (max_team_ == 1) break;
        }
    }
    // The slab entries, one thread, against LAPACK and their real twin.
    line("slab s team 1 / lapack spbsv", get('s', Entry::slab, 1), get('s', Entry::lapack, 1), true,
         1.1);
    line("slab d team 1 / lapack dpbsv", get('d', Entry::slab, 1), get('d', Entry::lapack, 1), true,
         0.8);
    line("slab c / slab s, team 1", get('c', Entry::slab, 1), get('s', Entry::slab, 1), true, 2.5);
    line("slab z / slab d, team 1", get('z', Entry::slab, 1), get('d', Entry::slab, 1), true, 2.5);
    // band_pbsv at its best team size against ?pbsv of the same type.
    for (char type : {'s', 'd', 'c', 'z'}) {
        const Row* best = nullptr;
        for (int p = 1; p <= max_team_; ++p) {
            const Row* r = get(type, Entry::pbsv, p);
            if (r != nullptr && (best == nullptr || r->time.median < best->time.median)) best = r;
        }
        const std::string label = std::string("band_pbsv ") + type + " best team / lapack";
        line(label.c_str(), best, get(type, Entry::lapack, 1), true, 0.7);
    }
    // The floor: the fastest memory_floor pass of any team size.
    const Row* floor = nullptr;
    for (int p = 1; p <= max_team_; ++p) {
        const Row* r = get('s', Entry::memory_floor, p);
        if (r != nullptr && (floor == nullptr || r->time.median < floor->time.median)) floor = r;
    }
    line("block_tree s team 2 / memory floor", get('s', Entry::block_tree, 2), floor, true, 3.0);
    if (floor != nullptr)
        std::printf("  (memory floor: the fastest memory_floor row, team %d)\n", floor->team);
}

}  // namespace

}  // namespace bandcompare

int main(int argc, char** argv) {
    bandbench::set_fp_environment();
    bandcompare::Options options;
    std::string error;
    if (!bandcompare::parse_options(argc, argv, options, error)) {
        std::fprintf(stderr, "bandcompare: %s\n%s", error.c_str(), bandcompare::usage_text());
        return 1;
    }
    if (options.help) {
        std::printf("%s", bandcompare::usage_text());
        return 0;
    }
    int processors = 0;
    count_processors(&processors);
    int status = 0;
    {
        bandcompare::Comparison comparison(options, std::max(processors, 1));
        status = comparison.run(argc, argv);
    }
    bandsolve::shutdown_thread_runtime();
    return status;
}
