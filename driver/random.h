// Uniform random numbers from the linear congruential generator
// s <- 69069 s + 1 (mod 2^32), whose upper 24 bits scaled by 2^-24 give a
// number in [0, 1).  Seeding never advances the state: the first number after
// seeding with s comes from 69069 s + 1.
//
// The state is one process-wide word without locking: only one thread may
// use the generator.
#pragma once

#include <cstdint>

namespace bandbench {

/// State of the generator before any seeding, and the seed that 0 stands for.
inline constexpr std::uint32_t DEFAULT_SEED = 183608127U;

/// Seed from which every test system restarts the sequence.
inline constexpr std::int32_t TEST_SEED = 12345678;

/// Advances the state and returns its upper 24 bits (0 .. 16777215).
std::uint32_t random_next() noexcept;

/// random_next() / 2^24: a multiple of 2^-24 in [0, 1), exact in single
/// precision.
double uniform_random() noexcept;

/// Sets the state to `value`, or to DEFAULT_SEED when `value` is 0, and
/// returns the new state.
std::uint32_t random_seed(std::int32_t value) noexcept;

/// Sets the state to *value (0 included), or to DEFAULT_SEED when `value` is
/// null, and returns the new state.
std::uint32_t random_seed_from(const std::int32_t* value = nullptr) noexcept;

/// Returns the state and, when `out` is given, writes it there too.
std::uint32_t random_get_state(std::uint32_t* out = nullptr) noexcept;

/// Sets the state.
void random_set_state(std::uint32_t value) noexcept;

/// Restarts the sequence from TEST_SEED, so that every caller draws the same
/// numbers.
void reseed_test_random() noexcept;

}  // namespace bandbench
