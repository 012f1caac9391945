// Processor count and team size.  The public operations (count_processors,
// set_team_size, get_team_size, reset_team_size) are declared in
// <bandsolve.h>; this header holds their pure arithmetic, kept apart from
// the platform query so that it can be tested on any mask.
#pragma once

#include <cstdint>
#include <span>

namespace bandsolve {

/// Largest team a solve may use, the calling thread included.
inline constexpr int MAX_TEAM_SIZE = 32;

/// Number of set bits in an affinity mask of any width (words of 64 bits).
int count_mask_bits(std::span<const std::uint64_t> mask) noexcept;

/// Team size stored for a request: min(request, 32, processor count).
int clamp_team_size(int request, int processor_count) noexcept;

namespace detail {
/// Sets the team size of later solves to p (1..32) without the processor
/// count cap.  For tests that oversubscribe the machine on purpose.
void force_team_size(int p) noexcept;
}  // namespace detail

}  // namespace bandsolve
