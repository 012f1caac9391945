// Factorisation of one diagonal block, and the block steps at element
// offsets beyond 2^31.
#include "solver/common/block_factor.h"

#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <vector>

#include "solver/block_tree/block_steps.h"
#include "support/band_systems.h"
#include "support/test_support.h"

namespace bandsolve {
namespace {

using testing::random_system;
using testing::SparseArray;

TEST(BlockFactor, TwoByTwoBlockByHand) {
    // [4 2; 2 5] = U^T U with U = [2 1; 0 2].
    std::vector<float> a = {4, 2, 5};
    ErrorFlags flags{0, 0};
    band_block_factor_s(a.data(), 1, 1, 2, 0.0f, flags, 1);
    EXPECT_EQ(a, (std::vector<float>{2, 1, 2}));
    EXPECT_EQ(flags, (ErrorFlags{0, 0}));
}

TEST(BlockFactor, DiagonalAndSingleRowBlocks) {
    std::vector<double> a = {9, 1, 16, 2, 25};  // hb = 1, n = 3
    ErrorFlags flags{0, 0};
    band_block_factor_d(a.data(), 1, 2, 2, 0.0, flags, 1);  // one row: sqrt only
    EXPECT_EQ(a, (std::vector<double>{9, 1, 4, 2, 25}));
    std::vector<double> diag = {4, 9, 2.25};  // hb = 0: rows stand alone
    band_block_factor_d(diag.data(), 0, 1, 3, 0.0, flags, 1);
    EXPECT_EQ(diag, (std::vector<double>{2, 3, 1.5}));
    band_block_factor_d(diag.data(), 0, 3, 2, 0.0, flags, 1);  // last < first
    EXPECT_EQ(diag, (std::vector<double>{2, 3, 1.5}));
    EXPECT_EQ(flags, (ErrorFlags{0, 0}));
}

TEST(BlockFactor, ShortBlockStaysInsideItsRows) {
    // A block of 3 rows with hb = 5: columns are cut at the block's end, and
    // the band elements beyond it (which exist up to the array's end) are
    // neither read nor written.
    auto s = random_system<double>(12, 5, 0, 7);
    std::vector<double> a = s.a;
    const double poison = 1e300;
    auto beyond = [&](int r, int c) { return std::size_t(r - 1) * 5 + c - 1 < a.size(); };
    for (int r = 10; r <= 12; ++r)
        for (int c = 13; c <= r + 5 && beyond(r, c); ++c)
            a[std::size_t(r - 1) * 5 + c - 1] = poison;
    ErrorFlags flags{0, 0};
    band_block_factor_d(a.data(), 5, 10, 12, 0.0, flags, 2);
    EXPECT_EQ(flags, (ErrorFlags{0, 0}));
    // Reference: the same 3x3 block factorised on its own.
    std::vector<double> block(3 * 6);
    for (int r = 1; r <= 3; ++r)
        for (int c = r; c <= 3; ++c) block[std::size_t(r - 1) * 5 + c - 1] = s.at(9 + r, 9 + c);
    band_block_factor_d(block.data(), 5, 1, 3, 0.0, flags, 1);
    for (int r = 1; r <= 3; ++r) {
        for (int c = r; c <= 3; ++c)
            EXPECT_EQ(a[std::size_t(r + 8) * 5 + 9 + c - 1], block[std::size_t(r - 1) * 5 + c - 1]);
        for (int c = 4; c <= r + 5 && beyond(r + 9, c + 9); ++c)
            EXPECT_EQ(a[std::size_t(r + 8) * 5 + 9 + c - 1], poison);
    }
}

TEST(BlockFactor, FailedPivotStopsAtItsRow) {
    const int n = 6, hb = 2;
    auto s = random_system<float>(n, hb, 0, 11);
    s.at(4, 4) = -50.0f;
    std::vector<float> a = s.a;
    ErrorFlags flags{0, 0};
    band_block_factor_s(a.data(), hb, 1, n, 0.0f, flags, 2);
    EXPECT_EQ(flags, (ErrorFlags{0, 1}));
    // Rows 1..3 hold the factor of the leading 3x3 block.
    std::vector<float> lead = s.a;
    ErrorFlags ok{0, 0};
    band_block_factor_s(lead.data(), hb, 1, 3, 0.0f, ok, 1);
    for (int r = 1; r <= 3; ++r)
        for (int c = r; c <= std::min(r + hb, 3); ++c)
            EXPECT_EQ(a[std::size_t(r - 1) * hb + c - 1], lead[std::size_t(r - 1) * hb + c - 1]);
    // Row 4 was updated (its pivot only fell further) but not factorised;
    // rows 5 and 6 are untouched.
    EXPECT_LT(a[std::size_t(3) * hb + 3], -50.0f);
    for (int r = 5; r <= n; ++r)
        for (int c = r; c <= std::min(r + hb, n); ++c)
            EXPECT_EQ(a[std::size_t(r - 1) * hb + c - 1], s.at(r, c));
}

TEST(BlockFactor, ComplexSymmetricPivotMayBeNegative) {
    using Z = std::complex<float>;
    std::vector<Z> a = {Z(-4, 0), Z(1, 1), Z(10, 2)};  // hb = 1, n = 2
    ErrorFlags flags{0, 0};
    band_block_factor_c(a.data(), 1, 1, 2, 0.0f, flags, 1);
    EXPECT_EQ(flags, (ErrorFlags{0, 0}));
    EXPECT_EQ(a[0], Z(0, 2));
    std::vector<Z> singular = {Z(0, -0.0f), Z(1, 0), Z(3, 0)};
    band_block_factor_c(singular.data(), 1, 1, 2, 0.0f, flags, 1);
    EXPECT_EQ(flags, (ErrorFlags{1, 0}));
}

TEST(BlockSteps, OffsetsBeyond2To31MatchASmallSystem) {
    // The last, odd-numbered block of an order-n system with n*(hb+1) and
    // n*hb both above 2^31: its odd-block step (factorisation, couplings in
    // the panel, forward substitution) and backward step must give exactly
    // what the same block gives as block 3 of a small system.
    const int hb = 8;
    const Index bs = 72;
    const Index n_big = bs * 4166667;  // 300,000,024 rows, block count odd
    ASSERT_GT(n_big * (hb + 1), Index{1} << 31);
    const Index n_small = 3 * bs;
    auto s = random_system<float>(static_cast<int>(n_small), hb, 1, 99);

    SparseArray<float> a_big((n_big - 1) * (hb + 1) + 1), b_big(n_big), k_big(n_big * hb),
        p_big(n_big * hb);
    if (!a_big.data() || !b_big.data() || !k_big.data() || !p_big.data())
        GTEST_SKIP() << "cannot reserve the address space";
    const Index shift = n_big - n_small;  // big row = small row + shift
    // Copy rows bs-hb+1 .. 3bs (the left separator's last rows and block 3).
    for (Index r = 2 * bs - hb + 1; r <= n_small; ++r) {
        for (Index c = r; c <= r + hb && c <= n_small; ++c)
            a_big.data()[(r + shift - 1) * hb + c + shift - 1] = s.a[(r - 1) * hb + c - 1];
        b_big.data()[r + shift - 1] = s.b[r - 1];
    }
    std::vector<float> k_small(n_small * hb), p_small(n_small * hb);
    BlockTreeArrays<float> small{s.a.data(),     n_small,       hb, s.b.data(), 1,
                                 k_small.data(), p_small.data()};
    BlockTreeArrays<float> big{a_big.data(), n_big,       hb, b_big.data(), 1,
                               k_big.data(), p_big.data()};
    ErrorFlags flags{0, 0};
    odd_block_step(small, 2 * bs + 1, true, bs, 1, bs, 0.0f, flags, 1);
    odd_block_step(big, n_big - bs + 1, true, bs, 1, bs, 0.0f, flags, 1);
    ASSERT_EQ(flags, (ErrorFlags{0, 0}));
    // Separator values the backward step reads: the left separator's last hb
    // rows, solved.
    for (Index r = 2 * bs - hb + 1; r <= 2 * bs; ++r)
        b_big.data()[r + shift - 1] = s.b[r - 1] = 0.5f * static_cast<float>(r % 7);
    backward_step(small, 2 * bs + 1, bs, bs);
    backward_step(big, n_big - bs + 1, bs, bs);

    for (Index r = 2 * bs + 1; r <= n_small; ++r) {
        for (Index c = r; c <= std::min(r + hb, n_small); ++c)
            ASSERT_EQ(a_big.data()[(r + shift - 1) * hb + c + shift - 1],
                      s.a[(r - 1) * hb + c - 1]);
        ASSERT_EQ(b_big.data()[r + shift - 1], s.b[r - 1]) << "row " << r;
        for (Index p = 1; p <= hb; ++p)
            ASSERT_EQ(big.P(p, r + shift), small.P(p, r)) << "panel " << p << ", " << r;
    }
}

}  // namespace
}  // namespace bandsolve
