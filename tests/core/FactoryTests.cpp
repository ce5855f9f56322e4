#include <background/core/Factory.hpp>
#include <background/core/BackgroundModel.hpp>
#include <background/core/EventGenerator.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <ios>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace factory_test {

// A family of the tests' own: a widget carries a label and may hold parts.
class Widget {
public:
    virtual ~Widget() = default;
    std::string label;
    std::vector<std::unique_ptr<Widget>> parts;
};

}  // namespace factory_test

namespace background {

template <>
struct FactorySection<factory_test::Widget> {
    static constexpr const char* key = "widgets";
};

template <>
void Factory<factory_test::Widget>::build_class_resolve_table() {
    using factory_test::Widget;
    class_resolve_table["Plain"] = [](Settings settings) {
        auto widget = std::make_unique<Widget>();
        widget->label = static_cast<std::string>(settings["label"]);
        return widget;
    };
    class_resolve_table["Assembly"] = [this](Settings settings) {
        auto widget = std::make_unique<Widget>();
        for (const std::string& name : settings["parts"].keys()) widget->parts.push_back(create_by_name(name));
        return widget;
    };
    class_resolve_table["File"] = [this](Settings settings) {
        auto widget = std::make_unique<Widget>();
        widget->label = path(settings["file"]).string();
        return widget;
    };
}

}  // namespace background

namespace {

using background::BackgroundModel;
using background::EventGenerator;
using background::Factory;
using background::testing::TempDir;
using factory_test::Widget;

const char* const kSettings = R"(
lib: {}
widgets:
  plain: {class: Plain, label: hello}
  numeric: {class: 42}
  nameless: {label: x}
  wrong_case: {class: plain}
  underscored: {class: Pla_in}
  listed_class: {class: [Plain]}
  assembly: {class: Assembly, parts: {plain: 1, other: 2}}
  other: {class: Plain, label: second}
  loop_a: {class: Assembly, parts: {loop_b: 1}}
  loop_b: {class: Assembly, parts: {loop_a: 1}}
  selfish: {class: Assembly, parts: {selfish: 1}}
  file: {class: File, file: ../lib/x.tmio}
models:
  only_model: {class: Plain, label: m}
)";

class FactoryTest : public ::testing::Test {
protected:
    FactoryTest() : settings(dir.write("run/settings.yaml", kSettings)), factory(settings) {}
    TempDir dir;
    std::filesystem::path settings;
    Factory<Widget> factory;
};

TEST_F(FactoryTest, BuildsNamedInstancesAsNewObjects) {
    auto first = factory.create_by_name("plain");
    auto second = factory.create_by_name("plain");
    EXPECT_EQ(first->label, "hello");
    EXPECT_NE(first.get(), second.get());
}

TEST_F(FactoryTest, FailuresInTheirOrder) {
    EXPECT_THROW_MSG(factory.create_by_name("only_model"), std::out_of_range,
                     "Instance only_model is not defined in " + settings.string() + "!");
    EXPECT_THROW_MSG(factory.create_by_name("nameless"), std::out_of_range, "Key class not found!");
    EXPECT_THROW_MSG(factory.create_by_name("numeric"), std::out_of_range,
                     "Class 42 cannot be instantiated by this factory!");
    EXPECT_THROW_MSG(factory.create_by_name("wrong_case"), std::out_of_range,
                     "Class plain cannot be instantiated by this factory!");
    EXPECT_THROW_MSG(factory.create_by_name("underscored"), std::out_of_range,
                     "Class Pla_in cannot be instantiated by this factory!");
    EXPECT_THROW_MSG(factory.create_by_name("listed_class"), std::invalid_argument, "access failed");
}

TEST_F(FactoryTest, CompositesBuildTheirPartsThroughTheSameFactory) {
    auto assembly = factory.create_by_name("assembly");
    ASSERT_EQ(assembly->parts.size(), 2u);
    EXPECT_EQ(assembly->parts[0]->label, "hello");
    EXPECT_EQ(assembly->parts[1]->label, "second");
}

TEST_F(FactoryTest, CyclesAreRefusedNamingTheInstance) {
    EXPECT_THROW_MSG(factory.create_by_name("selfish"), std::invalid_argument,
                     "Instance selfish is defined as a part of itself!");
    EXPECT_THROW_MSG(factory.create_by_name("loop_a"), std::invalid_argument,
                     "Instance loop_a is defined as a part of itself!");
    // A refused cycle leaves the factory usable.
    EXPECT_EQ(factory.create_by_name("assembly")->parts.size(), 2u);
}

TEST_F(FactoryTest, MovedFactoryKeepsWorkingAndTheOldOneRefuses) {
    Factory<Widget> moved(std::move(factory));
    EXPECT_EQ(moved.create_by_name("assembly")->parts.size(), 2u);
    EXPECT_THROW_MSG(factory.create_by_name("plain"), std::out_of_range,
                     "Default constructed or moved from object, no settings available!");
    Factory<Widget> assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.create_by_name("assembly")->parts.size(), 2u);
    EXPECT_THROW_MSG(moved.create_by_name("plain"), std::out_of_range,
                     "Default constructed or moved from object, no settings available!");
    EXPECT_THROW_MSG(Factory<Widget>().create_by_name("plain"), std::out_of_range,
                     "Default constructed or moved from object, no settings available!");
}

TEST_F(FactoryTest, PathResolvesAgainstTheSettingsDirectory) {
    EXPECT_EQ(factory.path("/data/./cache.cm"), std::filesystem::path("/data/./cache.cm"));
    EXPECT_EQ(factory.path("../lib/x.tmio"), dir.path().lexically_normal() / "lib/x.tmio");
    EXPECT_EQ(factory.create_by_name("file")->label, (dir.path() / "lib/x.tmio").lexically_normal().string());
}

TEST(FactoryPath, FollowsTheSettingsPathAsGiven) {
    TempDir dir;
    dir.write("cfg/run/settings.yaml", "widgets: {}\n");
    Factory<Widget> absolute(dir.path() / "cfg/run/settings.yaml");
    EXPECT_EQ(absolute.path("../lib/x.tmio"), (dir.path() / "cfg/lib/x.tmio").lexically_normal());

    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path() / "cfg/run");
    Factory<Widget> bare("settings.yaml");
    EXPECT_EQ(bare.path("../lib/x.tmio"), std::filesystem::path("../lib/x.tmio"));
    EXPECT_EQ(bare.path("./a/../b.tmio"), std::filesystem::path("b.tmio"));
    std::filesystem::current_path(cwd);
}

TEST(FactoryConstruction, FailsWithoutTheFamilySectionOrFile) {
    TempDir dir;
    auto file = dir.write("settings.yaml", "models: {}\n");
    EXPECT_THROW_MSG(Factory<Widget>{file}, std::out_of_range, "Key widgets not found!");
    EXPECT_THROW(Factory<Widget>{dir.path() / "absent.yaml"}, std::ios_base::failure);
}

// A chain of composites, each naming the next, recurses once per link when it
// is built, used and destroyed. Up to the nesting limit it works (also under
// the sanitizers, whose frames are larger); a chain far longer, which used to
// overflow the stack, is refused naming the instance at the limit.
TEST(FactoryNesting, LongChainsOfCompositesAreRefusedBeforeTheStackIsAtRisk) {
    const auto chain = [](int links) {
        std::ostringstream yaml;
        yaml << "models:\n";
        for (int i = 0; i + 1 < links; ++i) yaml << "  m" << i << ": {class: GenericModel, models: {m" << i + 1 << ": 0}}\n";
        yaml << "  m" << links - 1 << ": {class: DarkCountModel, gen_type: 0, seed: 1, num_channels: 1, rate: 1000.0}\n";
        yaml << "generators:\n";
        for (int i = 0; i + 1 < links; ++i) yaml << "  g" << i << ": {class: GenericGenerator, generators: {g" << i + 1 << ": 0}}\n";
        yaml << "  g" << links - 1 << ": {class: NPEGenerator, num_pe: 1}\n";
        return yaml.str();
    };
    TempDir dir;
    const auto deepest = dir.write("deepest.yaml", chain(500));
    auto model = Factory<BackgroundModel>(deepest).create_by_name("m0");
    auto generator = Factory<EventGenerator>(deepest).create_by_name("g0");
    const auto events = model->sample(0.0, 1.0);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(generator->generate(events.front()).size(), 1u);

    const auto too_deep = dir.write("too_deep.yaml", chain(20000));
    EXPECT_THROW_MSG(Factory<BackgroundModel>(too_deep).create_by_name("m0"), std::invalid_argument,
                     "Instance m500 is nested more than 500 levels deep!");
    EXPECT_THROW_MSG(Factory<EventGenerator>(too_deep).create_by_name("g0"), std::invalid_argument,
                     "Instance g500 is nested more than 500 levels deep!");
}

}  // namespace
