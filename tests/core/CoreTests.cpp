#include <background/core/Format.hpp>
#include <background/core/Hook.hpp>
#include <background/core/Metadata.hpp>
#include <background/core/Random.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace background {
namespace {

using u64 = std::uint64_t;

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
    const auto reference = [](auto& engine) { return std::generate_canonical<double, 53>(engine); };
    std::mt19937_64 fast(12345), slow(12345);
    for (int i = 0; i < 100000; ++i) ASSERT_EQ(canonical_double(fast), reference(slow)) << i;
    const u64 high = u64{1} << 63, all = ~u64{0}, low = u64{1} << 54;
    for (u64 value : {all, all - 1000, high, u64{0}, high + 1024, high + 1025, high + 3072, low + 2, low + 6,
                      u64{0xffffffffffffefff}, u64{0x1ffffffff}}) {
        FixedEngine a{value}, b{value};
        EXPECT_EQ(canonical_double(a), reference(b)) << value;
    }
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
}

// Over several blocks and reseeds, and the AVX2 and portable twists alike from any state.
TEST(MersenneTwister64, MatchesTheStandardEngineOnEveryPath) {
    for (u64 seed : {u64{0}, u64{5489}, u64{42}, ~u64{0}}) {
        std::mt19937_64 reference(seed);
        MersenneTwister64 fast(seed);
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(fast(), reference()) << "seed " << seed << ", output " << i;
        fast.seed(seed + 1), reference.seed(seed + 1);
        ASSERT_EQ(fast(), reference());
    }
    MersenneTwister64 unseeded;
    std::mt19937_64 standard;
    for (int i = 0; i < 400; ++i) ASSERT_EQ(unseeded(), standard()) << "default seed, output " << i;
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

// On both sides of one half, where the library flips its result, and at the ends; and at the outputs either side
// of the threshold, found by bisection.
TEST(SingleTrialBinomial, DrawsAsTheStandardDistribution) {
    EXPECT_TRUE(SingleTrialBinomial(0.05).usable && SingleTrialBinomial(0.8).usable);
    for (double p : {1e-300, 0.05, 0.5, std::nextafter(0.5, 1.0), 0.8, 1.0}) {
        const SingleTrialBinomial fast(p);
        if (!fast.usable) continue;
        MersenneTwister64 fast_rng(3), reference_rng(3);
        for (int i = 0; i < 20000; ++i)
            ASSERT_EQ(fast.draw(fast_rng), std::binomial_distribution<int>(1, p)(reference_rng)) << p << " " << i;
        const auto draw = [&fast](u64 output) { FixedEngine engine{output}; return fast.draw(engine); };
        u64 below = 0, at = ~u64{0};
        if (draw(below) == draw(at)) continue;
        while (at - below > 1) {
            const u64 middle = below + (at - below) / 2;
            (draw(middle) == draw(below) ? below : at) = middle;
        }
        for (u64 output : {below, at}) {
            FixedEngine engine{output};
            EXPECT_EQ(draw(output), std::binomial_distribution<int>(1, p)(engine)) << p << " at output " << output;
        }
    }
}

// Plain {} doubles must read as std::format's shortest round trip; explicit specs as printf does.
TEST(Format, DoublesAndMixedArguments) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<std::string, const char*> cases[] = {
        {format("{}", 12.5), "12.5"}, {format("{}", 1e20), "1e+20"}, {format("{}", -2.0), "-2"},
        {format("{}", 1e5), "1e+05"}, {format("{}", 1e-4), "1e-04"},
        {format("{}", 0.001), "0.001"}, {format("{}", 123456.0), "123456"}, {format("{}", 0.1), "0.1"},
        {format("{}", 0.0), "0"}, {format("{}", inf), "inf"}, {format("{}", -inf), "-inf"},
        {format("{}", std::nan("")), "nan"}, {format("{:e}", 1234.5), "1.234500e+03"},
        {format("{:.3e}", 0.0), "0.000e+00"}, {format("{:.3f}", 3.14159), "3.142"}, {format("{:.0f}", -0.4), "-0"},
        {format("{:.0f}", 1e20), "100000000000000000000"}, {format("Key {} not found!", std::string("lib")), "Key lib not found!"},
        {format("{} and {}", -7, std::uint64_t{18446744073709551615u}), "-7 and 18446744073709551615"},
        {format("x = {}, y = {:.1f}", 2.5, 2.25), "x = 2.5, y = 2.2"}, {format("no placeholders"), "no placeholders"}};
    for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

// Records go to files as they lie in memory: the padding of a value-initialised record must be zero.
TEST(Records, ValueInitialisedPaddingIsZero) {
    alignas(Metadata) unsigned char bytes[sizeof(Metadata)];
    std::memset(bytes, 0xAB, sizeof bytes);
    new (bytes) Metadata{};
    EXPECT_EQ(std::count(bytes, bytes + sizeof bytes, 0), static_cast<long>(sizeof bytes));
}

TEST(Hook, RegistrationsLookupsHandlesAndMoves) {
    using Callback = std::function<void(double)>;
    EXPECT_THROW_MSG(Hook::set<int>(0, 1), std::invalid_argument, "ID 0 is invalid!");
    auto handle = Hook::set<int>(-5, 7);
    EXPECT_THROW_MSG(Hook::set<int>(-5, 8), std::invalid_argument, "ID is already registered!");
    EXPECT_EQ(Hook::get<int>(-5), 7) << "a refused duplicate replaced the first";
    EXPECT_THROW(Hook::get<Callback>(-5), std::bad_cast);
    double seen = 0;
    {
        auto scoped = Hook::set<Callback>(11, [&](double t) { seen = t; });
        Hook::get<Callback>(11)(2.5);
        Hook::set<int>(13, 3).leak();
    }
    EXPECT_EQ(seen, 2.5);
    EXPECT_THROW(Hook::get<Callback>(11), std::out_of_range) << "the handle did not remove its registration";
    EXPECT_EQ(Hook::get<int>(13), 3) << "a leaked registration was removed";
    Hook::remove(13);
    EXPECT_THROW(Hook::get<int>(13), std::out_of_range);
    auto first = Hook::set<int>(14, 1);
    Hook::Handle taken(std::move(first));
    { Hook::Handle drop(std::move(first)); }  // owns nothing: removes nothing
    EXPECT_EQ(Hook::get<int>(14), 1);
    taken = Hook::set<int>(15, 2);  // removes 14 first, then owns 15
    EXPECT_THROW(Hook::get<int>(14), std::out_of_range);
    EXPECT_EQ(Hook::get<int>(15), 2);
}

}  // namespace
}  // namespace background
