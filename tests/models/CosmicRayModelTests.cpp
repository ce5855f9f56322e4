#include <background/core/Format.hpp>
#include <background/models/CosmicRayModel.hpp>
#include <background/models/PowerLawFlux.hpp>
#include <background/providers/MockProvider.hpp>

#include "support/TestHelpers.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <tuple>

namespace background {
namespace {

using Events = std::vector<BackgroundEvent>;
using Showers = std::vector<Metadata>;
constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The parameters the showers were thrown with; a test may claim others.
struct Throw {
    double index = -2.0, r_max = 100.0, theta_max = 0.5, e_min = 10.0, e_max = 1000.0;
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

PowerLawFlux protons() { return PowerLawFlux(-2.7, 1.0, 1.0); }  // about 285 Hz through the thrown area and cone

CosmicRayModel build(Showers showers, bool warn_invalid, const Throw& t = {}, Flux* flux = nullptr) {
    ListProvider provider(std::move(showers));
    PowerLawFlux power = protons();
    return CosmicRayModel(provider, flux ? *flux : power, 1, 7, t.index, t.r_max, t.theta_max, t.e_min, t.e_max,
                          warn_invalid);
}

// What building with "warn_invalid" prints.
std::string warnings(const Showers& showers, const Throw& claimed = {}) {
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(build(showers, true, claimed));
    return ::testing::internal::GetCapturedStderr();
}

std::vector<std::tuple<double, int, unsigned long>> keys(const Events& events) {
    std::vector<std::tuple<double, int, unsigned long>> out;
    for (const BackgroundEvent& e : events) out.emplace_back(e.time, e.type, e.id);
    std::sort(out.begin(), out.end());
    return out;
}

// Rate per shower: its flux weight relative to the thrown spectrum, the rates adding up to area x solid
// angle x flux integral. Then per call a fresh std::poisson_distribution per shower followed by that
// shower's uniform times; at mean 0 libstdc++ takes one variate (asserting on such a distribution).
// Means run from about 0.01 over 5 to 250 (the library's rejection method).
TEST(CosmicRayModel, StreamIsPoissonCountsThenUniformTimesShowerByShower) {
    const Showers showers = thrown(20);
    PowerLawFlux flux = protons();
    std::vector<double> rates;
    for (const Metadata& m : showers) rates.push_back(std::pow(m.energy, 2.0) * flux.flux_density(m.energy));
    const double sum = std::accumulate(rates.begin(), rates.end(), 0.0);
    const double scale = kPi * 100.0 * 100.0 * flux.integrate(10.0, 1000.0) * 2 * kPi * (1.0 - std::cos(0.5)) / sum;
    ::testing::internal::CaptureStderr();  // 20 showers are too few for the core test
    CosmicRayModel model = build(showers, true);
    ::testing::internal::GetCapturedStderr();
    std::mt19937_64 rng(1);
    for (auto [begin, end] : {std::pair{0.0, 1e-3}, {1e-3, 2e-3}, {5.0, 5.0}, {5.0, 5.4}, {5.4, 5.8}, {6.0, 26.0},
                              {-3.0, -2.999}, {100.4, 100.4}, {100.4, 100.401}}) {
        if (begin == 6.0) {  // refusals leave the engine alone
            EXPECT_THROW_MSG(model.sample(2.0, 1.0), std::out_of_range,
                             "Time 'begin=2.000000e+00' is after time `end=1.000000e+00`!");
            for (double bad : {1e300, std::numeric_limits<double>::infinity(), kNaN}) {
                EXPECT_THROW(model.sample(0.0, bad), std::invalid_argument) << bad;
            }
        }
        const Events events = model.sample(begin, end);
        Events expected;
        for (std::size_t i = 0; i < showers.size(); ++i) {
            const double mean = (end - begin) * rates[i] * scale;
            int k = mean == 0 ? (rng(), 0) : std::poisson_distribution<int>(mean)(rng);
            for (std::uniform_real_distribution<double> when(begin, end); k > 0; --k) {
                expected.push_back({when(rng), 7, showers[i].uid});
            }
        }
        EXPECT_TRUE(std::ranges::is_sorted(events, {}, &BackgroundEvent::time)) << begin;
        EXPECT_EQ(keys(events), keys(expected)) << begin << " " << end;
    }
}

// 100 s of arrivals: the count has a Poisson spread of sqrt(28500) = 169, allowed 5 times over.
TEST(CosmicRayModel, ArrivalRateIsAreaTimesSolidAngleTimesFluxIntegral) {
    CosmicRayModel model = build(thrown(1000), false);
    const double integral = (std::pow(10.0, -1.7) - std::pow(1000.0, -1.7)) / 1.7;
    const double rate = kPi * 100.0 * 100.0 * 2 * kPi * (1 - std::cos(0.5)) * integral;
    double arrivals = 0;
    for (int i = 0; i < 200; ++i) arrivals += static_cast<double>(model.sample(i * 0.5, (i + 1) * 0.5).size());
    EXPECT_NEAR(arrivals, rate * 100, 5 * std::sqrt(rate * 100));
}

// Each library fails the named tests only: without "warn_invalid" the first failure is thrown, with it
// every failure is printed and the model is built.
TEST(CosmicRayModel, DistributionTestsFailOrWarn) {
    EXPECT_EQ(warnings(thrown(1000)), "");
    EXPECT_EQ(warnings(thrown(1000, {-1.0, 30.0, 1.2, 1.0, 1e5}), {-1.0, 30.0, 1.2, 1.0, 1e5}), "");
    const std::string energy = "Energy distribution does not follow E^-1!", radius = "Radius distribution is not linear!";
    const std::string core = "X-Y distribution is not uniform!", azimuth = "Azimuth distribution is not uniform!";
    const auto keep = [](Metadata&) {};
    for (const auto& [change, claimed, failures] : std::vector<std::tuple<std::function<void(Metadata&)>, Throw, std::vector<std::string>>>{
             {keep, {-1.0}, {energy}},
             {[](Metadata& m) { m.x *= 0.6, m.y *= 0.6; }, {}, {radius, core}},
             // Cores turned onto the axes keep their radius; only x is tested.
             {[](Metadata& m) {
                  const double r = std::hypot(m.x, m.y), a = kPi / 2 * static_cast<double>(m.uid % 4);
                  m.x = r * std::cos(a), m.y = r * std::sin(a);
              }, {}, {core}},
             {[](Metadata& m) { m.y = std::abs(m.y); }, {}, {core}},  // x passes, so y is tested
             {keep, {-2.0, 100.0, 0.7}, {"Zenith distribution does not follow sin(theta)*cos(theta)!"}},
             {[](Metadata& m) { m.phi *= 0.5; }, {}, {azimuth}}}) {
        Showers showers = thrown(1000);
        std::ranges::for_each(showers, change);
        EXPECT_THROW_MSG(build(showers, false, claimed), std::invalid_argument, failures.front());
        std::string printed;
        for (const std::string& failure : failures) printed += "[WARNING] " + failure + "\n";
        EXPECT_EQ(warnings(showers, claimed), printed);
    }
    // An azimuth that rounded just above 2 pi is tolerated with "warn_invalid" and left out of the azimuth test.
    Showers rounded = thrown(1000);
    rounded[3].phi = 2 * kPi + 0.0005;
    const std::string bound = "Shower with azimuth 6.284 found, maximum is 6.283!";
    EXPECT_THROW_MSG(build(rounded, false), std::invalid_argument, bound);
    EXPECT_EQ(warnings(rounded), "[WARNING] Ignoring exception during bounds check caused by rounding error.\n[WARNING] " +
                                     bound + "\n");
}

Showers changed(const std::function<void(Metadata&)>& change, std::size_t at = 500) {
    Showers showers = thrown(1000);
    change(showers.at(at));
    return showers;
}

// Bounds, parameters (in the order checked) and rates fail whatever "warn_invalid" says; nothing that is
// not a finite, non-negative rate may reach a Poisson draw.
TEST(CosmicRayModel, Refusals) {
    const Showers good = thrown(1000);
    const auto& first = good[0];
    PowerLawFlux negative(-2.7, -1.0, 1.0);
    FixedFlux zero(0.0, 5.0), huge(1e302, 5.0), nan_integral(1.0, kNaN), negative_integral(1.0, -1.0);
    const std::string max = "All _max parameters have to be positive!", order = "0 < e_min < e_max required!";
    struct Case {
        Showers showers;
        Throw claimed;
        Flux* flux;
        std::string message;
    };
    for (const auto& [showers, claimed, flux, message] : std::vector<Case>{
             {changed([](Metadata& m) { m.energy = 2000; }), {}, nullptr, "Shower with energy 2.000e+03 GeV found, maximum is 1.000e+03 GeV!"},
             {changed([](Metadata& m) { m.energy = 5; }), {}, nullptr, "Shower with energy 5.000e+00 GeV found, minimum is 1.000e+01 GeV!"},
             {changed([](Metadata& m) { m.theta = 0.6; }), {}, nullptr, "Shower with zenith 0.600 found, maximum is 0.500!"},
             {changed([](Metadata& m) { m.theta = -0.1; }), {}, nullptr, "Shower with zenith -0.100 found, minimum is 0.000!"},
             {changed([](Metadata& m) { m.phi = 7.0; }), {}, nullptr, "Shower with azimuth 7.000 found, maximum is 6.283!"},
             {changed([](Metadata& m) { m.phi = 2 * kPi + 0.002; }), {}, nullptr, "Shower with azimuth 6.285 found, maximum is 6.283!"},
             {changed([](Metadata& m) { m.phi = -0.1; }), {}, nullptr, "Shower with azimuth -0.100 found, minimum is 0.000!"},
             {changed([](Metadata& m) { m.x = -200; }), {}, nullptr, "Shower with |x| = 200.000 m found, maximum is 100.000!"},
             {changed([](Metadata& m) { m.y = 200; }), {}, nullptr, "Shower with |y| = 200.000 m found, maximum is 100.000!"},
             {good, {-2.0, 0.0}, nullptr, max},
             {good, {-2.0, 100.0, -0.5}, nullptr, max},
             {good, {-2.0, 100.0, 0.5, 10.0, 0.0}, nullptr, max},
             {good, {-2.0, 100.0, 0.5, 0.0}, nullptr, order},
             {good, {-2.0, 100.0, 0.5, 1000.0}, nullptr, order},
             {{}, {}, nullptr, "The shower provider holds no showers!"},
             {changed([](Metadata& m) { m.energy = kNaN; }, 3), {}, nullptr,
              "Shower 3 with energy nan GeV has the weight nan, which is negative or not finite!"},
             {good, {}, &negative,
              format("Shower 0 with energy {} GeV has the weight {}, which is negative or not finite!", first.energy,
                     -std::pow(first.energy, 2.0) * std::pow(first.energy, -2.7))},
             {good, {}, &zero, "The shower weights sum to 0, which cannot normalise the rates!"},
             {good, {}, &huge, "The shower weights sum to inf, which cannot normalise the rates!"},
             {good, {}, &nan_integral,
              "Shower 0 gets the rate nan 1/s from the flux integral nan over 10-1000 GeV, which is negative or not finite!"}}) {
        for (bool warn_invalid : {false, true}) {
            EXPECT_THROW_MSG(build(showers, warn_invalid, claimed, flux), std::invalid_argument, message);
        }
    }
    EXPECT_THROW(build(good, true, {}, &negative_integral), std::invalid_argument);
}

}  // namespace
}  // namespace background
