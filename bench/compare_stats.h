// Summary statistics of repeated timings and the byte counts behind the
// effective bandwidth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bandcompare {

struct TimingSummary {
    double median = 0;  // seconds; mean of the two middle values for an even count
    double min = 0;
    double max = 0;
};

/// Median, minimum and maximum of the timings; all zero for none.
TimingSummary summarise(std::vector<double> seconds);

/// Elements of the band array and of the block-tree work area.
std::int64_t band_elements(std::int64_t n, std::int64_t hb) noexcept;
std::int64_t block_tree_work_elements(std::int64_t n, std::int64_t hb) noexcept;

/// Bytes a solve moves if it reads and writes each of its arrays exactly
/// once: element_bytes * (2*|A| + 2*n*nrhs + 2*work), with work the elements
/// of its work area (0 for LAPACK and the slab solvers).
double solve_bytes(std::int64_t n, std::int64_t hb, std::int64_t nrhs, std::int64_t work,
                   std::size_t element_bytes) noexcept;

/// Bytes the memory-floor pass moves: A read and written once and read
/// twice more, b read and written once, the block-tree work area written
/// once: element_bytes * (4*|A| + 2*n*nrhs + work).
double floor_bytes(std::int64_t n, std::int64_t hb, std::int64_t nrhs,
                   std::size_t element_bytes) noexcept;

}  // namespace bandcompare
