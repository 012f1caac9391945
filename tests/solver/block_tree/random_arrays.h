// Arrays of one block-tree solve with random contents, for the tests that
// hold one form of the block steps to another byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "solver/block_tree/block_arrays.h"
#include "support/band_systems.h"

namespace bandsolve::testing {

/// Arrays of one block-tree solve filled with random values; the diagonal of
/// A is large so that the factorisations pass (a few tests plant failures).
template <typename T>
struct RandomArrays {
    Index n, hb, nrhs;
    std::vector<T> a, b, corner, panel;

    RandomArrays(Index n_, Index hb_, Index nrhs_, std::uint64_t seed)
        : n(n_), hb(hb_), nrhs(nrhs_) {
        std::mt19937_64 gen(seed);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        auto draw = [&](double scale) -> T {
            if constexpr (testing::IsComplex<T>::value)
                return T(static_cast<typename T::value_type>(scale * u(gen)),
                         static_cast<typename T::value_type>(scale * u(gen)));
            else
                return static_cast<T>(scale * u(gen));
        };
        a.resize((n - 1) * (hb + 1) + 1);
        for (auto& v : a) v = draw(1.0);
        for (Index r = 1; r <= n; ++r) a[(r - 1) * (hb + 1)] = T(4.0 * (hb + 2)) + draw(1.0);
        b.resize(n * nrhs);
        for (auto& v : b) v = draw(3.0);
        corner.resize(std::max<Index>(n * hb, 1));
        panel.resize(std::max<Index>(n * hb, 1));
        for (auto& v : corner) v = draw(0.5);
        for (auto& v : panel) v = draw(0.5);
    }
    BlockTreeArrays<T> view() {
        return {a.data(), n, hb, b.data(), nrhs, corner.data(), panel.data()};
    }
    /// Where two sets of arrays first differ ("" when their bytes agree).
    std::string first_difference(const RandomArrays& o) const {
        auto diff = [](const char* name, const std::vector<T>& x,
                       const std::vector<T>& y) -> std::string {
            for (std::size_t i = 0; i < x.size(); ++i)
                if (std::memcmp(&x[i], &y[i], sizeof(T)) != 0)
                    return std::string(name) + "[" + std::to_string(i) + "] " +
                           ::testing::PrintToString(x[i]) + " vs " + ::testing::PrintToString(y[i]);
            return "";
        };
        for (auto d : {diff("A", a, o.a), diff("B", b, o.b), diff("K", corner, o.corner),
                       diff("P", panel, o.panel)})
            if (!d.empty()) return d;
        return "";
    }
    bool operator==(const RandomArrays& o) const { return first_difference(o).empty(); }
};

}  // namespace bandsolve::testing
