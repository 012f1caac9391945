// Block-tree arithmetic against trees drawn by hand.
#include "solver/block_tree/block_tree.h"

#include <gtest/gtest.h>

namespace bandsolve {
namespace {

TEST(BlockTree, BlockSizeRule) {
    EXPECT_EQ(block_size_for(24, 8), 72);
    EXPECT_EQ(block_size_for(24, 1), 576);
    EXPECT_EQ(block_size_for(24, 0), 576);
    EXPECT_EQ(block_size_for(24, 23), 25);  // 576/23 = 25 > 24
    EXPECT_EQ(block_size_for(24, 30), 31);  // hb + 1 wins
    EXPECT_EQ(block_size_for(16, 8), 32);
    EXPECT_EQ(block_size_for(8, 8), 9);
    EXPECT_EQ(block_size_for(24, 2147483647), Index{2147483648});
}

TEST(BlockTree, LevelsOfEightBlocks) {
    // n = 8 bs: level 1 takes 1 3 5 7, level 2 takes 2 6, level 3 takes 4,
    // level 4 takes 8 and has no separator.
    const int expected[] = {1, 2, 1, 3, 1, 2, 1, 4};
    for (int k = 1; k <= 8; ++k) EXPECT_EQ(block_level(k), expected[k - 1]) << k;
    EXPECT_EQ(top_level(8 * 10, 10), 4);
}

TEST(BlockTree, SmallAndBoundaryShapes) {
    EXPECT_EQ(top_level(1, 72), 2);  // a single block: level 2 is empty
    EXPECT_EQ(top_level(72, 72), 2);
    EXPECT_FALSE(is_top_level(1, 72, 72));    // level 1 never is
    EXPECT_EQ(top_level(2 * 72 + 1, 72), 2);  // block 3 is one row long
    EXPECT_EQ(top_level(4 * 72, 72), 3);      // block 4 is the top
    EXPECT_EQ(top_level(3 * 72 + 1, 72), 3);
    EXPECT_EQ(block_count(0, 72), 0);
    EXPECT_EQ(block_count(2 * 72 + 1, 72), 3);
}

TEST(BlockTree, BenchmarkProblem) {
    const Index n = 2000000, bs = block_size_for(24, 8);
    EXPECT_EQ(block_count(n, bs), 27778);
    EXPECT_EQ(top_level(n, bs), 15);
    EXPECT_EQ(block_level(16384), 15);
    EXPECT_EQ(level_first_row(16384, bs), 1179577);  // its first row
    EXPECT_FALSE(is_top_level(8192, n, bs));
    EXPECT_TRUE(is_top_level(16384, n, bs));
}

}  // namespace
}  // namespace bandsolve
