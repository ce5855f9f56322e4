#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace background {

/// Binned chi-square goodness of fit over a fixed set of bins (lo, hi],
/// linear or logarithmic, with an approximate chi-square quantile whose
/// degrees of freedom are the number of bins.
class Chi2 {
public:
    /// Expected (or observed) number of values in the bin (lo, hi].
    using Expected = std::function<double(double, double)>;
    /// The i-th value of a sample.
    using Sample = std::function<double(std::size_t)>;
    /// A function of one value, evaluated at the bin centre.
    using Density = std::function<double(double)>;

    /// Cumulative probabilities at which quantile() is tabulated.
    enum class Quantile : int { P0_005, P0_01, P0_025, P0_05, P0_1, P0_5, P0_9, P0_95, P0_975, P0_99, P0_995 };

    /// n bins from min to max, equal in ln x when `log` is set.
    Chi2(std::size_t n, double min, double max, bool log);

    /// Bins sample(0) ... sample(n - 1) and compares the counts with `expected`.
    double operator()(const Expected& expected, std::size_t n, const Sample& sample) const;
    double operator()(const Expected& expected, const Expected& observed) const;
    double operator()(const Density& expected, const Density& observed) const;
    /// Two samples of n values each, the first taken as the expectation.
    double operator()(std::size_t n, const Sample& reference, const Sample& sample) const;

    /// Approximate chi-square quantile at `q` for as many degrees of freedom as bins.
    double quantile(Quantile q) const;

    static double chi2(const std::vector<double>& expected, const std::vector<double>& observed);

    static Expected uniform(std::size_t n, double min, double max);
    static Expected normal(std::size_t n, double mu, double sigma);
    /// Density proportional to x^index between min and max.
    static Expected power_law(std::size_t n, double index, double min, double max);
    /// Poisson with mean mu; refuses a mean that is negative or not finite.
    static Expected poisson(std::size_t n, double mu);

    /// Accessor of member `m` of the elements of `c`, which must outlive it.
    template <typename Container>
    static Sample func(Container& c, double Container::value_type::*m) {
        return [&c, m](std::size_t i) { return c[i].*m; };
    }

private:
    std::size_t num_bins() const { return edges.size() - 1; }
    /// The bin of x, or num_bins() when x lies outside every bin (or is NaN).
    std::size_t bin_of(double x) const;

    std::vector<double> edges;
};

}  // namespace background
