// Processor count and team size.
//
// Both process-wide values are atomics, so that two threads entering solves
// at once read and store them without a data race.  The processor count is
// cached by the first of set_team_size, get_team_size and reset_team_size
// (a function-local static: counted exactly once even if two threads race),
// while count_processors called directly counts afresh and never touches the
// cache.
#include "threads/team_size.h"

#include <bandsolve.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <vector>

#include "threads/platform/platform.h"

namespace bandsolve {

namespace {

// Team size of later solves; 0 = not set, the next get takes the processor
// count.
constinit std::atomic<int> g_team_size{0};

// The processor count, taken on first need and kept for the rest of the run.
int cached_processor_count() noexcept {
    static const int count = [] {
        int n = 0;
        ::count_processors(&n);
        return n;
    }();
    return count;
}

}  // namespace

int count_mask_bits(std::span<const std::uint64_t> mask) noexcept {
    int count = 0;
    for (std::uint64_t word : mask) count += std::popcount(word);
    return count;
}

int clamp_team_size(int request, int processor_count) noexcept {
    // A negative team size would break every solve: store 0 instead, which
    // the next get replaces by the processor count.
    if (request < 0) return 0;
    return std::min(std::min(request, MAX_TEAM_SIZE), processor_count);
}

namespace detail {

void force_team_size(int p) noexcept { g_team_size.store(std::clamp(p, 1, MAX_TEAM_SIZE)); }

}  // namespace detail

}  // namespace bandsolve

extern "C" {

void count_processors(int* count) {
    if (count == nullptr) return;
    std::vector<std::uint64_t> mask;
    // A failed query counts as one processor.
    *count = bandsolve::platform::query_affinity_mask(mask) ? bandsolve::count_mask_bits(mask) : 1;
}

void set_team_size(const int* p) {
    if (p == nullptr) return;
    const int n = bandsolve::cached_processor_count();
    bandsolve::g_team_size.store(bandsolve::clamp_team_size(*p, n));
}

void get_team_size(int* p) {
    if (p == nullptr) return;
    int size = bandsolve::g_team_size.load();
    if (size == 0) {
        // Not set: the processor count, capped at 32 like every team size.
        const int n = bandsolve::cached_processor_count();
        int expected = 0;
        size = bandsolve::clamp_team_size(n, n);
        if (!bandsolve::g_team_size.compare_exchange_strong(expected, size)) size = expected;
    }
    *p = size;
}

void reset_team_size(void) {
    const int n = bandsolve::cached_processor_count();
    bandsolve::g_team_size.store(bandsolve::clamp_team_size(n, n));
}

}  // extern "C"
