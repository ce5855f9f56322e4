#include <background/core/Settings.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <ios>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

using background::Settings;
using background::testing::nested_message;
using background::testing::TempDir;

class SettingsTest : public ::testing::Test {
protected:
    Settings load(const std::string& yaml) { return Settings::from_file(dir.write("settings.yaml", yaml)); }
    TempDir dir;
};

TEST_F(SettingsTest, MissingKeysNameTheKeyAlone) {
    Settings without_lib = load("models: {}\n");
    EXPECT_THROW_MSG(without_lib["lib"]["model"], std::out_of_range, "Key lib not found!");
    Settings with_lib = load("lib:\n  provider: p\n");
    EXPECT_THROW_MSG(with_lib["lib"]["model"], std::out_of_range, "Key model not found!");
}

TEST_F(SettingsTest, EmptyValueIsContainedAndReadsAsNull) {
    Settings root = load("lib:\n  empty:\n");
    Settings lib = root["lib"];
    EXPECT_TRUE(lib.contains("empty"));
    EXPECT_EQ(static_cast<std::string>(lib["empty"]), "null");
    try {
        (void)static_cast<int>(lib["empty"]);
        FAIL() << "null read as int";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "access failed");
        EXPECT_NE(nested_message(e), "<no nested exception>");
    }
}

TEST_F(SettingsTest, KeysFollowDocumentOrderAndAreEmptyForNonMappings) {
    Settings root = load("b: 1\na: 2\nc:\n  z: 1\n  y: 2\nlist: [1, 2]\nscalar: x\n");
    EXPECT_EQ(root.keys(), (std::vector<std::string>{"b", "a", "c", "list", "scalar"}));
    EXPECT_EQ(root["c"].keys(), (std::vector<std::string>{"z", "y"}));
    EXPECT_TRUE(root["list"].keys().empty());
    EXPECT_TRUE(root["scalar"].keys().empty());
    EXPECT_TRUE(load("").keys().empty());
}

TEST_F(SettingsTest, YamlSpellingsOfBooleansAndNumbers) {
    Settings root = load(
        "t1: yes\nt2: on\nt3: true\nt4: y\nt5: Yes\nt6: TRUE\nf1: no\nf2: off\n"
        "inf: .inf\nninf: -.inf\nnan: .nan\nhex: 0x10\noct: 010\nneg: -1\nnum: 12.5e3\n");
    for (const char* key : {"t1", "t2", "t3", "t4", "t5", "t6"}) {
        EXPECT_TRUE(static_cast<bool>(root[key])) << key;
    }
    EXPECT_FALSE(static_cast<bool>(root["f1"]));
    EXPECT_FALSE(static_cast<bool>(root["f2"]));
    EXPECT_EQ(static_cast<double>(root["inf"]), std::numeric_limits<double>::infinity());
    EXPECT_EQ(static_cast<double>(root["ninf"]), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(static_cast<double>(root["nan"])));
    EXPECT_EQ(static_cast<int>(root["hex"]), 16);
    EXPECT_EQ(static_cast<int>(root["oct"]), 8);
    EXPECT_EQ(static_cast<int>(root["neg"]), -1);
    EXPECT_EQ(static_cast<double>(root["num"]), 12500.0);
    EXPECT_EQ(static_cast<std::string>(root["hex"]), "0x10");
}

TEST_F(SettingsTest, FailedConversionsReportAccessFailedWithCause) {
    Settings root = load("map: {a: 1}\nlist: [1]\ntext: abc\n");
    for (const char* key : {"map", "list", "text"}) {
        EXPECT_THROW_MSG((void)static_cast<int>(root[key]), std::invalid_argument, "access failed");
        EXPECT_THROW_MSG((void)static_cast<double>(root[key]), std::invalid_argument, "access failed");
        EXPECT_THROW_MSG((void)static_cast<bool>(root[key]), std::invalid_argument, "access failed");
    }
    EXPECT_THROW_MSG((void)static_cast<std::string>(root["map"]), std::invalid_argument, "access failed");
}

TEST_F(SettingsTest, PathsThroughScalarsAreNotContained) {
    Settings root = load("scalar: 5\nbad_keys: {[1, 2]: a, ok: b}\n");
    EXPECT_FALSE(root["scalar"].contains("child"));
    EXPECT_THROW_MSG(root["scalar"]["child"], std::out_of_range, "Key child not found!");
    EXPECT_EQ(root["bad_keys"].keys(), std::vector<std::string>{"ok"});
}

TEST_F(SettingsTest, LookupsLeaveTheDocumentUntouched) {
    Settings root = load("lib: {a: 1}\n");
    EXPECT_FALSE(root["lib"].contains("missing"));
    EXPECT_EQ(root["lib"].keys(), std::vector<std::string>{"a"});
}

TEST_F(SettingsTest, MissingOrBrokenFileFailsWithPathAndCause) {
    const auto missing = dir.path() / "missing.yaml";
    try {
        Settings::from_file(missing);
        FAIL() << "missing file loaded";
    } catch (const std::ios_base::failure& e) {
        EXPECT_EQ(std::string(e.what()), "Failed to load yaml file " + missing.generic_string());
        EXPECT_EQ(e.code(), std::io_errc::stream);
        EXPECT_NE(nested_message(e), "<no nested exception>");
    }
    const auto broken = dir.write("broken.yaml", "a: [1, 2\n");
    EXPECT_THROW(Settings::from_file(broken), std::ios_base::failure);
}

// A back end that fails with something other than std::invalid_argument.
class FailingAccessor : public Settings::Accessor {
public:
    bool contains(const std::vector<std::string>&) override { return true; }
    std::vector<std::string> keys(const std::vector<std::string>&) override { return {}; }
    std::string get_string(const std::vector<std::string>&) override { throw std::runtime_error("disk"); }
    int get_int(const std::vector<std::string>&) override { throw std::runtime_error("disk"); }
    double get_double(const std::vector<std::string>&) override { throw std::runtime_error("disk"); }
    bool get_bool(const std::vector<std::string>&) override { throw std::invalid_argument("own"); }
};

TEST(SettingsConversion, ForeignFailuresAreWrappedWithTheTypeName) {
    Settings root(std::make_shared<FailingAccessor>());
    EXPECT_THROW_MSG((void)static_cast<std::string>(root["x"]), std::invalid_argument,
                     "Cast to string failed! Caused by");
    EXPECT_THROW_MSG((void)static_cast<int>(root["x"]), std::invalid_argument, "Cast to int failed! Caused by");
    try {
        (void)static_cast<double>(root["x"]);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Cast to double failed! Caused by");
        EXPECT_EQ(nested_message(e), "disk");
    }
    EXPECT_THROW_MSG((void)static_cast<bool>(root["x"]), std::invalid_argument, "own");
}

}  // namespace
