// Showers from simulation files at a flux's rates, dark counts and afterpulses, streamed directly and
// replayed from an event cache and an ordered shower library made for the interval.
#include <background/core/Factory.hpp>
#include <background/driver/Background.hpp>
#include <background/models/CachedModel.hpp>
#include <background/providers/OrderedProvider.hpp>
#include <background/providers/XCDFWriter.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace background {
namespace {

using testing::TempDir;

constexpr double kStart = 0.5;
constexpr double kChunk = 1e-3;
constexpr int kChunks = 60;

// Showers inside the thrown ranges of the settings below, some without PEs.
void write_showers(const std::filesystem::path& dir) {
    std::mt19937_64 rng(5);
    const auto unit = [&rng] { return std::uniform_real_distribution<double>(0.0, 1.0)(rng); };
    const auto below = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    std::filesystem::create_directories(dir);
    for (int file = 0; file < 2; ++file) {
        XCDFWriter writer(dir / ("run" + std::to_string(file) + ".xcd"));
        for (int shower = 0; shower < 40; ++shower) {
            const Metadata m{0, Metadata::PROTON, 1000.0 * std::pow(10.0, unit()), 50.0 * unit() - 25.0,
                             50.0 * unit() - 25.0, 0.5 * unit(), 6.0 * unit(), 0.0, 0, 0};  // drawn in this order
            std::vector<XCDFReader::PEData> pes;
            for (int k = below(13); k > 0; --k) pes.push_back({below(8), 1e-8 * unit()});
            writer.append(m, pes);
        }
        writer.close();
    }
}

// The replay's ordered provider registers the time-hint hook.
std::string settings(const std::string& generator, bool replay = false) {
    const std::string provider = replay ? "ordered" : "sims";
    return "lib: {provider: " + provider + ", generator: " + generator + ", model: " + (replay ? "cached" : "all") +
           ", num_channels: 8, start_time: 0.5, meta_gen_type: 1" + (replay ? ", time_hint_hook: 13076069}" : "}") +
           R"(
providers:
  sims: {class: MultiProvider, warn_unverified: false, cutoff_interval: 2.0e-9, cutoff_pes: 2,
         datasets: {a: {input_files: sims, file_limit: -1}}}
  ordered: {class: OrderedProvider, path: replay/library}
generators:
  dark: {class: NPEGenerator, num_pe: 1}
  showers: {class: ProviderGenerator, provider: )" + provider + R"(}
  typed: {class: GenericGenerator, generators: {dark: 0, showers: 1}}
  pulses: {class: AfterpulseGenerator, base_generator: typed, probability: 0.3, delay_mean: 2.0e-6,
           delay_std: 5.0e-7, num_pe_mean: 1.5, seed: 3}
models:
  dark: {class: DarkCountModel, gen_type: 0, seed: 4, num_channels: 8, rate: 3000.0}
  rays: {class: CosmicRayModel, provider: sims, flux: protons, warn_invalid: true, e_max: 10000.0,
         e_min: 1000.0, theta_max: 0.5, r_max: 40.0, throw_index: -1.0, gen_type: 1, seed: 6}
  all: {class: GenericModel, models: {dark: 0, rays: 0}}
  cached: {class: CachedModel, cache_file: replay/events.tmio}
fluxes:
  protons: {class: PowerLawFlux, e_ref: 1000.0, f_ref: 1.0e-3, index: -2.7}
)";
}

// Samples the model over the stream's chunk grid into an event cache and orders its showers into a library.
void prepare_replay(const std::filesystem::path& settings_path, const std::filesystem::path& dir) {
    auto model = Factory<BackgroundModel>(settings_path).create_by_name("all");
    std::vector<BackgroundEvent> events;
    double begin = kStart;
    for (int k = 0; k < kChunks; ++k, begin += kChunk) {
        const auto chunk = model->sample(begin, begin + kChunk);
        events.insert(events.end(), chunk.begin(), chunk.end());
    }
    std::filesystem::create_directories(dir);
    CachedModel::write_cache(dir / "events.tmio", events, kStart, begin);
    std::vector<BackgroundEvent> showers;
    std::copy_if(events.begin(), events.end(), std::back_inserter(showers),
                 [](const BackgroundEvent& e) { return e.type == 1; });
    ASSERT_GT(showers.size(), 20u) << "the case needs showers spread over several library files";
    auto provider = Factory<ShowerProvider>(settings_path).create_by_name("sims");
    OrderedProvider::order_events(dir / "library", *provider, showers, 7, false, false, false);
}

std::vector<PEList> stream(auto&& background, int chunks) {
    std::vector<PEList> out;
    for (int k = 0; k < chunks; ++k) out.push_back(background.next_chunk(kChunk));
    return out;
}

// Without afterpulses (whose stream depends on the whole history) a replay seeking into the interval
// hands out what the direct stream had there: the hook moves the ordered provider to the seek time's
// file. The first chunk after the seek lacks the PEs of events before it.
TEST(Replay, ChunksEqualTheDirectStreamAlsoAfterASeekIntoTheInterval) {
    TempDir dir;
    write_showers(dir.path() / "sims");
    ::testing::internal::CaptureStderr();  // the small library only warns in the fit tests
    prepare_replay(dir.write("direct.yaml", settings("pulses")), dir.path() / "replay");
    std::vector<std::vector<PEList>> expected;
    for (const char* generator : {"pulses", "typed"})
        expected.push_back(stream(Background(dir.write("direct.yaml", settings(generator)).string()), kChunks));
    ::testing::internal::GetCapturedStderr();
    // Gone before the next replay registers the hook: its handle would remove the next one's.
    ASSERT_EQ(stream(Background(dir.write("replay.yaml", settings("pulses", true)).string()), kChunks), expected[0]);
    Background replay(dir.write("replay.yaml", settings("typed", true)).string());
    stream(replay, 5);
    const int middle = kChunks / 2;
    double seek_time = kStart;
    for (int k = 0; k < middle; ++k) seek_time += kChunk;  // the stream's own grid
    replay.seek(seek_time);
    const auto replayed = stream(replay, kChunks - middle);
    const PEList& whole = expected[1][middle];
    for (const auto& [channel, times] : replayed[0]) {
        const auto same = std::find_if(whole.begin(), whole.end(), [&](const auto& e) { return e.first == channel; });
        ASSERT_NE(same, whole.end());
        EXPECT_TRUE(std::includes(same->second.begin(), same->second.end(), times.begin(), times.end()));
    }
    for (int k = 1; k < kChunks - middle; ++k) ASSERT_EQ(replayed[k], expected[1][middle + k]) << "chunk " << k;
}

}  // namespace
}  // namespace background
