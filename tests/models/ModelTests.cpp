#include <background/models/DarkCountModel.hpp>
#include <background/models/GenericModel.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace background {
namespace {

using Events = std::vector<BackgroundEvent>;
using Keys = std::vector<std::tuple<double, int, unsigned long>>;

// Equal times may come in either order from the model's sort, so events are
// compared as (time, type, id) sorted.
Keys keys(const Events& events) {
    Keys out;
    for (const BackgroundEvent& e : events) out.emplace_back(e.time, e.type, e.id);
    std::sort(out.begin(), out.end());
    return out;
}

bool by_time(const BackgroundEvent& a, const BackgroundEvent& b) { return a.time < b.time; }

// One Poisson distribution per call shared by all channels, each channel's
// count followed by its uniform times.
Events reference_sample(std::mt19937_64& rng, double rate, unsigned long channels, int type, double begin,
                        double end) {
    Events events;
    std::poisson_distribution<int> count(rate * (end - begin));
    for (unsigned long c = 0; c < channels; ++c) {
        std::uniform_real_distribution<double> when(begin, end);
        for (int i = count(rng); i > 0; --i) events.push_back({when(rng), type, c});
    }
    return events;
}

// The last interval holds well over 64 events, which the model sorts another way.
TEST(DarkCountModel, ReproducesPoissonCountsThenUniformTimesChannelByChannel) {
    DarkCountModel model(3.5, 7, 99, 4);
    std::mt19937_64 rng(99);
    for (auto [begin, end] : {std::pair{0.0, 1.0}, {1.0, 2.5}, {10.0, 10.25}, {-3.0, 0.5}, {20.0, 26.0}}) {
        const Events events = model.sample(begin, end);
        EXPECT_TRUE(std::is_sorted(events.begin(), events.end(), by_time)) << begin;
        EXPECT_EQ(keys(events), keys(reference_sample(rng, 3.5, 7, 4, begin, end))) << begin;
    }
}

// No events where the mean is zero or below, and no draw either: the next
// interval gets what a fresh model would give.
TEST(DarkCountModel, EmptyMeanGivesNothingAndLeavesTheEngineAlone) {
    DarkCountModel model(5.0, 4, 17, 0);
    EXPECT_TRUE(model.sample(3.0, 3.0).empty());
    EXPECT_TRUE(model.sample(4.0, 1.0).empty());
    EXPECT_EQ(keys(model.sample(0.0, 1.0)), keys(DarkCountModel(5.0, 4, 17, 0).sample(0.0, 1.0)));
}

// A count beyond int or an infinite mean cannot be drawn; channels are
// numbered by int, so more than INT_MAX (a negative setting sign-extended)
// cannot be served.
TEST(DarkCountModel, RefusesMeansAndChannelCountsBeyondInt) {
    EXPECT_THROW(DarkCountModel(1e9, 1, 1, 0).sample(0.0, 2.0), std::invalid_argument);
    EXPECT_THROW(DarkCountModel(std::numeric_limits<double>::infinity(), 1, 1, 0).sample(0.0, 1.0),
                 std::invalid_argument);
    EXPECT_NO_THROW(DarkCountModel(1.0, std::numeric_limits<int>::max(), 1, 0));
    EXPECT_THROW(DarkCountModel(1.0, static_cast<unsigned long>(-5L), 1, 0), std::invalid_argument);
}

// 4000 channels with mean 5 each. The mean count has standard deviation
// sqrt(5 / 4000) = 0.035 and the sample variance about sqrt((mu + 2 mu^2) / n)
// = 0.117, both checked within 5 sigma; the times pass Kolmogorov-Smirnov
// against the uniform distribution at 0.1 % (bound 1.95 / sqrt(n)).
TEST(DarkCountModel, CountsArePoissonAndTimesUniform) {
    const unsigned long channels = 4000;
    const double begin = 100.0, end = 102.0;
    const Events events = DarkCountModel(2.5, channels, 424242, 0).sample(begin, end);
    std::vector<double> counts(channels, 0.0);
    for (const BackgroundEvent& event : events) counts.at(event.id) += 1.0;
    double mean = 0.0, variance = 0.0;
    for (double c : counts) mean += c / channels;
    for (double c : counts) variance += (c - mean) * (c - mean) / (channels - 1);
    EXPECT_NEAR(mean, 5.0, 5 * 0.0354);
    EXPECT_NEAR(variance, 5.0, 5 * 0.117);

    const double n = static_cast<double>(events.size());
    ASSERT_TRUE(std::is_sorted(events.begin(), events.end(), by_time));
    double d = 0.0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const double f = (events[i].time - begin) / (end - begin);
        d = std::max({d, f - static_cast<double>(i) / n, static_cast<double>(i + 1) / n - f});
    }
    EXPECT_LT(d, 1.95 / std::sqrt(n));
}

// Returns a fixed list and checks the interval it is asked for.
struct FixedModel : BackgroundModel {
    explicit FixedModel(Events events) : events(std::move(events)) {}
    Events sample(double begin, double end) override {
        EXPECT_EQ(std::pair(begin, end), std::pair(0.25, 4.0));
        return events;
    }
    Events events;
};

// A leading empty sub-model leaves the first list as it is; on equal times
// the earlier sub-model's events come first, within one sub-model its own order.
TEST(GenericModel, MergesByTimeWithEarlierSubModelsFirstOnTies) {
    GenericModel model;
    EXPECT_TRUE(model.sample(0.25, 4.0).empty());
    model.add_model(std::make_unique<FixedModel>(Events{}));
    model.add_model(std::make_unique<FixedModel>(Events{{1.0, 0, 10}, {2.0, 0, 12}, {2.0, 0, 11}}));
    model.add_model(std::make_unique<FixedModel>(Events{}));
    model.add_model(std::make_unique<FixedModel>(Events{{0.5, 0, 20}, {2.0, 0, 21}, {3.0, 0, 22}}));
    model.add_model(std::make_unique<FixedModel>(Events{{2.0, 0, 30}}));
    std::vector<unsigned long> ids;
    for (const BackgroundEvent& e : model.sample(0.25, 4.0)) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<unsigned long>{20, 10, 12, 11, 21, 30, 22}));
}

}  // namespace
}  // namespace background
