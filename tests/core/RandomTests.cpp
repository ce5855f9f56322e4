#include <background/core/Random.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

// The fast path must reproduce the standard library's canonical draw bit for
// bit, or every stream built on it would change.
TEST(CanonicalDouble, MatchesGenerateCanonical) {
    std::mt19937_64 fast(12345);
    std::mt19937_64 reference(12345);
    for (int i = 0; i < 100000; ++i) {
        const double expected = std::generate_canonical<double, std::numeric_limits<double>::digits>(reference);
        ASSERT_EQ(background::canonical_double(fast), expected) << "draw " << i;
    }
}

// An engine that always returns one value, to reach the outputs that round to 1.
struct FixedEngine {
    using result_type = std::uint64_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return ~result_type{0}; }
    result_type operator()() { return value; }
    result_type value;
};

TEST(CanonicalDouble, OutputsThatRoundToOneBecomeTheLargestDoubleBelowOne) {
    for (std::uint64_t value : {~std::uint64_t{0}, ~std::uint64_t{0} - 1000, std::uint64_t{1} << 63, std::uint64_t{0}}) {
        FixedEngine fast{value};
        FixedEngine reference{value};
        const double expected = std::generate_canonical<double, std::numeric_limits<double>::digits>(reference);
        EXPECT_EQ(background::canonical_double(fast), expected) << value;
    }
    FixedEngine top{~std::uint64_t{0}};
    EXPECT_EQ(background::canonical_double(top), std::nextafter(1.0, 0.0));
}

// The bound splits the outputs exactly: a wrong one would let a draw that the
// multiplication method ends at k = 0 go on, or the reverse.
TEST(LastOutputNotAbove, SeparatesTheOutputsWhoseVariateIsAtMostTheThreshold) {
    std::vector<double> thresholds{0.0, 0x1p-64, 0x1p-11, std::nextafter(0x1p-11, 0.0), std::nextafter(0x1p-11, 1.0),
                                   0.5, std::nextafter(0.5, 1.0), std::nextafter(0.5, 0.0),
                                   std::nextafter(std::nextafter(1.0, 0.0), 0.0), std::nextafter(1.0, 0.0), 1.0};
    std::mt19937_64 rng(3);
    for (int i = 0; i < 100000; ++i) thresholds.push_back(std::exp(-12.0 * background::canonical_double(rng)));
    for (int i = 0; i < 1000; ++i) thresholds.push_back(background::canonical_double(rng) * 0x1p-20);
    for (const double u : thresholds) {
        const std::uint64_t bound = background::last_output_not_above(u);
        ASSERT_LE(background::canonical_from_output(bound), u) << u;
        if (bound != ~std::uint64_t{0}) {
            ASSERT_GT(background::canonical_from_output(bound + 1), u) << u;
        }
    }
    EXPECT_EQ(background::last_output_not_above(std::nextafter(1.0, 0.0)), ~std::uint64_t{0});
}

}  // namespace
