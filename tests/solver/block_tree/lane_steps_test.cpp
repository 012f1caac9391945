// The lane steps against the plain steps, byte for byte: groups of four and
// eight blocks of random contents at levels 1 to 3, on shapes around the
// block size, with the portable code and with each x86 instruction set the
// processor has; a failing pivot in one lane; and the complex lanes' element
// operations against ElementTraits on operands with zero, negative and
// equal parts, which random blocks never reach.
#include "solver/block_tree/lane_steps.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "solver/block_tree/complex_lane_steps.h"
#include "solver/block_tree/kernel.h"
#include "solver/block_tree/plain_steps.h"
#include "solver/block_tree/random_arrays.h"

namespace bandsolve {
namespace {

using testing::RandomArrays;

struct Shape {
    Index n, hb, bs, nrhs;
};

/// Block sizes of the real tuning (72 for hb = 8, 25 for hb = 24) and
/// smaller ones; n leaves a last block shorter than hb, a full one, and
/// groups cut short by the end of a level.
std::vector<Shape> shapes() {
    return {{3000, 1, 12, 1},  {2000, 2, 9, 2},   {1500, 3, 4, 1},  {6000, 8, 72, 1},
            {2500, 8, 9, 3},   {4000, 8, 32, 1},  {2600, 5, 17, 0}, {1900, 13, 14, 1},
            {3100, 24, 25, 2}, {2080, 20, 21, 1}, {1234, 4, 5, 1},  {5000, 16, 36, 1}};
}

/// The portable code with eight lanes, as the AVX-512 body groups blocks.
struct Portable8 : lanes::PortableIsa {
    static constexpr int lanes = 8;
};

/// Whether this processor runs the lane code of instruction set Isa.
template <typename Isa>
bool runs() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if constexpr (std::is_same_v<Isa, lanes::Avx2Isa>) return __builtin_cpu_supports("avx2");
    if constexpr (std::is_same_v<Isa, lanes::Avx2FmaIsa>)
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if constexpr (std::is_same_v<Isa, lanes::Avx512Isa>) return __builtin_cpu_supports("avx512f");
#endif
    return true;
}

/// Runs check<Isa>() for every instruction set of the lane code this
/// processor runs.
template <typename Check>
void for_each_isa(Check check) {
    check.template operator()<lanes::PortableIsa>();
    check.template operator()<Portable8>();
#if defined(__x86_64__)
    if (runs<lanes::Avx2Isa>()) check.template operator()<lanes::Avx2Isa>();
    if (runs<lanes::Avx2FmaIsa>()) check.template operator()<lanes::Avx2FmaIsa>();
    if (runs<lanes::Avx512Isa>()) check.template operator()<lanes::Avx512Isa>();
#endif
}

template <typename T>
class LaneSteps : public ::testing::Test {};
using AllTypes = ::testing::Types<float, double, complex_float, complex_double>;
TYPED_TEST_SUITE(LaneSteps, AllTypes);

/// The lane steps of T's family.
template <typename T, typename Isa>
bool odd_lanes(const BlockTreeArrays<T>& m, Index v, Index stride, bool gather, Index f, Index bs,
               RealOf<T> pivot_floor) {
    if constexpr (ElementTraits<T>::is_complex)
        return lanes::complex_odd_block_step<T, Isa>(m, v, stride, gather, f, bs, pivot_floor);
    else
        return lanes::odd_block_step<T, Isa>(m, v, stride, gather, f, bs, pivot_floor);
}
template <typename T, typename Isa>
void separator_lanes(const BlockTreeArrays<T>& m, Index s, Index stride, Index f, Index bs) {
    if constexpr (ElementTraits<T>::is_complex)
        lanes::complex_separator_step<T, Isa>(m, s, stride, f, bs);
    else
        lanes::separator_step<T, Isa>(m, s, stride, f, bs);
}
template <typename T, typename Isa, int G>
void backward_lanes(const BlockTreeArrays<T>& m, Index v, Index stride, Index f, Index bs) {
    if constexpr (ElementTraits<T>::is_complex)
        lanes::complex_backward_step<T, Isa, G>(m, v, stride, f, bs);
    else
        lanes::backward_step<T, Isa, G>(m, v, stride, f, bs);
}

/// Runs the odd-block sweep of one level in groups of L, as the kernel
/// claims them: a regular group in lanes on x and block by block on y, any
/// other group block by block on both; compares every array after each
/// group.  Returns the number of groups that ran in lanes.
template <typename T, typename Isa>
int compare_odd_sweep(const Shape& sh, Index e, std::uint64_t seed) {
    constexpr int L = Isa::lanes;
    RandomArrays<T> x(sh.n, sh.hb, sh.nrhs, seed), y = x;
    const Index bs = sh.bs, f = e * bs, h = (e - 1) * bs + 1, stride = 2 * f;
    const bool gather = e == 1;
    int in_lanes = 0;
    for (Index v = h; v <= sh.n; v += L * stride) {
        ErrorFlags fx{0, 0}, fy{0, 0};
        const bool regular = v + (L - 1) * stride <= sh.n &&
                             lanes::odd_group_fits<L>(sh.n, sh.hb, v, stride, gather, f, h, bs);
        bool lanes_ran = false;
        if (regular) {
            lanes_ran = odd_lanes<T, Isa>(x.view(), v, stride, gather, f, bs, 0);
            EXPECT_TRUE(lanes_ran);
            in_lanes += lanes_ran;
        }
        for (Index u = v; u < v + L * stride && u <= sh.n; u += stride) {
            if (!lanes_ran) plain::odd_block_step(x.view(), u, gather, f, h, bs, 0, fx, 1);
            plain::odd_block_step(y.view(), u, gather, f, h, bs, 0, fy, 1);
        }
        EXPECT_EQ(fy, (ErrorFlags{0, 0}));
        const std::string d = x.first_difference(y);
        EXPECT_EQ(d, "") << "n=" << sh.n << " hb=" << sh.hb << " bs=" << sh.bs << " level " << e
                         << " group at row " << v;
        if (!d.empty()) break;
    }
    return in_lanes;
}

/// The same for the separator sweep that follows the odd blocks of level e.
template <typename T, typename Isa>
int compare_separator_sweep(const Shape& sh, Index e, std::uint64_t seed) {
    constexpr int L = Isa::lanes;
    RandomArrays<T> x(sh.n, sh.hb, sh.nrhs, seed), y = x;
    const Index bs = sh.bs, f = e * bs, h = (e - 1) * bs + 1, stride = 2 * f;
    int in_lanes = 0;
    for (Index s = (2 * e - 1) * bs + 1; s <= sh.n; s += L * stride) {
        const bool regular = lanes::separator_group_fits<L>(sh.n, s, stride, f, h, bs);
        if (regular) separator_lanes<T, Isa>(x.view(), s, stride, f, bs);
        in_lanes += regular;
        for (Index u = s; u < s + L * stride && u <= sh.n; u += stride) {
            if (!regular) plain::separator_step(x.view(), u, f, h, bs);
            plain::separator_step(y.view(), u, f, h, bs);
        }
        const std::string d = x.first_difference(y);
        EXPECT_EQ(d, "") << "n=" << sh.n << " hb=" << sh.hb << " bs=" << sh.bs << " level " << e
                         << " group at row " << s;
        if (!d.empty()) break;
    }
    return in_lanes;
}

TYPED_TEST(LaneSteps, SeparatorStepLeavesThePlainBytes) {
    using T = TypeParam;
    std::uint64_t seed = 1;
    for (const Shape& sh : shapes())
        for (Index e = 1; e <= 4; e *= 2)
            for_each_isa([&]<typename Isa>() {
                const int groups = compare_separator_sweep<T, Isa>(sh, e, seed++);
                if (e == 1) {
                    EXPECT_GT(groups, 0) << "n=" << sh.n << " hb=" << sh.hb;
                }
            });
}

/// The same for the backward sweep of one level, in groups of G*L blocks.
template <typename T, typename Isa, int G>
int compare_backward_sweep(const Shape& sh, Index e, std::uint64_t seed) {
    constexpr int L = Isa::lanes;
    RandomArrays<T> x(sh.n, sh.hb, sh.nrhs, seed), y = x;
    const Index bs = sh.bs, f = e * bs, h = (e - 1) * bs + 1, stride = 2 * f;
    int in_lanes = 0;
    for (Index v = h; v <= sh.n; v += G * L * stride) {
        const bool regular = lanes::backward_group_fits<L, G>(sh.n, sh.hb, v, stride, f);
        if (regular) backward_lanes<T, Isa, G>(x.view(), v, stride, f, bs);
        in_lanes += regular;
        for (Index u = v; u < v + G * L * stride && u <= sh.n; u += stride) {
            if (!regular) plain::backward_step(x.view(), u, f, bs);
            plain::backward_step(y.view(), u, f, bs);
        }
        const std::string d = x.first_difference(y);
        EXPECT_EQ(d, "") << "n=" << sh.n << " hb=" << sh.hb << " bs=" << sh.bs << " level " << e
                         << " group at row " << v;
        if (!d.empty()) break;
    }
    return in_lanes;
}

TYPED_TEST(LaneSteps, BackwardStepLeavesThePlainBytes) {
    using T = TypeParam;
    std::uint64_t seed = 1;
    int fours = 0;
    for (const Shape& sh : shapes())
        for (Index e = 1; e <= 4; e *= 2)
            for_each_isa([&]<typename Isa>() {
                const int one = compare_backward_sweep<T, Isa, 1>(sh, e, seed++);
                const int two = compare_backward_sweep<T, Isa, 2>(sh, e, seed++);
                // Four groups (as the four-lane bodies of the real families
                // run them) need longer levels than some shapes have.
                fours += compare_backward_sweep<T, Isa, 4>(sh, e, seed++);
                if (e == 1) {
                    EXPECT_GT(one * two, 0) << "n=" << sh.n << " hb=" << sh.hb;
                }
            });
    EXPECT_GT(fours, 0);
}

TYPED_TEST(LaneSteps, OddBlockStepLeavesThePlainBytes) {
    using T = TypeParam;
    std::uint64_t seed = 1;
    for (const Shape& sh : shapes()) {
        ASSERT_TRUE(lanes::fits_lane_buffers(sh.bs, sh.hb));
        for (Index e = 1; e <= 4; e *= 2)
            for_each_isa([&]<typename Isa>() {
                const int groups = compare_odd_sweep<T, Isa>(sh, e, seed++);
                // Every shape has regular groups at levels 1 and 2.
                if (e <= 2) {
                    EXPECT_GT(groups, 0) << "n=" << sh.n << " hb=" << sh.hb << " level " << e;
                }
            });
    }
}

TYPED_TEST(LaneSteps, FailingPivotInOneLaneWritesNothing) {
    using T = TypeParam;
    const Shape sh{3000, 8, 72, 1};
    const Index bs = sh.bs, stride = 2 * bs;
    const Index v = 1 + 8 * stride;  // the second group of level 1
    for_each_isa([&]<typename Isa>() {
        constexpr int L = Isa::lanes;
        for (Index lane : {Index{0}, Index{2}, L - Index{1}})
            for (Index row : {Index{0}, Index{40}, bs - 1}) {
                // Every other pivot's modulus stays near 4 (hb + 2); this
                // one stays below the floor of 1 whatever its updates.
                RandomArrays<T> x(sh.n, sh.hb, sh.nrhs, 99);
                x.a[(v + lane * stride + row - 1) * (sh.hb + 1)] = T(0.5);
                const RandomArrays<T> before = x;
                ASSERT_TRUE((lanes::odd_group_fits<L>(sh.n, sh.hb, v, stride, true, bs, 1, bs)));
                EXPECT_FALSE((odd_lanes<T, Isa>(x.view(), v, stride, true, bs, bs, 1)));
                EXPECT_EQ(x.first_difference(before), "")
                    << L << " lanes, lane " << lane << " row " << row;
            }
    });
}

template <typename T>
class ComplexLanes : public ::testing::Test {};
using ComplexTypes = ::testing::Types<complex_float, complex_double>;
TYPED_TEST_SUITE(ComplexLanes, ComplexTypes);

/// Division (a zero divisor included), square root, update and the pivot
/// test of the complex lanes, each lane against ElementTraits, byte for
/// byte, on parts drawn from 0, -0, +-1, 2, parts near the top of the range
/// (where complex double rescales) and random values.
TYPED_TEST(ComplexLanes, ElementOperationsMatchTheTraits) {
    using T = TypeParam;
    using R = typename T::value_type;
    using Tr = ElementTraits<T>;
    for_each_isa([&]<typename Isa>() {
        using Cx = lanes::ComplexLanes<T, Isa>;
        constexpr int L = Isa::lanes;
        std::mt19937_64 gen(7);
        const R top = std::numeric_limits<R>::max();
        const R special[] = {R(0), -R(0), R(1), R(-1), R(2), top, R(-0.75) * top, R(0.6) * top};
        constexpr int specials = std::size(special);
        std::uniform_int_distribution<int> pick(0, specials + 3);
        std::uniform_real_distribution<double> u(-3.0, 3.0);
        auto part = [&] {
            const int k = pick(gen);
            return k < specials ? special[k] : static_cast<R>(u(gen));
        };
        int differences = 0;
        for (int trial = 0; trial < 20000 && differences == 0; ++trial) {
            T x[L], y[L];
            for (int l = 0; l < L; ++l) {
                x[l] = T(part(), part());
                y[l] = T(part(), part());
            }
            typename Cx::E ex, ey;
            Cx::gather(&ex, 1, x, 1, 1);
            Cx::gather(&ey, 1, y, 1, 1);
            typename Cx::Divisor dv;
            Cx::divisor(dv, ey);
            typename Cx::W wx, wy;
            Cx::widen(wx, ex);
            Cx::widen(wy, ey);
            typename Cx::E quotient = ex, root = ex, updated = ex;
            Cx::divide(quotient, dv);
            Cx::sqrt(root);
            Cx::update(updated, wx, wy);
            T q[L], r[L], t[L];
            Cx::scatter(q, 1, &quotient, 1, 1);
            Cx::scatter(r, 1, &root, 1, 1);
            Cx::scatter(t, 1, &updated, 1, 1);
            bool fails = false;
            for (int l = 0; l < L; ++l) {
                const T want[] = {Tr::divide(x[l], y[l]), Tr::sqrt(x[l]),
                                  Tr::update(x[l], x[l], y[l])};
                const T got[] = {q[l], r[l], t[l]};
                for (int op = 0; op < 3; ++op)
                    if (std::memcmp(&want[op], &got[op], sizeof(T)) != 0) {
                        ++differences;
                        ADD_FAILURE() << L << " lanes, operation " << op << " of " << x[l]
                                      << " and " << y[l] << ": " << got[op] << " for " << want[op];
                    }
                fails = fails || Tr::pivot_fails(y[l], R(1.5));
            }
            EXPECT_EQ(Cx::any_pivot_fails(ey, R(1.5)), fails);
        }
    });
}

// Run by ctest with BANDSOLVE_KERNEL=portable in the environment (see
// CMakeLists.txt); skipped when the variable is not set.
TEST(KernelChoice, EnvironmentNamesTheBody) {
    const char* name = std::getenv("BANDSOLVE_KERNEL");
    // CTest runs this with the variable naming the portable body, the one
    // every processor has; the other settings are covered by the sweeps.
    if (name == nullptr || std::string_view(name) != "portable")
        GTEST_SKIP() << "run with BANDSOLVE_KERNEL=portable";
    EXPECT_EQ(detail::kernel_body(), detail::KernelBody::portable);
    // A forced body comes first, and the variable's again when it ends.
    detail::force_kernel_body(detail::KernelBody::avx2);
    EXPECT_NE(detail::kernel_body(), detail::KernelBody::avx512);
    detail::unforce_kernel_body();
    EXPECT_EQ(detail::kernel_body(), detail::KernelBody::portable);
}

}  // namespace
}  // namespace bandsolve
