#include <background/core/Factory.hpp>
#include <background/models/CosmicRayModel.hpp>
#include <background/models/PowerLawFlux.hpp>
#include <background/providers/MockProvider.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace background {
namespace {

using Events = std::vector<BackgroundEvent>;
using Showers = std::vector<Metadata>;
using Keys = std::vector<std::tuple<double, int, unsigned long>>;

constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The parameters the showers were thrown with; a test may claim others.
struct Throw {
    double index = -2.0;
    double r_max = 100.0;
    double theta_max = 0.5;
    double e_min = 10.0;
    double e_max = 1000.0;
};

Showers thrown(unsigned long n, const Throw& t = {}) {
    return MockProvider(n, t.index, t.e_min, t.e_max, t.r_max, t.theta_max).get_all_metadata();
}

struct ListProvider : ShowerProvider {
    explicit ListProvider(Showers showers) : showers(std::move(showers)) {}
    Showers get_all_metadata() override { return showers; }
    Metadata get_metadata(unsigned long uid) override { return showers.at(uid); }
    PEList get_pe_list(unsigned long) override { return {}; }
    Showers showers;
};

struct FixedFlux : Flux {
    FixedFlux(double density, double integral) : density(density), integral(integral) {}
    double flux_density(double) override { return density; }
    double integrate(double, double) override { return integral; }
    double density, integral;
};

// Proton-like spectrum at a rate of about 285 Hz through the thrown area and cone.
PowerLawFlux protons() { return PowerLawFlux(-2.7, 1.0, 1.0); }

CosmicRayModel build(Showers showers, Flux& flux, bool warn_invalid, const Throw& t = {}, unsigned long seed = 1) {
    ListProvider provider(std::move(showers));
    return CosmicRayModel(provider, flux, seed, 7, t.index, t.r_max, t.theta_max, t.e_min, t.e_max, warn_invalid);
}

CosmicRayModel build(Showers showers, bool warn_invalid, const Throw& t = {}) {
    PowerLawFlux flux = protons();
    return build(std::move(showers), flux, warn_invalid, t);
}

Keys keys(const Events& events) {
    Keys out;
    for (const BackgroundEvent& e : events) out.emplace_back(e.time, e.type, e.id);
    std::sort(out.begin(), out.end());
    return out;
}

// Rate per shower: its flux weight relative to the thrown spectrum, scaled so
// that all rates add up to area x solid angle x flux integral.
std::vector<double> expected_rates(const Showers& showers, Flux& flux, const Throw& t) {
    std::vector<double> rates;
    double sum = 0.0;
    for (const Metadata& m : showers) {
        rates.push_back(std::pow(m.energy, -t.index) * flux.flux_density(m.energy));
        sum += rates.back();
    }
    const double area = (kPi * t.r_max) * t.r_max;
    const double solid_angle = 2 * kPi * (1.0 - std::cos(t.theta_max));
    const double scale = ((area * flux.integrate(t.e_min, t.e_max)) * solid_angle) / sum;
    for (double& rate : rates) rate *= scale;
    return rates;
}

// A fresh std::poisson_distribution per shower and call, then the shower's
// uniform times. At mean 0 libstdc++ takes one variate, whose product with 1
// is at most exp(0); its distribution may not be asked for that mean under
// assertions, so that draw is spelled out.
Events reference_sample(std::mt19937_64& rng, const Showers& showers, const std::vector<double>& rates, double begin,
                        double end) {
    Events events;
    for (std::size_t i = 0; i < showers.size(); ++i) {
        const double mean = (end - begin) * rates[i];
        int k = 0;
        if (mean == 0) {
            rng();
        } else {
            k = std::poisson_distribution<int>(mean)(rng);
        }
        std::uniform_real_distribution<double> when(begin, end);
        for (; k > 0; --k) events.push_back({when(rng), 7, showers[i].uid});
    }
    return events;
}

// Means from about 0.01 (the multiplication method, mostly no arrival) over
// 5 (several factors) to 250 (the library's rejection method), and an empty
// interval; lengths repeat and change, as consecutive chunks do.
TEST(CosmicRayModel, StreamMatchesPoissonCountsThenUniformTimesShowerByShower) {
    const Showers showers = thrown(20);
    PowerLawFlux flux = protons();
    const std::vector<double> rates = expected_rates(showers, flux, {});
    ::testing::internal::CaptureStderr();  // 20 showers are too few for the core test
    CosmicRayModel model = build(showers, flux, true);
    ::testing::internal::GetCapturedStderr();
    std::mt19937_64 rng(1);
    std::size_t drawn = 0;
    for (auto [begin, end] : {std::pair{0.0, 1e-3}, {1e-3, 2e-3}, {2e-3, 3e-3}, {5.0, 5.0}, {5.0, 5.4}, {5.4, 5.8},
                              {6.0, 26.0}, {-3.0, -2.999}, {100.0, 100.4}, {100.4, 100.4}, {100.4, 100.401}}) {
        const Events events = model.sample(begin, end);
        EXPECT_TRUE(std::is_sorted(events.begin(), events.end(),
                                   [](const BackgroundEvent& a, const BackgroundEvent& b) { return a.time < b.time; }));
        EXPECT_EQ(keys(events), keys(reference_sample(rng, showers, rates, begin, end))) << begin << " " << end;
        drawn += events.size();
    }
    EXPECT_GT(drawn, 5000u);
}

// 100 s of arrivals: the count has a Poisson spread of sqrt(28500) = 169,
// allowed 5 times over.
TEST(CosmicRayModel, ArrivalRateIsAreaTimesSolidAngleTimesFluxIntegral) {
    CosmicRayModel model = build(thrown(1000), false);
    const Throw t;
    const double integral = 1.0 / 1.7 * (std::pow(t.e_min, -1.7) - std::pow(t.e_max, -1.7));
    const double rate = kPi * t.r_max * t.r_max * 2 * kPi * (1 - std::cos(t.theta_max)) * integral;
    double arrivals = 0;
    for (int i = 0; i < 200; ++i) arrivals += static_cast<double>(model.sample(i * 0.5, (i + 1) * 0.5).size());
    EXPECT_NEAR(arrivals, rate * 100, 5 * std::sqrt(rate * 100));
}

TEST(CosmicRayModel, ALibraryThrownAsClaimedPassesSilently) {
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(build(thrown(1000), false));
    EXPECT_NO_THROW(build(thrown(1000, {-1.0, 30.0, 1.2, 1.0, 1e5}), false, {-1.0, 30.0, 1.2, 1.0, 1e5}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// Each library fails the named tests only; without "warn_invalid" the first
// failure is thrown, with it every failure is printed and the model is built.
TEST(CosmicRayModel, DistributionTestsFailOrWarn) {
    const std::string energy = "Energy distribution does not follow E^-1!";
    const std::string radius = "Radius distribution is not linear!";
    const std::string core = "X-Y distribution is not uniform!";
    const std::string zenith = "Zenith distribution does not follow sin(theta)*cos(theta)!";
    const std::string azimuth = "Azimuth distribution is not uniform!";
    struct Case {
        std::function<void(Metadata&)> change;
        Throw claimed;
        std::vector<std::string> failures;
    };
    const auto keep = [](Metadata&) {};
    for (const Case& c : {
             Case{keep, {-1.0}, {energy}},
             {[](Metadata& m) { m.x *= 0.6, m.y *= 0.6; }, {}, {radius, core}},
             // Cores turned onto the axes keep their radius; only x is tested.
             {[](Metadata& m) {
                  const double r = std::hypot(m.x, m.y), a = kPi / 2 * static_cast<double>(m.uid % 4);
                  m.x = r * std::cos(a), m.y = r * std::sin(a);
              },
              {},
              {core}},
             // x passes, so y is tested.
             {[](Metadata& m) { m.y = std::abs(m.y); }, {}, {core}},
             {keep, {-2.0, 100.0, 0.7}, {zenith}},
             {[](Metadata& m) { m.phi *= 0.5; }, {}, {azimuth}},
         }) {
        Showers showers = thrown(1000);
        std::ranges::for_each(showers, c.change);
        EXPECT_THROW_MSG(build(showers, false, c.claimed), std::invalid_argument, c.failures.front());
        std::string warnings;
        for (const std::string& failure : c.failures) warnings += "[WARNING] " + failure + "\n";
        ::testing::internal::CaptureStderr();
        EXPECT_NO_THROW(build(showers, true, c.claimed));
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), warnings);
    }
}

// A bound fails whatever "warn_invalid" says; the offending shower is one of many.
TEST(CosmicRayModel, BoundsAndParametersAreChecked) {
    struct Case {
        std::function<void(Metadata&)> change;
        Throw claimed;
        std::string message;
    };
    const auto keep = [](Metadata&) {};
    for (const Case& c : {
             Case{[](Metadata& m) { m.energy = 2000; }, {}, "Shower with energy 2.000e+03 GeV found, maximum is 1.000e+03 GeV!"},
             {[](Metadata& m) { m.energy = 5; }, {}, "Shower with energy 5.000e+00 GeV found, minimum is 1.000e+01 GeV!"},
             {[](Metadata& m) { m.theta = 0.6; }, {}, "Shower with zenith 0.600 found, maximum is 0.500!"},
             {[](Metadata& m) { m.theta = -0.1; }, {}, "Shower with zenith -0.100 found, minimum is 0.000!"},
             {[](Metadata& m) { m.phi = 7.0; }, {}, "Shower with azimuth 7.000 found, maximum is 6.283!"},
             {[](Metadata& m) { m.phi = 2 * kPi + 0.002; }, {}, "Shower with azimuth 6.285 found, maximum is 6.283!"},
             {[](Metadata& m) { m.phi = -0.1; }, {}, "Shower with azimuth -0.100 found, minimum is 0.000!"},
             {[](Metadata& m) { m.x = -200; }, {}, "Shower with |x| = 200.000 m found, maximum is 100.000!"},
             {[](Metadata& m) { m.y = 200; }, {}, "Shower with |y| = 200.000 m found, maximum is 100.000!"},
             {keep, {-2.0, 0.0}, "All _max parameters have to be positive!"},
             {keep, {-2.0, 100.0, -0.5}, "All _max parameters have to be positive!"},
             {keep, {-2.0, 100.0, 0.5, 10.0, 0.0}, "All _max parameters have to be positive!"},
             {keep, {-2.0, 100.0, 0.5, 0.0}, "0 < e_min < e_max required!"},
             {keep, {-2.0, 100.0, 0.5, 1000.0}, "0 < e_min < e_max required!"},
         }) {
        Showers showers = thrown(1000);
        c.change(showers[500]);
        for (bool warn_invalid : {false, true}) {
            EXPECT_THROW_MSG(build(showers, warn_invalid, c.claimed), std::invalid_argument, c.message);
        }
    }
}

// An azimuth that rounded just above 2 pi: tolerated with two warnings, and
// not counted in the azimuth test.
TEST(CosmicRayModel, AzimuthRoundingIsToleratedOnlyWithWarnInvalid) {
    Showers showers = thrown(1000);
    showers[3].phi = 2 * kPi + 0.0005;
    EXPECT_THROW_MSG(build(showers, false), std::invalid_argument,
                     "Shower with azimuth 6.284 found, maximum is 6.283!");
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(build(showers, true));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[WARNING] Ignoring exception during bounds check caused by rounding error.\n"
              "[WARNING] Shower with azimuth 6.284 found, maximum is 6.283!\n");
}

// Nothing that is not a finite, non-negative rate may reach a Poisson draw.
TEST(CosmicRayModel, RefusesLibrariesAndFluxesThatGiveNoValidRates) {
    Showers nan_energy = thrown(1000);
    nan_energy[3].energy = kNaN;
    const Showers showers = thrown(1000);
    PowerLawFlux power = protons();
    PowerLawFlux negative(-2.7, -1.0, 1.0);
    FixedFlux zero(0.0, 5.0), huge(1e302, 5.0), nan_integral(1.0, kNaN), negative_integral(1.0, -1.0);
    struct Case {
        Showers showers;
        Flux& flux;
        std::string message;
    };
    for (const Case& c : {
             Case{{}, power, "The shower provider holds no showers!"},
             {nan_energy, power, "Shower 3 with energy nan GeV has the weight nan, which is negative or not finite!"},
             {showers, negative,
              format("Shower 0 with energy {} GeV has the weight {}, which is negative or not finite!",
                     showers[0].energy, std::pow(showers[0].energy, 2.0) * -std::pow(showers[0].energy, -2.7))},
             {showers, zero, "The shower weights sum to 0, which cannot normalise the rates!"},
             {showers, huge, "The shower weights sum to inf, which cannot normalise the rates!"},
             {showers, nan_integral,
              "Shower 0 gets the rate nan 1/s from the flux integral nan over 10-1000 GeV, which is negative or not "
              "finite!"},
         }) {
        EXPECT_THROW_MSG(build(c.showers, c.flux, true), std::invalid_argument, c.message);
    }
    EXPECT_THROW(build(showers, negative_integral, true), std::invalid_argument);
}

TEST(CosmicRayModel, RefusesIntervalsItCannotDraw) {
    CosmicRayModel model = build(thrown(100), false);
    EXPECT_THROW_MSG(model.sample(2.0, 1.0), std::out_of_range,
                     "Time 'begin=2.000000e+00' is after time `end=1.000000e+00`!");
    for (double end : {1e300, std::numeric_limits<double>::infinity(), kNaN}) {
        try {
            model.sample(0.0, end);
            ADD_FAILURE() << end;
        } catch (const std::invalid_argument& e) {
            const std::string prefix = format("Cannot sample [0 s, {} s): a mean of ", end);
            EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
        }
    }
    // None of the refusals advanced the engine.
    EXPECT_EQ(keys(model.sample(0.0, 10.0)), keys(build(thrown(100), false).sample(0.0, 10.0)));
}

// Each key reaches its own constructor argument: a swap would change the
// rates or the stream.
TEST(CosmicRayModelFactory, BuildsTheModelFromItsProviderAndFlux) {
    testing::TempDir dir;
    const auto settings = dir.write("settings.yaml", R"(
providers:
  showers: {class: MockProvider, theta_max: 0.5, r_max: 100.0, e_max: 1000.0, e_min: 10.0, index: -2.0, num_showers: 1000}
fluxes:
  protons: {class: PowerLawFlux, e_ref: 1.0, f_ref: 1.0, index: -2.7}
models:
  cosmic: {class: CosmicRayModel, provider: showers, flux: protons, warn_invalid: false, e_max: 1000.0, e_min: 10.0,
           theta_max: 0.5, r_max: 100.0, throw_index: -2.0, gen_type: 7, seed: -1}
  unknown_flux: {class: CosmicRayModel, provider: showers, flux: neutrinos}
)");
    Factory<BackgroundModel> models(settings);
    auto built = models.create_by_name("cosmic");
    PowerLawFlux flux = protons();
    CosmicRayModel direct = build(thrown(1000), flux, false, {}, ~0ul);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(keys(built->sample(i, i + 0.5)), keys(direct.sample(i, i + 0.5))) << i;
    EXPECT_THROW_MSG(models.create_by_name("unknown_flux"), std::out_of_range,
                     "Instance neutrinos is not defined in " + settings.string() + "!");
}

}  // namespace
}  // namespace background
