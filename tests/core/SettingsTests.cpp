#include <background/core/Settings.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <ios>

namespace {

using background::Settings;
using background::testing::nested_message;
using background::testing::TempDir;
using Keys = std::vector<std::string>;

template <typename T>
bool is(const std::exception& e) {
    return dynamic_cast<const T*>(&e) != nullptr;
}

// A back end that fails with something other than std::invalid_argument.
class FailingAccessor : public Settings::Accessor {
public:
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
    EXPECT_EQ(root["map"].keys(), (Keys{"z", "y"}));
    EXPECT_TRUE(root["list"].keys().empty());
    EXPECT_TRUE(root["scalar"].keys().empty());
    EXPECT_EQ(root["bad_keys"].keys(), Keys{"ok"}) << "a key without text";
    EXPECT_FALSE(root["scalar"].contains("child"));
    EXPECT_FALSE(root["map"].contains("missing"));
    EXPECT_EQ(root["map"].keys(), (Keys{"z", "y"})) << "a lookup added the missing key";
    EXPECT_TRUE(Settings::from_file(dir.write("empty.yaml", "")).keys().empty());
    EXPECT_EQ(std::string(root["lib"]["empty"]), "null");

    const Settings foreign(std::make_shared<FailingAccessor>());
    const auto missing = dir.path() / "missing.yaml", broken = dir.write("broken.yaml", "a: [1, 2\n");
    const std::string nul_path("a\0b.yaml", 8);
    const struct {
        std::function<void()> call;
        bool (*is_type)(const std::exception&);
        std::string message, cause;
    } cases[] = {
        {[&] { root["models"]["x"]; }, is<std::out_of_range>, "Key models not found!", ""},
        {[&] { root["lib"]["model"]; }, is<std::out_of_range>, "Key model not found!", ""},
        {[&] { root["scalar"]["child"]; }, is<std::out_of_range>, "Key child not found!", ""},
        {[&] { (void)int(root["lib"]["empty"]); }, is<std::invalid_argument>, "access failed", "*"},
        {[&] { (void)int(root["map"]); }, is<std::invalid_argument>, "access failed", "*"},
        {[&] { (void)double(root["list"]); }, is<std::invalid_argument>, "access failed", "*"},
        {[&] { (void)bool(root["text"]); }, is<std::invalid_argument>, "access failed", "*"},
        {[&] { (void)std::string(root["map"]); }, is<std::invalid_argument>, "access failed", "*"},
        {[&] { (void)std::string(foreign["x"]); }, is<std::invalid_argument>, "Cast to string failed! Caused by",
         "disk"},
        {[&] { (void)int(foreign["x"]); }, is<std::invalid_argument>, "Cast to int failed! Caused by", "disk"},
        {[&] { (void)double(foreign["x"]); }, is<std::invalid_argument>, "Cast to double failed! Caused by", "disk"},
        {[&] { (void)bool(foreign["x"]); }, is<std::invalid_argument>, "own", ""},
        {[&] { Settings::from_file(missing); }, is<std::ios_base::failure>,
         "Failed to load yaml file " + missing.generic_string(), "*"},
        {[&] { Settings::from_file(broken); }, is<std::ios_base::failure>,
         "Failed to load yaml file " + broken.generic_string(), "*"},
        // Opened through a C string, the path would end at the NUL and load another file.
        {[&] { Settings::from_file(nul_path); }, is<std::invalid_argument>,
         "Settings file path contains a NUL character!", ""},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "nothing thrown, expected " << c.message;
        } catch (const std::exception& e) {
            EXPECT_TRUE(c.is_type(e)) << c.message;
            EXPECT_EQ(e.what(), c.message);
            const std::string cause = nested_message(e);
            EXPECT_TRUE(c.cause == "*" ? cause != "<no nested exception>" : c.cause.empty() || cause == c.cause)
                << c.message << " caused by " << cause;
        }
    }
}

}  // namespace
