#include <background/core/Factory.hpp>
#include <background/core/Hook.hpp>
#include <background/driver/AfterpulseGenerator.hpp>
#include <background/driver/Background.hpp>
#include <background/driver/NPEGenerator.hpp>
#include <background/models/DarkCountModel.hpp>
#include <background/models/GenericModel.hpp>
#include <background/providers/MockProvider.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
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

// "showers" shower k is one PE on channel 0, k seconds after the shower, and
// "arrivals" yields showers 0 to 3, so "delayed" puts PEs up to 3 s after
// their event and later chunks receive them.
const char* const kSections = R"(
providers:
  showers: {class: MockProvider, theta_max: 0.5, r_max: 100.0, e_max: 1000.0, e_min: 10.0, index: -2.0, num_showers: 4}
generators:
  delayed: {class: ProviderGenerator, provider: showers}
  single: {class: NPEGenerator, num_pe: 1}
  double: {class: NPEGenerator, num_pe: 2}
  by_type: {class: GenericGenerator, generators: {single: 1, double: 2}}
  pulses: {class: AfterpulseGenerator, num_pe_mean: 2.5, delay_std: 2.0e-7, delay_mean: 1.0e-6,
           probability: 0.6, seed: -1, base_generator: double}
  self_generic: {class: GenericGenerator, generators: {single: 1, self_generic: 2}}
  pulses_ring: {class: AfterpulseGenerator, num_pe_mean: 2.5, delay_std: 2.0e-7, delay_mean: 1.0e-6,
                probability: 0.5, seed: 1, base_generator: ring_back}
  ring_back: {class: GenericGenerator, generators: {single: 0, pulses_ring: 1}}
models:
  arrivals: {class: DarkCountModel, gen_type: 0, seed: 11, num_channels: 4, rate: 3.0}
  over: {class: DarkCountModel, gen_type: 0, seed: 29, num_channels: 3, rate: 4.0}
  type_one: {class: DarkCountModel, gen_type: 1, seed: 5, num_channels: 4, rate: 3.0}
  type_two: {class: DarkCountModel, gen_type: 2, seed: -1, num_channels: 4, rate: 3.0}
  typed: {class: GenericModel, models: {type_one: 0, type_two: 0}}
  negative_channels: {class: DarkCountModel, gen_type: 0, seed: 1, num_channels: -5, rate: 1.0}
  itself: {class: GenericModel, models: {arrivals: 1, itself: 1}}
  both: {class: GenericModel, models: {typed: 1, type_one: 1}}
fluxes: {}
)";

std::string settings_text(const std::string& generator, const std::string& model, int channels,
                          const std::string& extra = "  time_hint_hook: 4242\n  meta_gen_type: 0\n",
                          double start = 0.0) {
    return "lib:\n  provider: showers\n  generator: " + generator + "\n  model: " + model +
           "\n  num_channels: " + std::to_string(channels) + "\n  start_time: " + std::to_string(start) + "\n" +
           extra + kSections;
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

    PEList chunk(double span) {
        const double t0 = chunk_start, t1 = t0 + span;
        chunk_start = t1;
        const auto events = model->sample(t0, t1);
        if (std::exchange(reset, false)) pools.assign(pools.size(), {});
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

    void seek(double time) { chunk_start = time, reset = true; }
    std::vector<BackgroundEvent> sample(double begin, double end) { return model->sample(begin, end); }
    Times held(int channel) const { return pools.at(channel); }  // sorted by the last chunk

private:
    std::unique_ptr<BackgroundModel> model;
    Generate generate;
    std::vector<Times> pools;
    double chunk_start;
    bool reset = true;
};

auto fields(const Metadata& m) { return std::tie(m.uid, m.primary, m.energy, m.x, m.y, m.theta, m.phi, m.time); }

bool contains(const PEList& chunk, double time) {
    return std::any_of(chunk.begin(), chunk.end(), [time](const auto& entry) {
        return std::find(entry.second.begin(), entry.second.end(), time) != entry.second.end();
    });
}

// Registers a time-hint callback under 4242 that records its calls, and
// fails them when asked to.
class BackgroundTest : public ::testing::Test {
protected:
    std::string write(const std::string& text) { return dir.write("settings.yaml", text).string(); }
    TempDir dir;
    std::vector<double> hints;
    bool fail_hook = false;
    Hook::Handle hook = Hook::set<std::function<void(double)>>(4242, [this](double t) {
        hints.push_back(t);
        if (fail_hook) throw std::runtime_error("hint refused");
    });
};

// T is the earliest time carried out of the first chunk: chunks ending one
// double before T (an empty one too) leave it, the chunk ending at T takes it.
// Further chunks of assorted spans carry times on as the reference does.
TEST_F(BackgroundTest, ChunksHandOutEveryTimeUpToAndIncludingTheirEnd) {
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref(arrivals(), delayed, 1);
    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    ASSERT_FALSE(ref.held(0).empty());
    const double later = ref.held(0).front();
    const double end = std::nextafter(later, 0.0);
    ASSERT_EQ(1.0 + (end - 1.0), end);
    ASSERT_EQ(end + (later - end), later);
    for (double span : {end - 1.0, 0.0}) {
        const PEList before = bg.next_chunk(span);
        EXPECT_EQ(before, ref.chunk(span));
        EXPECT_FALSE(contains(before, later));
    }
    const PEList at = bg.next_chunk(later - end);
    EXPECT_EQ(at, ref.chunk(later - end));
    EXPECT_TRUE(contains(at, later));

    for (double span : {0.7, 1.3, 0.25, 2.0, 0.0, 3.0, 4.5}) ASSERT_EQ(bg.next_chunk(span), ref.chunk(span)) << span;
}

// "over" puts events on channels 0 to 2 of a two-channel array: the chunk
// [0, 1] fails at its first channel-2 event, yet has moved the start on and
// kept what earlier events pushed, so the empty chunk [1, 1] hands out times
// that lie before its start.
TEST_F(BackgroundTest, ChannelOutOfRangeFailsAfterTheChunkMovedOn) {
    Background bg(write(settings_text("single", "over", 2)));
    Reference ref(std::make_unique<DarkCountModel>(4.0, 3, 29, 0), [](const auto& e) { return npe(e, 1); }, 2);
    EXPECT_THROW_MSG(bg.next_chunk(1.0), std::out_of_range,
                     "Generated data for channel 2, but only 2 channels in array!");
    EXPECT_THROW(ref.chunk(1.0), std::out_of_range);

    const PEList leftovers = bg.next_chunk(0.0);
    EXPECT_EQ(leftovers, ref.chunk(0.0));
    ASSERT_FALSE(leftovers.empty());
    for (const auto& entry : leftovers) EXPECT_LT(entry.second.back(), 1.0);
}

// The start time is the first seek. Only the last of two seeks counts, and
// the times held before it are dropped although the next chunk covers them.
TEST_F(BackgroundTest, SeekDropsHeldTimesAndFiresTheHookOnceWithTheSeekTime) {
    Background bg(write(settings_text("delayed", "arrivals", 1, "  time_hint_hook: 4242\n", 0.5)));
    Reference ref(arrivals(), delayed, 1, 0.5);
    EXPECT_TRUE(hints.empty());
    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    ASSERT_EQ(bg.next_chunk(0.0), ref.chunk(0.0));
    EXPECT_EQ(hints, Times{0.5});
    const Times held = ref.held(0);
    ASSERT_FALSE(held.empty());
    ASSERT_LT(held.back(), 6.0);

    bg.seek(4.0);
    bg.seek(1.0);
    ref.seek(1.0);
    EXPECT_EQ(hints, Times{0.5});
    const PEList chunk = bg.next_chunk(5.0);
    EXPECT_EQ(chunk, ref.chunk(5.0));
    for (double time : held) EXPECT_FALSE(contains(chunk, time)) << time;
    EXPECT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    EXPECT_EQ(hints, (Times{0.5, 1.0}));
}

// A time that is not finite would leave every later chunk empty: it is
// refused before the clock moves, so the stream goes on as if it had not
// been asked, with the times it holds.
TEST_F(BackgroundTest, NonFiniteTimesAreRefusedBeforeTheClockMoves) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const auto starting_at = [this](const std::string& start) {
        std::string text = settings_text("single", "arrivals", 1);
        return write(text.replace(text.find("0.000000"), 8, start));
    };
    Background bg(write(settings_text("delayed", "arrivals", 1)));
    Reference ref(arrivals(), delayed, 1);
    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    const std::vector<std::pair<std::function<void()>, std::string>> refused = {
        {[&] { bg.next_chunk(nan); }, "A chunk of nan s from 1 s does not end at a finite time!"},
        {[&] { bg.next_chunk(-inf); }, "A chunk of -inf s from 1 s does not end at a finite time!"},
        {[&] { bg.seek(nan); }, "Seek time nan is not a finite time!"},
        {[&] { bg.seek(inf); }, "Seek time inf is not a finite time!"},
        {[&] { Background{starting_at(".nan")}; }, "Setting start_time = nan is not a finite time!"},
        {[&] { Background{starting_at("-.inf")}; }, "Setting start_time = -inf is not a finite time!"},
    };
    for (const auto& [call, message] : refused) EXPECT_THROW_MSG(call(), std::invalid_argument, message);
    EXPECT_EQ(bg.next_chunk(2.0), ref.chunk(2.0));
    // A finite span whose end is not finite.
    bg.seek(1e308);
    EXPECT_THROW_MSG(bg.next_chunk(1e308), std::invalid_argument,
                     "A chunk of 1e+308 s from 1e+308 s does not end at a finite time!");
}

// After a seek, a chunk whose model fails leaves the reset pending: the next
// chunk fires the hook and drops the held times. A chunk whose hook fails has
// cleared the reset without dropping them: the next chunk hands them out.
TEST_F(BackgroundTest, FailedChunksAfterASeekFollowTheirFailureRules) {
    for (const bool hook_fails : {false, true}) {
        SCOPED_TRACE(hook_fails ? "hook fails" : "model fails");
        hints.clear();
        Background bg(write(settings_text("delayed", "arrivals", 1)));
        Reference ref(arrivals(), delayed, 1);
        ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
        const Times held = ref.held(0);
        ASSERT_FALSE(held.empty());
        bg.seek(0.5);
        if (hook_fails) {
            fail_hook = true;
            EXPECT_THROW_MSG(bg.next_chunk(0.25), std::runtime_error, "hint refused");
            fail_hook = false;
        } else {
            // A mean of 3e12 events per channel is refused by the model.
            EXPECT_THROW(bg.next_chunk(1e12), std::invalid_argument);
        }
        const double start = hook_fails ? 0.75 : 0.5 + 1e12;
        const PEList chunk = bg.next_chunk(10.0);
        EXPECT_EQ(hints, hook_fails ? (Times{0.0, 0.5}) : (Times{0.0, start}));
        for (double time : held) EXPECT_EQ(contains(chunk, time), hook_fails) << time;
    }
}

// A missing key, an ID nobody registered or one registered with another type
// all mean "no hook": everything works and the recorder is never called.
TEST_F(BackgroundTest, MissingOrUnknownHookIsNoHook) {
    const auto wrong_type = Hook::set<int>(4244, 1);
    for (const char* hook_line : {"", "  time_hint_hook: 4243\n", "  time_hint_hook: 4244\n"}) {
        Background bg(write(settings_text("delayed", "arrivals", 1, hook_line + std::string("  meta_gen_type: 0\n"))));
        bg.next_chunk(1.0);
        bg.seek(3.0);
        bg.next_chunk(1.0);
        bg.generate_metadata(0.0, 1.0);
        EXPECT_TRUE(hints.empty()) << hook_line;
    }
}

// "typed" mixes events of types 1 and 2; only those of meta_gen_type count,
// each with the provider's record at its event time. Metadata samples the
// model like a chunk does, but leaves the chunks' start and held times alone.
// The directly built reference also shows every model, generator and provider
// setting reaching its own argument, and a seed of -1 meaning 2^64 - 1.
TEST_F(BackgroundTest, MetadataTakesTheShowersOfTheSelectedTypeAtTheirEventTimes) {
    Background bg(write(settings_text("by_type", "typed", 4, "  time_hint_hook: 4242\n  meta_gen_type: 2\n")));
    auto model = std::make_unique<GenericModel>();
    model->add_model(std::make_unique<DarkCountModel>(3.0, 4, 5, 1));
    model->add_model(std::make_unique<DarkCountModel>(3.0, 4, ~0ul, 2));
    Reference ref(std::move(model), [](const BackgroundEvent& e) { return npe(e, e.type); }, 4);
    MockProvider provider(4, -2.0, 10.0, 1000.0, 100.0, 0.5);

    ASSERT_EQ(bg.next_chunk(1.0), ref.chunk(1.0));
    const auto records = bg.generate_metadata(2.0, 4.0);
    std::vector<Metadata> expected;
    const auto events = ref.sample(2.0, 4.0);
    for (const BackgroundEvent& e : events) {
        if (e.type != 2) continue;
        expected.push_back(provider.get_metadata(e.id));
        expected.back().time = e.time;
    }
    ASSERT_EQ(records.size(), expected.size());
    ASSERT_LT(records.size(), events.size());
    ASSERT_FALSE(records.empty());
    for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(fields(records[i]), fields(expected[i])) << i;
    EXPECT_EQ(hints, (Times{0.0, 2.0}));
    // Short enough for silent channels, which get no entry.
    EXPECT_EQ(bg.next_chunk(0.05), ref.chunk(0.05));
}

TEST_F(BackgroundTest, MetaGenTypeIsReadOnlyByMetadata) {
    Background bg(write(settings_text("delayed", "arrivals", 1, "  time_hint_hook: 4242\n")));
    bg.next_chunk(1.0);
    EXPECT_THROW_MSG(bg.generate_metadata(1.0, 2.0), std::out_of_range, "Key meta_gen_type not found!");
    EXPECT_EQ(hints, Times{0.0});
}

// Each row is written with only the keys before the one left out, and the
// error must name that key; with every key present the instance builds.
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
        const std::string section = where.substr(0, where.find(':')), cls = where.substr(where.find(':') + 1);
        for (std::size_t missing = 0; missing <= keys.size(); ++missing) {
            std::string entry = section == "lib" ? "lib: {" : "  x: {class: " + cls + ", ";
            for (std::size_t i = 0; i < missing; ++i) entry += keys[i] + ", ";
            std::string text = kSections;
            text.insert(section == "lib" ? text.size() : text.find(section + ":\n") + section.size() + 2,
                        entry + "}\n");
            const std::string path = write(text);
            const auto build = [&] {
                if (section == "providers") Factory<ShowerProvider>(path).create_by_name("x");
                if (section == "generators") Factory<EventGenerator>(path).create_by_name("x");
                if (section == "models") Factory<BackgroundModel>(path).create_by_name("x");
                if (section == "lib") Background driver(path);
            };
            SCOPED_TRACE(where + " with " + std::to_string(missing) + " keys");
            if (missing == keys.size()) {
                EXPECT_NO_THROW(build());
            } else {
                const std::string key = keys[missing].substr(0, keys[missing].find(':'));
                EXPECT_THROW_MSG(build(), std::out_of_range, "Key " + key + " not found!");
            }
        }
    }
}

TEST_F(BackgroundTest, NegativeChannelCountIsRefused) {
    const std::string path = write(settings_text("single", "arrivals", -3));
    EXPECT_THROW_MSG(Background{path}, std::invalid_argument, "Setting num_channels = -3 is negative!");
    EXPECT_THROW_MSG(Factory<BackgroundModel>(path).create_by_name("negative_channels"), std::invalid_argument,
                     "Setting num_channels = -5 is negative!");
}

// Composite instances that reach themselves, directly or through a ring,
// would recurse without end; an instance used twice without a cycle is fine.
TEST_F(BackgroundTest, InstancesThatContainThemselvesAreRefused) {
    const std::string path = write(kSections);
    Factory<EventGenerator> generators(path);
    Factory<BackgroundModel> models(path);
    const auto message = [](const std::string& name) { return "Instance " + name + " is defined as a part of itself!"; };
    for (const char* name : {"self_generic", "pulses_ring", "ring_back"}) {
        EXPECT_THROW_MSG(generators.create_by_name(name), std::invalid_argument, message(name));
    }
    EXPECT_THROW_MSG(models.create_by_name("itself"), std::invalid_argument, message("itself"));
    EXPECT_NO_THROW(models.create_by_name("both"));
}

// Every afterpulse setting must reach its own argument (a swap of two would
// change the stream), and a seed of -1 means 2^64 - 1.
TEST_F(BackgroundTest, AfterpulseSettingsReachTheirConstructorArguments) {
    auto pulses = Factory<EventGenerator>(write(kSections)).create_by_name("pulses");
    AfterpulseGenerator direct(std::make_unique<NPEGenerator>(2), ~0ul, 0.6, 1e-6, 2e-7, 2.5);
    std::size_t pes = 0;
    for (unsigned long i = 0; i < 20; ++i) {
        const PEList expected = direct.generate({0.001 * static_cast<double>(i), 0, i % 4});
        EXPECT_EQ(pulses->generate({0.001 * static_cast<double>(i), 0, i % 4}), expected) << "event " << i;
        pes += expected.at(0).second.size();
    }
    EXPECT_GT(pes, 40u);  // afterpulses besides the 2 base PEs per event
}

// Pins the stream bit for bit: every model, generator and chunk size the
// driver meets (dark counts on many channels, single-PE afterpulses chosen
// below and above one half, double PEs, shower PEs carried over seconds,
// chunks from empty to long, a seek back in time) folded into one FNV-1a
// hash of the channels and time bit patterns. A changed draw order, tie
// order or carried time changes it.
TEST_F(BackgroundTest, StreamIsPinnedBitForBit) {
    const std::string text = R"(
lib: {provider: showers, generator: mix, model: all, num_channels: 64, start_time: 0.25}
providers:
  showers: {class: MockProvider, theta_max: 0.5, r_max: 100.0, e_max: 1000.0, e_min: 10.0, index: -2.0, num_showers: 4}
generators:
  one: {class: NPEGenerator, num_pe: 1}
  two: {class: NPEGenerator, num_pe: 2}
  shower: {class: ProviderGenerator, provider: showers}
  low: {class: AfterpulseGenerator, base_generator: one, probability: 0.05, delay_mean: 1.0e-6, delay_std: 2.0e-7,
        num_pe_mean: 1.5, seed: 42}
  high: {class: AfterpulseGenerator, base_generator: one, probability: 0.8, delay_mean: 3.0e-6, delay_std: 2.0e-6,
         num_pe_mean: 2.5, seed: 43}
  pairs: {class: AfterpulseGenerator, base_generator: two, probability: 0.3, delay_mean: 2.0e-6, delay_std: 1.0e-6,
          num_pe_mean: 1.0, seed: -1}
  mix: {class: GenericGenerator, generators: {low: 0, high: 1, pairs: 2, shower: 3}}
models:
  dark: {class: DarkCountModel, gen_type: 0, seed: 7, num_channels: 64, rate: 20000.0}
  bright: {class: DarkCountModel, gen_type: 1, seed: 8, num_channels: 64, rate: 3000.0}
  paired: {class: DarkCountModel, gen_type: 2, seed: 9, num_channels: 64, rate: 1000.0}
  arrivals: {class: DarkCountModel, gen_type: 3, seed: 10, num_channels: 4, rate: 40.0}
  all: {class: GenericModel, models: {dark: 0, bright: 0, paired: 0, arrivals: 0}}
fluxes: {}
)";
    Background bg(write(text));
    std::uint64_t hash = 0xcbf29ce484222325ull;
    const auto mix = [&hash](std::uint64_t word) {
        for (int byte = 0; byte < 8; ++byte) hash = (hash ^ ((word >> (8 * byte)) & 0xff)) * 0x100000001b3ull;
    };
    std::size_t pes = 0;
    const auto take = [&](double span) {
        for (const auto& [channel, times] : bg.next_chunk(span)) {
            mix(static_cast<std::uint64_t>(channel));
            mix(times.size());
            for (double time : times) mix(std::bit_cast<std::uint64_t>(time));
            pes += times.size();
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

// The shipped example on the simulation files its maker writes: 1000
// channels at 20 kHz with 5 % afterpulses of mean 1.5 PEs give 21.5 PEs per
// channel and millisecond, so 10 ms hold about 215000 dark-count PEs (Poisson
// spread about 460); the showers add some 1.6 M PEs per second, which vary
// far more. Proton showers arrive at about 26.1 kHz: some 2610 in 0.1 s
// (Poisson spread 51, bound over 5 of those).
TEST(ExampleSettings, StreamsDarkCountsAndShowersAtTheConfiguredRates) {
#ifndef BACKGROUND_MAKE_SHOWERS
    GTEST_SKIP() << "built without the example programs";
#else
    TempDir dir;
    for (const char* file : {"settings.yaml", "proton_flux.txt"}) {
        std::filesystem::copy_file(std::filesystem::path(BACKGROUND_EXAMPLES_DIR) / file, dir.path() / file);
    }
    const std::string make = std::string(BACKGROUND_MAKE_SHOWERS) + " " + (dir.path() / "data").string();
    ASSERT_EQ(std::system(make.c_str()), 0);

    Background bg((dir.path() / "settings.yaml").string());
    std::size_t pes = 0;
    for (int chunk = 0; chunk < 10; ++chunk) {
        const PEList result = bg.next_chunk(1e-3);
        for (std::size_t i = 0; i < result.size(); ++i) {
            const auto& [channel, times] = result[i];
            ASSERT_TRUE(i == 0 || result[i - 1].first < channel);
            ASSERT_TRUE(!times.empty() && std::is_sorted(times.begin(), times.end()));
            ASSERT_LE(times.back(), 1e-3 * (chunk + 1));
            pes += times.size();
        }
    }
    EXPECT_GT(static_cast<double>(pes), 215000.0 - 2500.0);
    EXPECT_LT(static_cast<double>(pes), 215000.0 + 100000.0);

    const auto showers = bg.generate_metadata(0.0, 0.1);
    EXPECT_NEAR(static_cast<double>(showers.size()), 2611.0, 255.0);
    for (const Metadata& shower : showers) {
        ASSERT_TRUE(shower.energy >= 1e3 && shower.energy <= 1e5 && shower.theta <= 0.6) << shower.uid;
        ASSERT_TRUE(shower.time >= 0.0 && shower.time < 0.1) << shower.uid;
    }
#endif
}

}  // namespace
}  // namespace background
