#include <background/models/Chi2.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace background {
namespace {

using Q = Chi2::Quantile;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The bin one value is counted in, or -1 when it is dropped: only the bin
// whose expectation is 1 can match a count of 1 and add nothing; a count in
// a bin expecting 0 adds infinity, a drop leaves (0 - 1)^2 / 1.
int landing_bin(const Chi2& chi2, double value, int bins) {
    for (int b = 0; b < bins; ++b) {
        int call = 0;
        const double statistic = chi2([&](double, double) { return call++ == b ? 1.0 : 0.0; }, 1,
                                      [value](std::size_t) { return value; });
        if (statistic == 0.0) return b;
    }
    return -1;
}

TEST(Chi2, BinsAreOpenBelowAndClosedAbove) {
    const Chi2 linear(10, 0.0, 1.0, false);
    const Chi2 log(12, 1.0, 100.0, true);
    struct Case {
        const Chi2& chi2;
        int bins;
        double value;
        int bin;
    };
    for (const Case& c : {Case{linear, 10, 0.0, -1}, {linear, 10, 0.05, 0}, {linear, 10, 0.1, 0},
                          {linear, 10, std::nextafter(0.1, 1.0), 1}, {linear, 10, 0.3 * 3, 8}, {linear, 10, 1.0, 9},
                          {linear, 10, std::nextafter(1.0, 2.0), -1}, {linear, 10, -0.5, -1}, {linear, 10, kNaN, -1},
                          {log, 12, 0.5, -1}, {log, 12, 1.1, 0}, {log, 12, 11.0, 6}, {log, 12, 99.0, 11},
                          {log, 12, 150.0, -1}}) {
        EXPECT_EQ(landing_bin(c.chi2, c.value, c.bins), c.bin) << c.value;
    }
}

TEST(Chi2, CountingStatisticSkipsBinsThatMatchTheirExpectation) {
    const Chi2 chi2(4, 0.0, 4.0, false);
    const std::vector<double> sample{0.5, 1.5, 1.7, 3.2, 3.3, 3.9, 9.0};
    const auto data = [&](std::size_t i) { return sample[i]; };
    // Counts 1, 2, 0, 3 against 1, 1, 0, 2: only bins 1 and 3 add.
    const auto expected = [](double lo, double) { return std::vector<double>{1, 1, 0, 2}[static_cast<int>(lo)]; };
    EXPECT_DOUBLE_EQ(chi2(expected, sample.size(), data), 1.0 + 0.5);
    // No values: every bin adds its expectation.
    EXPECT_DOUBLE_EQ(chi2(expected, 0, data), 4.0);
    // A count where nothing is expected.
    EXPECT_EQ(chi2([](double, double) { return 0.0; }, 1, data), std::numeric_limits<double>::infinity());
}

TEST(Chi2, OtherStatisticsSumOverBins) {
    const Chi2 chi2(2, 0.0, 2.0, false);
    const auto width = [](double lo, double hi) { return hi - lo; };
    const auto twice = [](double lo, double hi) { return 2 * (hi - lo); };
    EXPECT_DOUBLE_EQ(chi2(width, twice), 2.0);
    // Evaluated at the centres 0.5 and 1.5.
    EXPECT_DOUBLE_EQ(chi2([](double c) { return c; }, [](double c) { return c + 1; }), 2.0 + 2.0 / 3);
    EXPECT_TRUE(std::isnan(chi2([](double) { return 0.0; }, [](double) { return 0.0; })));
    const std::vector<double> reference{0.5, 0.6, 1.5}, sample{0.5, 1.2, 1.5};
    EXPECT_DOUBLE_EQ(chi2(3, [&](std::size_t i) { return reference[i]; }, [&](std::size_t i) { return sample[i]; }),
                     0.5 + 1.0);
    EXPECT_DOUBLE_EQ(Chi2::chi2({1.0, 4.0}, {2.0, 2.0}), 1.0 + 1.0);
    EXPECT_EQ(Chi2::chi2({}, {}), 0.0);
}

TEST(Chi2, ExpectedCountBuilders) {
    EXPECT_DOUBLE_EQ(Chi2::uniform(50, 0.0, 10.0)(2.0, 4.0), 10.0);
    EXPECT_DOUBLE_EQ(Chi2::normal(100, 1.0, 2.0)(1.0, 3.0), 100 * 0.5 * std::erf(1 / std::sqrt(2.0)));
    EXPECT_DOUBLE_EQ(Chi2::power_law(100, -1.0, 1.0, 100.0)(1.0, 10.0), 50.0);
    EXPECT_DOUBLE_EQ(Chi2::power_law(100, 1.0, 0.0, 2.0)(1.0, 2.0), 75.0);
    // Close to -1 the general form holds, and agrees with the logarithmic one.
    EXPECT_NEAR(Chi2::power_law(100, -0.999, 1.0, 100.0)(1.0, 10.0), 50.0, 0.2);
    EXPECT_NE(Chi2::power_law(100, -0.999, 1.0, 100.0)(1.0, 10.0), 50.0);
    EXPECT_DOUBLE_EQ(Chi2::poisson(100, 2.0)(1.0, 2.0), 100 * std::exp(-2.0) * 2);
    EXPECT_DOUBLE_EQ(Chi2::poisson(100, 2.0)(1.5, 2.5), 100 * std::exp(-2.0) * 2);
    EXPECT_DOUBLE_EQ(Chi2::poisson(100, 2.0)(-3.0, 0.0), 100 * std::exp(-2.0));
}

TEST(Chi2, QuantilesMatchTheTabulatedValues) {
    const Chi2 ten(10, 0.0, 1.0, false);
    const double expected[] = {2.1546, 2.557, 3.2433, 3.9391, 4.8667, 9.3404,
                               15.9889, 18.2995, 20.4758, 23.2061, 25.1696};
    for (int q = 0; q <= 10; ++q) EXPECT_NEAR(ten.quantile(static_cast<Q>(q)), expected[q], 1e-4) << q;
    EXPECT_NEAR(Chi2(12, 1.0, 2.0, true).quantile(Q::P0_9), 18.5487, 1e-4);
}

// The regularised lower incomplete gamma function P(k/2, x/2), the
// chi-square distribution function, by its power series.
double chi_square_cdf(double k, double x) {
    const double a = k / 2, h = x / 2;
    double term = 1 / a, sum = term;
    for (int n = 1; term > 1e-17 * sum; ++n) {
        term *= h / (a + n);
        sum += term;
    }
    return sum * std::exp(a * std::log(h) - h - std::lgamma(a));
}

// From 3 bins on the levels hold to about 0.002; the worst case, 3 bins at
// 0.05, is off by 0.003.
TEST(Chi2, QuantilesHitTheirLevelsFromThreeBinsOn) {
    const double levels[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.5, 0.9, 0.95, 0.975, 0.99, 0.995};
    for (std::size_t bins = 3; bins <= 30; ++bins) {
        const Chi2 chi2(bins, 0.0, 1.0, false);
        for (int q = 0; q <= 10; ++q) {
            const double level = chi_square_cdf(static_cast<double>(bins), chi2.quantile(static_cast<Q>(q)));
            EXPECT_NEAR(level, levels[q], 0.0035) << bins << " bins, level " << levels[q];
        }
    }
}

TEST(Chi2, Refusals) {
    EXPECT_THROW_MSG(Chi2(12, 0.0, 100.0, true), std::invalid_argument,
                     "Only positive min/max values are allowed for log bins!");
    EXPECT_THROW_MSG(Chi2(12, 1.0, -1.0, true), std::invalid_argument,
                     "Only positive min/max values are allowed for log bins!");
    EXPECT_THROW_MSG(Chi2(0, 0.0, 1.0, false), std::invalid_argument, "A chi-square test needs at least one bin!");
    EXPECT_THROW_MSG(Chi2::chi2({1.0}, {1.0, 2.0}), std::out_of_range, "Sizes of vectors do not match!");
}

}  // namespace
}  // namespace background
