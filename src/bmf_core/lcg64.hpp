// The one source of randomness: a 64-bit linear congruential generator whose
// outputs are the top 31 bits of the state after each step. Seeded directly,
// no mixing, so every seed (0 included) reproduces the same draws anywhere.
// The Python drivers of the alternation (valdrix_learn, its Dask run) draw
// their starts through the module's _start_columns, so they share it too.
#pragma once

#include <cstdint>

namespace bmf_core {

class Lcg64 {
public:
    static constexpr std::uint64_t kMultiplier = 6364136223846793005ull;  // 0x5851F42D4C957F2D
    static constexpr std::uint64_t kIncrement = 1442695040888963407ull;   // 0x14057B7EF767814F

    constexpr explicit Lcg64(std::uint64_t seed) noexcept : state_(seed) {}

    constexpr std::uint64_t state() const noexcept { return state_; }

    constexpr std::uint32_t next_u31() noexcept {
        state_ = state_ * kMultiplier + kIncrement;  // wraps modulo 2^64 by definition
        return static_cast<std::uint32_t>(state_ >> 33);
    }

    // Plain modulo reduction, biased for n not dividing 2^31: the draws must
    // match bit for bit, not be uniform. Precondition n >= 1.
    constexpr std::uint64_t gen_index(std::uint64_t n) noexcept {
        const std::uint32_t v = next_u31();
        // v < 2^31, so when n exceeds v the remainder is v itself, and
        // otherwise n fits 32 bits.
        if (n > v) return v;
        return v % static_cast<std::uint32_t>(n);
    }

private:
    std::uint64_t state_;
};

}  // namespace bmf_core
