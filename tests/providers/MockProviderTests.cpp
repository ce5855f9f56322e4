#include <background/providers/MockProvider.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <tuple>

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

// Each quantity is handed out by stratum (i + 1/2) / n after a shuffle of the
// whole set; the set is returned in uid order.
std::vector<Metadata> reference_showers(std::uint64_t n, double index, double e_min, double e_max, double r_max,
                                        double theta_max) {
    std::vector<Metadata> records(n);
    for (std::uint64_t k = 0; k < n; ++k) records[k] = Metadata{k, Metadata::PROTON, 0, 0, 0, 0, 0, 0, 1, 1};
    std::mt19937_64 rng(1234567890);
    const auto assign = [&](auto set) {
        std::shuffle(records.begin(), records.end(), rng);
        for (std::uint64_t i = 0; i < n; ++i) set(records[i], (double(i) + 0.5) / double(n), 0.2 * double(i));
    };
    const double g = index + 1.0, a = std::pow(e_min, g) / g, b = std::pow(e_max, g) / g, c = std::cos(theta_max);
    assign([&](Metadata& m, double u, double) {
        m.energy = index == -1.0 ? std::exp(u * (std::log(e_max) - std::log(e_min)) + std::log(e_min))
                                 : std::pow((u * (b - a) + a) * g, 1.0 / g);
    });
    assign([&](Metadata& m, double u, double angle) {
        m.x = std::pow(2 * ((u * (r_max * r_max)) * 0.5), 0.5) * std::cos(angle);
        m.y = std::pow(2 * ((u * (r_max * r_max)) * 0.5), 0.5) * std::sin(angle);
    });
    assign([&](Metadata& m, double, double angle) { m.phi = std::fmod(angle, 6.283185307179586); });
    assign([&](Metadata& m, double u, double) { m.theta = std::acos(std::sqrt(u * (1.0 - c * c) + c * c)); });
    std::ranges::sort(records, {}, &Metadata::uid);
    return records;
}

// Each set catches a wrong draw order, a wrong stratum or altered arithmetic;
// only exactly -1 takes the logarithmic branch, so an index just above it must not.
TEST(MockProvider, RecordsMatchTheReferenceConstructionBitForBit) {
    const std::pair<std::uint64_t, double> sets[] = {{0, -2.0}, {1, -1.0}, {1, -1.5},        {2, -2.0},
                                                     {3, -1.0}, {6, -1.0}, {5, -1.0 + 1e-9}, {101, -2.7}};
    for (const auto& [n, index] : sets) {
        MockProvider provider(n, index, 30.0, 3e5, 180.0, 0.9);
        const auto actual = provider.get_all_metadata();
        const auto expected = reference_showers(n, opaque(index), opaque(30.0), opaque(3e5), opaque(180.0), opaque(0.9));
        ASSERT_EQ(actual.size(), n);
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
