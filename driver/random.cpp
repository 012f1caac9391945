#include "driver/random.h"

namespace bandbench {

namespace {

std::uint32_t random_state = DEFAULT_SEED;

}  // namespace

std::uint32_t random_next() noexcept {
    random_state = random_state * 69069U + 1U;  // modulo 2^32 by unsigned wrap
    return random_state >> 8;
}

double uniform_random() noexcept { return static_cast<double>(random_next()) / 16777216.0; }

std::uint32_t random_seed(std::int32_t value) noexcept {
    const std::uint32_t state = value != 0 ? static_cast<std::uint32_t>(value) : DEFAULT_SEED;
    random_set_state(state);
    return state;
}

std::uint32_t random_seed_from(const std::int32_t* value) noexcept {
    const std::uint32_t state =
        value != nullptr ? static_cast<std::uint32_t>(*value) : DEFAULT_SEED;
    random_set_state(state);
    return state;
}

std::uint32_t random_get_state(std::uint32_t* out) noexcept {
    if (out != nullptr) *out = random_state;
    return random_state;
}

void random_set_state(std::uint32_t value) noexcept { random_state = value; }

void reseed_test_random() noexcept { random_seed(TEST_SEED); }

}  // namespace bandbench
