#include "driver/random.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

namespace bandbench {
namespace {

struct Draw {
    std::uint32_t state;
    std::uint32_t next;
    double uniform;
};

constexpr Draw TEST_SEED_DRAWS[] = {
    {2300109175U, 8984801U, 0.5355358719825745},  {3990263628U, 15586967U, 0.9290556311607361},
    {4057072605U, 15847939U, 0.9446107745170593}, {1396461818U, 5454928U, 0.32513904571533203},
    {140741171U, 549770U, 0.032768845558166504},
};

TEST(UniformRandom, TestSeedSequence) {
    reseed_test_random();
    EXPECT_EQ(random_get_state(), 12345678U);
    for (const Draw& draw : TEST_SEED_DRAWS) {
        EXPECT_EQ(random_next(), draw.next);
        EXPECT_EQ(random_get_state(), draw.state);
    }
    reseed_test_random();
    for (const Draw& draw : TEST_SEED_DRAWS) {
        EXPECT_EQ(uniform_random(), draw.uniform);
        EXPECT_EQ(random_get_state(), draw.state);
    }
}

TEST(UniformRandom, ReseedRestartsAtTheSamePoint) {
    reseed_test_random();
    const double first = uniform_random();
    const double second = uniform_random();
    reseed_test_random();
    EXPECT_EQ(uniform_random(), first);
    EXPECT_EQ(uniform_random(), second);
    EXPECT_EQ(first, 0.5355358719825745);
    EXPECT_EQ(TEST_SEED, 12345678);
}

// The untouched process-wide state starts from DEFAULT_SEED.  Statics are
// fresh only in a new process, so the check runs in a re-executed child.
TEST(UniformRandomDeathTest, UnseededSequenceStartsFromDefaultSeed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const bool ok =
                random_get_state() == DEFAULT_SEED && uniform_random() == 0.672011137008667 &&
                uniform_random() == 0.13908743858337402 && uniform_random() == 0.6339781284332275;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(UniformRandom, SeedingEdgeCases) {
    random_set_state(1U);
    EXPECT_EQ(random_seed_from(), DEFAULT_SEED);
    EXPECT_EQ(random_get_state(), DEFAULT_SEED);

    const std::int32_t zero = 0;
    EXPECT_EQ(random_seed_from(&zero), 0U);
    EXPECT_EQ(random_get_state(), 0U);

    const std::int32_t negative = -1;
    EXPECT_EQ(random_seed_from(&negative), 0xFFFFFFFFU);
    EXPECT_EQ(random_seed(-2), 0xFFFFFFFEU);
    EXPECT_EQ(random_seed(7), 7U);
}

TEST(UniformRandom, StepsFromStateZero) {
    random_set_state(0U);
    EXPECT_EQ(random_next(), 0U);
    EXPECT_EQ(random_get_state(), 1U);
    EXPECT_EQ(random_next(), 269U);
    EXPECT_EQ(random_get_state(), 69070U);

    random_set_state(0U);
    EXPECT_EQ(uniform_random(), 0.0);
}

TEST(UniformRandom, LargestValueStaysBelowOne) {
    // The state whose successor is 0xFFFFFFFF: 69069 s + 1 = -1 (mod 2^32).
    constexpr std::uint32_t INVERSE_69069 = 0xA5E2A705U;  // 69069 * this = 1 (mod 2^32)
    static_assert(69069U * INVERSE_69069 == 1U);
    random_set_state(static_cast<std::uint32_t>(0xFFFFFFFEU * INVERSE_69069));
    EXPECT_EQ(uniform_random(), 16777215.0 / 16777216.0);
    EXPECT_EQ(random_get_state(), 0xFFFFFFFFU);
}

TEST(UniformRandom, GetStateWritesWhenAsked) {
    random_set_state(42U);
    std::uint32_t out = 0;
    EXPECT_EQ(random_get_state(&out), 42U);
    EXPECT_EQ(out, 42U);
    EXPECT_EQ(random_get_state(nullptr), 42U);
}

}  // namespace
}  // namespace bandbench
