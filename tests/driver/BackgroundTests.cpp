#include <background/core/Hook.hpp>
#include <background/driver/Background.hpp>
#include <background/models/DarkCountModel.hpp>
#include <background/models/GenericModel.hpp>
#include <background/providers/MockProvider.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <ios>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using background::Background;
using background::BackgroundEvent;
using background::BackgroundModel;
using background::DarkCountModel;
using background::GenericModel;
using background::Hook;
using background::Metadata;
using background::MockProvider;
using background::PEList;
using background::testing::TempDir;
using Times = std::vector<double>;

constexpr int kHookId = 4242;

// Instances shared by the settings files below. "showers" shower k is one PE
// on channel 0, k seconds after the shower; "arrivals" yields showers 0 to 3
// (its channel numbers), so "delayed" puts PEs up to 3 s after their event
// and later chunks receive them.
const char* const kSections = R"(
providers:
  showers: {class: MockProvider, theta_max: 0.5, r_max: 100.0, e_max: 1000.0, e_min: 10.0, index: -2.0, num_showers: 4}
  few: {class: MockProvider, theta_max: 0.5, r_max: 100.0, e_max: 1000.0, e_min: 10.0, index: -2.0, num_showers: 2}
generators:
  delayed: {class: ProviderGenerator, provider: showers}
  delayed_few: {class: ProviderGenerator, provider: few}
  single: {class: NPEGenerator, num_pe: 1}
  double: {class: NPEGenerator, num_pe: 2}
  by_type: {class: GenericGenerator, generators: {single: 1, double: 2}}
models:
  arrivals: {class: DarkCountModel, gen_type: 0, seed: 11, num_channels: 4, rate: 3.0}
  darks: {class: DarkCountModel, gen_type: 0, seed: 23, num_channels: 6, rate: 2.0}
  over: {class: DarkCountModel, gen_type: 0, seed: 29, num_channels: 3, rate: 4.0}
  lonely: {class: DarkCountModel, gen_type: 0, seed: 31, num_channels: 1, rate: 5.0}
  quiet: {class: DarkCountModel, gen_type: 0, seed: 37, num_channels: 3, rate: 0.0}
  type_one: {class: DarkCountModel, gen_type: 1, seed: 5, num_channels: 4, rate: 3.0}
  type_two: {class: DarkCountModel, gen_type: 2, seed: 6, num_channels: 4, rate: 3.0}
  typed: {class: GenericModel, models: {type_one: 0, type_two: 0}}
fluxes: {}
)";

std::string settings_text(const std::string& generator, const std::string& model, int channels,
                          const std::string& extra = "  time_hint_hook: 4242\n  meta_gen_type: 0\n",
                          const std::string& start = "0.0", const std::string& provider = "showers") {
    return "lib:\n  provider: " + provider + "\n  generator: " + generator + "\n  model: " + model +
           "\n  num_channels: " + std::to_string(channels) + "\n  start_time: " + start + "\n" + extra + kSections;
}

std::unique_ptr<BackgroundModel> arrivals() { return std::make_unique<DarkCountModel>(3.0, 4, 11, 0); }

PEList delayed(const BackgroundEvent& e) { return {{0, {static_cast<double>(e.id) + e.time}}}; }

PEList npe(const BackgroundEvent& e, int copies) { return {{static_cast<int>(e.id), Times(copies, e.time)}}; }

// What the driver must hand out, kept as plain pools instead of run mergers:
// every generated time waits in its channel's pool until a chunk ends at or
// after it; a seek empties the pools after the next chunk has sampled.
class Reference {
public:
    using Generate = std::function<PEList(const BackgroundEvent&)>;
    Reference(std::unique_ptr<BackgroundModel> model, Generate generate, int channels, double start = 0.0)
        : model(std::move(model)), generate(std::move(generate)), pools(channels), chunk_start(start) {}

    PEList chunk(double span, const std::function<void(double)>& hook = {}) {
        const double t0 = chunk_start, t1 = t0 + span;
        chunk_start = t1;
        const auto events = model->sample(t0, t1);
        if (reset) {
            reset = false;
            if (hook) hook(t0);
            for (Times& pool : pools) pool.clear();
        }
        for (const BackgroundEvent& event : events) {
            for (const auto& [channel, times] : generate(event)) {
                if (channel < 0 || channel >= static_cast<int>(pools.size())) throw std::out_of_range("channel");
                pools[channel].insert(pools[channel].end(), times.begin(), times.end());
            }
        }
        PEList out;
        for (int channel = 0; channel < static_cast<int>(pools.size()); ++channel) {
            Times& pool = pools[channel];
            std::sort(pool.begin(), pool.end());
            const auto split = std::upper_bound(pool.begin(), pool.end(), t1);
            if (split != pool.begin()) out.emplace_back(channel, Times(pool.begin(), split));
            pool.erase(pool.begin(), split);
        }
        return out;
    }

    void seek(double time) {
        chunk_start = time;
        reset = true;
    }

    std::vector<BackgroundEvent> sample(double begin, double end) { return model->sample(begin, end); }

    Times held(int channel) const {
        Times pool = pools.at(channel);
        std::sort(pool.begin(), pool.end());
        return pool;
    }

private:
    std::unique_ptr<BackgroundModel> model;
    Generate generate;
    std::vector<Times> pools;
    double chunk_start;
    bool reset = true;
};

// Registers a time-hint callback that records its calls and, when asked,
// refuses one time.
class HookRecorder {
public:
    explicit HookRecorder(int id = kHookId, double refuse = std::numeric_limits<double>::quiet_NaN())
        : handle(Hook::set<std::function<void(double)>>(id, [this, refuse](double t) {
              calls.push_back(t);
              if (t == refuse) throw std::runtime_error("hook refused");
          })) {}
    std::vector<double> calls;

private:
    Hook::Handle handle;
};

bool contains(const PEList& chunk, double time) {
    for (const auto& [channel, times] : chunk) {
        if (std::find(times.begin(), times.end(), time) != times.end()) return true;
    }
    return false;
}

class BackgroundTest : public ::testing::Test {
protected:
    std::string write(const std::string& text) { return dir.write("settings.yaml", text).string(); }
    TempDir dir;
    HookRecorder hook;
};

// ---- chunks -----------------------------------------------------------------

TEST_F(BackgroundTest, ChunksHandOutEveryTimeUpToTheirEndAndCarryTheRest) {
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref(arrivals(), delayed, 1);
    bool carried = false;
    for (double span : {0.7, 1.3, 0.25, 2.0, 0.5, 3.0, 0.0, 1.0, 4.5}) {
        SCOPED_TRACE(span);
        const PEList expected = ref.chunk(span);
        ASSERT_EQ(bg.next_chunk(span), expected);
        carried = carried || !ref.held(0).empty();
    }
    ASSERT_TRUE(carried);
    EXPECT_EQ(hook.calls, (std::vector<double>{0.0}));
}

// T is a PE time carried out of the first chunk; the second chunk ends
// exactly at T.
TEST_F(BackgroundTest, TimeEqualToTheChunkEndBelongsToTheChunk) {
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref(arrivals(), delayed, 1);
    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    ASSERT_FALSE(ref.held(0).empty());
    const double end = ref.held(0).front();
    ASSERT_EQ(1.0 + (end - 1.0), end);

    const PEList chunk = bg.next_chunk(end - 1.0);
    EXPECT_EQ(chunk, ref.chunk(end - 1.0));
    ASSERT_EQ(chunk.size(), 1u);
    EXPECT_EQ(chunk[0].second.back(), end);
}

TEST_F(BackgroundTest, TimeJustAfterTheChunkEndWaitsForTheNextChunk) {
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref(arrivals(), delayed, 1);
    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    ASSERT_FALSE(ref.held(0).empty());
    const double later = ref.held(0).front();
    const double end = std::nextafter(later, 0.0);
    ASSERT_EQ(1.0 + (end - 1.0), end);
    ASSERT_EQ(end + (later - end), later);

    const PEList before = bg.next_chunk(end - 1.0);
    EXPECT_EQ(before, ref.chunk(end - 1.0));
    EXPECT_FALSE(contains(before, later));
    const PEList empty_span = bg.next_chunk(0.0);
    EXPECT_EQ(empty_span, ref.chunk(0.0));
    EXPECT_FALSE(contains(empty_span, later));
    const PEList after = bg.next_chunk(later - end);
    EXPECT_EQ(after, ref.chunk(later - end));
    EXPECT_TRUE(contains(after, later));
}

TEST_F(BackgroundTest, DarkCountsArriveOnTheirChannelsInAscendingOrder) {
    Background bg(write(settings_text("double", "darks", 6)));
    Reference ref(std::make_unique<DarkCountModel>(2.0, 6, 23, 0), [](const auto& e) { return npe(e, 2); }, 6);
    bool some_channel_silent = false;
    for (int i = 0; i < 8; ++i) {
        const PEList chunk = bg.next_chunk(0.5);
        ASSERT_EQ(chunk, ref.chunk(0.5)) << "chunk " << i;
        for (std::size_t k = 0; k < chunk.size(); ++k) {
            EXPECT_FALSE(chunk[k].second.empty());
            if (k > 0) {
                EXPECT_LT(chunk[k - 1].first, chunk[k].first);
            }
        }
        some_channel_silent = some_channel_silent || chunk.size() < 6;
    }
    EXPECT_TRUE(some_channel_silent);
}

TEST_F(BackgroundTest, WithoutChannelsOnlyChunksWithoutEventsSucceed) {
    Background silent(write(settings_text("single", "quiet", 0)));
    EXPECT_TRUE(silent.next_chunk(10.0).empty());
    EXPECT_TRUE(silent.next_chunk(10.0).empty());
    Background busy(write(settings_text("single", "lonely", 0)));
    EXPECT_THROW_MSG(busy.next_chunk(10.0), std::out_of_range,
                     "Generated data for channel 0, but only 0 channels in array!");
}

// "over" puts events on channels 0 to 2 of a two-channel array: the first
// chunk fails at its first channel-2 event, but what earlier events pushed
// stays, and an empty chunk starting where the failed one ended hands it
// out although it lies before that chunk's start.
TEST_F(BackgroundTest, ChannelOutOfRangeFailsAfterTheChunkMovedOn) {
    Background bg(write(settings_text("single", "over", 2)));
    Reference ref(std::make_unique<DarkCountModel>(4.0, 3, 29, 0), [](const auto& e) { return npe(e, 1); }, 2);
    EXPECT_THROW_MSG(bg.next_chunk(1.0), std::out_of_range,
                     "Generated data for channel 2, but only 2 channels in array!");
    EXPECT_THROW(ref.chunk(1.0), std::out_of_range);
    ASSERT_FALSE(ref.held(0).empty() && ref.held(1).empty());

    const PEList leftovers = bg.next_chunk(0.0);
    EXPECT_EQ(leftovers, ref.chunk(0.0));
    ASSERT_FALSE(leftovers.empty());
    for (const auto& [channel, times] : leftovers) EXPECT_LT(times.back(), 1.0);
    EXPECT_EQ(hook.calls, (std::vector<double>{0.0}));
}

TEST_F(BackgroundTest, GeneratorFailureKeepsWhatEarlierEventsPushed) {
    Background bg(write(settings_text("delayed_few", "arrivals", 1)));
    Reference ref(arrivals(), [](const BackgroundEvent& e) {
        if (e.id >= 2) throw std::out_of_range("unknown shower");
        return delayed(e);
    }, 1);
    EXPECT_THROW(bg.next_chunk(2.0), std::out_of_range);
    EXPECT_THROW(ref.chunk(2.0), std::out_of_range);
    ASSERT_FALSE(ref.held(0).empty());
    const PEList leftovers = bg.next_chunk(0.0);
    EXPECT_EQ(leftovers, ref.chunk(0.0));
    EXPECT_FALSE(leftovers.empty());
}

// A span of 1e300 makes the model refuse the interval; the refused chunk has
// still moved the start, and neither the pending seek nor the held times
// are touched.
TEST_F(BackgroundTest, ModelFailureLeavesHeldTimesAndThePendingSeek) {
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref(arrivals(), delayed, 1);
    EXPECT_THROW(bg.next_chunk(1e300), std::invalid_argument);
    EXPECT_THROW(ref.chunk(1e300), std::invalid_argument);
    EXPECT_TRUE(hook.calls.empty());
    EXPECT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    EXPECT_EQ(hook.calls, (std::vector<double>{1e300}));

    bg.seek(0.0);
    ref.seek(0.0);
    EXPECT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    const Times held = ref.held(0);
    ASSERT_FALSE(held.empty());
    EXPECT_THROW(bg.next_chunk(1e300), std::invalid_argument);
    EXPECT_THROW(ref.chunk(1e300), std::invalid_argument);
    EXPECT_EQ(bg.next_chunk(0.0), (PEList{{0, held}}));
    EXPECT_EQ(hook.calls, (std::vector<double>{1e300, 0.0}));
}

// The reset is cleared before the hook runs, so a hook that fails leaves the
// held times to later chunks.
TEST(BackgroundHookFailure, FailingHookLeavesTheHeldTimes) {
    TempDir dir;
    HookRecorder hook(kHookId, 1.0);
    Background bg(dir.write("settings.yaml", settings_text("delayed", "arrivals", 1)).string());
    Reference ref(arrivals(), delayed, 1);
    const auto refusing = [](double t) {
        if (t == 1.0) throw std::runtime_error("hook refused");
    };
    EXPECT_EQ(bg.next_chunk(1.0), ref.chunk(1.0, refusing));
    const Times held = ref.held(0);
    ASSERT_FALSE(held.empty());
    bg.seek(1.0);
    ref.seek(1.0);
    EXPECT_THROW_MSG(bg.next_chunk(0.5), std::runtime_error, "hook refused");
    EXPECT_THROW(ref.chunk(0.5, refusing), std::runtime_error);
    const PEList next = bg.next_chunk(10.0);
    EXPECT_EQ(next, ref.chunk(10.0, refusing));
    for (double time : held) EXPECT_TRUE(contains(next, time)) << time;
    EXPECT_EQ(hook.calls, (std::vector<double>{0.0, 1.0}));
}

// ---- seek and the time-hint hook ------------------------------------------------

TEST_F(BackgroundTest, FirstChunkFiresTheHookOnceWithTheStartTime) {
    Background bg(write(settings_text("delayed", "arrivals", 1, "  time_hint_hook: 4242\n", "2.5")));
    EXPECT_TRUE(hook.calls.empty());
    bg.next_chunk(0.5);
    EXPECT_EQ(hook.calls, (std::vector<double>{2.5}));
    bg.next_chunk(0.5);
    bg.next_chunk(0.0);
    EXPECT_EQ(hook.calls, (std::vector<double>{2.5}));
}

TEST_F(BackgroundTest, SeekDropsHeldTimesEvenThoseInsideTheNextChunk) {
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref(arrivals(), delayed, 1);
    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    const Times held = ref.held(0);
    ASSERT_FALSE(held.empty());
    ASSERT_LT(held.back(), 6.0);

    bg.seek(1.0);
    ref.seek(1.0);
    EXPECT_EQ(hook.calls, (std::vector<double>{0.0}));
    const PEList chunk = bg.next_chunk(5.0);
    EXPECT_EQ(chunk, ref.chunk(5.0));
    for (double time : held) EXPECT_FALSE(contains(chunk, time)) << time;
    EXPECT_EQ(hook.calls, (std::vector<double>{0.0, 1.0}));
}

TEST_F(BackgroundTest, TwoSeeksBeforeAChunkCountAsTheLastOne) {
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref(arrivals(), delayed, 1);
    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    bg.seek(5.0);
    bg.seek(7.0);
    ref.seek(7.0);
    EXPECT_EQ(bg.next_chunk(2.0), ref.chunk(2.0));
    EXPECT_EQ(bg.next_chunk(2.0), ref.chunk(2.0));
    EXPECT_EQ(hook.calls, (std::vector<double>{0.0, 7.0}));
}

// None of these finds a usable callback; construction succeeds and the
// registered one is never called.
class BackgroundWithoutHook : public ::testing::TestWithParam<std::string> {};

TEST_P(BackgroundWithoutHook, RunsWithoutCallingAnyHook) {
    TempDir dir;
    HookRecorder hook;
    auto wrong_type = Hook::set<int>(4244, 1);
    Background bg(dir.write("settings.yaml", settings_text("delayed", "arrivals", 1, GetParam())).string());
    Reference ref(arrivals(), delayed, 1);
    EXPECT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    bg.seek(3.0);
    ref.seek(3.0);
    EXPECT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    EXPECT_EQ(bg.generate_metadata(0.0, 1.0).size(), ref.sample(0.0, 1.0).size());
    EXPECT_TRUE(hook.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(MissingOrUnusable, BackgroundWithoutHook,
                         ::testing::Values("  meta_gen_type: 0\n",
                                           "  time_hint_hook: 4243\n  meta_gen_type: 0\n",
                                           "  time_hint_hook: 4244\n  meta_gen_type: 0\n",
                                           "  time_hint_hook: soon\n  meta_gen_type: 0\n",
                                           "  time_hint_hook: [4242]\n  meta_gen_type: 0\n"));

// ---- metadata -------------------------------------------------------------------

void expect_metadata(const std::vector<Metadata>& actual, const std::vector<BackgroundEvent>& events, int type,
                     MockProvider& provider) {
    std::vector<Metadata> expected;
    for (const BackgroundEvent& e : events) {
        if (e.type != type) continue;
        expected.push_back(provider.get_metadata(e.id));
        expected.back().time = e.time;
    }
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].uid, expected[i].uid) << i;
        EXPECT_EQ(actual[i].time, expected[i].time) << i;
        EXPECT_EQ(actual[i].energy, expected[i].energy) << i;
        EXPECT_EQ(actual[i].x, expected[i].x) << i;
        EXPECT_EQ(actual[i].theta, expected[i].theta) << i;
        EXPECT_EQ(actual[i].primary, expected[i].primary) << i;
    }
}

std::unique_ptr<BackgroundModel> typed() {
    auto model = std::make_unique<GenericModel>();
    model->add_model(std::make_unique<DarkCountModel>(3.0, 4, 5, 1));
    model->add_model(std::make_unique<DarkCountModel>(3.0, 4, 6, 2));
    return model;
}

class BackgroundMetadataByType : public ::testing::TestWithParam<int> {};

TEST_P(BackgroundMetadataByType, TakesTheShowersOfThatTypeAtTheirEventTimes) {
    const int type = GetParam();
    TempDir dir;
    HookRecorder hook;
    const std::string extra = "  time_hint_hook: 4242\n  meta_gen_type: " + std::to_string(type) + "\n";
    Background bg(dir.write("settings.yaml", settings_text("by_type", "typed", 4, extra)).string());
    auto model = typed();
    MockProvider provider(4, -2.0, 10.0, 1000.0, 100.0, 0.5);
    const auto events = model->sample(2.0, 4.0);
    const auto records = bg.generate_metadata(2.0, 4.0);
    expect_metadata(records, events, type, provider);
    if (type != 3) {
        EXPECT_FALSE(records.empty());
    }
    EXPECT_EQ(hook.calls, (std::vector<double>{2.0}));
}

INSTANTIATE_TEST_SUITE_P(Types, BackgroundMetadataByType, ::testing::Values(1, 2, 3));

// Metadata samples the model anew (the second call sees other showers) and
// leaves the chunk state alone: the next chunk still starts where the last
// one ended, hands out the held times and fires no hook.
TEST_F(BackgroundTest, MetadataDrawsAnewAndLeavesTheChunksAlone) {
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref(arrivals(), delayed, 1);
    MockProvider provider(4, -2.0, 10.0, 1000.0, 100.0, 0.5);
    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    ASSERT_FALSE(ref.held(0).empty());
    const auto first = bg.generate_metadata(0.0, 1.0);
    expect_metadata(first, ref.sample(0.0, 1.0), 0, provider);
    const auto second = bg.generate_metadata(0.0, 1.0);
    expect_metadata(second, ref.sample(0.0, 1.0), 0, provider);
    EXPECT_FALSE(first.size() == second.size() && std::equal(first.begin(), first.end(), second.begin(),
                                                             [](const Metadata& a, const Metadata& b) {
                                                                 return a.time == b.time;
                                                             }));
    EXPECT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    EXPECT_EQ(hook.calls, (std::vector<double>{0.0, 0.0, 0.0}));
}

// "meta_gen_type" is read only by generate_metadata, after the model was
// sampled and before the hook is called.
TEST_F(BackgroundTest, MissingMetaGenTypeFailsOnlyMetadata) {
    Background bg(write(settings_text("delayed", "arrivals", 1, "  time_hint_hook: 4242\n")));
    Reference ref(arrivals(), delayed, 1);
    EXPECT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    EXPECT_THROW_MSG(bg.generate_metadata(1.0, 2.0), std::out_of_range, "Key meta_gen_type not found!");
    ref.sample(1.0, 2.0);
    EXPECT_EQ(hook.calls, (std::vector<double>{0.0}));
    EXPECT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
}


// ---- construction ---------------------------------------------------------------

TEST_F(BackgroundTest, MissingLibKeysAreNamedInTheOrderTheyAreRead) {
    const std::vector<std::string> lines = {"provider: showers", "generator: delayed", "model: arrivals",
                                            "num_channels: 1", "start_time: 0.0"};
    const std::vector<std::string> names = {"provider", "generator", "model", "num_channels", "start_time"};
    for (std::size_t missing = 0; missing < lines.size(); ++missing) {
        std::string lib = missing == 0 ? "lib: {}\n" : "lib:\n";
        for (std::size_t i = 0; i < missing; ++i) lib += "  " + lines[i] + "\n";
        EXPECT_THROW_MSG(Background(write(lib + kSections)), std::out_of_range, "Key " + names[missing] + " not found!");
    }
    EXPECT_THROW_MSG(Background(write(kSections)), std::out_of_range, "Key lib not found!");
    EXPECT_TRUE(hook.calls.empty());
}

TEST_F(BackgroundTest, MistypedOrUnknownLibValuesFail) {
    const std::string path = dir.path().string() + "/settings.yaml";
    EXPECT_THROW_MSG(Background(write(settings_text("delayed", "nowhere", 1))), std::out_of_range,
                     "Instance nowhere is not defined in " + path + "!");
    EXPECT_THROW_MSG(Background(write(settings_text("delayed", "arrivals", 1, "", "0.0", "delayed"))),
                     std::out_of_range, "Instance delayed is not defined in " + path + "!");
    EXPECT_THROW_MSG(Background(write(settings_text("[delayed]", "arrivals", 1))), std::invalid_argument,
                     "access failed");
    EXPECT_THROW_MSG(Background(write(settings_text("delayed", "arrivals", 1, "", "soon"))), std::invalid_argument,
                     "access failed");
    std::string text = settings_text("delayed", "arrivals", 1);
    text.replace(text.find("num_channels: 1"), 15, "num_channels: one");
    EXPECT_THROW_MSG(Background(write(text)), std::invalid_argument, "access failed");
}

TEST_F(BackgroundTest, NegativeChannelCountIsRefused) {
    EXPECT_THROW_MSG(Background(write(settings_text("delayed", "arrivals", -5))), std::invalid_argument,
                     "Setting num_channels = -5 is negative!");
}

TEST_F(BackgroundTest, MissingSectionOrFileFails) {
    std::string text = settings_text("delayed", "arrivals", 1);
    text.replace(text.find("models:"), 7, "modelz:");
    EXPECT_THROW_MSG(Background(write(text)), std::out_of_range, "Key models not found!");
    EXPECT_THROW(Background((dir.path() / "absent.yaml").string()), std::ios_base::failure);
}

TEST(BackgroundExample, ShippedSettingsStreamSortedDarkCounts) {
    Background bg(BACKGROUND_EXAMPLES_DIR "/settings.yaml");
    const PEList chunk = bg.next_chunk(1e-3);
    ASSERT_GT(chunk.size(), 900u);
    std::size_t total = 0;
    for (std::size_t k = 0; k < chunk.size(); ++k) {
        if (k > 0) {
            EXPECT_LT(chunk[k - 1].first, chunk[k].first);
        }
        EXPECT_LT(chunk[k].first, 1000);
        const Times& times = chunk[k].second;
        EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
        EXPECT_GE(times.front(), 0.0);
        EXPECT_LE(times.back(), 1e-3);
        total += times.size();
    }
    // 1000 channels at 20 kHz for 1 ms: about 20000 dark counts.
    EXPECT_GT(total, 19000u);
    EXPECT_TRUE(bg.generate_metadata(0.0, 1e-3).empty());
}

}  // namespace
