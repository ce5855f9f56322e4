#include <background/core/Factory.hpp>
#include <background/core/Hook.hpp>
#include <background/driver/Background.hpp>
#include <background/models/DarkCountModel.hpp>
#include <background/models/GenericModel.hpp>
#include <background/providers/MockProvider.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace background {
namespace {

using testing::TempDir;
using Times = std::vector<double>;

// Shower k is one PE on channel 0, k s after its event: "delayed" carries PEs into later chunks.
// "mix" and "all" are the stream pinned bit for bit.
const char* const kSections = R"(
providers:
  showers: {class: MockProvider, theta_max: 0.5, r_max: 100.0, e_max: 1000.0, e_min: 10.0, index: -2.0, num_showers: 4}
generators:
  delayed: {class: ProviderGenerator, provider: showers}
  single: {class: NPEGenerator, num_pe: 1}
  double: {class: NPEGenerator, num_pe: 2}
  by_type: {class: GenericGenerator, generators: {single: 1, double: 2}}
  low: {class: AfterpulseGenerator, base_generator: single, probability: 0.05, delay_mean: 1.0e-6, delay_std: 2.0e-7,
        num_pe_mean: 1.5, seed: 42}
  high: {class: AfterpulseGenerator, base_generator: single, probability: 0.8, delay_mean: 3.0e-6, delay_std: 2.0e-6,
         num_pe_mean: 2.5, seed: 43}
  pairs: {class: AfterpulseGenerator, base_generator: double, probability: 0.3, delay_mean: 2.0e-6, delay_std: 1.0e-6,
          num_pe_mean: 1.0, seed: -1}
  mix: {class: GenericGenerator, generators: {low: 0, high: 1, pairs: 2, delayed: 3}}
models:
  arrivals: {class: DarkCountModel, gen_type: 0, seed: 11, num_channels: 4, rate: 3.0}
  over: {class: DarkCountModel, gen_type: 0, seed: 29, num_channels: 3, rate: 4.0}
  type_one: {class: DarkCountModel, gen_type: 1, seed: 5, num_channels: 4, rate: 3.0}
  type_two: {class: DarkCountModel, gen_type: 2, seed: -1, num_channels: 4, rate: 3.0}
  typed: {class: GenericModel, models: {type_one: 0, type_two: 0}}
  dark: {class: DarkCountModel, gen_type: 0, seed: 7, num_channels: 64, rate: 20000.0}
  bright: {class: DarkCountModel, gen_type: 1, seed: 8, num_channels: 64, rate: 3000.0}
  paired: {class: DarkCountModel, gen_type: 2, seed: 9, num_channels: 64, rate: 1000.0}
  showering: {class: DarkCountModel, gen_type: 3, seed: 10, num_channels: 4, rate: 40.0}
  all: {class: GenericModel, models: {dark: 0, bright: 0, paired: 0, showering: 0}}
fluxes: {}
)";

std::string settings_text(const std::string& generator, const std::string& model, int channels,
                          const std::string& extra = "  time_hint_hook: 4242\n  meta_gen_type: 0\n",
                          const std::string& start = "0.5") {
    return "lib:\n  provider: showers\n  generator: " + generator + "\n  model: " + model +
           "\n  num_channels: " + std::to_string(channels) + "\n  start_time: " + start + "\n" + extra + kSections;
}

PEList delayed(const BackgroundEvent& e) { return {{0, {static_cast<double>(e.id) + e.time}}}; }
PEList npe(const BackgroundEvent& e, int copies) { return {{static_cast<int>(e.id), Times(copies, e.time)}}; }

// The driver with plain pools instead of run mergers: a time waits until a chunk ends at or after
// it; a seek empties the pools after the next chunk has sampled.
struct Reference {
    std::unique_ptr<BackgroundModel> model;
    std::function<PEList(const BackgroundEvent&)> generate;
    std::vector<Times> pools;  // sorted by the last chunk
    double start = 0.5;
    bool reset = true;

    PEList chunk(double span) {
        const double t1 = start + span;
        const auto events = model->sample(std::exchange(start, t1), t1);
        if (std::exchange(reset, false)) pools.assign(pools.size(), {});
        for (const BackgroundEvent& event : events)
            for (const auto& [channel, times] : generate(event)) {
                Times& pool = pools.at(static_cast<std::size_t>(channel));  // a negative channel is out of range
                pool.insert(pool.end(), times.begin(), times.end());
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
    void seek(double time) { start = time, reset = true; }
};
Reference delayed_reference() { return {std::make_unique<DarkCountModel>(3.0, 4, 11, 0), delayed, {Times()}}; }

bool contains(const PEList& chunk, double time) {
    return std::any_of(chunk.begin(), chunk.end(), [time](const auto& entry) {
        return std::find(entry.second.begin(), entry.second.end(), time) != entry.second.end();
    });
}

// A time-hint callback under 4242 that records its calls and fails them when asked to.
class BackgroundTest : public ::testing::Test {
protected:
    std::string write(const std::string& text) { return dir.write("settings.yaml", text).string(); }
    TempDir dir;
    Times hints;
    bool fail_hook = false;
    Hook::Handle hook = Hook::set<std::function<void(double)>>(4242, [this](double t) {
        hints.push_back(t);
        if (fail_hook) throw std::runtime_error("hint refused");
    });
};

// Chunks ending one double before a held time leave it, the one ending at it takes it. The start
// time is the first seek; of two seeks only the last fires the hook and the held times are dropped.
TEST_F(BackgroundTest, ChunksHandOutTimesUpToTheirEndAndSeeksDropTheRest) {
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref = delayed_reference();
    EXPECT_TRUE(hints.empty());
    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    ASSERT_FALSE(ref.pools[0].empty());
    const double later = ref.pools[0].front(), end = std::nextafter(later, 0.0);
    ASSERT_TRUE(1.5 + (end - 1.5) == end && end + (later - end) == later);
    for (double span : {end - 1.5, 0.0, later - end}) {
        const PEList chunk = bg.next_chunk(span);
        EXPECT_EQ(chunk, ref.chunk(span));
        EXPECT_EQ(contains(chunk, later), span == later - end) << span;
    }
    EXPECT_EQ(hints, Times{0.5});

    ASSERT_TRUE(!ref.pools[0].empty() && ref.pools[0].back() < 6.0);  // held times the next chunk would take
    bg.seek(4.0);
    bg.seek(1.0);
    ref.seek(1.0);
    EXPECT_EQ(hints, Times{0.5});
    EXPECT_EQ(bg.next_chunk(5.0), ref.chunk(5.0));
    for (double span : {0.7, 1.3, 0.25, 2.0, 0.0, 3.0, 4.5}) ASSERT_EQ(bg.next_chunk(span), ref.chunk(span)) << span;
    EXPECT_EQ(hints, (Times{0.5, 1.0}));
}

// "over" reaches channel 2 of a two-channel array: the failed chunk has moved the start on and kept
// what earlier events pushed, which the following empty chunk hands out.
TEST_F(BackgroundTest, ChannelOutOfRangeFailsAfterTheChunkMovedOn) {
    Background bg(write(settings_text("single", "over", 2)));
    Reference ref{std::make_unique<DarkCountModel>(4.0, 3, 29, 0), [](const auto& e) { return npe(e, 1); },
                  std::vector<Times>(2)};
    EXPECT_THROW(bg.next_chunk(1.0), std::out_of_range);  // the message is the mergers' own
    EXPECT_THROW(ref.chunk(1.0), std::out_of_range);
    const PEList leftovers = bg.next_chunk(0.0);
    EXPECT_EQ(leftovers, ref.chunk(0.0));
    EXPECT_FALSE(leftovers.empty());
}

// After a seek, a failing model leaves the reset pending (the next chunk fires the hook and drops
// the held times); a failing hook has cleared it without dropping them.
TEST_F(BackgroundTest, FailedChunksAfterASeekFollowTheirFailureRules) {
    for (const bool hook_fails : {false, true}) {
        SCOPED_TRACE(hook_fails ? "hook fails" : "model fails");
        hints.clear();
        Background bg(write(settings_text("delayed", "arrivals", 1)));
        Reference ref = delayed_reference();
        ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
        const Times held = ref.pools[0];
        ASSERT_FALSE(held.empty());
        bg.seek(0.5);
        fail_hook = hook_fails;
        if (hook_fails) EXPECT_THROW_MSG(bg.next_chunk(0.25), std::runtime_error, "hint refused");
        else EXPECT_THROW(bg.next_chunk(1e12), std::invalid_argument);  // 3e12 events per channel
        fail_hook = false;
        const PEList chunk = bg.next_chunk(10.0);
        EXPECT_EQ(hints, (Times{0.5, hook_fails ? 0.5 : 0.5 + 1e12}));
        for (double time : held) EXPECT_EQ(contains(chunk, time), hook_fails) << time;
    }
}

// A non-finite time would leave every later chunk empty: it is refused before the clock moves.
TEST_F(BackgroundTest, NonFiniteTimesAndNegativeChannelCountsAreRefused) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref = delayed_reference();
    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    const auto build = [this](int channels, const char* start) {
        Background{write(settings_text("single", "arrivals", channels, "", start))};
    };
    const std::vector<std::pair<std::function<void()>, std::string>> refused = {
        {[&] { bg.next_chunk(nan); }, "A chunk of nan s from 1.5 s does not end at a finite time!"},
        {[&] { bg.next_chunk(-inf); }, "A chunk of -inf s from 1.5 s does not end at a finite time!"},
        {[&] { bg.seek(nan); }, "Seek time nan is not a finite time!"},
        {[&] { bg.seek(inf); }, "Seek time inf is not a finite time!"},
        {[&] { build(1, ".nan"); }, "Setting start_time = nan is not a finite time!"},
        {[&] { build(1, "-.inf"); }, "Setting start_time = -inf is not a finite time!"},
        {[&] { build(-3, "0"); }, "Setting num_channels = -3 is negative!"},
    };
    for (const auto& [call, message] : refused) EXPECT_THROW_MSG(call(), std::invalid_argument, message);
    EXPECT_EQ(bg.next_chunk(2.0), ref.chunk(2.0));
    bg.seek(1e308);  // a finite span whose end is not finite
    EXPECT_THROW_MSG(bg.next_chunk(1e308), std::invalid_argument,
                     "A chunk of 1e+308 s from 1e+308 s does not end at a finite time!");
}

// An ID nobody registered, or registered with another type, means "no hook"; meta_gen_type is read
// by metadata only.
TEST_F(BackgroundTest, MissingOrUnknownHookIsNoHook) {
    const auto wrong_type = Hook::set<int>(4244, 1);
    for (const char* hook_line : {"", "  time_hint_hook: 4243\n", "  time_hint_hook: 4244\n"}) {
        Background bg(write(settings_text("delayed", "arrivals", 1, hook_line)));
        bg.next_chunk(1.0);
        bg.seek(3.0);
        bg.next_chunk(1.0);
        EXPECT_THROW_MSG(bg.generate_metadata(1.0, 2.0), std::out_of_range, "Key meta_gen_type not found!");
        EXPECT_TRUE(hints.empty()) << hook_line;
    }
}

// Only events of meta_gen_type count, each with the provider's record at its event time; metadata
// leaves the chunks' start and held times alone. A seed of -1 means 2^64 - 1.
TEST_F(BackgroundTest, MetadataTakesTheShowersOfTheSelectedTypeAtTheirEventTimes) {
    Background bg(write(settings_text("by_type", "typed", 4, "  time_hint_hook: 4242\n  meta_gen_type: 2\n")));
    auto model = std::make_unique<GenericModel>();
    model->add_model(std::make_unique<DarkCountModel>(3.0, 4, 5, 1));
    model->add_model(std::make_unique<DarkCountModel>(3.0, 4, ~0ul, 2));
    Reference ref{std::move(model), [](const BackgroundEvent& e) { return npe(e, e.type); }, std::vector<Times>(4)};
    MockProvider provider(4, -2.0, 10.0, 1000.0, 100.0, 0.5);

    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    const auto records = bg.generate_metadata(2.0, 4.0);
    const auto events = ref.model->sample(2.0, 4.0);
    std::vector<Metadata> expected;
    for (const BackgroundEvent& e : events) {
        if (e.type != 2) continue;
        expected.push_back(provider.get_metadata(e.id));
        expected.back().time = e.time;
    }
    ASSERT_TRUE(!records.empty() && records.size() < events.size());
    ASSERT_EQ(records.size(), expected.size());
    const auto fields = [](const Metadata& m) {
        return std::tie(m.uid, m.primary, m.energy, m.x, m.y, m.theta, m.phi, m.time);
    };
    for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(fields(records[i]), fields(expected[i])) << i;
    EXPECT_EQ(hints, (Times{0.5, 2.0}));
    EXPECT_EQ(bg.next_chunk(0.05), ref.chunk(0.05));  // short enough for silent channels
}

// Each row is written with only the keys before the one left out; with every key it builds.
TEST_F(BackgroundTest, MissingKeysAreNamedInTheOrderTheyAreRead) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> table = {
        {"providers:MockProvider",
         {"theta_max: 0.4", "r_max: 75.0", "e_max: 5000.0", "e_min: 50.0", "index: -2.2", "num_showers: 4"}},
        {"generators:NPEGenerator", {"num_pe: 1"}},
        {"generators:ProviderGenerator", {"provider: showers"}},
        {"generators:GenericGenerator", {"generators: {single: 1}"}},
        {"generators:AfterpulseGenerator",
         {"num_pe_mean: 1.5", "delay_std: 1.0e-7", "delay_mean: 1.0e-6", "probability: 0.5", "seed: 3",
          "base_generator: single"}},
        {"models:DarkCountModel", {"gen_type: 0", "seed: 1", "num_channels: 2", "rate: 1.0"}},
        {"models:GenericModel", {"models: {arrivals: 1}"}},
        {"lib:", {"provider: showers", "generator: single", "model: arrivals", "num_channels: 1", "start_time: 0"}},
    };
    for (const auto& [where, keys] : table) {
        const std::size_t colon = where.find(':');
        const std::string section = where.substr(0, colon);
        for (std::size_t missing = 0; missing <= keys.size(); ++missing) {
            std::string entry = section == "lib" ? "lib: {" : "  x: {class: " + where.substr(colon + 1) + ", ";
            for (std::size_t i = 0; i < missing; ++i) entry += keys[i] + ", ";
            std::string text = kSections;
            text.insert(section == "lib" ? text.size() : text.find(section + ":\n") + colon + 2, entry + "}\n");
            const std::string path = write(text);
            const auto build = [&] {
                if (section == "providers") Factory<ShowerProvider>(path).create_by_name("x");
                if (section == "generators") Factory<EventGenerator>(path).create_by_name("x");
                if (section == "models") Factory<BackgroundModel>(path).create_by_name("x");
                if (section == "lib") Background driver(path);
            };
            SCOPED_TRACE(where + " with " + std::to_string(missing) + " keys");
            if (missing == keys.size()) EXPECT_NO_THROW(build());
            else EXPECT_THROW_MSG(build(), std::out_of_range,
                                  "Key " + keys[missing].substr(0, keys[missing].find(':')) + " not found!");
        }
    }
}

// Every model, generator and chunk size the driver meets (afterpulses chosen below and above one
// half, shower PEs carried over seconds, empty to long chunks, a seek back) folded into one FNV-1a
// hash: a changed draw order, tie order or carried time changes it.
TEST_F(BackgroundTest, StreamIsPinnedBitForBit) {
    Background bg(write("lib: {provider: showers, generator: mix, model: all, num_channels: 64, start_time: 0.25}"
                        + std::string(kSections)));
    std::uint64_t hash = 0xcbf29ce484222325ull;
    std::size_t pes = 0;
    const auto mix = [&hash](std::uint64_t word) {
        for (int byte = 0; byte < 8; ++byte) hash = (hash ^ ((word >> (8 * byte)) & 0xff)) * 0x100000001b3ull;
    };
    const auto take = [&](double span) {
        for (const auto& [channel, times] : bg.next_chunk(span)) {
            mix(static_cast<std::uint64_t>(channel)), mix(times.size()), pes += times.size();
            for (double time : times) mix(std::bit_cast<std::uint64_t>(time));
        }
    };
    for (int i = 0; i < 200; ++i) take(i % 7 == 3 ? 1e-5 : 1e-3);
    for (double span : {0.0, 0.05, 2e-6, 0.3, 1e-4}) take(span);
    bg.seek(0.1);
    for (int i = 0; i < 50; ++i) take(2.5e-3);
    take(0.2);
    EXPECT_EQ(pes, 1790904u);
    EXPECT_EQ(hash, 9380030920462027757ull);
}

// 1000 channels at 20 kHz with 5 % afterpulses of mean 1.5 PEs: about 215000 dark-count PEs in
// 10 ms (spread 460), showers add some 1.6 M/s that vary far more. The Python example test counts the showers.
TEST(ExampleSettings, StreamsDarkCountsAndAfterpulsesAtTheConfiguredRates) {
#ifndef BACKGROUND_MAKE_SHOWERS
    GTEST_SKIP() << "built without the example programs";
#else
    TempDir dir;
    for (const char* file : {"settings.yaml", "proton_flux.txt"})
        std::filesystem::copy_file(std::filesystem::path(BACKGROUND_EXAMPLES_DIR) / file, dir.path() / file);
    const std::string make = std::string(BACKGROUND_MAKE_SHOWERS) + " " + (dir.path() / "data").string();
    ASSERT_EQ(std::system(make.c_str()), 0);

    Background bg((dir.path() / "settings.yaml").string());
    std::size_t pes = 0;
    for (int chunk = 0; chunk < 10; ++chunk)
        for (const auto& [channel, times] : bg.next_chunk(1e-3)) pes += times.size();
    EXPECT_GT(static_cast<double>(pes), 215000.0 - 2500.0);
    EXPECT_LT(static_cast<double>(pes), 215000.0 + 100000.0);
#endif
}

}  // namespace
}  // namespace background
