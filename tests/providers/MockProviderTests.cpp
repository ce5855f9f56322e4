#include <background/core/Factory.hpp>
#include <background/providers/MockProvider.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using background::Factory;
using background::Metadata;
using background::MockProvider;
using background::PEList;
using background::ShowerProvider;
using background::testing::TempDir;

// Keeps the compiler from folding the reference arithmetic at compile time,
// where it would round differently from the math library.
double opaque(double value) {
    volatile double kept = value;
    return kept;
}

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

void expect_same_record(const Metadata& actual, const Metadata& expected) {
    EXPECT_EQ(actual.uid, expected.uid);
    EXPECT_EQ(actual.primary, expected.primary);
    EXPECT_EQ(bits(actual.energy), bits(expected.energy)) << actual.energy << " vs " << expected.energy;
    EXPECT_EQ(bits(actual.x), bits(expected.x)) << actual.x << " vs " << expected.x;
    EXPECT_EQ(bits(actual.y), bits(expected.y)) << actual.y << " vs " << expected.y;
    EXPECT_EQ(bits(actual.theta), bits(expected.theta)) << actual.theta << " vs " << expected.theta;
    EXPECT_EQ(bits(actual.phi), bits(expected.phi)) << actual.phi << " vs " << expected.phi;
    EXPECT_EQ(bits(actual.time), bits(expected.time));
    EXPECT_EQ(actual.num_pe, expected.num_pe);
    EXPECT_EQ(actual.num_channels, expected.num_channels);
}

// ---- Reference construction: the algorithm written out step by step ----

__extension__ using Wide = unsigned __int128;

// Uniform in {0, ..., range - 1} from 64-bit engine outputs by the
// multiply-and-reject method of the GCC standard library.
std::uint64_t uniform_below(std::mt19937_64& rng, std::uint64_t range) {
    Wide product = Wide(rng()) * range;
    std::uint64_t low = static_cast<std::uint64_t>(product);
    if (low < range) {
        const std::uint64_t threshold = (0 - range) % range;
        while (low < threshold) {
            product = Wide(rng()) * range;
            low = static_cast<std::uint64_t>(product);
        }
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
    std::vector<Metadata> records(n, Metadata{});
    for (std::uint64_t k = 0; k < n; ++k) {
        records[k].uid = k;
        records[k].primary = Metadata::PROTON;
        records[k].num_pe = 1;
        records[k].num_channels = 1;
    }
    std::mt19937_64 rng(1234567890);
    const auto u = [n](std::uint64_t i) { return (double(i) + 0.5) / double(n); };

    reference_shuffle(records, rng);
    if (index == -1.0) {
        for (std::uint64_t i = 0; i < n; ++i) {
            records[i].energy = std::exp(u(i) * (std::log(e_max) - std::log(e_min)) + std::log(e_min));
        }
    } else {
        const double g = index + 1.0;
        const double a = std::pow(e_min, g) / g;
        const double b = std::pow(e_max, g) / g;
        const double h = 1.0 / g;
        for (std::uint64_t i = 0; i < n; ++i) records[i].energy = std::pow((u(i) * (b - a) + a) * g, h);
    }
    reference_shuffle(records, rng);
    for (std::uint64_t i = 0; i < n; ++i) {
        const double r = std::pow(2 * ((u(i) * (r_max * r_max)) * 0.5), 0.5);
        const double angle = 0.2 * double(i);
        records[i].x = r * std::cos(angle);
        records[i].y = r * std::sin(angle);
    }
    reference_shuffle(records, rng);
    for (std::uint64_t i = 0; i < n; ++i) records[i].phi = std::fmod(0.2 * double(i), 6.283185307179586);
    reference_shuffle(records, rng);
    const double c = std::cos(theta_max);
    const double c2 = c * c;
    for (std::uint64_t i = 0; i < n; ++i) records[i].theta = std::acos(std::sqrt(u(i) * (1.0 - c2) + c2));
    std::sort(records.begin(), records.end(), [](const Metadata& l, const Metadata& r) { return l.uid < r.uid; });
    return records;
}

// ---------------------------------------------------------------------------

TEST(MockProviderSmallSets, NoShowersHaveNoRecords) {
    MockProvider provider(0, -2.0, 10.0, 1000.0, 100.0, 0.5);
    EXPECT_TRUE(provider.get_all_metadata().empty());
    EXPECT_THROW(provider.get_metadata(0), std::out_of_range);
    EXPECT_THROW(provider.get_pe_list(0), std::out_of_range);
}

TEST(MockProviderSmallSets, OneShowerSitsInTheMiddleOfEveryRange) {
    const double e_min = opaque(10.0), e_max = opaque(1e5), r_max = opaque(250.0), theta_max = opaque(0.6);
    MockProvider provider(1, -1.0, e_min, e_max, r_max, theta_max);
    const auto records = provider.get_all_metadata();
    ASSERT_EQ(records.size(), 1u);
    const Metadata& m = records[0];
    const double c2 = std::cos(theta_max) * std::cos(theta_max);
    EXPECT_EQ(m.energy, std::exp(0.5 * (std::log(e_max) - std::log(e_min)) + std::log(e_min)));
    EXPECT_EQ(m.x, std::pow(0.5 * r_max * r_max, 0.5));
    EXPECT_EQ(m.y, 0.0);
    EXPECT_EQ(m.phi, 0.0);
    EXPECT_EQ(m.theta, std::acos(std::sqrt(0.5 * (1.0 - c2) + c2)));
    EXPECT_EQ(m.uid, 0u);
}

// Only exactly -1 takes the logarithmic branch.
TEST(MockProviderSmallSets, IndexBranchesOnExactlyMinusOne) {
    const double e_min = opaque(10.0), e_max = opaque(1e5);
    const auto power_law = [&](double index) {
        const double g = index + 1.0;
        const double a = std::pow(e_min, g) / g;
        const double b = std::pow(e_max, g) / g;
        return std::pow((0.5 * (b - a) + a) * g, 1.0 / g);
    };
    const double logarithmic = std::exp(0.5 * (std::log(e_max) - std::log(e_min)) + std::log(e_min));

    EXPECT_EQ(MockProvider(1, -2.5, e_min, e_max, 1.0, 0.1).get_metadata(0).energy, power_law(-2.5));
    const double near = opaque(-1.0 + 1e-9);
    ASSERT_NE(power_law(near), logarithmic);
    EXPECT_EQ(MockProvider(1, near, e_min, e_max, 1.0, 0.1).get_metadata(0).energy, power_law(near));
}

struct SetCase {
    std::uint64_t n;
    double index;
};

class MockProviderReference : public ::testing::TestWithParam<SetCase> {};

// Odd and even sizes take different first shuffle steps; each catches a
// wrong draw order, a wrong stratum or altered arithmetic.
TEST_P(MockProviderReference, RecordsMatchTheReferenceConstructionBitForBit) {
    const auto [n, index] = GetParam();
    MockProvider provider(n, index, 30.0, 3e5, 180.0, 0.9);
    const auto actual = provider.get_all_metadata();
    const auto expected = reference_showers(n, index, 30.0, 3e5, 180.0, 0.9);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < n; ++k) {
        SCOPED_TRACE("uid " + std::to_string(k));
        expect_same_record(actual[k], expected[k]);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MockProviderReference,
                         ::testing::Values(SetCase{2, -2.0}, SetCase{3, -1.0}, SetCase{5, -2.0}, SetCase{6, -1.0},
                                           SetCase{7, -2.7}, SetCase{64, -1.0}, SetCase{101, -2.0}));


TEST(MockProviderRecords, CommonFieldsAndRepeatableLookups) {
    MockProvider provider(20, -2.0, 10.0, 1000.0, 100.0, 0.5);
    MockProvider twin(20, -2.0, 10.0, 1000.0, 100.0, 0.5);
    const auto records = provider.get_all_metadata();
    const auto twin_records = twin.get_all_metadata();
    ASSERT_EQ(records.size(), 20u);
    for (std::uint64_t k = 0; k < 20; ++k) {
        SCOPED_TRACE("uid " + std::to_string(k));
        EXPECT_EQ(records[k].uid, k);
        EXPECT_EQ(records[k].primary, Metadata::PROTON);
        EXPECT_EQ(records[k].time, 0.0);
        EXPECT_EQ(records[k].num_pe, 1);
        EXPECT_EQ(records[k].num_channels, 1);
        expect_same_record(provider.get_metadata(k), records[k]);
        expect_same_record(twin_records[k], records[k]);
    }
    expect_same_record(provider.get_all_metadata()[13], records[13]);
}

TEST(MockProviderRecords, EachShowerIsOnePEOnChannelZeroAtItsUidInSeconds) {
    MockProvider provider(8, -2.0, 10.0, 1000.0, 100.0, 0.5);
    EXPECT_EQ(provider.get_pe_list(7), (PEList{{0, {7.0}}}));
    EXPECT_EQ(provider.get_pe_list(0), (PEList{{0, {0.0}}}));
    EXPECT_THROW(provider.get_pe_list(8), std::out_of_range);
    EXPECT_THROW(provider.get_metadata(8), std::out_of_range);
    EXPECT_THROW(provider.get_metadata(~0ul), std::out_of_range);
}

const char* const kProviders = R"(
providers:
  mock: {class: MockProvider, theta_max: 0.4, r_max: 75.0, e_max: 5000.0, e_min: 50.0, index: -2.2, num_showers: 9}
  negative: {class: MockProvider, theta_max: 0.4, r_max: 75.0, e_max: 5000.0, e_min: 50.0, index: -2.2, num_showers: -3}
  wordy: {class: MockProvider, theta_max: 0.4, r_max: 75.0, e_max: 5000.0, e_min: 50.0, index: -2.2, num_showers: many}
  lower: {class: mockprovider}
)";

TEST(ProviderFactory, MockProviderSettingsReachTheirConstructorArguments) {
    TempDir dir;
    Factory<ShowerProvider> factory(dir.write("settings.yaml", kProviders));
    const auto built = factory.create_by_name("mock")->get_all_metadata();
    const auto direct = MockProvider(9, -2.2, 50.0, 5000.0, 75.0, 0.4).get_all_metadata();
    ASSERT_EQ(built.size(), 9u);
    for (std::size_t k = 0; k < built.size(); ++k) expect_same_record(built[k], direct[k]);
}

TEST(ProviderFactory, MockProviderKeysAreReadInOrderAndNamed) {
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"theta_max", "0.4"}, {"r_max", "75.0"}, {"e_max", "5000.0"},
        {"e_min", "50.0"},    {"index", "-2.2"}, {"num_showers", "4"}};
    TempDir dir;
    for (std::size_t missing = 0; missing < keys.size(); ++missing) {
        std::string instance = "{class: MockProvider";
        for (std::size_t i = 0; i < missing; ++i) instance += ", " + keys[i].first + ": " + keys[i].second;
        Factory<ShowerProvider> factory(dir.write("settings.yaml", "providers:\n  p: " + instance + "}\n"));
        EXPECT_THROW_MSG(factory.create_by_name("p"), std::out_of_range, "Key " + keys[missing].first + " not found!");
    }
    Factory<ShowerProvider> factory(dir.write("settings.yaml", kProviders));
    EXPECT_THROW_MSG(factory.create_by_name("wordy"), std::invalid_argument, "access failed");
    EXPECT_THROW_MSG(factory.create_by_name("lower"), std::out_of_range,
                     "Class mockprovider cannot be instantiated by this factory!");
}

// -3 sign-extends to a count near 2^64 that no vector can hold.
TEST(ProviderFactory, NegativeShowerCountFailsAsAnImpossibleSize) {
    TempDir dir;
    Factory<ShowerProvider> factory(dir.write("settings.yaml", kProviders));
    EXPECT_THROW(factory.create_by_name("negative"), std::length_error);
}

}  // namespace
