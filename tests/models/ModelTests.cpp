#include <background/core/Factory.hpp>
#include <background/core/IOError.hpp>
#include <background/models/CachedModel.hpp>
#include <background/models/CosmicRayModel.hpp>
#include <background/models/DarkCountModel.hpp>
#include <background/models/GenericModel.hpp>
#include <background/models/PowerLawFlux.hpp>
#include <background/providers/MockProvider.hpp>
#include <background/storage/Serializer.hpp>

#include "support/TestHelpers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>

namespace background {
namespace {

using Events = std::vector<BackgroundEvent>;
using testing::TempDir;

// Equal times may come in either order from the model's sort.
std::vector<std::tuple<double, int, unsigned long>> keys(const Events& events, bool sorted = true) {
    std::vector<std::tuple<double, int, unsigned long>> out;
    for (const BackgroundEvent& e : events) out.emplace_back(e.time, e.type, e.id);
    if (sorted) std::sort(out.begin(), out.end());
    return out;
}

// One Poisson distribution per call shared by all channels, each channel's count followed by its uniform
// times; an empty or reversed interval draws nothing. The last interval holds well over 64 events, which
// the model sorts another way.
TEST(DarkCountModel, ReproducesPoissonCountsThenUniformTimesChannelByChannel) {
    DarkCountModel model(3.5, 7, 99, 4);
    std::mt19937_64 rng(99);
    for (auto [begin, end] : {std::pair{0.0, 1.0}, {3.0, 3.0}, {1.0, 2.5}, {4.0, 1.0}, {-3.0, 0.5}, {20.0, 26.0}}) {
        const Events events = model.sample(begin, end);
        Events expected;
        if (end > begin) {
            std::poisson_distribution<int> count(3.5 * (end - begin));
            std::uniform_real_distribution<double> when(begin, end);
            for (unsigned long c = 0; c < 7; ++c) {
                for (int i = count(rng); i > 0; --i) expected.push_back({when(rng), 4, c});
            }
        }
        EXPECT_TRUE(std::ranges::is_sorted(events, {}, &BackgroundEvent::time)) << begin;
        EXPECT_EQ(keys(events), keys(expected)) << begin;
    }
    EXPECT_THROW_MSG(DarkCountModel(1e9, 1, 1, 0).sample(0.0, 2.0), std::invalid_argument,
                     "Dark-count mean of 2e+09 events per channel in [0, 2) is too large!");
    EXPECT_NO_THROW(DarkCountModel(1.0, std::numeric_limits<int>::max(), 1, 0));
    EXPECT_THROW_MSG(DarkCountModel(1.0, static_cast<unsigned long>(-5L), 1, 0), std::invalid_argument,
                     "DarkCountModel cannot serve 18446744073709551611 channels!");
}

// 4000 channels of mean 5: the mean count has sigma sqrt(5 / 4000) = 0.035, the sample variance about
// sqrt((mu + 2 mu^2) / n) = 0.117; both allowed 5 sigma.
TEST(DarkCountModel, CountsArePoisson) {
    std::vector<double> counts(4000, 0.0);
    for (const BackgroundEvent& event : DarkCountModel(2.5, 4000, 424242, 0).sample(100.0, 102.0)) counts.at(event.id)++;
    double mean = 0.0, variance = 0.0;
    for (double c : counts) mean += c / 4000;
    for (double c : counts) variance += (c - mean) * (c - mean) / 3999;
    EXPECT_NEAR(mean, 5.0, 5 * 0.0354);
    EXPECT_NEAR(variance, 5.0, 5 * 0.117);
}

struct FixedModel : BackgroundModel {
    explicit FixedModel(Events events) : events(std::move(events)) {}
    Events sample(double, double) override { return events; }
    Events events;
};

// On equal times the earlier sub-model's events come first, within one sub-model its own order.
TEST(GenericModel, MergesByTimeWithEarlierSubModelsFirstOnTies) {
    GenericModel model;
    EXPECT_TRUE(model.sample(0.25, 4.0).empty());
    for (const Events& events :
         {Events{}, {{1.0, 0, 10}, {2.0, 0, 12}, {2.0, 0, 11}}, {}, {{0.5, 0, 20}, {2.0, 0, 21}}, {{2.0, 0, 30}}}) {
        model.add_model(std::make_unique<FixedModel>(events));
    }
    std::vector<unsigned long> ids;
    for (const BackgroundEvent& e : model.sample(0.25, 4.0)) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<unsigned long>{20, 10, 12, 11, 21, 30}));
}

const Events kEvents{{1.0, 3, 17}, {1.5, 0, 2}, {1.5, 9, 4}, {2.25, 3, 18}, {3.0, -1, 1ul << 40}};

TEST(CachedModel, ReplaysEachIntervalBeginInclusiveEndExclusive) {
    TempDir dir;
    CachedModel::write_cache(dir.path() / "cache.tmio", kEvents, 1.0, 3.0);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "cache.cm"));
    CachedModel model(dir.path() / "cache.tmio");
    const auto slice = [](int from, int to) { return keys({kEvents.begin() + from, kEvents.begin() + to}, false); };
    EXPECT_EQ(keys(model.sample(1.0, 3.0), false), slice(0, 4));
    EXPECT_EQ(keys(model.sample(1.5, 2.25), false), slice(1, 3));
    for (double at : {1.0, 3.0}) EXPECT_TRUE(model.sample(at, at).empty()) << at;
    EXPECT_THROW_MSG(model.sample(1.0, std::nextafter(3.0, 4.0)), std::out_of_range,
                     "Cannot sample interval [1 s,3.0000000000000004 s)! Model is only defined in [1 s,3 s).");
    EXPECT_THROW_MSG(model.sample(0.5, 2.0), std::out_of_range,
                     "Cannot sample interval [0.5 s,2 s)! Model is only defined in [1 s,3 s).");
    EXPECT_THROW_MSG(model.sample(2.5, 2.0), std::out_of_range,
                     "Interval begin time has to be before interval end time! 2.5 < 2");
    const auto cm = dir.path() / "events.cm";  // its interval file would overwrite it
    EXPECT_THROW_MSG(CachedModel::write_cache(cm, kEvents, 0.0, 5.0), std::invalid_argument,
                     "Event cache " + cm.string() + " has the extension .cm of its own interval file; name it otherwise!");
    EXPECT_FALSE(std::filesystem::exists(cm));
}

TEST(CachedModel, RefusesCorruptedCachesNamingTheFileAtFault) {
    TempDir dir;
    const auto events = dir.path() / "cache.tmio", interval = dir.path() / "cache.cm";
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    for (const auto& [stored, numbers, file] :
         {std::tuple{kEvents, std::vector{1.0}, interval}, {kEvents, {1.0, 2.0, 3.0}, interval},
          {kEvents, {3.0, 1.0}, interval}, {kEvents, {0.0, inf}, interval}, {kEvents, {nan, 1.0}, interval},
          {Events{{2.0, 0, 1}, {1.0, 0, 2}}, {0.0, 3.0}, events}, {Events{{nan, 0, 1}}, {0.0, 3.0}, events}}) {
        Serializer::create_default()->write_events(events, stored);
        Serializer::create_default()->write_numbers(interval, numbers);
        EXPECT_THROW_MSG(CachedModel{events}, IOError, "Cached data is corrupted, check if " + file.string() + " was modified.");
    }
}

// Each key reaches its own argument; the CosmicRayModel builder builds provider and flux before reading its
// other keys; "cache_file" is found beside the settings and "cache" pairs with cache.cm.
TEST(ModelFactory, BuildsEachClassFromItsSettings) {
    TempDir dir;
    const auto settings = dir.write("cfg/settings.yaml", R"(
providers: {showers: {class: MockProvider, theta_max: 0.5, r_max: 100, e_max: 1000, e_min: 10, index: -2, num_showers: 1000}}
fluxes: {protons: {class: PowerLawFlux, e_ref: 1.0, f_ref: 1.0, index: -2.7}}
models:
  cosmic: {class: CosmicRayModel, provider: showers, flux: protons, warn_invalid: false, e_max: 1000.0, e_min: 10.0,
           theta_max: 0.5, r_max: 100.0, throw_index: -2.0, gen_type: 7, seed: -1}
  unknown_flux: {class: CosmicRayModel, provider: showers, flux: neutrinos}
  darks: {class: DarkCountModel, rate: 2.5, num_channels: 3, seed: 5, gen_type: 4}
  negative: {class: DarkCountModel, rate: 2.5, num_channels: -3, seed: 5, gen_type: 4}
  replay: {class: CachedModel, cache_file: ../cache}
  both: {class: GenericModel, models: {darks: 0, replay: 0}}
)");
    Factory<BackgroundModel> models(settings);
    MockProvider provider(1000, -2.0, 10.0, 1000.0, 100.0, 0.5);
    PowerLawFlux flux(-2.7, 1.0, 1.0);
    CosmicRayModel cosmic(provider, flux, ~0ul, 7, -2.0, 100.0, 0.5, 10.0, 1000.0, false);
    EXPECT_EQ(keys(models.create_by_name("cosmic")->sample(0.0, 0.5)), keys(cosmic.sample(0.0, 0.5)));
    EXPECT_THROW_MSG(models.create_by_name("unknown_flux"), std::out_of_range,
                     "Instance neutrinos is not defined in " + settings.string() + "!");
    const Events darks = DarkCountModel(2.5, 3, 5, 4).sample(0.5, 4.0);
    EXPECT_EQ(keys(models.create_by_name("darks")->sample(0.5, 4.0)), keys(darks));
    EXPECT_THROW_MSG(models.create_by_name("negative"), std::invalid_argument, "Setting num_channels = -3 is negative!");
    CachedModel::write_cache(dir.path() / "cache", kEvents, 0.5, 4.0);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "cache.cm"));
    EXPECT_EQ(keys(models.create_by_name("replay")->sample(0.5, 4.0)), keys(kEvents));
    EXPECT_EQ(models.create_by_name("both")->sample(0.5, 4.0).size(), darks.size() + kEvents.size());
}

}  // namespace
}  // namespace background
