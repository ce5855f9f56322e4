#include <background/core/Factory.hpp>
#include <background/models/DarkCountModel.hpp>
#include <background/models/GenericModel.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using background::BackgroundEvent;
using background::BackgroundModel;
using background::DarkCountModel;
using background::Factory;
using background::GenericModel;
using background::testing::TempDir;
using Events = std::vector<BackgroundEvent>;

// Returns a fixed list and logs each call, so that order and arguments show.
class ScriptedModel : public BackgroundModel {
public:
    ScriptedModel(std::string name, Events events, std::vector<std::string>* log)
        : name(std::move(name)), events(std::move(events)), log(log) {}
    Events sample(double begin, double end) override {
        log->push_back(name + "(" + std::to_string(begin) + "," + std::to_string(end) + ")");
        if (name == "failing") throw std::runtime_error("sub-model broke");
        return events;
    }

private:
    std::string name;
    Events events;
    std::vector<std::string>* log;
};

// The id tells the events apart; the type is unused here.
std::vector<std::pair<double, unsigned long>> times_and_ids(const Events& events) {
    std::vector<std::pair<double, unsigned long>> out;
    for (const BackgroundEvent& e : events) out.emplace_back(e.time, e.id);
    return out;
}

using TimesAndIds = std::vector<std::pair<double, unsigned long>>;

TEST(GenericModelSample, WithoutSubModelsIsEmpty) {
    GenericModel model;
    EXPECT_TRUE(model.sample(0.0, 10.0).empty());
}

TEST(GenericModelSample, MergesByTimeWithEarlierSubModelsFirstOnTies) {
    std::vector<std::string> log;
    GenericModel model;
    model.add_model(std::make_unique<ScriptedModel>("a", Events{{1.0, 0, 10}, {2.0, 0, 11}, {2.0, 0, 12}}, &log));
    model.add_model(std::make_unique<ScriptedModel>("empty", Events{}, &log));
    model.add_model(std::make_unique<ScriptedModel>("b", Events{{0.5, 0, 20}, {2.0, 0, 21}, {3.0, 0, 22}}, &log));
    model.add_model(std::make_unique<ScriptedModel>("c", Events{{2.0, 0, 30}}, &log));
    EXPECT_EQ(times_and_ids(model.sample(0.25, 4.0)),
              (TimesAndIds{{0.5, 20}, {1.0, 10}, {2.0, 11}, {2.0, 12}, {2.0, 21}, {2.0, 30}, {3.0, 22}}));
    EXPECT_EQ(log, (std::vector<std::string>{"a(0.250000,4.000000)", "empty(0.250000,4.000000)",
                                             "b(0.250000,4.000000)", "c(0.250000,4.000000)"}));
}

TEST(GenericModelSample, LeadingEmptySubModelsLeaveTheFirstListAsItIs) {
    std::vector<std::string> log;
    GenericModel model;
    model.add_model(std::make_unique<ScriptedModel>("empty", Events{}, &log));
    model.add_model(std::make_unique<ScriptedModel>("a", Events{{1.0, 3, 1}, {1.0, 4, 2}}, &log));
    const Events events = model.sample(0.0, 2.0);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, 3);
    EXPECT_EQ(events[1].type, 4);
}

TEST(GenericModelSample, FailingSubModelEndsTheCall) {
    std::vector<std::string> log;
    GenericModel model;
    model.add_model(std::make_unique<ScriptedModel>("a", Events{{1.0, 0, 1}}, &log));
    model.add_model(std::make_unique<ScriptedModel>("failing", Events{}, &log));
    model.add_model(std::make_unique<ScriptedModel>("never", Events{}, &log));
    EXPECT_THROW_MSG(model.sample(0.0, 1.0), std::runtime_error, "sub-model broke");
    EXPECT_EQ(log.size(), 2u);
}

TEST(GenericModelSample, RefusesANullSubModel) {
    GenericModel model;
    EXPECT_THROW(model.add_model(nullptr), std::invalid_argument);
}

const char* const kModels = R"(
lib: {}
models:
  dark: {class: DarkCountModel, gen_type: 6, seed: 31, num_channels: 12, rate: 4.5}
  minus_one_seed: {class: DarkCountModel, gen_type: 0, seed: -1, num_channels: 3, rate: 8.0}
  negative_channels: {class: DarkCountModel, gen_type: 0, seed: 1, num_channels: -5, rate: 1.0}
  wordy_rate: {class: DarkCountModel, gen_type: 0, seed: 1, num_channels: 2, rate: fast}
  no_rate: {class: DarkCountModel, gen_type: 0, seed: 1, num_channels: 2}
  no_channels: {class: DarkCountModel, gen_type: 0, seed: 1}
  no_seed: {class: DarkCountModel, gen_type: 0}
  no_type: {class: DarkCountModel}
  empty_group: {class: GenericModel, models: {}}
  scalar_group: {class: GenericModel, models: 3}
  no_group: {class: GenericModel}
  pair: {class: GenericModel, models: {dark: 1, minus_one_seed: 2}}
  left: {class: GenericModel, models: {dark: 1}}
  right: {class: GenericModel, models: {dark: 1}}
  both: {class: GenericModel, models: {left: 1, right: 1}}
  broken_group: {class: GenericModel, models: {dark: 1, no_rate: 1}}
  itself: {class: GenericModel, models: {dark: 1, itself: 1}}
  ring_a: {class: GenericModel, models: {ring_b: 1}}
  ring_b: {class: GenericModel, models: {ring_c: 1}}
  ring_c: {class: GenericModel, models: {ring_a: 1}}
  unknown_part: {class: GenericModel, models: {nowhere: 1}}
  odd_class: {class: CosmicRayModels}
)";

class ModelFactoryTest : public ::testing::Test {
protected:
    ModelFactoryTest() : settings(dir.write("settings.yaml", kModels)), factory(settings) {}
    TempDir dir;
    std::filesystem::path settings;
    Factory<BackgroundModel> factory;
};

void expect_equal_streams(BackgroundModel& actual, BackgroundModel& expected) {
    for (double begin : {0.0, 1.0, 5.0}) {
        const Events a = actual.sample(begin, begin + 1.0);
        const Events e = expected.sample(begin, begin + 1.0);
        ASSERT_EQ(a.size(), e.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].time, e[i].time);
            EXPECT_EQ(a[i].type, e[i].type);
            EXPECT_EQ(a[i].id, e[i].id);
        }
    }
}

TEST_F(ModelFactoryTest, DarkCountSettingsReachTheirConstructorArguments) {
    auto built = factory.create_by_name("dark");
    DarkCountModel direct(4.5, 12, 31, 6);
    expect_equal_streams(*built, direct);
}

TEST_F(ModelFactoryTest, SeedMinusOneIsTheLargest64BitSeed) {
    auto built = factory.create_by_name("minus_one_seed");
    DarkCountModel direct(8.0, 3, 0xFFFFFFFFFFFFFFFFul, 0);
    expect_equal_streams(*built, direct);
}

TEST_F(ModelFactoryTest, DarkCountKeysAreReadInOrderAndNamed) {
    EXPECT_THROW_MSG(factory.create_by_name("no_type"), std::out_of_range, "Key gen_type not found!");
    EXPECT_THROW_MSG(factory.create_by_name("no_seed"), std::out_of_range, "Key seed not found!");
    EXPECT_THROW_MSG(factory.create_by_name("no_channels"), std::out_of_range, "Key num_channels not found!");
    EXPECT_THROW_MSG(factory.create_by_name("no_rate"), std::out_of_range, "Key rate not found!");
    EXPECT_THROW_MSG(factory.create_by_name("wordy_rate"), std::invalid_argument, "access failed");
    EXPECT_THROW_MSG(factory.create_by_name("odd_class"), std::out_of_range,
                     "Class CosmicRayModels cannot be instantiated by this factory!");
}

TEST_F(ModelFactoryTest, NegativeChannelCountIsRefused) {
    EXPECT_THROW_MSG(factory.create_by_name("negative_channels"), std::invalid_argument,
                     "Setting num_channels = -5 is negative!");
}

TEST_F(ModelFactoryTest, GroupWithoutMappingHasNoSubModels) {
    EXPECT_TRUE(factory.create_by_name("empty_group")->sample(0.0, 100.0).empty());
    EXPECT_TRUE(factory.create_by_name("scalar_group")->sample(0.0, 100.0).empty());
    EXPECT_THROW_MSG(factory.create_by_name("no_group"), std::out_of_range, "Key models not found!");
}

TEST_F(ModelFactoryTest, GroupSamplesItsSubModelsInListedOrder) {
    auto pair = factory.create_by_name("pair");
    GenericModel expected;
    expected.add_model(std::make_unique<DarkCountModel>(4.5, 12, 31, 6));
    expected.add_model(std::make_unique<DarkCountModel>(8.0, 3, 0xFFFFFFFFFFFFFFFFul, 0));
    expect_equal_streams(*pair, expected);
}

// "dark" listed under two groups is built twice, each copy with its own
// engine seeded alike, so every event comes twice in a row.
TEST_F(ModelFactoryTest, InstanceListedTwiceIsBuiltTwiceWithItsOwnEngine) {
    auto both = factory.create_by_name("both");
    DarkCountModel single(4.5, 12, 31, 6);
    const Events doubled = both->sample(0.0, 2.0);
    const Events once = single.sample(0.0, 2.0);
    ASSERT_EQ(doubled.size(), 2 * once.size());
    for (std::size_t i = 0; i < once.size(); ++i) {
        EXPECT_EQ(doubled[2 * i].time, once[i].time);
        EXPECT_EQ(doubled[2 * i + 1].time, once[i].time);
        EXPECT_EQ(doubled[2 * i].id, doubled[2 * i + 1].id);
    }
}

TEST_F(ModelFactoryTest, FailuresOfPartsPassThrough) {
    EXPECT_THROW_MSG(factory.create_by_name("broken_group"), std::out_of_range, "Key rate not found!");
    EXPECT_THROW_MSG(factory.create_by_name("unknown_part"), std::out_of_range,
                     "Instance nowhere is not defined in " + settings.string() + "!");
}

TEST_F(ModelFactoryTest, GroupsThatContainThemselvesAreRefused) {
    EXPECT_THROW_MSG(factory.create_by_name("itself"), std::invalid_argument,
                     "Instance itself is defined as a part of itself!");
    EXPECT_THROW_MSG(factory.create_by_name("ring_b"), std::invalid_argument,
                     "Instance ring_b is defined as a part of itself!");
    EXPECT_NO_THROW(factory.create_by_name("both"));
}

// A part that failed must not stay marked as under construction.
TEST_F(ModelFactoryTest, FailedPartsCanBeAskedForAgain) {
    EXPECT_THROW_MSG(factory.create_by_name("broken_group"), std::out_of_range, "Key rate not found!");
    EXPECT_THROW_MSG(factory.create_by_name("no_rate"), std::out_of_range, "Key rate not found!");
    EXPECT_THROW_MSG(factory.create_by_name("broken_group"), std::out_of_range, "Key rate not found!");
}

}  // namespace
