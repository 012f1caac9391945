#include "driver/benchmark.h"

#include <bandsolve.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/platform.h"
#include "driver/report.h"
#include "driver/run_timer.h"
#include "driver/test_system.h"
#include "threads/worker.h"

namespace bandbench {

namespace {

// Lines go out one by one, so that a long run shows its progress.
void print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int run_benchmark() {
    set_fp_environment();

    const int n = PROBLEM_ORDER;
    const int hb = PROBLEM_HALF_BANDWIDTH;
    const int nrhs = PROBLEM_RHS;
    print(equations_line(n));
    print(half_bandwidth_line(hb));

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
        print(allocation_failure_line());
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

    for (int p = 1; p <= processors; ++p) {
        print(separator_line());
        print(team_size_line(p));
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

        print(elapsed_line(elapsed));
        print(user_time_line(user));
        print(kernel_time_line(kernel));
        print(total_time_line(total));
    }
    print(separator_line());

    bandsolve::shutdown_thread_runtime();
    std::free(workspace);
    return 0;
}

}  // namespace bandbench
