#include <background/core/Factory.hpp>
#include <background/driver/Background.hpp>
#include <background/models/CachedModel.hpp>
#include <background/providers/OrderedProvider.hpp>

#include "ProviderTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <algorithm>
#include <map>
#include <tuple>

namespace background {
namespace {

using Events = std::vector<BackgroundEvent>;

// Relative paths resolve against the settings file's directory.
const char* const kSections = R"(
providers:
  ordered: {class: OrderedProvider, path: library}
  sim: {class: SimulationProvider, warn_unverified: false, cutoff_interval: 1.0e-8, cutoff_pes: 4, file_limit: -1,
        input_files: sims/one}
  multi: {class: MultiProvider, warn_unverified: true, cutoff_interval: 1.0e-8, cutoff_pes: -1,
          datasets: {first: {file_limit: 1, input_files: sims/one}, second: {file_limit: -1, input_files: sims/two}}}
  half_multi: {class: MultiProvider, warn_unverified: true, cutoff_interval: 1.0, cutoff_pes: -1,
               datasets: {first: {input_files: sims/two}}}
generators: {ordered: {class: ProviderGenerator, provider: ordered}, sim: {class: ProviderGenerator, provider: sim},
             multi: {class: ProviderGenerator, provider: multi}}
models: {cache: {class: CachedModel, cache_file: cache.tmio}}
fluxes: {}
)";

// Settings for a Background replaying `events` with the provider `name`.
std::string write_settings(const testing::TempDir& dir, const std::string& name, const Events& events) {
    CachedModel::write_cache(dir.path() / "cache.tmio", events, 5, 10);
    return dir.write("settings.yaml", "lib: {provider: " + name + ", generator: " + name +
                                          ", model: cache, num_channels: 10, start_time: 5.0, time_hint_hook: 13076069,"
                                          " meta_gen_type: 0}" + kSections).string();
}

// Marks every stored shower with the running number of its query, in x and as
// its PE time in nanoseconds, so that a shower read back tells its event.
class MarkingSource : public ShowerProvider {
public:
    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long uid) override { return Metadata{uid, {}, 0, marks++, 0, 0, 0, 0, 0, 0}; }
    PEList get_pe_list(unsigned long uid) override { return {{static_cast<int>(uid), {1e-9 * pe_marks++}}}; }
    double marks = 0, pe_marks = 0;
};

PEList as_pe_list(std::map<int, std::vector<double>> channels) {
    PEList result;
    for (auto& [channel, times] : channels) {
        std::ranges::sort(times);
        result.emplace_back(channel, times);
    }
    return result;
}

TEST(ProviderSettings, EachProviderClassServesABackgroundFromASettingsFile) {
    testing::TempDir dir;
    for (const char* sub : {"sims/one", "sims/two"}) std::filesystem::create_directories(dir.path() / sub);
    for (const char* file : {"sims/one/a.xcd", "sims/one/b.xcd", "sims/two/c.xcd"})
        testing::write_simulation_file(dir.path() / file, 2);
    // Showers 0 to 9 twice, at 0 to 4.5 s and at 5 to 9.5 s, five events a file:
    // only a reader moved to 5 s through the driver's hook meets the second occurrences first.
    Events events;
    for (int i = 0; i < 20; ++i) events.push_back({0.5 * i, 0, static_cast<unsigned long>(i % 10)});
    MarkingSource source;
    OrderedProvider::order_events(dir.path() / "library", source, events, 5, false, true, false);
    events.erase(events.begin(), events.begin() + 10);
    const std::string ordered = write_settings(dir, "ordered", events);
    const std::vector<Metadata> records = Background(ordered).generate_metadata(5, 10);
    ASSERT_EQ(records.size(), 10u);
    std::map<int, std::vector<double>> expected;
    for (std::size_t j = 0; j < records.size(); ++j) {
        EXPECT_EQ(std::tuple(records[j].uid, records[j].time, records[j].x), std::tuple(j, events[j].time, 10.0 + j));
        expected[static_cast<int>(j)].push_back(1e-9 * (10.0 + j) + events[j].time);
    }
    EXPECT_EQ(Background(ordered).next_chunk(5), as_pe_list(expected));

#if !BACKGROUND_WITH_XCDF
    for (const char* name : {"sim", "multi"})
        EXPECT_THROW_MSG(Background(write_settings(dir, name, events)), std::runtime_error,
                         "XCDF support disabled at build time!");
    return;
#endif
    const auto key = [&](const char* file) { return testing::reference_file_key(dir.path() / file); };
    const Events one{{5.5, 0, key("sims/one/a.xcd") + 2}, {7.25, 0, key("sims/one/b.xcd") + 1},
                     {8.0, 0, key("sims/one/a.xcd") + 1}};
    Events all = one;
    all.insert(all.begin() + 1, BackgroundEvent{6.0, 0, key("sims/two/c.xcd") + 2});
    for (const auto& [name, showers] : {std::pair("sim", one), std::pair("multi", all)}) {
        expected.clear();  // each shower's test PEs, its earliest at the event time
        for (const BackgroundEvent& event : showers) {
            const testing::PEs pes = testing::test_pes(event.id & 0xFFFF);
            for (const auto& pe : pes)
                expected[pe.channel].push_back(pe.time - std::min(pes[0].time, pes[1].time) + event.time);
        }
        Background background(write_settings(dir, name, showers));
        EXPECT_EQ(background.next_chunk(5), as_pe_list(expected)) << name;
        const std::vector<Metadata> replayed = background.generate_metadata(5, 10);
        ASSERT_EQ(replayed.size(), showers.size()) << name;
        for (std::size_t i = 0; i < replayed.size(); ++i) {
            EXPECT_EQ(std::tuple(replayed[i].uid, replayed[i].time, replayed[i].energy),
                      std::tuple(showers[i].id, showers[i].time, 100.0 * double(showers[i].id & 0xFFFF)));
        }
    }
    Factory<ShowerProvider> factory(ordered);
    EXPECT_EQ(factory.create_by_name("sim")->get_all_metadata().size(), 4u);
    EXPECT_EQ(factory.create_by_name("multi")->get_all_metadata().size(), 4u);  // one file of the first dataset
    EXPECT_THROW_MSG(factory.create_by_name("half_multi"), std::out_of_range, "Key file_limit not found!");
}

}  // namespace
}  // namespace background
