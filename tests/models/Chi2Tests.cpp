#include <background/models/Chi2.hpp>

#include "support/TestHelpers.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace background {
namespace {

using Q = Chi2::Quantile;

// The bin one value is counted in, or -1 when it is dropped: only the bin expecting 1 turns a count of 1
// into nothing; a count in a bin expecting 0 adds infinity, a drop leaves (0 - 1)^2 / 1.
int landing_bin(const Chi2& chi2, double x, int bins) {
    for (int b = 0, call = 0; b < bins; ++b, call = 0) {
        if (chi2([&](double, double) { return call++ == b ? 1.0 : 0.0; }, 1, [=](std::size_t) { return x; }) == 0) return b;
    }
    return -1;
}

TEST(Chi2, BinsAreOpenBelowAndClosedAbove) {
    const Chi2 linear(10, 0.0, 1.0, false), log(12, 1.0, 100.0, true);
    for (auto [value, bin] : {std::pair{0.0, -1}, {0.05, 0}, {0.1, 0}, {std::nextafter(0.1, 1.0), 1}, {0.3 * 3, 8},
                              {1.0, 9}, {std::nextafter(1.0, 2.0), -1}, {-0.5, -1}, {std::nan(""), -1}}) {
        EXPECT_EQ(landing_bin(linear, value, 10), bin) << value;
    }
    for (auto [value, bin] : {std::pair{0.5, -1}, {1.1, 0}, {11.0, 6}, {99.0, 11}, {150.0, -1}}) {
        EXPECT_EQ(landing_bin(log, value, 12), bin) << value;
    }
}

TEST(Chi2, StatisticsExpectedCountsAndRefusals) {
    const Chi2 four(4, 0.0, 4.0, false), two(2, 0.0, 2.0, false);
    const std::vector<double> sample{0.5, 1.5, 1.7, 3.2, 3.3, 3.9, 9.0}, reference{0.5, 0.6, 1.5}, other{0.5, 1.2, 1.5};
    const auto at = [](const std::vector<double>& v) { return [&v](std::size_t i) { return v[i]; }; };
    // Counts 1, 2, 0, 3 against 1, 1, 0, 2: only bins 1 and 3 add; a count where none is expected adds infinity.
    const auto expected = [](double lo, double) { return std::vector<double>{1, 1, 0, 2}[static_cast<int>(lo)]; };
    EXPECT_DOUBLE_EQ(four(expected, sample.size(), at(sample)), 1.0 + 0.5);
    EXPECT_DOUBLE_EQ(four(expected, 0, at(sample)), 4.0);
    EXPECT_EQ(four([](double, double) { return 0.0; }, 1, at(sample)), std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(two([](double lo, double hi) { return hi - lo; }, [](double lo, double hi) { return 2 * (hi - lo); }),
                     2.0);
    EXPECT_DOUBLE_EQ(two([](double c) { return c; }, [](double c) { return c + 1; }), 2.0 + 2.0 / 3) << "bin centres";
    EXPECT_DOUBLE_EQ(two(3, at(reference), at(other)), 0.5 + 1.0);
    EXPECT_DOUBLE_EQ(Chi2::chi2({1.0, 4.0}, {2.0, 2.0}), 1.0 + 1.0);
    EXPECT_DOUBLE_EQ(Chi2::uniform(50, 0.0, 10.0)(2.0, 4.0), 10.0);
    EXPECT_DOUBLE_EQ(Chi2::normal(100, 1.0, 2.0)(1.0, 3.0), 50 * std::erf(1 / std::sqrt(2.0)));
    EXPECT_DOUBLE_EQ(Chi2::power_law(100, -1.0, 1.0, 100.0)(1.0, 10.0), 50.0);
    EXPECT_DOUBLE_EQ(Chi2::power_law(100, 1.0, 0.0, 2.0)(1.0, 2.0), 75.0);
    EXPECT_DOUBLE_EQ(Chi2::poisson(100, 2.0)(1.5, 2.5), 100 * std::exp(-2.0) * 2);
    EXPECT_DOUBLE_EQ(Chi2::poisson(100, 2.0)(-3.0, 0.0), 100 * std::exp(-2.0));
    const std::string log_bins = "Only positive min/max values are allowed for log bins!";
    EXPECT_THROW_MSG(Chi2(12, 0.0, 100.0, true), std::invalid_argument, log_bins);
    EXPECT_THROW_MSG(Chi2(12, 1.0, -1.0, true), std::invalid_argument, log_bins);
    EXPECT_THROW_MSG(Chi2(0, 0.0, 1.0, false), std::invalid_argument, "A chi-square test needs at least one bin!");
    EXPECT_THROW_MSG(Chi2::chi2({1.0}, {1.0, 2.0}), std::out_of_range, "Sizes of vectors do not match!");
}

// The regularised lower incomplete gamma function P(k/2, x/2), the chi-square distribution function.
double chi_square_cdf(double k, double x) {
    const double a = k / 2, h = x / 2;
    double term = 1 / a, sum = term;
    for (int n = 1; term > 1e-17 * sum; ++n) sum += (term *= h / (a + n));
    return sum * std::exp(a * std::log(h) - h - std::lgamma(a));
}

// The tabulated 10-bin values, and from 3 bins on each level within 0.0035 (worst: 3 bins at 0.05).
TEST(Chi2, QuantilesHitTheirLevels) {
    const double ten[] = {2.1546, 2.557, 3.2433, 3.9391, 4.8667, 9.3404, 15.9889, 18.2995, 20.4758, 23.2061, 25.1696};
    const double levels[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.5, 0.9, 0.95, 0.975, 0.99, 0.995};
    for (int q = 0; q <= 10; ++q) {
        EXPECT_NEAR(Chi2(10, 0.0, 1.0, false).quantile(Q(q)), ten[q], 1e-4) << q;
        for (std::size_t bins = 3; bins <= 30; ++bins) {
            const double level = chi_square_cdf(static_cast<double>(bins), Chi2(bins, 0.0, 1.0, false).quantile(Q(q)));
            EXPECT_NEAR(level, levels[q], 0.0035) << bins << " bins, level " << levels[q];
        }
    }
    EXPECT_NEAR(Chi2(12, 1.0, 2.0, true).quantile(Q::P0_9), 18.5487, 1e-4);
}

}  // namespace
}  // namespace background
