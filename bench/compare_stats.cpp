#include "bench/compare_stats.h"

#include <algorithm>

namespace bandcompare {

TimingSummary summarise(std::vector<double> seconds) {
    TimingSummary s;
    if (seconds.empty()) return s;
    std::sort(seconds.begin(), seconds.end());
    const std::size_t k = seconds.size();
    s.median = k % 2 == 1 ? seconds[k / 2] : (seconds[k / 2 - 1] + seconds[k / 2]) / 2;
    s.min = seconds.front();
    s.max = seconds.back();
    return s;
}

std::int64_t band_elements(std::int64_t n, std::int64_t hb) noexcept {
    return n > 0 && hb >= 0 ? (n - 1) * (hb + 1) + 1 : 0;
}

std::int64_t block_tree_work_elements(std::int64_t n, std::int64_t hb) noexcept {
    return n > 0 && hb > 0 ? 2 * n * hb : 0;
}

double solve_bytes(std::int64_t n, std::int64_t hb, std::int64_t nrhs, std::int64_t work,
                   std::size_t element_bytes) noexcept {
    const double elements = 2.0 * static_cast<double>(band_elements(n, hb)) +
                            2.0 * static_cast<double>(n * nrhs) + 2.0 * static_cast<double>(work);
    return elements * static_cast<double>(element_bytes);
}

double floor_bytes(std::int64_t n, std::int64_t hb, std::int64_t nrhs,
                   std::size_t element_bytes) noexcept {
    const double elements = 4.0 * static_cast<double>(band_elements(n, hb)) +
                            2.0 * static_cast<double>(n * nrhs) +
                            static_cast<double>(block_tree_work_elements(n, hb));
    return elements * static_cast<double>(element_bytes);
}

}  // namespace bandcompare
