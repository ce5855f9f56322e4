#include <background/core/Random.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <vector>

namespace background {
namespace {

using u64 = std::uint64_t;

double reference_canonical(auto& engine) {
    return std::generate_canonical<double, std::numeric_limits<double>::digits>(engine);
}

// An engine that always returns one value, to reach the outputs that round to 1.
struct FixedEngine {
    using result_type = u64;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return ~result_type{0}; }
    result_type operator()() { return value; }
    result_type value;
};

// Every stream built on the canonical draw changes if it differs by one bit.
TEST(CanonicalDouble, BitIdenticalToGenerateCanonicalAndSplitAtLastOutputNotAbove) {
    std::mt19937_64 fast(12345), reference(12345);
    for (int i = 0; i < 100000; ++i) ASSERT_EQ(canonical_double(fast), reference_canonical(reference)) << i;
    const u64 high = u64{1} << 63, all = ~u64{0}, low = u64{1} << 54;
    for (u64 value : {all, all - 1000, high, u64{0}, high + 1024, high + 1025, high + 3072, low + 2, low + 6,
                      u64{0xffffffffffffefff}, u64{0x1ffffffff}}) {
        FixedEngine a{value}, b{value};
        EXPECT_EQ(canonical_double(a), reference_canonical(b)) << value;
    }
    FixedEngine top{all};
    EXPECT_EQ(canonical_double(top), std::nextafter(1.0, 0.0));

    // A wrong bound would let a draw that the multiplication method ends at k = 0 go on, or the reverse.
    std::vector<double> thresholds{0.0, 0x1p-64, 0x1p-11, std::nextafter(0x1p-11, 0.0), std::nextafter(0x1p-11, 1.0),
                                   0.5, std::nextafter(0.5, 1.0), std::nextafter(0.5, 0.0),
                                   std::nextafter(std::nextafter(1.0, 0.0), 0.0), std::nextafter(1.0, 0.0), 1.0};
    std::mt19937_64 rng(3);
    for (int i = 0; i < 100000; ++i) thresholds.push_back(std::exp(-12.0 * canonical_double(rng)));
    for (int i = 0; i < 1000; ++i) thresholds.push_back(canonical_double(rng) * 0x1p-20);
    for (const double u : thresholds) {
        const u64 bound = last_output_not_above(u);
        ASSERT_LE(canonical_from_output(bound), u) << u;
        ASSERT_TRUE(bound == all || canonical_from_output(bound + 1) > u) << u;
    }
    EXPECT_EQ(last_output_not_above(std::nextafter(1.0, 0.0)), all);
}

// Over several blocks and reseeds, and the AVX2 and portable twists alike from any state.
TEST(MersenneTwister64, MatchesTheStandardEngineOnEveryPath) {
    for (u64 seed : {u64{0}, u64{5489}, u64{42}, ~u64{0}}) {
        std::mt19937_64 reference(seed);
        MersenneTwister64 fast(seed);
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(fast(), reference()) << "seed " << seed << ", output " << i;
        fast.seed(seed + 1);
        reference.seed(seed + 1);
        ASSERT_EQ(fast(), reference());
    }
    std::mt19937_64 words(7);
    std::array<u64, MersenneTwister64::state_size> state, other, out, other_out;
    for (auto& word : state) word = words();
    other = state;
    for (int block = 0; block < 3; ++block) {
        detail::twist_block(state.data(), out.data(), true);
        detail::twist_block(other.data(), other_out.data(), false);
        ASSERT_EQ(state, other);
        ASSERT_EQ(out, other_out);
    }
}

// On both sides of one half, where the library flips its result, and at the ends.
TEST(SingleTrialBinomial, DrawsAsTheStandardDistribution) {
    EXPECT_TRUE(SingleTrialBinomial(0.05).usable);
    EXPECT_TRUE(SingleTrialBinomial(0.8).usable);
    for (double p : {1e-300, 0.05, 0.5, std::nextafter(0.5, 1.0), 0.8, 1.0}) {
        const SingleTrialBinomial fast(p);
        if (!fast.usable) continue;
        MersenneTwister64 fast_rng(3), reference_rng(3);
        for (int i = 0; i < 20000; ++i)
            ASSERT_EQ(fast.draw(fast_rng), std::binomial_distribution<int>(1, p)(reference_rng)) << p << " " << i;
    }
}

}  // namespace
}  // namespace background
