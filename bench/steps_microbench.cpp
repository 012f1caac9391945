// Microbenchmarks of the block-tree steps on one block of the benchmark
// problem (hb = 8, blocks of 72 rows), for every element type.
//
// A small system of 15 blocks is eliminated on one thread in the kernel's
// order (solver/kernel.h) up to the step under test, and the arrays are kept
// as they stand there.  Every iteration copies that state back and times the
// one step alone, so the figures are those of the step's arithmetic on data
// in cache (a few tens of kilobytes), without the memory traffic and the
// synchronisation of a full solve.
//
//   factor      band_block_factor of the rows of the third block
//   odd_gather  odd_block_step at level 1 (couplings gathered from A), block 3
//   odd_panel   odd_block_step at level 2 (couplings already in the panel), block 6
//   separator   separator_step at level 1, block 4 (with the coupling of the
//               next level)
//   backward    backward_step at level 1, block 3
#include <benchmark/benchmark.h>

#include <bandsolve.hpp>
#include <chrono>
#include <complex>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench/compare_systems.h"
#include "solver/block_tree/block_steps.h"
#include "solver/block_tree/block_tree.h"

namespace {

using bandsolve::BlockTreeArrays;
using bandsolve::ErrorFlags;
using bandsolve::Index;

constexpr int HB = 8;
constexpr Index BS = 72;  // block_size_for(24, 8), the real families' block size
constexpr Index BLOCKS = 15;
constexpr Index N = BS * BLOCKS;
static_assert(bandsolve::block_size_for(24, HB) == BS);

enum class Step { factor, odd_gather, odd_panel, separator, backward };

/// First row of the block the step works on.
constexpr Index step_row(Step step) {
    switch (step) {
        case Step::factor:
        case Step::odd_gather:
        case Step::backward:
            return 2 * BS + 1;  // block 3, an odd block of level 1
        case Step::odd_panel:
            return 5 * BS + 1;  // block 6, an odd block of level 2
        case Step::separator:
            return 3 * BS + 1;  // block 4, a separator of level 1
    }
    return 0;
}

template <typename T>
struct Arrays {
    std::vector<T> a, b, work;

    BlockTreeArrays<T> view() {
        return {a.data(), N, HB, b.data(), 1, work.data(), work.data() + N * HB};
    }
};

/// Runs the block-tree elimination on one thread in the kernel's order and
/// returns right before the first call of `stop` at `row` (or before
/// anything, for Step::factor).  False if a pivot failed on the way.
template <typename T>
bool run_until(Arrays<T>& s, Step stop, Index row) {
    if (stop == Step::factor) return true;
    const BlockTreeArrays<T> m = s.view();
    ErrorFlags flags{0, 0};
    Index level_factor = 1, f = BS, stride = 2 * BS, h = 1;
    auto first_row = [&] { return (level_factor - 1) * BS + 1; };

    for (Index v = 1; v <= N; v += stride) {
        if (stop == Step::odd_gather && v == row) return true;
        bandsolve::odd_block_step(m, v, true, f, h, BS, bandsolve::RealOf<T>(0), flags, 1);
    }
    level_factor *= 2;
    Index back = 0;
    for (;;) {
        for (Index v = first_row(); v <= N; v += stride) {
            if (stop == Step::separator && v == row) return true;
            bandsolve::separator_step(m, v, f, h, BS);
        }
        h = first_row();
        stride *= 2;
        f *= 2;
        for (Index v = h; v <= N; v += stride) {
            if (stop == Step::odd_panel && v == row) return true;
            bandsolve::odd_block_step(m, v, false, f, h, BS, bandsolve::RealOf<T>(0), flags, 1);
        }
        level_factor *= 2;
        if (first_row() > N) {
            level_factor /= 2;
            back = first_row();
            break;
        }
    }
    if (flags[0] != 0) return false;
    while (level_factor >= 1) {
        for (Index v = back; v <= N; v += stride) {
            if (stop == Step::backward && v == row) return true;
            bandsolve::backward_step(m, v, f, BS);
        }
        level_factor /= 2;
        stride /= 2;
        f /= 2;
        back = first_row();
    }
    return false;
}

/// The arrays right before `step`: the benchmark's test system of order N
/// in type T, eliminated up to the step.
template <typename T>
bool prepare(Step step, Arrays<T>& s) {
    const bandcompare::FloatSystem system = bandcompare::FloatSystem::build(N, HB);
    s.a = bandcompare::system_matrix<T>(system);
    s.b = bandcompare::system_rhs<T>(system);
    s.work.assign(bandsolve::work_size(N, HB), T(0));
    return run_until(s, step, step_row(step));
}

template <typename T>
void run_step(Step step, Arrays<T>& s, ErrorFlags& flags) {
    const BlockTreeArrays<T> m = s.view();
    const Index v = step_row(step);
    const auto floor = bandsolve::RealOf<T>(0);
    switch (step) {
        case Step::factor:
            bandsolve::band_block_factor(s.a.data(), HB, v, v + BS - 1, floor, flags, 1);
            break;
        case Step::odd_gather:
            bandsolve::odd_block_step(m, v, true, BS, 1, BS, floor, flags, 1);
            break;
        case Step::odd_panel:
            bandsolve::odd_block_step(m, v, false, 2 * BS, BS + 1, BS, floor, flags, 1);
            break;
        case Step::separator:
            bandsolve::separator_step(m, v, BS, 1, BS);
            break;
        case Step::backward:
            bandsolve::backward_step(m, v, BS, BS);
            break;
    }
}

template <typename T, Step STEP>
void block_step(benchmark::State& state) {
    Arrays<T> snapshot;
    if (!prepare(STEP, snapshot)) {
        state.SkipWithError("a pivot failed while preparing the step");
        return;
    }
    Arrays<T> s = snapshot;
    for (auto _ : state) {
        std::copy(snapshot.a.begin(), snapshot.a.end(), s.a.begin());
        std::copy(snapshot.b.begin(), snapshot.b.end(), s.b.begin());
        std::copy(snapshot.work.begin(), snapshot.work.end(), s.work.begin());
        ErrorFlags flags{0, 0};
        benchmark::ClobberMemory();
        const auto start = std::chrono::steady_clock::now();
        run_step(STEP, s, flags);
        benchmark::ClobberMemory();
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        if (flags[0] != 0) {
            state.SkipWithError("a pivot failed in the step");
            break;
        }
    }
    state.counters["rows/s"] =
        benchmark::Counter(static_cast<double>(BS), benchmark::Counter::kIsIterationInvariantRate);
}

template <typename T>
void register_steps(const char* type) {
    const std::pair<const char*, void (*)(benchmark::State&)> steps[] = {
        {"factor", &block_step<T, Step::factor>},
        {"odd_gather", &block_step<T, Step::odd_gather>},
        {"odd_panel", &block_step<T, Step::odd_panel>},
        {"separator", &block_step<T, Step::separator>},
        {"backward", &block_step<T, Step::backward>},
    };
    for (const auto& [name, body] : steps)
        benchmark::RegisterBenchmark((std::string(name) + "<" + type + ">").c_str(), body)
            ->UseManualTime();
}

}  // namespace

int main(int argc, char** argv) {
    register_steps<float>("float");
    register_steps<double>("double");
    register_steps<std::complex<float>>("complex_float");
    register_steps<std::complex<double>>("complex_double");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
