#include <background/providers/MockProvider.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace background {
namespace {

// Keeps the compiler from folding the reference arithmetic at compile time,
// where it would round differently from the math library.
double opaque(double value) {
    volatile double kept = value;
    return kept;
}

// Every field, the doubles by their bits.
auto fields(const Metadata& m) {
    const auto b = [](double value) { return std::bit_cast<std::uint64_t>(value); };
    return std::tuple(m.uid, m.primary, b(m.energy), b(m.x), b(m.y), b(m.theta), b(m.phi), b(m.time), m.num_pe,
                      m.num_channels);
}

// One shuffle of the whole set before each quantity is assigned by stratum,
// then back into uid order.
std::vector<Metadata> reference_showers(std::uint64_t n, double index, double e_min, double e_max, double r_max,
                                        double theta_max) {
    index = opaque(index), e_min = opaque(e_min), e_max = opaque(e_max);
    r_max = opaque(r_max), theta_max = opaque(theta_max);
    std::vector<Metadata> records(n);
    for (std::uint64_t k = 0; k < n; ++k) records[k] = Metadata{k, Metadata::PROTON, 0, 0, 0, 0, 0, 0, 1, 1};
    std::mt19937_64 rng(1234567890);
    const auto u = [n](std::uint64_t i) { return (double(i) + 0.5) / double(n); };
    const auto shuffle = [&] { std::shuffle(records.begin(), records.end(), rng); };

    shuffle();
    const double g = index + 1.0, a = std::pow(e_min, g) / g, b = std::pow(e_max, g) / g;
    for (std::uint64_t i = 0; i < n; ++i) {
        records[i].energy = index == -1.0 ? std::exp(u(i) * (std::log(e_max) - std::log(e_min)) + std::log(e_min))
                                          : std::pow((u(i) * (b - a) + a) * g, 1.0 / g);
    }
    shuffle();
    for (std::uint64_t i = 0; i < n; ++i) {
        const double r = std::pow(2 * ((u(i) * (r_max * r_max)) * 0.5), 0.5), angle = 0.2 * double(i);
        records[i].x = r * std::cos(angle);
        records[i].y = r * std::sin(angle);
    }
    shuffle();
    for (std::uint64_t i = 0; i < n; ++i) records[i].phi = std::fmod(0.2 * double(i), 6.283185307179586);
    shuffle();
    const double c = std::cos(theta_max), c2 = c * c;
    for (std::uint64_t i = 0; i < n; ++i) records[i].theta = std::acos(std::sqrt(u(i) * (1.0 - c2) + c2));
    std::ranges::sort(records, {}, &Metadata::uid);
    return records;
}

// Each set catches a wrong draw order, a wrong stratum or altered arithmetic;
// only exactly -1 takes the logarithmic branch, so an index just above it must not.
TEST(MockProvider, RecordsMatchTheReferenceConstructionBitForBit) {
    const std::vector<std::pair<std::uint64_t, double>> sets = {
        {0, -2.0}, {1, -1.0}, {1, -1.5}, {2, -2.0}, {3, -1.0}, {6, -1.0}, {7, -2.7}, {5, -1.0 + 1e-9}, {101, -2.0}};
    for (const auto& [n, index] : sets) {
        MockProvider provider(n, index, 30.0, 3e5, 180.0, 0.9);
        const auto actual = provider.get_all_metadata();
        const auto expected = reference_showers(n, index, 30.0, 3e5, 180.0, 0.9);
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_EQ(fields(actual[k]), fields(expected[k])) << n << " showers, index " << index << ", uid " << k;
            EXPECT_EQ(fields(provider.get_metadata(k)), fields(expected[k]));
        }
        // Each shower is one PE on channel 0 at its uid in seconds.
        if (n > 0) {
            EXPECT_EQ(provider.get_pe_list(n - 1), (PEList{{0, {double(n - 1)}}}));
        }
        EXPECT_THROW(provider.get_pe_list(n), std::out_of_range);
        EXPECT_THROW(provider.get_metadata(n), std::out_of_range);
    }
}

}  // namespace
}  // namespace background
