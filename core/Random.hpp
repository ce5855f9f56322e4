#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace background {

/// The uniform double in [0, 1) that canonical_double makes of one engine
/// output: the output scaled by 2^-64, a result that rounds to 1 replaced by
/// the largest double below 1. Monotone in the output.
inline double canonical_from_output(std::uint64_t output) {
    const double u = static_cast<double>(output) * 0x1p-64;
    return u < 1.0 ? u : 0x1.fffffffffffffp-1;
}

/// The largest engine output whose canonical_from_output is at most `u`
/// (u >= 0), so that a uniform variate is at most u exactly when its output
/// is at most this bound.
inline std::uint64_t last_output_not_above(double u) {
    if (u >= canonical_from_output(std::numeric_limits<std::uint64_t>::max())) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    const double scaled = u * 0x1p64;
    // Outputs up to 2^53 convert exactly.
    if (scaled < 0x1p53) return static_cast<std::uint64_t>(scaled);
    // Above, scaled is an integer, and the outputs above it convert to it up
    // to half the gap to the next double, a tie going to the even significand.
    const auto half_gap =
        static_cast<std::uint64_t>(std::nextafter(scaled, std::numeric_limits<double>::infinity()) - scaled) / 2;
    const bool even = (std::bit_cast<std::uint64_t>(scaled) & 1) == 0;
    return static_cast<std::uint64_t>(scaled) + half_gap - (even ? 0 : 1);
}

/// A uniform double in [0, 1) from one 64-bit engine output, bit for bit what
/// std::generate_canonical<double, 53> of libstdc++ returns for this engine,
/// without its long-double arithmetic.
template <typename Engine>
double canonical_double(Engine& rng) {
    static_assert(Engine::min() == 0 && Engine::max() == ~0ull, "needs a full 64-bit engine");
    return canonical_from_output(rng());
}

}  // namespace background
