#include <background/models/Chi2.hpp>

#include <background/core/Format.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace background {

namespace {

// Coefficients of the approximate quantile, indexed by Chi2::Quantile.
constexpr double kA[] = {-3.643, -3.298, -2.787, -2.34, -1.83, 0.0, 1.82, 2.34, 2.78, 3.29, 3.63};
constexpr double kB[] = {1.8947, 1.327, 0.6, 0.082, -0.348, -0.67, -0.58, -0.15, 0.43, 1.3, 2.0};
constexpr double kC[] = {-2.14, -1.46, -0.69, -0.24, 0.0, 0.104, -0.34, -0.4, -0.4, -0.3, 0.0};

double squared_deviation(double expected, double observed) {
    const double diff = observed - expected;
    return diff * diff / expected;
}

// Up to this mean the terms are summed (some 76 sqrt(mu) of them, a few
// milliseconds at the limit); above it the closed approximation takes over,
// whose absolute error is below 1e-11 there and shrinks as the mean grows.
constexpr double kLargestSummedMean = 1e9;

// P(X <= k) as the terms t_0 = e^-mu, t_i = (t_(i-1) / i) * mu added in order,
// for a mean whose e^-mu is a normal double. Past the mode every later term is
// smaller, so once one no longer changes the sum the rest cannot either: the
// result is that of the full sum, and a huge k costs nothing.
double poisson_cdf_by_recurrence(double mu, double k) {
    double term = std::exp(-mu);
    double sum = term;
    for (double i = 1; i <= k; ++i) {
        term = (term / i) * mu;
        if (i > mu && sum + term == sum) break;
        sum += term;
    }
    return sum;
}

// P(X <= k) for a mean whose e^-mu underflows: the terms relative to the one
// at the mode, by the ratios t_(i+1) / t_i = mu / (i + 1), normalised by their
// sum. Neither e^-mu nor lgamma is needed (lgamma's rounding would cost
// digits at large arguments). Each direction ends where the terms leave the
// normal range, some 38 standard deviations out: below it they would shrink
// by ratios near 1 that round back to the same subnormal, for up to mu steps.
double poisson_cdf_by_ratios(double mu, double k) {
    constexpr double kSmallest = std::numeric_limits<double>::min();
    const double mode = std::floor(mu);
    double below = 0, above = 0;  // the terms with i <= k and those with i > k
    double term = 1;
    for (double i = mode; i >= 0 && term >= kSmallest; --i) {
        (i <= k ? below : above) += term;
        term *= i / mu;
    }
    term = 1;
    for (double i = mode + 1; term >= kSmallest; ++i) {
        term *= mu / i;
        (i <= k ? below : above) += term;
    }
    return below / (below + above);
}

// P(X <= k) = P(chi-square with 2(k + 1) degrees of freedom > 2 mu), by the
// Wilson-Hilferty normal approximation of the cube root of chi-square / dof:
// closed, so its cost does not grow with the mean, and the more accurate the
// more degrees of freedom. The cube root lies within about 1/sqrt(mu) of 1,
// so its distance from 1 is taken from the relative distance d of mu from
// k + 1, as c - 1 = d / (c^2 + c + 1) for c^3 = 1 + d; subtracting 1 from c
// would leave nothing of it at the largest means.
double poisson_cdf_by_wilson_hilferty(double mu, double k) {
    if (std::isinf(k)) return 1.0;
    const double d = (mu - (k + 1)) / (k + 1);
    const double c = std::cbrt(1 + d);
    const double spread = 1 / (9 * (k + 1));
    const double z = (d / (c * c + c + 1) + spread) / std::sqrt(spread);
    return 0.5 * std::erfc(z / std::sqrt(2.0));
}

double poisson_cdf(double mu, double k) {
    if (k < 0) return 0.0;
    if (std::exp(-mu) >= std::numeric_limits<double>::min()) return poisson_cdf_by_recurrence(mu, k);
    if (mu <= kLargestSummedMean) return poisson_cdf_by_ratios(mu, k);
    return poisson_cdf_by_wilson_hilferty(mu, k);
}

}  // namespace

Chi2::Chi2(std::size_t n, double min, double max, bool log) {
    if (log && (min <= 0 || max <= 0)) {
        throw std::invalid_argument("Only positive min/max values are allowed for log bins!");
    }
    // With no bins the single edge would be NaN and quantile() would divide by zero.
    if (n == 0) throw std::invalid_argument("A chi-square test needs at least one bin!");
    const double lo = log ? std::log(min) : min;
    const double hi = log ? std::log(max) : max;
    const double step = (hi - lo) / static_cast<double>(n);
    edges.resize(n + 1);
    for (std::size_t i = 0; i <= n; ++i) {
        const double edge = static_cast<double>(i) * step + lo;
        edges[i] = log ? std::exp(edge) : edge;
    }
}

std::size_t Chi2::bin_of(double x) const {
    const auto idx = static_cast<std::size_t>(std::lower_bound(edges.begin(), edges.end(), x) - edges.begin());
    return idx >= 1 && idx <= num_bins() ? idx - 1 : num_bins();
}

double Chi2::operator()(const Expected& expected, std::size_t n, const Sample& sample) const {
    std::vector<double> counts(num_bins() + 1, 0.0);  // the last slot collects what no bin holds
    for (std::size_t i = 0; i < n; ++i) counts[bin_of(sample(i))] += 1.0;
    double statistic = 0.0;
    for (std::size_t b = 0; b < num_bins(); ++b) {
        const double e = expected(edges[b], edges[b + 1]);
        if (counts[b] != e) statistic += squared_deviation(e, counts[b]);
    }
    return statistic;
}

double Chi2::operator()(const Expected& expected, const Expected& observed) const {
    double statistic = 0.0;
    for (std::size_t b = 0; b < num_bins(); ++b) {
        statistic += squared_deviation(expected(edges[b], edges[b + 1]), observed(edges[b], edges[b + 1]));
    }
    return statistic;
}

double Chi2::operator()(const Density& expected, const Density& observed) const {
    double statistic = 0.0;
    for (std::size_t b = 0; b < num_bins(); ++b) {
        const double centre = (edges[b + 1] + edges[b]) * 0.5;
        statistic += squared_deviation(expected(centre), observed(centre));
    }
    return statistic;
}

double Chi2::operator()(std::size_t n, const Sample& reference, const Sample& sample) const {
    std::vector<int> first(num_bins() + 1, 0);
    std::vector<int> second(num_bins() + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++first[bin_of(reference(i))];
    for (std::size_t i = 0; i < n; ++i) ++second[bin_of(sample(i))];
    double statistic = 0.0;
    for (std::size_t b = 0; b < num_bins(); ++b) {
        if (first[b] != second[b]) statistic += squared_deviation(first[b], second[b]);
    }
    return statistic;
}

double Chi2::quantile(Quantile q) const {
    const auto level = static_cast<int>(q);
    const double k = static_cast<double>(num_bins());
    const double a = kA[level];
    const double sign = a > 0 ? 1.0 : (a < 0 ? -1.0 : 0.0);
    const double t = std::sqrt(k) * sign + k;
    const double r = (a * std::sqrt(t) + k) + kB[level];
    return kC[level] / k + r;
}

double Chi2::chi2(const std::vector<double>& expected, const std::vector<double>& observed) {
    if (expected.size() != observed.size()) throw std::out_of_range("Sizes of vectors do not match!");
    double statistic = 0.0;
    for (std::size_t i = 0; i < expected.size(); ++i) statistic += squared_deviation(expected[i], observed[i]);
    return statistic;
}

Chi2::Expected Chi2::uniform(std::size_t n, double min, double max) {
    const auto count = static_cast<double>(n);
    return [count, min, max](double x0, double x1) { return ((x1 - x0) / (max - min)) * count; };
}

Chi2::Expected Chi2::normal(std::size_t n, double mu, double sigma) {
    const auto count = static_cast<double>(n);
    const double d = 1.4142135623730951 * sigma;
    return [count, mu, d](double x0, double x1) {
        return 0.5 * (std::erf((x1 - mu) / d) - std::erf((x0 - mu) / d)) * count;
    };
}

Chi2::Expected Chi2::power_law(std::size_t n, double index, double min, double max) {
    const auto count = static_cast<double>(n);
    if (index == -1.0) {
        const double d = std::log(max) - std::log(min);
        return [count, d](double x0, double x1) { return ((std::log(x1) - std::log(x0)) / d) * count; };
    }
    const double g = index + 1;
    const double d = std::pow(max, g) - std::pow(min, g);
    return [count, g, d](double x0, double x1) { return ((std::pow(x1, g) - std::pow(x0, g)) / d) * count; };
}

Chi2::Expected Chi2::poisson(std::size_t n, double mu) {
    if (!(mu >= 0 && std::isfinite(mu))) {
        throw std::invalid_argument(format("Poisson mean {} is negative or not finite!", mu));
    }
    const auto count = static_cast<double>(n);
    return [count, mu](double x0, double x1) {
        return count * (poisson_cdf(mu, std::floor(x1)) - poisson_cdf(mu, std::floor(x0)));
    };
}

}  // namespace background
