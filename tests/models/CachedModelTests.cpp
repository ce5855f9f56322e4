#include <background/core/Factory.hpp>
#include <background/core/IOError.hpp>
#include <background/models/CachedModel.hpp>
#include <background/storage/Serializer.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace background {
namespace {

using testing::TempDir;
using Events = std::vector<BackgroundEvent>;

bool same(const Events& a, const Events& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].time != b[i].time || a[i].type != b[i].type || a[i].id != b[i].id) return false;
    }
    return true;
}

const Events kEvents{{1.0, 3, 17}, {1.5, 0, 2}, {1.5, 9, 4}, {2.25, 3, 18}, {3.0, -1, 1ul << 40}};

// Events keep their stored type and id; begin is inclusive, end exclusive.
TEST(CachedModel, ReplaysTheEventsOfEachInterval) {
    TempDir dir;
    CachedModel::write_cache(dir.path() / "cache.tmio", kEvents, 1.0, 3.0);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "cache.cm"));
    CachedModel model(dir.path() / "cache.tmio");
    EXPECT_TRUE(same(model.sample(1.0, 3.0), Events(kEvents.begin(), kEvents.end() - 1)));
    EXPECT_TRUE(same(model.sample(1.5, 2.25), Events(kEvents.begin() + 1, kEvents.begin() + 3)));
    EXPECT_TRUE(same(model.sample(1.0, 1.0), {}));
    EXPECT_TRUE(same(model.sample(3.0, 3.0), {}));
    EXPECT_TRUE(same(model.sample(1.2, 1.4), {}));
    EXPECT_THROW_MSG(model.sample(1.0, std::nextafter(3.0, 4.0)), std::out_of_range,
                     "Cannot sample interval [1 s,3.0000000000000004 s)! Model is only defined in [1 s,3 s).");
    EXPECT_THROW_MSG(model.sample(0.5, 2.0), std::out_of_range,
                     "Cannot sample interval [0.5 s,2 s)! Model is only defined in [1 s,3 s).");
    EXPECT_THROW_MSG(model.sample(2.5, 2.0), std::out_of_range,
                     "Interval begin time has to be before interval end time! 2.5 < 2");
}

// A name without extension gets ".cm" appended for its interval file; the
// factory resolves "cache_file" beside the settings file.
TEST(CachedModel, FactoryLoadsACacheBesideTheSettings) {
    TempDir dir;
    const auto settings = dir.write("cfg/settings.yaml", "models:\n  replay: {class: CachedModel, cache_file: ../cache}\n");
    CachedModel::write_cache(dir.path() / "cache", kEvents, 0.5, 4.0);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "cache.cm"));
    EXPECT_TRUE(same(Factory<BackgroundModel>(settings).create_by_name("replay")->sample(0.5, 4.0), kEvents));
}

TEST(CachedModel, RefusesCorruptedCaches) {
    TempDir dir;
    const auto serializer = Serializer::create_default();
    const auto events = dir.path() / "cache.tmio";
    const auto interval = dir.path() / "cache.cm";
    const std::string interval_message = "Cached data is corrupted, check if " + interval.string() + " was modified.";
    const std::string events_message = "Cached data is corrupted, check if " + events.string() + " was modified.";
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        Events events;
        std::vector<double> numbers;
        std::string message;
    };
    for (const Case& c : {Case{kEvents, {1.0}, interval_message},
                          {kEvents, {1.0, 2.0, 3.0}, interval_message},
                          {kEvents, {3.0, 1.0}, interval_message},
                          {kEvents, {0.0, inf}, interval_message},
                          {kEvents, {std::nan(""), 1.0}, interval_message},
                          {{{2.0, 0, 1}, {1.0, 0, 2}}, {0.0, 3.0}, events_message},
                          {{{std::nan(""), 0, 1}}, {0.0, 3.0}, events_message}}) {
        serializer->write_events(events, c.events);
        serializer->write_numbers(interval, c.numbers);
        EXPECT_THROW_MSG(CachedModel{events}, IOError, c.message);
    }
}

// The interval file would overwrite the events file.
TEST(CachedModel, WriteCacheRefusesAnEventsFileNamedLikeItsIntervalFile) {
    TempDir dir;
    const auto path = dir.path() / "events.cm";
    EXPECT_THROW_MSG(CachedModel::write_cache(path, kEvents, 0.0, 5.0), std::invalid_argument,
                     "Event cache " + path.string() + " has the extension .cm of its own interval file; name it otherwise!");
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace background
