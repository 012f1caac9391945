#include "driver/test_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "driver/random.h"

namespace bandbench {
namespace {

constexpr float SENTINEL = -12345.0F;
constexpr int GUARD = 4;  // sentinel slots after every array

// The arrays of one test system, each followed by sentinel slots that no
// build may touch.
struct System {
    int n;
    int hb;
    int nrhs;
    std::vector<float> a;
    std::vector<float> b;
    std::vector<float> x;

    System(int n_, int hb_, int nrhs_ = 1)
        : n(n_),
          hb(hb_),
          nrhs(nrhs_),
          a(static_cast<std::size_t>(std::max((n_ - 1) * std::max(hb_, 0) + n_, 0) + GUARD),
            SENTINEL),
          b(static_cast<std::size_t>(std::max(n_ * nrhs_, 0) + GUARD), SENTINEL),
          x(static_cast<std::size_t>(std::max(n_ * nrhs_, 0) + GUARD), SENTINEL) {}

    void build() { build_test_system(a.data(), b.data(), x.data(), n, hb, nrhs); }

    std::size_t band_slots() const { return a.size() - GUARD; }

    // Upper-band element (r, q), 1-based.
    float upper(int r, int q) const { return a[static_cast<std::size_t>((r - 1) * hb + q - 1)]; }

    // Element (r, q) of the symmetric matrix, zero outside the band.
    double full(int r, int q) const {
        if (r > q) std::swap(r, q);
        return q - r <= hb ? static_cast<double>(upper(r, q)) : 0.0;
    }
};

void expect_guards_intact(const std::vector<float>& v, const char* what) {
    for (std::size_t k = v.size() - GUARD; k < v.size(); ++k) {
        EXPECT_EQ(v[k], SENTINEL) << what << " written past its end at slot " << k;
    }
}

void expect_guards_intact(const System& s) {
    expect_guards_intact(s.a, "A");
    expect_guards_intact(s.b, "b");
    expect_guards_intact(s.x, "x");
}

TEST(BuildTestSystem, SmallBandByHand) {
    System s(4, 2);
    s.build();
    // Rows (10, 2, 1), (80, 4, 4), (30, 4, *), (120); the slot * beyond
    // column 4 keeps the pattern value U(3, 5) = 1.
    const std::vector<float> expected = {10, 2, 1, 80, 4, 4, 30, 4, 1, 120};
    ASSERT_EQ(s.band_slots(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(s.a[k], expected[k]) << k;
    expect_guards_intact(s);

    EXPECT_EQ(s.x[0], 0.5355358719825745F);
    EXPECT_EQ(s.x[1], 0.9290556311607361F);
    EXPECT_EQ(s.x[2], 0.9446107745170593F);
    EXPECT_EQ(s.x[3], 0.32513904571533203F);
}

TEST(BuildTestSystem, HalfBandwidthEight) {
    System s(20, 8);
    s.build();
    const float leading[] = {10, 80, 270, 640, 1250, 2160, 3430, 5120};
    for (int r = 1; r <= 8; ++r) EXPECT_EQ(s.upper(r, r), leading[r - 1]) << "row " << r;
    for (int r = 9; r <= s.n; ++r) {
        const float v = static_cast<float>(1 + (r - 1) % 8);
        EXPECT_EQ(s.upper(r, r), 90.0F * v * v) << "row " << r;
    }
    const float row1[] = {10, 2, 3, 4, 5, 6, 7, 8, 1};
    for (int k = 0; k <= 8; ++k) EXPECT_EQ(s.a[static_cast<std::size_t>(k)], row1[k]) << k;
    expect_guards_intact(s);
}

TEST(BuildTestSystem, HalfBandwidthOne) {
    System s(6, 1);
    s.build();
    EXPECT_EQ(s.upper(1, 1), 10.0F);
    for (int r = 2; r <= s.n; ++r) EXPECT_EQ(s.upper(r, r), 20.0F) << "row " << r;
    for (int r = 1; r < s.n; ++r) EXPECT_EQ(s.upper(r, r + 1), 1.0F) << "row " << r;
    expect_guards_intact(s);
}

TEST(BuildTestSystem, DiagonalMatrixForZeroOrNegativeBandwidth) {
    for (int hb : {0, -3}) {
        System s(5, hb);
        s.build();
        for (int r = 0; r < s.n; ++r) {
            EXPECT_EQ(s.a[static_cast<std::size_t>(r)], 10.0F) << "hb " << hb << " row " << r;
            EXPECT_EQ(s.b[static_cast<std::size_t>(r)], 10.0F * s.x[static_cast<std::size_t>(r)]);
        }
        expect_guards_intact(s);
    }
}

TEST(BuildTestSystem, EmptySystemsWriteNothing) {
    for (int n : {0, -2}) {
        System s(n, 8);
        s.build();
        expect_guards_intact(s);
    }
    System no_rhs(5, 2, 0);
    no_rhs.build();
    expect_guards_intact(no_rhs);
    EXPECT_EQ(no_rhs.a[0], 10.0F);
}

TEST(BuildTestSystem, RepeatedBuildsAreIdentical) {
    System first(300, 8, 2);
    System second(300, 8, 2);
    first.build();
    uniform_random();  // disturb the generator between the builds
    second.build();
    second.build();
    EXPECT_EQ(std::memcmp(first.a.data(), second.a.data(), first.a.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(first.b.data(), second.b.data(), first.b.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(first.x.data(), second.x.data(), first.x.size() * sizeof(float)), 0);
}

TEST(BuildTestSystem, SolutionDrawnColumnByColumn) {
    System s(3, 1, 2);
    s.build();
    reseed_test_random();
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(s.x[static_cast<std::size_t>(k)], static_cast<float>(uniform_random())) << k;
    }
}

TEST(BuildTestSystem, FirstRightHandSideRoundsEveryPartialSum) {
    System s(12, 8);
    s.build();
    EXPECT_EQ(s.x[0], 0.5355358719825745F);
    float expected = static_cast<float>(static_cast<double>(s.upper(1, 1)) * s.x[0]);
    for (int q = 2; q <= 9; ++q) {
        expected = static_cast<float>(static_cast<double>(expected) +
                                      static_cast<double>(s.upper(1, q)) * s.x[q - 1]);
    }
    EXPECT_EQ(s.b[0], expected);
}

// b = A x against a dense product in double precision: every row, both
// triangles, the band cut off at the first and last rows.
TEST(BuildTestSystem, RightHandSideIsTheSymmetricProduct) {
    for (int hb : {1, 2, 8}) {
        System s(40, hb, 2);
        s.build();
        for (int k = 0; k < s.nrhs; ++k) {
            const float* x = s.x.data() + k * s.n;
            const float* b = s.b.data() + k * s.n;
            for (int i = 1; i <= s.n; ++i) {
                double sum = 0.0;
                double magnitude = 0.0;
                for (int q = 1; q <= s.n; ++q) {
                    sum += s.full(i, q) * x[q - 1];
                    magnitude += std::fabs(s.full(i, q) * x[q - 1]);
                }
                EXPECT_NEAR(b[i - 1], sum,
                            4.0 * (2 * hb + 1) * magnitude * std::numeric_limits<float>::epsilon())
                    << "hb " << hb << " row " << i << " column " << k + 1;
            }
        }
        expect_guards_intact(s);
    }
}

// U^T U in place against a dense product of an explicit U.  Small integers
// keep every product and sum exact, so any order of evaluation agrees.
template <typename T, void (*Utu)(T*, int, int)>
void check_utu_against_dense(int n, int hb) {
    const int ld = hb;
    const int slots = (n - 1) * ld + n;
    std::vector<T> band(static_cast<std::size_t>(slots));
    for (int k = 0; k < slots; ++k)
        band[static_cast<std::size_t>(k)] = static_cast<T>((5 * k) % 7 - 3);

    // Dense U from the band, and the slots beyond column n.
    std::vector<T> u(static_cast<std::size_t>(n * n), T(0));
    std::vector<std::size_t> beyond;
    for (int r = 1; r <= n; ++r) {
        for (int q = r; q <= r + hb; ++q) {
            const auto slot = static_cast<std::size_t>((r - 1) * ld + q - 1);
            if (slot >= band.size()) continue;
            if (q <= n) {
                u[static_cast<std::size_t>((r - 1) * n + q - 1)] = band[slot];
            } else {
                beyond.push_back(slot);
            }
        }
    }
    const std::vector<T> before = band;

    Utu(band.data(), n, hb);

    for (int j = 1; j <= n; ++j) {
        for (int i = j; i <= std::min(n, j + hb); ++i) {
            T expected = 0;
            for (int l = 1; l <= n; ++l) {
                expected += u[static_cast<std::size_t>((l - 1) * n + j - 1)] *
                            u[static_cast<std::size_t>((l - 1) * n + i - 1)];
            }
            EXPECT_EQ(band[static_cast<std::size_t>((j - 1) * ld + i - 1)], expected)
                << "n " << n << " hb " << hb << " element (" << j << ", " << i << ")";
        }
    }
    for (std::size_t slot : beyond) EXPECT_EQ(band[slot], before[slot]) << "slot " << slot;
}

TEST(BandUtu, DoubleMatchesDenseProduct) {
    check_utu_against_dense<double, band_utu_d>(7, 3);
    check_utu_against_dense<double, band_utu_d>(5, 6);  // band wider than the matrix
    check_utu_against_dense<double, band_utu_d>(6, 1);
    check_utu_against_dense<double, band_utu_d>(4, 0);
    check_utu_against_dense<double, band_utu_d>(1, 2);
}

TEST(BandUtu, SingleMatchesDenseProduct) {
    check_utu_against_dense<float, band_utu_s>(7, 3);
    check_utu_against_dense<float, band_utu_s>(9, 8);
}

TEST(BandUtu, SingleRoundsEveryStoredValue) {
    // n = 2, hb = 1: A(2, 2) = u22^2 + u12^2.  Rounding u22^2 to single
    // precision before adding gives 0x1.001688p+1; carrying it unrounded
    // into the sum would give 0x1.001686p+1.
    const float u12 = 0x1.00044ep+0F;
    const float u22 = 0x1.001238p+0F;
    float band[3] = {1.0F, u12, u22};
    band_utu_s(band, 2, 1);
    EXPECT_EQ(band[0], 1.0F);
    EXPECT_EQ(band[1], u12);
    EXPECT_EQ(band[2], 0x1.001688p+1F);
}

TEST(BandUtu, NegativeBandwidthLeavesArrayAlone) {
    double band[3] = {2.0, 3.0, 4.0};
    band_utu_d(band, 3, -1);
    EXPECT_EQ(band[0], 2.0);
    EXPECT_EQ(band[1], 3.0);
    EXPECT_EQ(band[2], 4.0);
}

}  // namespace
}  // namespace bandbench
