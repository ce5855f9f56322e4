#include <background/core/Factory.hpp>
#include <background/driver/AfterpulseGenerator.hpp>
#include <background/driver/GenericGenerator.hpp>
#include <background/driver/NPEGenerator.hpp>
#include <background/driver/ProviderGenerator.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using background::AfterpulseGenerator;
using background::BackgroundEvent;
using background::EventGenerator;
using background::Factory;
using background::GenericGenerator;
using background::Metadata;
using background::NPEGenerator;
using background::PEList;
using background::ProviderGenerator;
using background::ShowerProvider;
using background::testing::nested_message;
using background::testing::TempDir;

// Serves a fixed table of showers; UID 666 fails the way a broken file would.
class TableProvider : public ShowerProvider {
public:
    explicit TableProvider(std::map<unsigned long, PEList> showers) : showers(std::move(showers)) {}
    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long) override { return {}; }
    PEList get_pe_list(unsigned long uid) override {
        if (uid == 666) throw std::runtime_error("disk on fire");
        const auto found = showers.find(uid);
        if (found == showers.end()) throw std::out_of_range("no shower " + std::to_string(uid));
        return found->second;
    }

private:
    std::map<unsigned long, PEList> showers;
};

TEST(NPEGenerator, PutsNumPeCopiesOfTheEventTimeOnTheEventsChannel) {
    EXPECT_EQ(NPEGenerator(3).generate({2.5, 0, 7}), (PEList{{7, {2.5, 2.5, 2.5}}}));
    EXPECT_EQ(NPEGenerator(1).generate({-4.0, 9, 0}), (PEList{{0, {-4.0}}}));
}

TEST(NPEGenerator, NoPEsMeansNoEntryAtAll) {
    EXPECT_TRUE(NPEGenerator(0).generate({2.5, 0, 7}).empty());
    EXPECT_TRUE(NPEGenerator(-2).generate({2.5, 0, 7}).empty());
}

TEST(NPEGenerator, ChannelIsTheLow32BitsOfTheIdAsSignedInt) {
    EXPECT_EQ(NPEGenerator(1).generate({1.0, 0, (1ul << 32) + 5}), (PEList{{5, {1.0}}}));
    EXPECT_EQ(NPEGenerator(1).generate({1.0, 0, (1ul << 32) - 1}), (PEList{{-1, {1.0}}}));
    EXPECT_EQ(NPEGenerator(1).generate({1.0, 0, 1ul << 31}), (PEList{{-2147483647 - 1, {1.0}}}));
}

TEST(ProviderGenerator, ShiftsTheShowersPEsToTheEventTime) {
    ProviderGenerator generator(std::make_unique<TableProvider>(std::map<unsigned long, PEList>{
        {3, {{4, {0.0, 1e-6}}}}, {8, {{9, {0.5}}, {2, {0.0, 0.25}}}}}));
    const double t = 1234.5;
    EXPECT_EQ(generator.generate({t, 0, 3}), (PEList{{4, {t, t + 1e-6}}}));
    // Channels stay in the provider's order.
    EXPECT_EQ(generator.generate({-1.0, 0, 8}), (PEList{{9, {-0.5}}, {2, {-1.0, -0.75}}}));
}

TEST(ProviderGenerator, UnknownUidKeepsTheProvidersMessage) {
    ProviderGenerator generator(std::make_unique<TableProvider>(std::map<unsigned long, PEList>{}));
    EXPECT_THROW_MSG(generator.generate({0.0, 0, 42}), std::out_of_range, "no shower 42");
}

TEST(ProviderGenerator, OtherProviderFailuresAreWrappedWithTheCauseNested) {
    ProviderGenerator generator(std::make_unique<TableProvider>(std::map<unsigned long, PEList>{}));
    try {
        generator.generate({0.0, 0, 666});
        ADD_FAILURE() << "nothing thrown";
    } catch (const std::out_of_range& outer) {
        EXPECT_STREQ(outer.what(), "Event generation failed due to unexpected exception from provider");
        EXPECT_EQ(nested_message(outer), "disk on fire");
    }
}

TEST(GenericGenerator, DispatchesByEventType) {
    GenericGenerator generator;
    generator.add_generator(1, std::make_unique<NPEGenerator>(1));
    generator.add_generator(-2, std::make_unique<NPEGenerator>(2));
    EXPECT_EQ(generator.generate({0.5, 1, 3}), (PEList{{3, {0.5}}}));
    EXPECT_EQ(generator.generate({0.5, -2, 3}), (PEList{{3, {0.5, 0.5}}}));
    EXPECT_THROW_MSG(generator.generate({0.5, 3, 3}), std::out_of_range, "No generator with type 3 available!");
    EXPECT_THROW_MSG(generator.generate({0.5, -7, 3}), std::out_of_range, "No generator with type -7 available!");
}


const char* const kGenerators = R"(
providers:
  mock: {class: MockProvider, theta_max: 0.5, r_max: 100.0, e_max: 1000.0, e_min: 10.0, index: -2.0, num_showers: 5}
generators:
  one: {class: NPEGenerator, num_pe: 1}
  three: {class: NPEGenerator, num_pe: 3}
  npe_text: {class: NPEGenerator, num_pe: lots}
  npe_bare: {class: NPEGenerator}
  showers: {class: ProviderGenerator, provider: mock}
  showers_unknown: {class: ProviderGenerator, provider: nowhere}
  showers_bare: {class: ProviderGenerator}
  by_type: {class: GenericGenerator, generators: {one: 1, three: 2, showers: 5}}
  same_type: {class: GenericGenerator, generators: {three: 4, one: 4}}
  bad_type_value: {class: GenericGenerator, generators: {one: high}}
  undefined_inner: {class: GenericGenerator, generators: {nowhere: oops}}
  generic_bare: {class: GenericGenerator}
  self_generic: {class: GenericGenerator, generators: {one: 1, self_generic: 2}}
  pulses: {class: AfterpulseGenerator, num_pe_mean: 2.5, delay_std: 2.0e-7, delay_mean: 1.0e-6,
           probability: 0.6, seed: -1, base_generator: three}
  pulses_on_nothing: {class: AfterpulseGenerator, num_pe_mean: 2.5, delay_std: 2.0e-7, delay_mean: 1.0e-6,
                      probability: 0.6, seed: 1, base_generator: nowhere}
  pulses_never: {class: AfterpulseGenerator, num_pe_mean: 2.5, delay_std: 2.0e-7, delay_mean: 1.0e-6,
                 probability: 0.0, seed: 1, base_generator: three}
  pulses_self: {class: AfterpulseGenerator, num_pe_mean: 2.5, delay_std: 2.0e-7, delay_mean: 1.0e-6,
                probability: 0.5, seed: 1, base_generator: pulses_self}
  pulses_ring: {class: AfterpulseGenerator, num_pe_mean: 2.5, delay_std: 2.0e-7, delay_mean: 1.0e-6,
                probability: 0.5, seed: 1, base_generator: ring_back}
  ring_back: {class: GenericGenerator, generators: {one: 0, pulses_ring: 1}}
  odd_class: {class: NPE_Generator}
)";

class GeneratorFactoryTest : public ::testing::Test {
protected:
    GeneratorFactoryTest() : settings(dir.write("settings.yaml", kGenerators)), factory(settings) {}
    TempDir dir;
    std::filesystem::path settings;
    Factory<EventGenerator> factory;
};

TEST_F(GeneratorFactoryTest, NPEGeneratorTakesNumPe) {
    EXPECT_EQ(factory.create_by_name("three")->generate({1.5, 0, 2}), (PEList{{2, {1.5, 1.5, 1.5}}}));
    EXPECT_THROW_MSG(factory.create_by_name("npe_bare"), std::out_of_range, "Key num_pe not found!");
    EXPECT_THROW_MSG(factory.create_by_name("npe_text"), std::invalid_argument, "access failed");
    EXPECT_THROW_MSG(factory.create_by_name("odd_class"), std::out_of_range,
                     "Class NPE_Generator cannot be instantiated by this factory!");
}

TEST_F(GeneratorFactoryTest, ProviderGeneratorBuildsItsOwnProvider) {
    auto generator = factory.create_by_name("showers");
    EXPECT_EQ(generator->generate({10.0, 0, 3}), (PEList{{0, {13.0}}}));
    EXPECT_THROW(generator->generate({10.0, 0, 5}), std::out_of_range);
    EXPECT_THROW_MSG(factory.create_by_name("showers_unknown"), std::out_of_range,
                     "Instance nowhere is not defined in " + settings.string() + "!");
    EXPECT_THROW_MSG(factory.create_by_name("showers_bare"), std::out_of_range, "Key provider not found!");
}

// The provider factory comes first, so a file without providers fails on
// that section even before the missing key.
TEST(GeneratorFactory, ProviderGeneratorNeedsTheProvidersSectionFirst) {
    TempDir dir;
    Factory<EventGenerator> factory(dir.write("settings.yaml", "generators:\n  g: {class: ProviderGenerator}\n"));
    EXPECT_THROW_MSG(factory.create_by_name("g"), std::out_of_range, "Key providers not found!");
}

TEST_F(GeneratorFactoryTest, GenericGeneratorMapsInstancesToTypes) {
    auto generator = factory.create_by_name("by_type");
    EXPECT_EQ(generator->generate({1.0, 1, 4}), (PEList{{4, {1.0}}}));
    EXPECT_EQ(generator->generate({1.0, 2, 4}), (PEList{{4, {1.0, 1.0, 1.0}}}));
    EXPECT_EQ(generator->generate({1.0, 5, 4}), (PEList{{0, {5.0}}}));
    EXPECT_THROW_MSG(generator->generate({1.0, 3, 4}), std::out_of_range, "No generator with type 3 available!");
}

TEST_F(GeneratorFactoryTest, GenericGeneratorKeepsTheLaterOfTwoEqualTypes) {
    EXPECT_EQ(factory.create_by_name("same_type")->generate({1.0, 4, 0}), (PEList{{0, {1.0}}}));
}

// Each inner instance is built before its type is read.
TEST_F(GeneratorFactoryTest, GenericGeneratorFailures) {
    EXPECT_THROW_MSG(factory.create_by_name("generic_bare"), std::out_of_range, "Key generators not found!");
    EXPECT_THROW_MSG(factory.create_by_name("bad_type_value"), std::invalid_argument, "access failed");
    EXPECT_THROW_MSG(factory.create_by_name("undefined_inner"), std::out_of_range,
                     "Instance nowhere is not defined in " + settings.string() + "!");
}

// A seed of -1 is 2^64 - 1, and every setting reaches its own argument: a
// swap of any two would change the stream.
TEST_F(GeneratorFactoryTest, AfterpulseSettingsReachTheirConstructorArguments) {
    auto built = factory.create_by_name("pulses");
    AfterpulseGenerator direct(std::make_unique<NPEGenerator>(3), 0xFFFFFFFFFFFFFFFFul, 0.6, 1e-6, 2e-7, 2.5);
    bool any_afterpulse = false;
    for (int i = 0; i < 20; ++i) {
        const BackgroundEvent event{0.001 * i, 0, static_cast<unsigned long>(i % 4)};
        const PEList expected = direct.generate(event);
        EXPECT_EQ(built->generate(event), expected) << "event " << i;
        any_afterpulse = any_afterpulse || expected.at(0).second.size() > 3;
    }
    EXPECT_TRUE(any_afterpulse);
}

TEST_F(GeneratorFactoryTest, AfterpulseFailures) {
    EXPECT_THROW_MSG(factory.create_by_name("pulses_on_nothing"), std::out_of_range,
                     "Instance nowhere is not defined in " + settings.string() + "!");
    EXPECT_THROW_MSG(factory.create_by_name("pulses_never"), std::invalid_argument,
                     "Illegal argument passed to AfterpulseGenerator: probability, delay and number of PEs have to "
                     "be positive!");
}

TEST(GeneratorFactory, AfterpulseKeysAreReadInOrderAndNamed) {
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"num_pe_mean", "1.5"}, {"delay_std", "1.0e-7"}, {"delay_mean", "1.0e-6"},
        {"probability", "0.5"}, {"seed", "3"},           {"base_generator", "one"}};
    TempDir dir;
    for (std::size_t missing = 0; missing < keys.size(); ++missing) {
        std::string instance = "{class: AfterpulseGenerator";
        for (std::size_t i = 0; i < missing; ++i) instance += ", " + keys[i].first + ": " + keys[i].second;
        Factory<EventGenerator> factory(dir.write(
            "settings.yaml", "generators:\n  one: {class: NPEGenerator, num_pe: 1}\n  ap: " + instance + "}\n"));
        EXPECT_THROW_MSG(factory.create_by_name("ap"), std::out_of_range, "Key " + keys[missing].first + " not found!");
    }
}

TEST_F(GeneratorFactoryTest, GeneratorsThatContainThemselvesAreRefused) {
    EXPECT_THROW_MSG(factory.create_by_name("self_generic"), std::invalid_argument,
                     "Instance self_generic is defined as a part of itself!");
    EXPECT_THROW_MSG(factory.create_by_name("pulses_self"), std::invalid_argument,
                     "Instance pulses_self is defined as a part of itself!");
    EXPECT_THROW_MSG(factory.create_by_name("pulses_ring"), std::invalid_argument,
                     "Instance pulses_ring is defined as a part of itself!");
    EXPECT_THROW_MSG(factory.create_by_name("ring_back"), std::invalid_argument,
                     "Instance ring_back is defined as a part of itself!");
    EXPECT_NO_THROW(factory.create_by_name("by_type"));
}

}  // namespace
