#include <background/models/CosmicRayModel.hpp>

#include <background/core/Format.hpp>
#include <background/core/Random.hpp>
#include <background/models/Chi2.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iostream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

namespace background {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
// libstdc++'s std::poisson_distribution multiplies uniform variates below
// this mean and switches to a rejection method from it on.
constexpr double kRejectionMean = 12;
// Larger means are refused before any draw. libstdc++'s rejection method
// rejects every candidate at or beyond INT_MAX, so its draw never returns for
// a mean whose candidates all lie there (2.2e9; 2.1e9 is still drawn). Long
// before that the events outgrow memory: a mean of this bound is a billion
// events of 24 bytes, some 26 GB, so half of INT_MAX loses nothing usable
// and keeps the draw well clear of the hang.
constexpr double kLargestMean = std::numeric_limits<int>::max() / 2;

struct Range {
    double min;
    double max;
};

// Projected rather than piped through a transform view: clang 14 cannot
// instantiate libstdc++ 12's views, and the fuzzers are built with it.
template <typename Value>
Range range_of(const std::vector<Metadata>& showers, Value value) {
    const auto [min, max] = std::ranges::minmax(showers, {}, value);
    return {std::invoke(value, min), std::invoke(value, max)};
}

void refuse_if(bool failed, const std::string& message) {
    if (failed) throw std::invalid_argument(message);
}

void warn(const std::string& message) { std::cerr << "[WARNING] " << message << "\n"; }

}  // namespace

class CosmicRayModel::Impl {
public:
    Impl(unsigned long seed, int gen_type) : rng(seed), gen_type(gen_type) {}

    std::vector<std::pair<unsigned long, double>> showers;
    std::mt19937_64 rng;
    int gen_type;

    // What a Poisson draw of each shower needs for intervals of one length,
    // kept for the last length sampled: exp(-mean) as libstdc++ computes it,
    // and the largest first engine output that draws no arrival (0 for a mean
    // that the library's rejection method draws: the bound of any smaller
    // mean exceeds exp(-12) * 2^64).
    double prepared_length = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> exp_minus_mean;
    std::vector<std::uint64_t> zero_arrivals_bound;
    double largest_rate = 0;

    static std::vector<Metadata> checked_load(ShowerProvider& provider, double throw_index, double r_max,
                                              double theta_max, double e_min, double e_max, bool warn_invalid);
    void assign_rates(const std::vector<Metadata>& list, Flux& flux, double throw_index, double r_max,
                      double theta_max, double e_min, double e_max);
    void prepare(double length);
    int draw_arrivals(std::size_t shower, double length, std::uint64_t first);
};

std::vector<Metadata> CosmicRayModel::Impl::checked_load(ShowerProvider& provider, double throw_index, double r_max,
                                                         double theta_max, double e_min, double e_max,
                                                         bool warn_invalid) {
    refuse_if(r_max <= 0 || theta_max <= 0 || e_max <= 0, "All _max parameters have to be positive!");
    // The zenith density sin(theta) cos(theta) and the solid angle it spans
    // hold only above the horizon; beyond it the expected zenith counts turn
    // negative and the test would pass any library.
    refuse_if(theta_max > kPi / 2,
              format("Setting theta_max = {} lies beyond the horizon at pi/2 = {}!", theta_max, kPi / 2));
    refuse_if(e_min <= 0 || e_min >= e_max, "0 < e_min < e_max required!");

    const std::vector<Metadata> list = provider.get_all_metadata();
    // Bounds and tests need showers, and the rates are normalised by their weights.
    refuse_if(list.empty(), "The shower provider holds no showers!");

    const Range energy = range_of(list, &Metadata::energy);
    const Range theta = range_of(list, &Metadata::theta);
    const Range phi = range_of(list, &Metadata::phi);
    const Range x = range_of(list, [](const Metadata& m) { return std::abs(m.x); });
    const Range y = range_of(list, [](const Metadata& m) { return std::abs(m.y); });
    refuse_if(energy.max > e_max, format("Shower with energy {:.3e} GeV found, maximum is {:.3e} GeV!", energy.max, e_max));
    refuse_if(energy.min < e_min, format("Shower with energy {:.3e} GeV found, minimum is {:.3e} GeV!", energy.min, e_min));
    refuse_if(theta.max > theta_max, format("Shower with zenith {:.3f} found, maximum is {:.3f}!", theta.max, theta_max));
    refuse_if(theta.min < 0, format("Shower with zenith {:.3f} found, minimum is {:.3f}!", theta.min, 0.0));
    if (phi.max > kTwoPi) {
        const std::string message = format("Shower with azimuth {:.3f} found, maximum is {:.3f}!", phi.max, kTwoPi);
        // An azimuth computed as 2 pi can round just above it.
        refuse_if(!warn_invalid || !(phi.max - kTwoPi < 0.001), message);
        warn("Ignoring exception during bounds check caused by rounding error.");
        warn(message);
    }
    refuse_if(phi.min < 0, format("Shower with azimuth {:.3f} found, minimum is {:.3f}!", phi.min, 0.0));
    refuse_if(x.max > r_max, format("Shower with |x| = {:.3f} m found, maximum is {:.3f}!", x.max, r_max));
    refuse_if(y.max > r_max, format("Shower with |y| = {:.3f} m found, maximum is {:.3f}!", y.max, r_max));

    const std::size_t n = list.size();
    const auto count = static_cast<double>(n);
    const auto fails = [n](const Chi2& test, const Chi2::Expected& expected, const Chi2::Sample& data,
                           Chi2::Quantile level) { return test(expected, n, data) > test.quantile(level); };
    const auto report = [warn_invalid](const std::string& message) {
        refuse_if(!warn_invalid, message);
        warn(message);
    };
    const Chi2::Sample core_x = Chi2::func(list, &Metadata::x);
    const Chi2::Sample core_y = Chi2::func(list, &Metadata::y);
    const Chi2::Sample radius = [&](std::size_t i) { return std::hypot(core_x(i), core_y(i)); };
    // Each core coordinate of a uniform disc follows the chord length; u is
    // clamped because the outer edges may round just beyond the disc.
    const auto chord = [](double u) {
        u = std::clamp(u, -1.0, 1.0);
        return u * std::sqrt(1 - u * u) + std::asin(u);
    };
    const Chi2::Expected coordinate = [=](double lo, double hi) {
        return count * ((chord(hi / r_max) - chord(lo / r_max)) / kPi);
    };
    const Chi2::Expected zenith = [=](double lo, double hi) {
        return count * ((std::cos(2 * hi) - std::cos(2 * lo)) / (std::cos(2 * theta_max) - 1.0));
    };

    if (fails(Chi2(12, e_min, e_max, true), Chi2::power_law(n, throw_index, e_min, e_max),
              Chi2::func(list, &Metadata::energy), Chi2::Quantile::P0_9)) {
        report(format("Energy distribution does not follow E^{}!", throw_index));
    }
    if (fails(Chi2(10, 0.0, r_max, false), Chi2::power_law(n, 1.0, 0.0, r_max), radius, Chi2::Quantile::P0_95)) {
        report("Radius distribution is not linear!");
    }
    const Chi2 core(10, -r_max, r_max, false);
    if (fails(core, coordinate, core_x, Chi2::Quantile::P0_95) ||
        fails(core, coordinate, core_y, Chi2::Quantile::P0_95)) {
        report("X-Y distribution is not uniform!");
    }
    if (fails(Chi2(10, 0.0, theta_max, false), zenith, Chi2::func(list, &Metadata::theta), Chi2::Quantile::P0_9)) {
        report("Zenith distribution does not follow sin(theta)*cos(theta)!");
    }
    if (fails(Chi2(10, 0.0, kTwoPi, false), Chi2::uniform(n, 0.0, kTwoPi), Chi2::func(list, &Metadata::phi),
              Chi2::Quantile::P0_95)) {
        report("Azimuth distribution is not uniform!");
    }
    return list;
}

// Every rate must be a finite, non-negative Poisson rate: a NaN or negative
// one would reach the draws, so the cause is named here instead.
void CosmicRayModel::Impl::assign_rates(const std::vector<Metadata>& list, Flux& flux, double throw_index,
                                        double r_max, double theta_max, double e_min, double e_max) {
    // The weight is the ratio of the wanted spectrum to the thrown one.
    double sum = 0.0;
    showers.reserve(list.size());
    for (const Metadata& shower : list) {
        const double weight = std::pow(shower.energy, -throw_index) * flux.flux_density(shower.energy);
        refuse_if(!(weight >= 0 && std::isfinite(weight)),
                  format("Shower {} with energy {} GeV has the weight {}, which is negative or not finite!",
                         shower.uid, shower.energy, weight));
        showers.emplace_back(shower.uid, weight);
        sum += weight;
    }
    const double area = (kPi * r_max) * r_max;
    const double solid_angle = kTwoPi * (1.0 - std::cos(theta_max));
    const double integral = flux.integrate(e_min, e_max);
    refuse_if(!(sum > 0 && std::isfinite(sum)),
              format("The shower weights sum to {}, which cannot normalise the rates!", sum));
    const double scale = ((area * integral) * solid_angle) / sum;
    for (auto& [uid, rate] : showers) {
        rate *= scale;
        refuse_if(!(rate >= 0 && std::isfinite(rate)),
                  format("Shower {} gets the rate {} 1/s from the flux integral {} over {}-{} GeV, which is "
                         "negative or not finite!",
                         uid, rate, integral, e_min, e_max));
        largest_rate = std::max(largest_rate, rate);
    }
}

void CosmicRayModel::Impl::prepare(double length) {
    if (length == prepared_length) return;
    exp_minus_mean.resize(showers.size());
    zero_arrivals_bound.resize(showers.size());
    for (std::size_t i = 0; i < showers.size(); ++i) {
        const double mean = length * showers[i].second;
        const bool multiplied = mean < kRejectionMean;
        exp_minus_mean[i] = multiplied ? std::exp(-mean) : 0.0;
        zero_arrivals_bound[i] = multiplied ? last_output_not_above(exp_minus_mean[i]) : 0;
    }
    prepared_length = length;
}

// Bit for bit the draw of a fresh std::poisson_distribution<int> with mean
// length * rate, of which the caller has taken the first engine output when
// the mean is below the rejection mean. There the library multiplies uniform
// variates until the product is at most exp(-mean); a first output up to the
// prepared bound has ended that with no arrival. The same path serves a mean
// of 0, which the library's own distribution refuses under assertions.
[[gnu::noinline]] int CosmicRayModel::Impl::draw_arrivals(std::size_t shower, double length,
                                                          std::uint64_t first) {
    if (zero_arrivals_bound[shower] == 0) {
        return std::poisson_distribution<int>(length * showers[shower].second)(rng);
    }
    const double threshold = exp_minus_mean[shower];
    double product = canonical_from_output(first);
    int factors = 1;
    do {
        product *= canonical_double(rng);
        ++factors;
    } while (product > threshold);
    return factors - 1;
}

CosmicRayModel::CosmicRayModel(ShowerProvider& provider, Flux& flux, unsigned long seed, int gen_type,
                               double throw_index, double r_max, double theta_max, double e_min, double e_max,
                               bool warn_invalid) {
    const std::vector<Metadata> list =
        Impl::checked_load(provider, throw_index, r_max, theta_max, e_min, e_max, warn_invalid);
    impl = std::make_unique<Impl>(seed, gen_type);
    impl->assign_rates(list, flux, throw_index, r_max, theta_max, e_min, e_max);
}

CosmicRayModel::~CosmicRayModel() = default;

std::vector<BackgroundEvent> CosmicRayModel::sample(double begin, double end) {
    if (begin > end) throw std::out_of_range(format("Time 'begin={:e}' is after time `end={:e}`!", begin, end));
    Impl& d = *impl;
    std::vector<BackgroundEvent> events;
    if (d.showers.empty()) return events;
    const double length = end - begin;
    // Also refuses an interval that is not finite, whose mean would be NaN.
    if (!(length * d.largest_rate < kLargestMean)) {
        throw std::invalid_argument(format("Cannot sample [{} s, {} s): a mean of {} arrivals of one shower is "
                                           "too large to draw!",
                                           begin, end, length * d.largest_rate));
    }
    d.prepare(length);
    // Per shower in table order: its count, then its uniform times. Most
    // showers draw no arrival, which one engine output decides.
    const std::uint64_t* bound = d.zero_arrivals_bound.data();
    for (std::size_t i = 0; i < d.showers.size(); ++i) {
        std::uint64_t first = 0;
        if (bound[i] != 0 && (first = d.rng()) <= bound[i]) continue;
        for (int k = d.draw_arrivals(i, length, first); k > 0; --k) {
            events.push_back({canonical_double(d.rng) * length + begin, d.gen_type, d.showers[i].first});
        }
    }
    std::ranges::sort(events, std::ranges::less{}, &BackgroundEvent::time);
    return events;
}

}  // namespace background
