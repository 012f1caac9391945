// Helpers shared by the solver tests: the element types, bitwise comparison
// and a scoped team size.
#pragma once

#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <vector>

#include "bandsolve.h"
#include "threads/team_size.h"

namespace bandsolve::testing {

using ElementTypes = ::testing::Types<float, double, std::complex<float>, std::complex<double>>;

/// True when both vectors hold the same bytes (so -0 and +0 differ, and NaN
/// equals the same NaN).
template <typename T>
bool same_bytes(const std::vector<T>& x, const std::vector<T>& y) {
    return x.size() == y.size() &&
           (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(T)) == 0);
}

/// Solves started in its scope use a team of p threads, more than the
/// processors if asked; the processor count is restored when it ends.
class TeamOf {
  public:
    explicit TeamOf(int p) { detail::force_team_size(p); }
    ~TeamOf() { reset_team_size(); }
    TeamOf(const TeamOf&) = delete;
    TeamOf& operator=(const TeamOf&) = delete;
};

}  // namespace bandsolve::testing
