#include <background/core/Format.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace {

using background::format;

// Plain {} doubles must read as std::format's shortest round trip; explicit specs as printf does.
TEST(Format, DoublesAndMixedArguments) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<std::string, const char*> cases[] = {
        {format("{}", 12.5), "12.5"}, {format("{}", 1e20), "1e+20"}, {format("{}", -2.0), "-2"},
        {format("{}", 1e5), "1e+05"}, {format("{}", 1e-4), "1e-04"}, {format("{}", 1e-5), "1e-05"},
        {format("{}", 0.001), "0.001"}, {format("{}", 123456.0), "123456"}, {format("{}", 0.1), "0.1"},
        {format("{}", 0.0), "0"}, {format("{}", inf), "inf"}, {format("{}", -inf), "-inf"},
        {format("{}", std::numeric_limits<double>::quiet_NaN()), "nan"}, {format("{:e}", 1234.5), "1.234500e+03"},
        {format("{:.3e}", 0.0), "0.000e+00"}, {format("{:.3f}", 3.14159), "3.142"}, {format("{:.0f}", -0.4), "-0"},
        {format("{:.0f}", 1e20), "100000000000000000000"},
        {format("Key {} not found!", std::string("lib")), "Key lib not found!"},
        {format("{} and {}", -7, std::uint64_t{18446744073709551615u}), "-7 and 18446744073709551615"},
        {format("x = {}, y = {:.1f}", 2.5, 2.25), "x = 2.5, y = 2.2"},
        {format("no placeholders"), "no placeholders"},
    };
    for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

}  // namespace
