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
//
// and the lane steps (solver/block_tree/lane_steps.h) of the real families,
// compiled as the AVX2 body compiles them, on a group of four blocks from
// the same block on (eight for the backward step, two groups interleaved);
// their times are per group:
//   lanes_odd_gather, lanes_odd_panel, lanes_separator, lanes_backward
//   lanes_moves   only the gathers and scatters of the odd step at level 1
//                 (band, left and right coupling, right-hand side), without
//                 its arithmetic
//
// Beside them, the serial path of the sequential order on the benchmark
// problem itself (n = 2,000,000, hb = 8), for every element type, a loop per
// chain that does only the operations one row waits for, with the solver's
// roundings, on the factor's values:
//   serial_factor    the pivot's newest update, its test, the square root
//                    and the division that the next pivot's update needs:
//                    A(k+1,k+1) -= U(k,k+1)^2, sqrt, U(k+1,k+2) = A/U(k+1,k+1)
//                    (complex: the modulus of the test, the square root from
//                    it, Smith's divisor, one quotient)
//   serial_forward   y(k+1) -= U(k,k+1) y(k), then its division
//   serial_backward  the slab entries' row sums, j = i+1 first: each row
//                    waits for the row below, then hb dependent updates and
//                    a division (this is the back substitution itself)
// and band_factor_solve (team of one) and, for the real types, reference
// ?pbsv on the same system.  The slab entries run the factorisation's and the forward
// substitution's chains side by side, so their limit is the longer of the
// two plus the backward chain.
#include <benchmark/benchmark.h>

#include <bandsolve.hpp>
#include <chrono>
#include <complex>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bench/compare_systems.h"
#include "bench/lapack_entries.h"
#include "solver/block_tree/block_steps.h"
#include "solver/block_tree/block_tree.h"
#include "solver/block_tree/lane_steps.h"
#include "solver/common/element_traits.h"

namespace {

using bandsolve::BlockTreeArrays;
using bandsolve::ErrorFlags;
using bandsolve::Index;

constexpr int HB = 8;
constexpr Index BS = 72;      // block_size_for(24, 8), the real families' block size
constexpr Index BLOCKS = 31;  // room for a group of lanes at level 2
constexpr Index N = BS * BLOCKS;
static_assert(bandsolve::block_size_for(24, HB) == BS);

enum class Step {
    factor,
    odd_gather,
    odd_panel,
    separator,
    backward,
    lanes_odd_gather,
    lanes_odd_panel,
    lanes_separator,
    lanes_backward,
    lanes_moves
};

/// First row of the block the step works on.
constexpr Index step_row(Step step) {
    switch (step) {
        case Step::factor:
        case Step::odd_gather:
        case Step::backward:
        case Step::lanes_odd_gather:
        case Step::lanes_backward:
        case Step::lanes_moves:
            return 2 * BS + 1;  // block 3, an odd block of level 1
        case Step::odd_panel:
        case Step::lanes_odd_panel:
            return 5 * BS + 1;  // block 6, an odd block of level 2
        case Step::separator:
        case Step::lanes_separator:
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

/// The one-block step a lane step stands for.
constexpr Step one_block(Step step) {
    switch (step) {
        case Step::lanes_odd_gather:
        case Step::lanes_moves:
            return Step::odd_gather;
        case Step::lanes_odd_panel:
            return Step::odd_panel;
        case Step::lanes_separator:
            return Step::separator;
        case Step::lanes_backward:
            return Step::backward;
        default:
            return step;
    }
}

/// Runs the block-tree elimination on one thread in the kernel's order and
/// returns right before the first call of `stop` at `row` (or before
/// anything, for Step::factor).  False if a pivot failed on the way.
template <typename T>
bool run_until(Arrays<T>& s, Step stop, Index row) {
    stop = one_block(stop);
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

/// The gathers and scatters of the lane odd step at level 1, as it moves
/// the four blocks from row v on.
template <typename T, typename Isa>
void lane_moves(const BlockTreeArrays<T>& m, Index v) noexcept {
    using Ln = bandsolve::lanes::Lanes<T, Isa>;
    using S = typename Ln::S;
    const Index row = HB + 1, stride = 2 * BS, w = v + BS - 1;
    alignas(64) S band[bandsolve::lanes::LANE_BAND_ELEMENTS];
    alignas(64) S pl[bandsolve::lanes::LANE_PANEL_ELEMENTS];
    Ln::gather(band, 1, &m.A(v - HB, v - HB), stride * row, (BS + HB) * row);
    benchmark::DoNotOptimize(band);
    for (Index p = 0; p < HB; ++p) Ln::scatter(&m.P(p + 1, v), stride, pl + p, HB, BS);
    for (Index p = 0; p < HB; ++p) Ln::scatter(&m.P(p + 1, w + 1), stride, pl + p * HB, 1, HB);
    Ln::gather(pl, 1, &m.B(v, 1), stride, BS);
    benchmark::DoNotOptimize(pl);
    Ln::scatter(&m.B(v, 1), stride, pl, 1, BS);
    Ln::scatter(&m.A(v, v), stride * row, band + HB * row, 1, BS * row);
}

#if defined(__x86_64__)
/// The lane steps as the AVX2 body runs them: inlined into a function
/// compiled for AVX2 (with FMA, which the single-precision body fuses its
/// updates with).  False if a pivot failed.
template <typename T>
__attribute__((target("avx2,fma"), flatten, noinline)) bool run_lanes_avx2(
    Step step, const BlockTreeArrays<T>& m) noexcept {
    namespace ln = bandsolve::lanes;
    using Isa = std::conditional_t<std::is_same_v<T, float>, ln::Avx2FmaIsa, ln::Avx2Isa>;
    const Index v = step_row(step);
    switch (step) {
        case Step::lanes_odd_gather:
            return ln::odd_block_step<T, Isa>(m, v, 2 * BS, true, BS, BS, 0);
        case Step::lanes_odd_panel:
            return ln::odd_block_step<T, Isa>(m, v, 4 * BS, false, 2 * BS, BS, 0);
        case Step::lanes_separator:
            ln::separator_step<T, Isa>(m, v, 2 * BS, BS, BS);
            return true;
        case Step::lanes_backward:
            ln::backward_step<T, Isa, 2>(m, v, 2 * BS, BS, BS);
            return true;
        case Step::lanes_moves:
            lane_moves<T, Isa>(m, v);
            return true;
        default:
            return false;
    }
}
#endif

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
        default:
#if defined(__x86_64__)
            if constexpr (!bandsolve::ElementTraits<T>::is_complex)
                if (run_lanes_avx2(step, m)) break;
#endif
            flags[0] = 1;
            break;
    }
}

template <typename T, Step STEP>
void block_step(benchmark::State& state) {
    if constexpr (STEP >= Step::lanes_odd_gather) {
#if defined(__x86_64__)
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("avx2")) {
            state.SkipWithError("the processor has no AVX2");
            return;
        }
#else
        state.SkipWithError("the lane steps are timed as the AVX2 body runs them");
        return;
#endif
    }
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
    const Index blocks = STEP == Step::lanes_backward ? 8 : STEP >= Step::lanes_odd_gather ? 4 : 1;
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(blocks * BS),
                                                  benchmark::Counter::kIsIterationInvariantRate);
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
    if constexpr (!bandsolve::ElementTraits<T>::is_complex) {
        const std::pair<const char*, void (*)(benchmark::State&)> lane_steps[] = {
            {"lanes_odd_gather", &block_step<T, Step::lanes_odd_gather>},
            {"lanes_odd_panel", &block_step<T, Step::lanes_odd_panel>},
            {"lanes_separator", &block_step<T, Step::lanes_separator>},
            {"lanes_backward", &block_step<T, Step::lanes_backward>},
            {"lanes_moves", &block_step<T, Step::lanes_moves>},
        };
        for (const auto& [name, body] : lane_steps)
            benchmark::RegisterBenchmark((std::string(name) + "<" + type + ">").c_str(), body)
                ->UseManualTime();
    }
}

constexpr int SERIAL_N = 2000000;

/// The benchmark problem of order SERIAL_N in type T, its factor U (U(i,
/// i+c) at i*(HB+1) + c, 0-based), y = U^-T b, and what the chains take
/// from off the path: pre[k], the pivot of row k with every update but the
/// newest (from row k-1), top[k] = U(k,k+1) U(k,k), the element row k
/// divides on the path, and ypre[k], y(k) with every update but the newest.
template <typename T>
struct SerialArrays {
    std::vector<T> a, b, factor, y, pre, top, ypre;

    static const SerialArrays& get() {
        static const SerialArrays s = [] {
            using Tr = bandsolve::ElementTraits<T>;
            constexpr Index W = HB + 1;
            const Index n = SERIAL_N;
            SerialArrays r;
            const auto system = bandcompare::FloatSystem::build(SERIAL_N, HB);
            r.a = bandcompare::system_matrix<T>(system);
            r.b = bandcompare::system_rhs<T>(system);
            r.factor = r.a;
            if (bandsolve::band_factor(r.factor.data(), SERIAL_N, HB) != 0) {
                r.factor.clear();
                return r;
            }
            const T* const u = r.factor.data();
            r.y = r.b;
            for (Index i = 0; i < n; ++i) {
                r.y[i] = Tr::divide(r.y[i], u[i * W]);
                for (Index c = 1; c <= HB && i + c < n; ++c)
                    r.y[i + c] = Tr::update(r.y[i + c], u[i * W + c], r.y[i]);
            }
            r.pre.assign(n, T(0));
            r.top.assign(n, T(0));
            r.ypre.assign(n, T(0));
            // In the evaluation type: double, or complex double (complex
            // symmetric, so no conjugate).
            using W64 = std::conditional_t<Tr::is_complex, std::complex<double>, double>;
            auto wide = [](T v) { return static_cast<W64>(v); };
            for (Index k = 1; k < n; ++k) {
                const W64 ukk = wide(u[k * W]), prev = wide(u[(k - 1) * W + 1]);
                r.pre[k] = static_cast<T>(ukk * ukk + prev * prev);
                r.top[k] = static_cast<T>(wide(u[k * W + 1]) * ukk);
                r.ypre[k] = static_cast<T>(wide(r.y[k]) * ukk + prev * wide(r.y[k - 1]));
            }
            return r;
        }();
        return s;
    }
};

enum class Chain { factor, forward, backward };

/// Only the chain's operations, row after row, with the solver's roundings;
/// returns the last value, so that nothing is left out.  The backward chain
/// works in x (a copy of y).
template <typename T, Chain CHAIN>
T serial_chain(const SerialArrays<T>& s, std::vector<T>& x) noexcept {
    using Tr = bandsolve::ElementTraits<T>;
    constexpr Index W = HB + 1;
    const T* const u = s.factor.data();
    const Index n = SERIAL_N;
    if constexpr (CHAIN == Chain::factor) {
        // U(k-1,k) -> pivot update -> test -> sqrt -> U(k,k+1)
        // As the factorisation takes it: the test and the square root
        // together, the divisor prepared once (for the complex types Smith's
        // r and denominator, and the modulus shared by test and root).
        T up = u[1];
        for (Index k = 1; k + 1 < n; ++k) {
            const T p = Tr::update(s.pre[k], up, up);
            T root;
            if (Tr::pivot_root_fails(p, bandsolve::RealOf<T>(0), root)) return T(-1);
            up = Tr::divide_by(s.top[k], Tr::divisor(root));
        }
        return up;
    } else if constexpr (CHAIN == Chain::forward) {
        // y(k-1) -> y(k) -= U(k-1,k) y(k-1) -> y(k) /= U(k,k)
        T v = s.y[0];
        for (Index k = 1; k < n; ++k)
            v = Tr::divide(Tr::update(s.ypre[k], u[(k - 1) * W + 1], v), u[k * W]);
        return v;
    } else {
        // x(i+1) -> x(i) = (y(i) - U(i,i+1) x(i+1) - ... - U(i,i+HB) x(i+HB)) / U(i,i)
        T* const w = x.data();
        for (Index i = n - 1; i >= 0; --i) {
            T t = w[i];
            const Index span = std::min<Index>(HB, n - 1 - i);
            for (Index c = 1; c <= span; ++c) t = Tr::update(t, u[i * W + c], w[i + c]);
            w[i] = Tr::divide(t, u[i * W]);
        }
        return w[0];
    }
}

template <typename T, Chain CHAIN>
void serial_path(benchmark::State& state) {
    const SerialArrays<T>& s = SerialArrays<T>::get();
    if (s.factor.empty()) {
        state.SkipWithError("the benchmark problem's factorisation failed");
        return;
    }
    std::vector<T> x;
    for (auto _ : state) {
        x = s.y;
        benchmark::ClobberMemory();
        const auto start = std::chrono::steady_clock::now();
        T last = serial_chain<T, CHAIN>(s, x);
        benchmark::DoNotOptimize(last);
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
}

/// band_factor_solve on the same system, team of one, for the same run.
template <typename T>
void slab_factor_solve(benchmark::State& state) {
    const SerialArrays<T>& s = SerialArrays<T>::get();
    std::vector<T> a, b;
    int one = 1;
    set_team_size(&one);
    for (auto _ : state) {
        a = s.a;
        b = s.b;
        const auto start = std::chrono::steady_clock::now();
        const int info = bandsolve::band_factor_solve(a.data(), SERIAL_N, HB, b.data(), 1);
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        if (info != 0) {
            state.SkipWithError("band_factor_solve failed");
            break;
        }
    }
    reset_team_size();
}

/// Reference LAPACK ?pbsv on the same system, for the same run.
template <typename T>
void lapack_pbsv(benchmark::State& state) {
    if (!bandcompare::have_reference_lapack()) {
        state.SkipWithError("built without LAPACK");
        return;
    }
    const SerialArrays<T>& s = SerialArrays<T>::get();
    std::vector<T> a, b;
    for (auto _ : state) {
        a = s.a;
        b = s.b;
        const auto start = std::chrono::steady_clock::now();
        const int info = bandcompare::lapack_pbsv(a.data(), SERIAL_N, HB, b.data(), 1);
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        if (info != 0) {
            state.SkipWithError("?pbsv failed");
            break;
        }
    }
}

template <typename T>
void register_serial(const char* type) {
    const std::pair<const char*, void (*)(benchmark::State&)> runs[] = {
        {"serial_factor", &serial_path<T, Chain::factor>},
        {"serial_forward", &serial_path<T, Chain::forward>},
        {"serial_backward", &serial_path<T, Chain::backward>},
        {"band_factor_solve", &slab_factor_solve<T>},
        {"lapack_pbsv", &lapack_pbsv<T>},
    };
    // LAPACK's complex ?pbsv solves Hermitian systems: the complex symmetric
    // entries are measured against their real twins instead.
    for (const auto& [name, body] : runs)
        if (!bandsolve::ElementTraits<T>::is_complex || body != &lapack_pbsv<T>)
            benchmark::RegisterBenchmark((std::string(name) + "<" + type + ">").c_str(), body)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    register_steps<float>("float");
    register_steps<double>("double");
    register_steps<std::complex<float>>("complex_float");
    register_steps<std::complex<double>>("complex_double");
    register_serial<float>("float");
    register_serial<double>("double");
    register_serial<std::complex<float>>("complex_float");
    register_serial<std::complex<double>>("complex_double");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
