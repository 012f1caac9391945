// The fast block steps against the plain ones, byte for byte, on random
// contents of every shape; and every kernel body of the library against the
// plain steps on whole solves.
#include "solver/block_tree/block_steps.h"

#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bandsolve.hpp"
#include "solver/block_tree/kernel.h"
#include "solver/block_tree/random_arrays.h"
#include "solver/block_tree/tuning.h"
#include "support/band_systems.h"

namespace bandsolve {
namespace {

using ElementTypes = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;

template <typename T>
class FastSteps : public ::testing::Test {};
TYPED_TEST_SUITE(FastSteps, ElementTypes);

template <typename T>
class KernelBodies : public ::testing::Test {};
TYPED_TEST_SUITE(KernelBodies, ElementTypes);

using testing::RandomArrays;

struct Shape {
    Index n, hb, bs, nrhs;
};

std::vector<Shape> shapes() {
    return {{200, 0, 7, 1},  {97, 1, 4, 2},   {300, 2, 9, 1},  {150, 3, 4, 1},   {500, 8, 72, 1},
            {219, 8, 72, 2}, {400, 8, 9, 1},  {333, 8, 32, 3}, {260, 13, 14, 1}, {300, 30, 31, 1},
            {190, 5, 17, 0}, {64, 63, 64, 1}, {200, 45, 45, 2}};
}

/// Runs `step` on the fast and the plain path for every block of the given
/// first row, level by level, and compares every array after each call.
template <typename T, typename Fast, typename Plain>
void compare_blocks(const Shape& sh, Index first_of_level, Index stride, Fast fast, Plain plain,
                    std::uint64_t seed) {
    RandomArrays<T> x(sh.n, sh.hb, sh.nrhs, seed), y = x;
    for (Index v = first_of_level; v <= sh.n; v += stride) {
        fast(x.view(), v);
        plain(y.view(), v);
        ASSERT_EQ(x.first_difference(y), "")
            << "n=" << sh.n << " hb=" << sh.hb << " bs=" << sh.bs << " block at row " << v;
    }
}

TYPED_TEST(FastSteps, SameBytesAsThePlainSteps) {
    using T = TypeParam;
    std::uint64_t seed = 1;
    for (const Shape& sh : shapes()) {
        // The widest bands fit complex double's buffers only up to hb = 45.
        if (!fits_step_buffers<T>(sh.bs, sh.hb)) {
            ASSERT_TRUE(testing::IsComplex<T>::value && sizeof(T) == 16 && sh.hb > 45);
            continue;
        }
        const Index bs = sh.bs;
        for (Index e = 1; e <= 4; e *= 2) {  // levels 1, 2 and 3
            const Index f = e * bs, h = (e - 1) * bs + 1, stride = 2 * e * bs;
            const bool gather = e == 1;
            ErrorFlags fx{0, 0}, fy{0, 0};
            compare_blocks<T>(
                sh, h, stride,
                [&](BlockTreeArrays<T> m, Index v) {
                    odd_block_step(m, v, gather, f, h, bs, RealOf<T>(0), fx, 1);
                },
                [&](BlockTreeArrays<T> m, Index v) {
                    plain::odd_block_step(m, v, gather, f, h, bs, RealOf<T>(0), fy, 1);
                },
                seed++);
            EXPECT_EQ(fx, fy);
            compare_blocks<T>(
                sh, (2 * e - 1) * bs + 1, stride,
                [&](BlockTreeArrays<T> m, Index s) { separator_step(m, s, f, h, bs); },
                [&](BlockTreeArrays<T> m, Index s) { plain::separator_step(m, s, f, h, bs); },
                seed++);
            compare_blocks<T>(
                sh, h, stride, [&](BlockTreeArrays<T> m, Index v) { backward_step(m, v, f, bs); },
                [&](BlockTreeArrays<T> m, Index v) { plain::backward_step(m, v, f, bs); }, seed++);
        }
    }
}

TYPED_TEST(FastSteps, FactorisationStopsAtTheSameFailedPivot) {
    using T = TypeParam;
    for (Index hb : {0, 1, 4, 8, 20}) {
        RandomArrays<T> x(120, hb, 1, 7 + hb), y = x;
        // An element type's failing pivot: negative real, or exactly zero.
        x.a[(60 - 1) * (hb + 1)] = y.a[(60 - 1) * (hb + 1)] = T(-1e6);
        if constexpr (testing::IsComplex<T>::value) {
            for (Index c = 0; c <= hb; ++c) x.a[(60 - 1) * (hb + 1) + c] = T(0);
            for (Index q = std::max<Index>(1, 60 - hb); q < 60; ++q)
                x.a[(q - 1) * (hb + 1) + (60 - q)] = T(0);
            y = x;
        }
        ErrorFlags fx{0, 0}, fy{0, 0};
        band_block_factor(x.a.data(), static_cast<int>(hb), 3, 110, RealOf<T>(0), fx, 2);
        plain::band_block_factor(y.a.data(), static_cast<int>(hb), 3, 110, RealOf<T>(0), fy, 2);
        EXPECT_EQ(fx, (ErrorFlags{0, 1}));
        EXPECT_EQ(fx, fy);
        EXPECT_TRUE(x == y) << "hb=" << hb;
    }
}

/// A whole solve with the plain steps on one thread, in the kernel's order
/// of sweeps (solver/block_tree/kernel.h) with blocks of bs rows: the bytes
/// every kernel body must leave in A, B and the work area.  INFO.
template <typename T>
int plain_solve(T* a, int n, int hb, T* b, int nrhs, T* work, Index bs) {
    const BlockTreeArrays<T> m{a, n, hb, b, nrhs, work, work + Index{n} * hb};
    ErrorFlags flags{0, 0};
    Index level_factor = 1, dist = bs, stride = 2 * bs, first_odd = 1;
    auto first_row = [&] { return level_first_row(level_factor, bs); };
    auto odd_sweep = [&](bool gather) {
        for (Index v = first_row(); v <= n; v += stride) {
            plain::odd_block_step(m, v, gather, dist, first_odd, bs, RealOf<T>(0), flags, 1);
            if (flags[0] != 0) return false;
        }
        return true;
    };
    if (!odd_sweep(true)) return 1;
    level_factor *= 2;
    for (;;) {
        for (Index v = first_row(); v <= n; v += stride)
            plain::separator_step(m, v, dist, first_odd, bs);
        first_odd = first_row();
        stride *= 2;
        dist *= 2;
        if (!odd_sweep(false)) return 1;
        if (is_top_level(level_factor, n, bs)) break;
        level_factor *= 2;
    }
    for (; level_factor >= 1; level_factor /= 2, stride /= 2, dist /= 2)
        for (Index v = first_row(); v <= n; v += stride) plain::backward_step(m, v, dist, bs);
    return 0;
}

TYPED_TEST(KernelBodies, GiveThePlainStepsBytes) {
    using T = TypeParam;
    // Orders at which the real families run groups of four and of eight
    // blocks in lanes (hb = 8: blocks of 72 rows; hb = 2: 288), besides some
    // blocks one by one; the two lane counts group the blocks differently.
    // The library's own compilation of the steps is what is held here to
    // the plain steps, body by body.
    const std::pair<int, int> shapes[] = {{6000, 8}, {12000, 2}, {777, 3}, {300, 70}};
    for (auto body :
         {detail::KernelBody::portable, detail::KernelBody::avx2, detail::KernelBody::avx512}) {
        detail::force_kernel_body(body);
        const bool runs = detail::kernel_body() == body;
        detail::unforce_kernel_body();
        if (!runs) continue;
        for (auto [n, hb] : shapes) {
            SCOPED_TRACE(::testing::Message()
                         << "body " << static_cast<int>(body) << " n=" << n << " hb=" << hb);
            const auto s = testing::random_system<T>(n, hb, 2, 17);
            auto a1 = s.a, b1 = s.b, w1 = s.zero_work();
            auto a2 = s.a, b2 = s.b, w2 = s.zero_work();
            detail::force_kernel_body(body);
            const int info = band_solve(a1.data(), n, hb, b1.data(), 2, w1.data());
            detail::unforce_kernel_body();
            ASSERT_EQ(info, 0);
            const Index bs = block_size_for(tuning_parameters().p1, hb);
            ASSERT_EQ(plain_solve(a2.data(), n, hb, b2.data(), 2, w2.data(), bs), 0);
            EXPECT_EQ(std::memcmp(a1.data(), a2.data(), a1.size() * sizeof(T)), 0);
            EXPECT_EQ(std::memcmp(b1.data(), b2.data(), b1.size() * sizeof(T)), 0);
            EXPECT_EQ(std::memcmp(w1.data(), w2.data(), w1.size() * sizeof(T)), 0);
        }
    }
}

}  // namespace
}  // namespace bandsolve
