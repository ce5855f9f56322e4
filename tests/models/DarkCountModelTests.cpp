#include <background/models/DarkCountModel.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using background::BackgroundEvent;
using background::DarkCountModel;
using Events = std::vector<BackgroundEvent>;

// Equal times may come in either order from the model's sort; compare by
// (time, id) so that the comparison does not depend on it.
Events by_time_then_channel(Events events) {
    std::sort(events.begin(), events.end(), [](const BackgroundEvent& a, const BackgroundEvent& b) {
        return std::tie(a.time, a.id) < std::tie(b.time, b.id);
    });
    return events;
}

void expect_same_events(const Events& actual, const Events& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    const Events a = by_time_then_channel(actual);
    const Events e = by_time_then_channel(expected);
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].time, e[i].time) << "event " << i;
        EXPECT_EQ(a[i].type, e[i].type) << "event " << i;
        EXPECT_EQ(a[i].id, e[i].id) << "event " << i;
    }
}

// The expected stream: one Poisson distribution per call shared by all
// channels, each channel's count followed by its uniform times.
class ReferenceDarkCounts {
public:
    ReferenceDarkCounts(double rate, unsigned long channels, unsigned long seed, int type)
        : rate(rate), channels(channels), rng(seed), type(type) {}

    Events sample(double begin, double end) {
        Events events;
        std::poisson_distribution<int> count(rate * (end - begin));
        for (unsigned long c = 0; c < channels; ++c) {
            const int k = count(rng);
            std::uniform_real_distribution<double> when(begin, end);
            for (int i = 0; i < k; ++i) events.push_back({when(rng), type, c});
        }
        return events;
    }

private:
    double rate;
    unsigned long channels;
    std::mt19937_64 rng;
    int type;
};

TEST(DarkCountModelStream, ReproducesPoissonCountsThenUniformTimesChannelByChannel) {
    DarkCountModel model(3.5, 7, 99, 4);
    ReferenceDarkCounts reference(3.5, 7, 99, 4);
    for (auto [begin, end] : {std::pair{0.0, 1.0}, {1.0, 2.5}, {10.0, 10.25}, {-3.0, 0.5}}) {
        SCOPED_TRACE(begin);
        expect_same_events(model.sample(begin, end), reference.sample(begin, end));
    }
}

TEST(DarkCountModelStream, EventsAreSortedInsideTheIntervalWithChannelAndType) {
    DarkCountModel model(40.0, 5, 3, -7);
    const Events events = model.sample(2.0, 2.5);
    ASSERT_GT(events.size(), 50u);
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(),
                               [](const BackgroundEvent& a, const BackgroundEvent& b) { return a.time < b.time; }));
    std::vector<int> per_channel(5, 0);
    for (const BackgroundEvent& event : events) {
        EXPECT_GE(event.time, 2.0);
        EXPECT_LT(event.time, 2.5);
        EXPECT_EQ(event.type, -7);
        ASSERT_LT(event.id, 5u);
        ++per_channel[event.id];
    }
    for (int count : per_channel) EXPECT_GT(count, 0);
}


// A mean of zero or below has no events, and the draw is skipped: the next
// interval gets the same events as from a fresh model.
TEST(DarkCountModelEmptyMean, GivesNothingAndLeavesTheEngineWhereItWas) {
    DarkCountModel model(5.0, 4, 17, 0);
    EXPECT_TRUE(model.sample(3.0, 3.0).empty());
    EXPECT_TRUE(model.sample(4.0, 1.0).empty());
    DarkCountModel fresh(5.0, 4, 17, 0);
    expect_same_events(model.sample(0.0, 1.0), fresh.sample(0.0, 1.0));
}

TEST(DarkCountModelEmptyMean, ZeroOrNaNRateAndZeroChannelsGiveNothing) {
    DarkCountModel silent(0.0, 4, 17, 0);
    EXPECT_TRUE(silent.sample(0.0, 100.0).empty());
    DarkCountModel undefined(std::numeric_limits<double>::quiet_NaN(), 4, 17, 0);
    EXPECT_TRUE(undefined.sample(0.0, 100.0).empty());
    DarkCountModel no_channels(1e6, 0, 17, 0);
    EXPECT_TRUE(no_channels.sample(0.0, 100.0).empty());
}

// A count beyond int (or an infinite mean) cannot be drawn.
TEST(DarkCountModelLimits, RefusesHugeOrInfiniteMeans) {
    DarkCountModel fast(1e9, 1, 1, 0);
    EXPECT_THROW(fast.sample(0.0, 2.0), std::invalid_argument);
    DarkCountModel infinite(std::numeric_limits<double>::infinity(), 1, 1, 0);
    EXPECT_THROW(infinite.sample(0.0, 1.0), std::invalid_argument);
    DarkCountModel slow(1.0, 1, 1, 0);
    EXPECT_THROW(slow.sample(-1e300, 1e300), std::invalid_argument);
}

TEST(DarkCountModelLimits, RefusesMoreChannelsThanAnIntCanNumber) {
    const unsigned long most = std::numeric_limits<std::int32_t>::max();
    EXPECT_NO_THROW(DarkCountModel(1.0, most, 1, 0));
    EXPECT_THROW(DarkCountModel(1.0, most + 1, 1, 0), std::invalid_argument);
    // A setting of -5 sign-extended.
    EXPECT_THROW(DarkCountModel(1.0, static_cast<unsigned long>(-5L), 1, 0), std::invalid_argument);
}

// 4000 channels with mean 5 each. The mean count over channels has standard
// deviation sqrt(5/4000) = 0.035, the sample variance about
// sqrt((mu + 3 mu^2 - mu^2) / n) = 0.117; both are checked within 5 sigma.
TEST(DarkCountModelStatistics, CountsPerChannelArePoissonWithMeanRateTimesSpan) {
    const unsigned long channels = 4000;
    DarkCountModel model(2.5, channels, 424242, 0);
    const Events events = model.sample(100.0, 102.0);
    std::vector<double> counts(channels, 0.0);
    for (const BackgroundEvent& event : events) counts[event.id] += 1.0;
    double mean = 0.0;
    for (double c : counts) mean += c;
    mean /= channels;
    double variance = 0.0;
    for (double c : counts) variance += (c - mean) * (c - mean);
    variance /= channels - 1;
    EXPECT_NEAR(mean, 5.0, 5 * 0.0354);
    EXPECT_NEAR(variance, 5.0, 5 * 0.117);
}

// Kolmogorov-Smirnov against the uniform distribution on the interval; the
// bound 1.95 / sqrt(n) is the 0.1 % critical value.
TEST(DarkCountModelStatistics, TimesAreUniformOverTheInterval) {
    DarkCountModel model(2.5, 4000, 515151, 0);
    const double begin = 100.0, end = 102.0;
    const Events events = model.sample(begin, end);
    const double n = static_cast<double>(events.size());
    ASSERT_GT(n, 10000.0);
    ASSERT_TRUE(std::is_sorted(events.begin(), events.end(),
                               [](const BackgroundEvent& a, const BackgroundEvent& b) { return a.time < b.time; }));
    double d = 0.0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const double f = (events[i].time - begin) / (end - begin);
        d = std::max({d, f - i / n, (i + 1) / n - f});
    }
    EXPECT_LT(d, 1.95 / std::sqrt(n));
}

// 2000 consecutive calls of 10 ms on 10 channels at 50 Hz: 10000 events
// expected, standard deviation 100; checked within 5 sigma.
TEST(DarkCountModelStatistics, ManyShortCallsAverageRateTimesSpan) {
    DarkCountModel model(50.0, 10, 8080, 0);
    std::size_t total = 0;
    for (int call = 0; call < 2000; ++call) {
        const double begin = call * 0.01;
        const Events events = model.sample(begin, begin + 0.01);
        for (const BackgroundEvent& event : events) {
            ASSERT_GE(event.time, begin);
            ASSERT_LT(event.time, begin + 0.01);
        }
        total += events.size();
    }
    EXPECT_NEAR(static_cast<double>(total), 10000.0, 500.0);
}

}  // namespace
