// What bandcompare's verdicts rest on: the check that accepts or rejects a
// solution, the systems built for each element type, the statistics and the
// command line.
#include <gtest/gtest.h>

#include <bandsolve.hpp>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "bench/compare_options.h"
#include "bench/compare_stats.h"
#include "bench/compare_systems.h"
#include "bench/lapack_entries.h"

namespace bandcompare {
namespace {

std::vector<float> some_solution() { return {0.5F, -0.25F, 0.75F, 1.0F, -0.125F}; }

TEST(VerifySolution, AcceptsTheExactSolutionAndRejectsAPerturbedOne) {
    const std::vector<float> x = some_solution();
    std::vector<double> got(x.begin(), x.end());
    EXPECT_TRUE(verify_solution(got.data(), x, 1.0).ok);

    got[3] += 2e-4;  // max|x| = 1, so the error is 2e-4 > 1e-4
    const Verification v = verify_solution(got.data(), x, 1.0);
    EXPECT_FALSE(v.ok);
    EXPECT_NEAR(v.max_error, 2e-4, 1e-12);
    EXPECT_NE(v.failure.find("row 4"), std::string::npos) << v.failure;
}

TEST(VerifySolution, ErrorIsRelativeToTheLargestElement) {
    std::vector<float> x = some_solution();
    for (float& xi : x) xi *= 1000.0F;
    std::vector<double> got(x.begin(), x.end());
    got[0] += 0.05;  // 5e-5 of max|x| = 1000
    EXPECT_TRUE(verify_solution(got.data(), x, 1.0).ok);
    got[0] += 0.1;
    EXPECT_FALSE(verify_solution(got.data(), x, 1.0).ok);
}

TEST(VerifySolution, RejectsNanAndInfinityAnywhere) {
    const std::vector<float> x = some_solution();
    for (double bad :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        for (std::size_t at : {std::size_t{0}, x.size() - 1}) {
            std::vector<double> got(x.begin(), x.end());
            got[at] = bad;
            EXPECT_FALSE(verify_solution(got.data(), x, 1.0).ok) << bad << " at " << at;
        }
    }
}

TEST(VerifySolution, ComplexSolutionMustCarryTheFactor) {
    const std::vector<float> x = some_solution();
    const std::complex<double> f = solution_factor<std::complex<double>>();
    std::vector<std::complex<double>> scaled, plain;
    for (float xi : x) {
        scaled.push_back(f * static_cast<double>(xi));
        plain.push_back(static_cast<double>(xi));
    }
    EXPECT_TRUE(verify_solution(scaled.data(), x, f).ok);
    EXPECT_FALSE(verify_solution(plain.data(), x, f).ok);
    // The conjugate is what a solver that conjugated A would return.
    for (auto& v : scaled) v = std::conj(v);
    EXPECT_FALSE(verify_solution(scaled.data(), x, f).ok);
}

// Solves the type-T system built from a small float system with the
// block-tree solver and checks it the way bandcompare does: the system, its
// exact solution and the check must agree for every element type.
template <typename T>
class TypedSystems : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;
TYPED_TEST_SUITE(TypedSystems, ElementTypes);

TYPED_TEST(TypedSystems, BlockTreeSolutionOfTheBuiltSystemVerifies) {
    using T = TypeParam;
    for (int hb : {1, 4, 9}) {
        const FloatSystem s = FloatSystem::build(700, hb);
        std::vector<T> a = system_matrix<T>(s), b = system_rhs<T>(s);
        std::vector<T> work(bandsolve::work_size(s.n, hb));
        ASSERT_EQ(bandsolve::band_solve(a.data(), s.n, hb, b.data(), 1, work.data()), 0);
        const Verification v = verify_solution(b.data(), s.x, solution_factor<T>());
        EXPECT_TRUE(v.ok) << "hb " << hb << ": " << v.failure;
    }
}

TEST(ReferenceLapack, SolvesTheBuiltSystems) {
    if (!have_reference_lapack()) GTEST_SKIP() << "built without LAPACK";
    const FloatSystem s = FloatSystem::build(1000, 8);
    std::vector<float> a = s.a, b = s.b;
    ASSERT_EQ(lapack_pbsv(a.data(), s.n, s.hb, b.data(), 1), 0);
    EXPECT_TRUE(verify_solution(b.data(), s.x, 1.0).ok);
    std::vector<double> ad = system_matrix<double>(s), bd = system_rhs<double>(s);
    ASSERT_EQ(lapack_pbsv(ad.data(), s.n, s.hb, bd.data(), 1), 0);
    EXPECT_TRUE(verify_solution(bd.data(), s.x, 1.0).ok);
}

TEST(OpenBlasLoader, SolvesWhenInstalledAndReportsAMissingFile) {
    OpenBlas missing;
    EXPECT_FALSE(missing.open("/nonexistent/liblapack.so.3"));
    EXPECT_FALSE(missing.loaded());
    EXPECT_FALSE(missing.error().empty());

    // BANDCOMPARE_OPENBLAS names a library elsewhere than Debian's path.
    const char* path = std::getenv("BANDCOMPARE_OPENBLAS");
    OpenBlas openblas;
    if (!openblas.open(path != nullptr ? path : DEFAULT_OPENBLAS_PATH))
        GTEST_SKIP() << openblas.error();
    const FloatSystem s = FloatSystem::build(1000, 8);
    std::vector<double> a = system_matrix<double>(s), b = system_rhs<double>(s);
    ASSERT_EQ(openblas.pbsv(a.data(), s.n, s.hb, b.data(), 1), 0);
    EXPECT_TRUE(verify_solution(b.data(), s.x, 1.0).ok);
}

TEST(Summarise, MedianOfOddAndEvenCountsWhateverTheOrder) {
    const TimingSummary odd = summarise({5, 1, 4, 2, 3});
    EXPECT_EQ(odd.median, 3);
    EXPECT_EQ(odd.min, 1);
    EXPECT_EQ(odd.max, 5);
    const TimingSummary even = summarise({8, 1, 4, 2, 100, 3});
    EXPECT_EQ(even.median, 3.5);
    EXPECT_EQ(even.max, 100);
}

bool parse(std::vector<const char*> args, Options& options, std::string& error) {
    args.insert(args.begin(), "bandcompare");
    return parse_options(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ParseOptions, TypesComeInTheFixedOrder) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--types", "z,s,c"}, o, error)) << error;
    EXPECT_EQ(o.types, "scz");
}

TEST(ParseOptions, RejectsMalformedValues) {
    const std::vector<std::vector<const char*>> bad = {
        {"--types", "s,,d"},  {"--types", ""},     {"--types", "s,x"}, {"--types", "sd"},
        {"--runs", "4"},      {"--runs", "5x"},    {"--runs"},         {"--max-team", "0"},
        {"--max-team", "33"}, {"--max-nhb", "-1"}, {"--frobnicate"},   {"--csv", ""},
    };
    for (const auto& args : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace bandcompare
