#include <background/core/Format.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace {

using background::format;

TEST(Format, PlainDoubleIsShortestRoundTrip) {
    EXPECT_EQ(format("{}", 12.5), "12.5");
    EXPECT_EQ(format("{}", 1e20), "1e+20");
    EXPECT_EQ(format("{}", -2.0), "-2");
    EXPECT_EQ(format("{}", 1e5), "1e+05");
    EXPECT_EQ(format("{}", 1e-4), "1e-04");
    EXPECT_EQ(format("{}", 0.001), "0.001");
    EXPECT_EQ(format("{}", 1e-5), "1e-05");
    EXPECT_EQ(format("{}", 123456.0), "123456");
    EXPECT_EQ(format("{}", 0.1), "0.1");
    EXPECT_EQ(format("{}", 0.0), "0");
    EXPECT_EQ(format("{}", std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(format("{}", -std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(format("{}", std::numeric_limits<double>::quiet_NaN()), "nan");
}

TEST(Format, ExplicitDoubleSpecsFollowThePattern) {
    EXPECT_EQ(format("{:e}", 1234.5), "1.234500e+03");
    EXPECT_EQ(format("{:.3e}", 0.0), "0.000e+00");
    EXPECT_EQ(format("{:.3f}", 3.14159), "3.142");
    EXPECT_EQ(format("{:.0f}", -0.4), "-0");
    EXPECT_EQ(format("{:.0f}", 1e20), "100000000000000000000");
}

TEST(Format, OtherArgumentsAndMixedPatterns) {
    EXPECT_EQ(format("Key {} not found!", std::string("lib")), "Key lib not found!");
    EXPECT_EQ(format("{} and {}", -7, std::uint64_t{18446744073709551615u}), "-7 and 18446744073709551615");
    EXPECT_EQ(format("x = {}, y = {:.1f}", 2.5, 2.25), "x = 2.5, y = 2.2");
    EXPECT_EQ(format("no placeholders"), "no placeholders");
}

}  // namespace
