#include <background/core/Factory.hpp>
#include <background/core/BackgroundModel.hpp>
#include <background/core/EventGenerator.hpp>
#include <background/core/Settings.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ios>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace factory_test {  // a family of the tests' own
struct Widget {
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
        widget->label = std::string(settings["label"]);
        return widget;
    };
    class_resolve_table["Assembly"] = [this](Settings settings) {
        auto widget = std::make_unique<factory_test::Widget>();
        for (const std::string& name : settings["parts"].keys()) widget->parts.push_back(create_by_name(name));
        return widget;
    };
}

namespace background {
namespace {

using testing::TempDir;
using factory_test::Widget;
using Keys = std::vector<std::string>;
using Call = std::function<void()>;

// A back end that fails with something other than std::invalid_argument.
struct FailingAccessor : Settings::Accessor {
    bool contains(const Keys&) override { return true; }
    Keys keys(const Keys&) override { return {}; }
    std::string get_string(const Keys&) override { throw std::runtime_error("disk"); }
    int get_int(const Keys&) override { throw std::runtime_error("disk"); }
    double get_double(const Keys&) override { throw std::runtime_error("disk"); }
    bool get_bool(const Keys&) override { throw std::invalid_argument("own"); }
};

TEST(Settings, KeysInDocumentOrderAndFailuresWithTheirTypeMessageAndCause) {
    TempDir dir;
    const Settings root = Settings::from_file(dir.write("s.yaml", "b: 1\na: 2\nlib: {empty: , provider: p}\n"
                                                                  "map: {z: 1, y: 2}\nlist: [1]\ntext: abc\n"
                                                                  "scalar: 5\nbad_keys: {[1, 2]: a, ok: b}\n"));
    EXPECT_EQ(root.keys(), (Keys{"b", "a", "lib", "map", "list", "text", "scalar", "bad_keys"}));
    EXPECT_TRUE(root["list"].keys().empty() && root["scalar"].keys().empty());
    EXPECT_EQ(root["bad_keys"].keys(), Keys{"ok"}) << "a key without text";
    EXPECT_FALSE(root["scalar"].contains("child") || root["map"].contains("missing"));
    EXPECT_EQ(root["map"].keys(), (Keys{"z", "y"})) << "a lookup added the missing key";
    EXPECT_TRUE(Settings::from_file(dir.write("empty.yaml", "")).keys().empty());
    EXPECT_EQ(std::string(root["lib"]["empty"]), "null");
    const Settings foreign(std::make_shared<FailingAccessor>());
    const auto missing = dir.path() / "missing.yaml", broken = dir.write("broken.yaml", "a: [1, 2\n");
    const auto fifo = dir.fifo("fifo.yaml"), zero = std::filesystem::path("/dev/zero");
    const auto range = testing::thrown<std::out_of_range, Call>, bad = testing::thrown<std::invalid_argument, Call>,
               io = testing::thrown<std::ios_base::failure, Call>;
    // The nested cause: "" for none, "*" for any.
    const struct { Call call; decltype(range) thrown_as; std::string message, cause; } cases[] = {
        {[&] { root["lib"]["model"]; }, range, "Key model not found!", ""},
        {[&] { root["scalar"]["child"]; }, range, "Key child not found!", ""},
        {[&] { (void)int(root["lib"]["empty"]); }, bad, "access failed", "*"},
        {[&] { (void)double(root["list"]); }, bad, "access failed", "*"},
        {[&] { (void)bool(root["text"]); }, bad, "access failed", "*"},
        {[&] { (void)std::string(root["map"]); }, bad, "access failed", "*"},
        {[&] { (void)std::string(foreign["x"]); }, bad, "Cast to string failed! Caused by", "disk"},
        {[&] { (void)int(foreign["x"]); }, bad, "Cast to int failed! Caused by", "disk"},
        {[&] { (void)double(foreign["x"]); }, bad, "Cast to double failed! Caused by", "disk"},
        {[&] { (void)bool(foreign["x"]); }, bad, "own", ""},
        {[&] { Settings::from_file(missing); }, io, "Failed to load yaml file " + missing.generic_string(),
         "bad file: " + missing.string()},  // the dependency's own failure, as loading by name gives
        {[&] { Settings::from_file(broken); }, io, "Failed to load yaml file " + broken.generic_string(), "*"},
        {[&] { Settings::from_file(fifo); }, io, "Failed to load yaml file " + fifo.generic_string(),
         "Cannot read " + fifo.string() + ": not a regular file"},
        {[&] { Settings::from_file(zero); }, io, "Failed to load yaml file /dev/zero", "*"},
        {[&] { Settings::from_file(dir.path()); }, io, "Failed to load yaml file " + dir.path().generic_string(), "*"},
        // Opened through a C string, the path would end at the NUL and load another file.
        {[&] { Settings::from_file(std::string("a\0b.yaml", 8)); }, bad, "Settings file path contains a NUL character!", ""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testing::returns_promptly(c.call)) << c.message;
        std::string got = c.thrown_as(c.call, true);
        if (c.cause == "*" && !got.ends_with("<no nested exception>")) got = got.substr(0, got.find(" <- ")) + " <- *";
        EXPECT_EQ(got, c.message + " <- " + (c.cause.empty() ? "<no nested exception>" : c.cause));
    }
    // Beneath the dependency's bad file lies the system's reason: missing, or not readable by this user.
    const auto unreadable = dir.write("unreadable.yaml", "lib: {}\n");
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(unreadable, std::filesystem::perms(0600));
    const auto chain = [](const std::filesystem::path& file) {
        try { Settings::from_file(file); } catch (const std::exception& e) { return testing::causes(e); }
        return std::string("nothing thrown");
    };
    const auto expected = [](const std::filesystem::path& file, const std::string& reason) {
        return "Failed to load yaml file " + file.string() + " <- bad file: " + file.string() + " <- " + file.string() + ": " + reason;
    };
    EXPECT_EQ(chain(missing), expected(missing, "No such file or directory"));
    if (geteuid() == 0) {  // root reads it all the same
        EXPECT_TRUE(testing::in_child_as_other_user([&] { return chain(unreadable) == expected(unreadable, "Permission denied"); }));
    }
}

// YAML forbids a key twice in one mapping. Loaded anyway, lookups would read the first entry, other readers of the
// file the last, and a composite would build a part listed twice twice.
TEST(Settings, AKeyTwiceInOneMappingIsRefusedNamingTheKeyAndTheLineOfTheRepeat) {
    TempDir dir;
    const std::pair<std::string, std::string> cases[] = {
        {"lib:\n  seed: 1\n  rate: 2\n  seed: 3\n", "line 4, column 3: duplicate key \"seed\""},
        {"lib: {seed: 1, rate: 2, seed: 3}\n", "line 1, column 25: duplicate key \"seed\""},
        {"lib: {a: 1}\nmodels: {}\nlib: {b: 2}\n", "line 3, column 1: duplicate key \"lib\""},
        {"models:\n  all:\n    class: GenericModel\n    models:\n      dark: 0\n      dark: 0\n",
         "line 6, column 7: duplicate key \"dark\""},
        {"lib:\n  'seed': 1\n  seed: 2\n", "line 3, column 3: duplicate key \"seed\""},
    };
    for (const auto& [text, repeat] : cases) {
        const auto file = dir.write("twice.yaml", text);
        EXPECT_EQ(testing::thrown<std::ios_base::failure>([&] { Settings::from_file(file); }, true),
                  "Failed to load yaml file " + file.generic_string() + " <- yaml-cpp: error at " + repeat);
    }
    // One key in sibling mappings, in the mappings of a list, or as a value is no repeat.
    const Settings siblings = Settings::from_file(
        dir.write("siblings.yaml", "a: {seed: 1, b: seed}\nc: {seed: 2}\nd: [{seed: 3}, {seed: 4}]\nseed: 5\n"));
    EXPECT_TRUE(int(siblings["a"]["seed"]) == 1 && int(siblings["c"]["seed"]) == 2 && int(siblings["seed"]) == 5);
}

TEST(Factory, FailuresInTheirOrderCompositesMovesAndPaths) {
    TempDir dir;
    const auto settings = dir.write("run/settings.yaml", R"(
widgets:
  {plain: {class: Plain, label: hello}, nameless: {label: x}, wrong_case: {class: plain},
   listed_class: {class: [Plain]}, assembly: {class: Assembly, parts: {plain: 1, other: 2}},
   other: {class: Plain, label: second}, loop_a: {class: Assembly, parts: {loop_b: 1}},
   loop_b: {class: Assembly, parts: {loop_a: 1}}, selfish: {class: Assembly, parts: {selfish: 1}}}
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

    EXPECT_EQ(assigned.path("/data/./cache.cm"), std::filesystem::path("/data/./cache.cm"));
    EXPECT_EQ(assigned.path("../lib/x.tmio"), dir.path().lexically_normal() / "lib/x.tmio");
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
}  // namespace background
