// Helpers of the distributed solve's tests, over threads and over MPI: a
// rank's rows of a whole system's arrays, the shared-memory solve they are
// held to, and the shapes the tests sweep.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "bandsolve.hpp"
#include "solver/block_tree/tuning.h"
#include "solver/distributed/pieces.h"
#include "support/band_systems.h"
#include "support/solve_testing.h"

namespace bandsolve::testing {

using distributed::RowRun;

/// The arrays of a whole system, or of one rank's rows of it, as a solve
/// leaves them.
template <typename T>
struct Arrays {
    int info = 0;
    std::vector<T> a, b, work;
};

/// Rank r's rows of the whole system's arrays: its band rows, its
/// right-hand side entries column by column, its corner slots and then its
/// panel columns.
template <typename T>
Arrays<T> rows_of(const Arrays<T>& whole, int n, int hb, int nrhs, RowRun rows) {
    Arrays<T> part;
    if (rows.rows() <= 0) return part;
    const std::size_t lo = rows.first - 1, count = rows.rows(), row = hb + 1;
    const std::size_t band_end = std::min(std::size_t(rows.last) * row, whole.a.size());
    part.a.assign(whole.a.begin() + lo * row, whole.a.begin() + band_end);
    for (int k = 0; k < nrhs; ++k) {
        auto from = whole.b.begin() + std::size_t(k) * n + lo;
        part.b.insert(part.b.end(), from, from + count);
    }
    if (hb > 0) {
        auto corner = whole.work.begin() + lo * hb;
        part.work.assign(corner, corner + count * hb);
        for (int p = 0; p < hb; ++p) {
            auto from = whole.work.begin() + std::size_t(n) * hb + std::size_t(p) * n + lo;
            part.work.insert(part.work.end(), from, from + count);
        }
    }
    return part;
}

template <typename T>
Arrays<T> initial(const BandSystem<T>& s) {
    Arrays<T> o{0, s.a, s.b, s.zero_work()};
    // A fixed pattern in the work area, the same for the whole system and the
    // ranks: whatever no step writes must stay as it was.
    std::memset(static_cast<void*>(o.work.data()), 0x5a, o.work.size() * sizeof(T));
    return o;
}

/// The system solved by the shared-memory solve with a team of two.
template <typename T>
Arrays<T> shared_memory_solve(const BandSystem<T>& s) {
    Arrays<T> o = initial(s);
    TeamOf team(2);
    o.info = band_solve(o.a.data(), s.n, s.hb, o.b.data(), s.nrhs, o.work.data());
    return o;
}

/// Fixes the block-size parameter for the solves that follow.
inline void use_block_parameter(int p1) {
    detail::reset_tuning_parameters();
    int status = 0;
    set_block_parameter(&p1, &status);
}

struct Shape {
    int p1, n, hb, nrhs;
};

/// Shapes around the block size and the rank boundaries: P1 = 8 cuts small
/// blocks (9 rows at hb = 8, 32 at hb = 2, hb + 1 from hb = 8 on), so that
/// a few hundred rows give many levels and ranks of one block or none.
inline std::vector<Shape> shapes() {
    return {{8, 1, 3, 1},     {8, 9, 8, 1},     {8, 10, 8, 2},   {8, 19, 8, 1},
            {8, 36, 8, 3},    {8, 37, 8, 1},    {8, 73, 8, 2},   {8, 145, 8, 1},
            {8, 300, 8, 2},   {8, 577, 8, 1},   {8, 64, 2, 1},   {8, 129, 2, 3},
            {8, 1000, 1, 1},  {8, 100, 30, 1},  {8, 155, 30, 2}, {8, 400, 17, 1},
            {8, 50, 0, 2},    {8, 7, 0, 1},     {8, 200, 5, 0},  {24, 72, 8, 1},
            {24, 2000, 8, 1}, {24, 1500, 3, 2}, {24, 289, 8, 3}, {24, 4 * 72 + 1, 8, 1}};
}

/// A test that fixes the block-size parameter and the team size for its
/// solves and leaves the process as it found them.
class FreshTuning : public ::testing::Test {
  protected:
    void TearDown() override {
        detail::reset_tuning_parameters();
        reset_team_size();
    }
};

}  // namespace bandsolve::testing
