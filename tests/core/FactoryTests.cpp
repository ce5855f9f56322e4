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

// A family of the tests' own: a widget carries a label and may hold parts.
namespace factory_test {
struct Widget {
    virtual ~Widget() = default;
    std::string label;
    std::vector<std::unique_ptr<Widget>> parts;
};
}  // namespace factory_test

template <>
struct background::FactorySection<factory_test::Widget> {
    static constexpr const char* key = "widgets";
};

template <>
void background::Factory<factory_test::Widget>::build_class_resolve_table() {
    class_resolve_table["Plain"] = [this](Settings settings) {
        auto widget = std::make_unique<factory_test::Widget>();
        widget->label = settings.contains("file") ? path(settings["file"]).string() : std::string(settings["label"]);
        return widget;
    };
    class_resolve_table["Assembly"] = [this](Settings settings) {
        auto widget = std::make_unique<factory_test::Widget>();
        for (const std::string& name : settings["parts"].keys()) widget->parts.push_back(create_by_name(name));
        return widget;
    };
}

namespace {

using background::BackgroundModel;
using background::EventGenerator;
using background::Factory;
using background::testing::TempDir;
using factory_test::Widget;

TEST(Factory, FailuresInTheirOrderCompositesMovesAndPaths) {
    TempDir dir;
    const auto settings = dir.write("run/settings.yaml", R"(
widgets:
  {plain: {class: Plain, label: hello}, nameless: {label: x}, wrong_case: {class: plain},
   listed_class: {class: [Plain]}, assembly: {class: Assembly, parts: {plain: 1, other: 2}},
   other: {class: Plain, label: second}, loop_a: {class: Assembly, parts: {loop_b: 1}},
   loop_b: {class: Assembly, parts: {loop_a: 1}}, selfish: {class: Assembly, parts: {selfish: 1}},
   file: {class: Plain, file: ../lib/x.tmio}}
models: {only_model: {class: Plain, label: m}}
)");
    Factory<Widget> factory(settings);
    EXPECT_THROW_MSG(factory.create_by_name("only_model"), std::out_of_range,
                     "Instance only_model is not defined in " + settings.string() + "!");
    EXPECT_THROW_MSG(factory.create_by_name("nameless"), std::out_of_range, "Key class not found!");
    EXPECT_THROW_MSG(factory.create_by_name("wrong_case"), std::out_of_range,
                     "Class plain cannot be instantiated by this factory!");
    EXPECT_THROW_MSG(factory.create_by_name("listed_class"), std::invalid_argument, "access failed");
    for (const std::string name : {"selfish", "loop_a"})
        EXPECT_THROW_MSG(factory.create_by_name(name), std::invalid_argument,
                         "Instance " + name + " is defined as a part of itself!");
    const std::string moved_from = "Default constructed or moved from object, no settings available!";
    EXPECT_THROW_MSG(Factory<Widget>().create_by_name("plain"), std::out_of_range, moved_from);
    EXPECT_THROW_MSG(Factory<Widget>{dir.write("models.yaml", "models: {}\n")}, std::out_of_range,
                     "Key widgets not found!");
    EXPECT_THROW(Factory<Widget>{dir.path() / "absent.yaml"}, std::ios_base::failure);

    // A refused cycle leaves the factory usable, and so does a move.
    Factory<Widget> moved(std::move(factory));
    EXPECT_THROW_MSG(factory.create_by_name("plain"), std::out_of_range, moved_from);
    Factory<Widget> assigned;
    assigned = std::move(moved);
    EXPECT_THROW_MSG(moved.create_by_name("plain"), std::out_of_range, moved_from);
    auto assembly = assigned.create_by_name("assembly");
    ASSERT_EQ(assembly->parts.size(), 2u);
    EXPECT_EQ(assembly->parts[0]->label, "hello") << "parts built out of order";
    EXPECT_EQ(assembly->parts[1]->label, "second");
    EXPECT_NE(assigned.create_by_name("plain").get(), assigned.create_by_name("plain").get());

    EXPECT_EQ(assigned.path("/data/./cache.cm"), std::filesystem::path("/data/./cache.cm"));
    EXPECT_EQ(assigned.path("../lib/x.tmio"), dir.path().lexically_normal() / "lib/x.tmio");
    EXPECT_EQ(assigned.create_by_name("file")->label, (dir.path() / "lib/x.tmio").lexically_normal().string());
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path() / "run");
    Factory<Widget> bare("settings.yaml");  // a relative settings path stays relative
    EXPECT_EQ(bare.path("../lib/x.tmio"), std::filesystem::path("../lib/x.tmio"));
    EXPECT_EQ(bare.path("./a/../b.tmio"), std::filesystem::path("b.tmio"));
    std::filesystem::current_path(cwd);
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
