#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>

namespace background {

/// The uniform double in [0, 1) that canonical_double makes of one engine
/// output: the output scaled by 2^-64, a result that rounds to 1 replaced by
/// the largest double below 1. Monotone in the output.
inline double canonical_from_output(std::uint64_t output) {
    // The output as a double, rounded once as the direct conversion rounds it
    // (both halves and the product are exact, the sum rounds), but without the
    // branch on the top bit that an unsigned conversion takes on x86-64.
    const double rounded =
        static_cast<double>(output >> 32) * 0x1p32 + static_cast<double>(output & 0xffffffffu);
    const double u = rounded * 0x1p-64;
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

/// The 64-bit Mersenne twister: output for output what std::mt19937_64 gives
/// for the same seed, so the standard distributions draw the same numbers
/// from it. The state is renewed and tempered a whole block at a time, with
/// the processor's vector units where it has AVX2.
class MersenneTwister64 {
public:
    using result_type = std::uint64_t;
    static constexpr std::size_t state_size = 312;
    static constexpr result_type default_seed = 5489u;

    explicit MersenneTwister64(result_type value = default_seed) { seed(value); }

    /// The standard seeding of the 64-bit twister from one value.
    void seed(result_type value);

    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return ~result_type{0}; }

    result_type operator()() {
        if (next == state_size) renew();
        return block[next++];
    }

private:
    void renew();

    std::array<result_type, state_size> state;
    std::array<result_type, state_size> block;  // tempered outputs of the current state
    std::size_t next = state_size;
};

/// One draw of std::binomial_distribution<int>(1, p), bit for bit as libstdc++
/// makes it, without its logarithm per draw. Its waiting-time method takes u
/// from one engine output and succeeds when -log(1 - u) <= q, with
/// q = -log(1 - p') and p' the smaller of p and 1 - p (the result flipped
/// when p > 1/2). As -log is monotonic, that is a threshold on 1 - u, found
/// once by bisection over the doubles with the same log the library calls,
/// and as u grows with the engine output, in the end a threshold on that
/// output.
class SingleTrialBinomial {
public:
    explicit SingleTrialBinomial(double p);

    /// Precondition: usable.
    template <typename Engine>
    int draw(Engine& rng) const {
        static_assert(Engine::min() == 0 && Engine::max() == ~0ull, "needs a full 64-bit engine");
        const int k = rng() < succeeding ? 1 : 0;
        return flipped ? 1 - k : k;
    }

    /// False where the threshold could differ from the library's draw (a
    /// logarithm not monotonic near it); then the library must draw.
    bool usable = false;

private:
    bool flipped;
    std::uint64_t succeeding = 0;  // outputs below this one succeed
};

namespace detail {

/// Renews a twister state in place and writes its tempered outputs, on the
/// AVX2 path (where the processor has it) or the portable one.
void twist_block(std::uint64_t* state, std::uint64_t* out, bool allow_avx2);

}  // namespace detail

}  // namespace background
