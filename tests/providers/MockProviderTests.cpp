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

// ---- Reference construction: the algorithm written out step by step ----

__extension__ using Wide = unsigned __int128;

// Uniform in {0, ..., range - 1} from 64-bit engine outputs by the
// multiply-and-reject method of the GCC standard library.
std::uint64_t uniform_below(std::mt19937_64& rng, std::uint64_t range) {
    Wide product = Wide(rng()) * range;
    if (static_cast<std::uint64_t>(product) < range) {
        const std::uint64_t threshold = (0 - range) % range;
        while (static_cast<std::uint64_t>(product) < threshold) product = Wide(rng()) * range;
    }
    return static_cast<std::uint64_t>(product >> 64);
}

// The GCC shuffle for sizes whose square fits in 64 bits: one lone swap for
// an even size, then two positions per draw.
void reference_shuffle(std::vector<Metadata>& records, std::mt19937_64& rng) {
    const std::uint64_t n = records.size();
    if (n < 2) return;
    std::uint64_t j = 1;
    if (n % 2 == 0) {
        std::swap(records[1], records[uniform_below(rng, 2)]);
        j = 2;
    }
    for (; j < n; j += 2) {
        const std::uint64_t x = uniform_below(rng, (j + 1) * (j + 2));
        std::swap(records[j], records[x / (j + 2)]);
        std::swap(records[j + 1], records[x % (j + 2)]);
    }
}

std::vector<Metadata> reference_showers(std::uint64_t n, double index, double e_min, double e_max, double r_max,
                                        double theta_max) {
    index = opaque(index), e_min = opaque(e_min), e_max = opaque(e_max);
    r_max = opaque(r_max), theta_max = opaque(theta_max);
    std::vector<Metadata> records(n);
    for (std::uint64_t k = 0; k < n; ++k) records[k] = Metadata{k, Metadata::PROTON, 0, 0, 0, 0, 0, 0, 1, 1};
    std::mt19937_64 rng(1234567890);
    const auto u = [n](std::uint64_t i) { return (double(i) + 0.5) / double(n); };

    reference_shuffle(records, rng);
    if (index == -1.0) {
        for (std::uint64_t i = 0; i < n; ++i) {
            records[i].energy = std::exp(u(i) * (std::log(e_max) - std::log(e_min)) + std::log(e_min));
        }
    } else {
        const double g = index + 1.0, a = std::pow(e_min, g) / g, b = std::pow(e_max, g) / g, h = 1.0 / g;
        for (std::uint64_t i = 0; i < n; ++i) records[i].energy = std::pow((u(i) * (b - a) + a) * g, h);
    }
    reference_shuffle(records, rng);
    for (std::uint64_t i = 0; i < n; ++i) {
        const double r = std::pow(2 * ((u(i) * (r_max * r_max)) * 0.5), 0.5), angle = 0.2 * double(i);
        records[i].x = r * std::cos(angle);
        records[i].y = r * std::sin(angle);
    }
    reference_shuffle(records, rng);
    for (std::uint64_t i = 0; i < n; ++i) records[i].phi = std::fmod(0.2 * double(i), 6.283185307179586);
    reference_shuffle(records, rng);
    const double c = std::cos(theta_max), c2 = c * c;
    for (std::uint64_t i = 0; i < n; ++i) records[i].theta = std::acos(std::sqrt(u(i) * (1.0 - c2) + c2));
    std::sort(records.begin(), records.end(), [](const Metadata& l, const Metadata& r) { return l.uid < r.uid; });
    return records;
}

// Odd and even sizes take different first shuffle steps; each set catches a
// wrong draw order, a wrong stratum or altered arithmetic. Only exactly -1
// takes the logarithmic branch, so an index just above it must not.
TEST(MockProvider, RecordsMatchTheReferenceConstructionBitForBit) {
    const std::vector<std::pair<std::uint64_t, double>> sets = {
        {2, -2.0}, {3, -1.0}, {6, -1.0}, {7, -2.7}, {5, -1.0 + 1e-9}, {64, -1.0}, {101, -2.0}};
    for (const auto& [n, index] : sets) {
        const auto actual = MockProvider(n, index, 30.0, 3e5, 180.0, 0.9).get_all_metadata();
        const auto expected = reference_showers(n, index, 30.0, 3e5, 180.0, 0.9);
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_EQ(fields(actual[k]), fields(expected[k])) << n << " showers, index " << index << ", uid " << k;
        }
    }
}

TEST(MockProvider, OneShowerSitsInTheMiddleOfEveryRange) {
    const double e_min = opaque(10.0), e_max = opaque(1e5), r_max = opaque(250.0), theta_max = opaque(0.6);
    const Metadata m = MockProvider(1, -1.0, e_min, e_max, r_max, theta_max).get_metadata(0);
    const double c2 = std::cos(theta_max) * std::cos(theta_max);
    EXPECT_EQ(m.energy, std::exp(0.5 * (std::log(e_max) - std::log(e_min)) + std::log(e_min)));
    EXPECT_EQ(m.x, std::pow(0.5 * r_max * r_max, 0.5));
    EXPECT_EQ(m.y, 0.0);
    EXPECT_EQ(m.phi, 0.0);
    EXPECT_EQ(m.theta, std::acos(std::sqrt(0.5 * (1.0 - c2) + c2)));
    const double g = opaque(-1.5) + 1.0, a = std::pow(e_min, g) / g, b = std::pow(e_max, g) / g;
    EXPECT_EQ(MockProvider(1, -1.5, e_min, e_max, 1.0, 0.1).get_metadata(0).energy,
              std::pow((0.5 * (b - a) + a) * g, 1.0 / g));
}

TEST(MockProvider, EachShowerIsOnePEOnChannelZeroAtItsUidInSeconds) {
    MockProvider provider(8, -2.0, 10.0, 1000.0, 100.0, 0.5);
    EXPECT_EQ(provider.get_pe_list(7), (PEList{{0, {7.0}}}));
    EXPECT_EQ(provider.get_pe_list(0), (PEList{{0, {0.0}}}));
    EXPECT_THROW(provider.get_pe_list(8), std::out_of_range);
    EXPECT_THROW(provider.get_metadata(8), std::out_of_range);
}

TEST(MockProvider, NoShowersHaveNoRecords) {
    MockProvider provider(0, -2.0, 10.0, 1000.0, 100.0, 0.5);
    EXPECT_TRUE(provider.get_all_metadata().empty());
    EXPECT_THROW(provider.get_pe_list(0), std::out_of_range);
}

}  // namespace
}  // namespace background
