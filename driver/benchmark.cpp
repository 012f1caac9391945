#include "driver/benchmark.h"

#include <bandsolve.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/platform.h"
#include "driver/report.h"
#include "driver/run_timer.h"
#include "driver/test_system.h"
#include "threads/worker.h"

namespace bandbench {

namespace {

// The report on standard output.  Lines go out one by one, so that a long
// run shows its progress; the first line that cannot be written (a full
// disk, a closed descriptor) ends the run, since nobody would see its
// timings.
class Report {
  public:
    /// Writes `line`; false once any line could not be written.
    bool print(const std::string& line) {
        if (failure_ != 0) return false;
        errno = 0;
        const bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
        if (std::fflush(stdout) != 0 || !written) failure_ = errno != 0 ? errno : EIO;
        return failure_ == 0;
    }

    /// After a failed line: says so in one line on standard error and
    /// returns the run's exit status.
    int failed() const {
        std::fprintf(stderr, "bandbench: cannot write the report to standard output: %s\n",
                     std::strerror(failure_));
        return EXIT_OUTPUT_FAILED;
    }

  private:
    int failure_ = 0;  // errno of the first line that failed
};

}  // namespace

int run_benchmark() {
    set_fp_environment();

    const int n = PROBLEM_ORDER;
    const int hb = PROBLEM_HALF_BANDWIDTH;
    const int nrhs = PROBLEM_RHS;
    Report report;
    if (!report.print(equations_line(n)) || !report.print(half_bandwidth_line(hb)))
        return report.failed();

    // One allocation for the whole run; malloc, unlike touching lazily
    // committed pages, fails up front when the address space is short.
    constexpr WorkspaceLayout layout = workspace_layout(PROBLEM_ORDER, PROBLEM_HALF_BANDWIDTH);
    static_assert(layout.ib == 17999993 && layout.ix == 19999993 && layout.iw == 21999993 &&
                  layout.length == 53999993);
    static_assert(layout.length - layout.iw + 1 >= 2LL * PROBLEM_ORDER * PROBLEM_HALF_BANDWIDTH,
                  "the solver needs 2 n hb reals of work area");
    auto* workspace =
        static_cast<float*>(std::malloc(static_cast<std::size_t>(layout.length) * sizeof(float)));
    if (workspace == nullptr) {
        if (!report.print(allocation_failure_line())) report.failed();
        return EXIT_NO_MEMORY;
    }
    // Back the workspace with huge pages where granted, and touch it once
    // here, so that the first timed solve does not pay for the system
    // zeroing the work area's pages on first use.
    const std::size_t workspace_bytes = static_cast<std::size_t>(layout.length) * sizeof(float);
    advise_huge_pages(workspace, workspace_bytes);
    touch_pages(workspace, workspace_bytes);
    float* a = workspace + (layout.ia - 1);
    float* b = workspace + (layout.ib - 1);
    float* x = workspace + (layout.ix - 1);
    float* work = workspace + (layout.iw - 1);

    int processors = 0;
    count_processors(&processors);

    bool written = true;
    for (int p = 1; p <= processors && written; ++p) {
        written = report.print(separator_line()) && report.print(team_size_line(p));
        if (!written) break;
        set_team_size(&p);
        // The solve overwrites A and b, so every team size gets a fresh copy.
        build_test_system(a, b, x, n, hb, nrhs);

        float elapsed = 0.0F;
        float user = 0.0F;
        float kernel = 0.0F;
        float total = 0.0F;
        int info = 0;  // the report shows timings only
        run_timer_start();
        band_solve_s(a, &n, &hb, b, &nrhs, work, &info);
        run_timer_stop(elapsed, user, kernel, total);

        written = report.print(elapsed_line(elapsed)) && report.print(user_time_line(user)) &&
                  report.print(kernel_time_line(kernel)) && report.print(total_time_line(total));
    }
    written = written && report.print(separator_line());

    bandsolve::shutdown_thread_runtime();
    std::free(workspace);
    return written ? 0 : report.failed();
}

}  // namespace bandbench
