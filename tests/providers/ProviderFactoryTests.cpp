#include <background/core/Factory.hpp>
#include <background/core/Hook.hpp>
#include <background/driver/Background.hpp>
#include <background/models/CachedModel.hpp>
#include <background/providers/OrderedProvider.hpp>

#include "ProviderTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace background {
namespace {

using testing::TempDir;

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
generators:
  from_ordered: {class: ProviderGenerator, provider: ordered}
  from_sim: {class: ProviderGenerator, provider: sim}
  from_multi: {class: ProviderGenerator, provider: multi}
models:
  second_half: {class: CachedModel, cache_file: second_half.tmio}
  one_cache: {class: CachedModel, cache_file: one.tmio}
  all_cache: {class: CachedModel, cache_file: all.tmio}
fluxes: {}
)";

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

class ProviderSettings : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sub : {"sims/one", "sims/two"}) std::filesystem::create_directories(dir.path() / sub);
        for (const char* file : {"sims/one/a.xcd", "sims/one/b.xcd", "sims/two/c.xcd"})
            testing::write_simulation_file(dir.path() / file, 2);
        // Showers 0 to 9 twice, at 0 to 4.5 s and at 5 to 9.5 s, five events
        // a file: only a reader moved to 5 s finds the second occurrences first.
        std::vector<BackgroundEvent> events;
        for (int i = 0; i < 20; ++i) events.push_back({0.5 * i, 0, static_cast<unsigned long>(i % 10)});
        second_half.assign(events.begin() + 10, events.end());
        CachedModel::write_cache(dir.path() / "second_half.tmio", second_half, 5, 10);
        MarkingSource source;
        OrderedProvider::order_events(dir.path() / "library", source, events, 5, false, true, false);
    }

    std::string settings(const std::string& provider, const std::string& generator,
                         const std::string& model = "second_half") const {
        const std::string lib = "lib: {provider: " + provider + ", generator: " + generator + ", model: " + model +
                                ", num_channels: 10, start_time: 5.0, time_hint_hook: 13076069, meta_gen_type: 0}";
        return dir.write("settings.yaml", lib + kSections).string();
    }

    TempDir dir;
    std::vector<BackgroundEvent> second_half;
};

// The ordered provider registers its time hint under the driver's fixed ID.
TEST_F(ProviderSettings, BackgroundReplaysAnOrderedLibraryFromTheTimeItSeeksTo) {
    const std::vector<Metadata> records = Background(settings("ordered", "from_ordered")).generate_metadata(5, 10);
    ASSERT_EQ(records.size(), 10u);
    std::map<int, std::vector<double>> expected;
    for (std::size_t j = 0; j < records.size(); ++j) {
        EXPECT_EQ(std::tuple(records[j].uid, records[j].time, records[j].x), std::tuple(j, second_half[j].time, 10.0 + j));
        expected[static_cast<int>(j)].push_back(1e-9 * (10.0 + j) + second_half[j].time);
    }
    EXPECT_EQ(Background(settings("ordered", "from_ordered")).next_chunk(5), as_pe_list(expected));

    auto ordered = Factory<ShowerProvider>(settings("ordered", "from_ordered")).create_by_name("ordered");
    EXPECT_NO_THROW(Hook::get<std::function<void(double)>>(13076069));
    ordered.reset();
    EXPECT_THROW(Hook::get<std::function<void(double)>>(13076069), std::out_of_range);
}

TEST_F(ProviderSettings, SimulationProvidersServeABackgroundReplayingTheirShowers) {
#if !BACKGROUND_WITH_XCDF
    for (const char* name : {"sim", "multi"})
        EXPECT_THROW_MSG(Background(settings(name, "from_ordered")), std::runtime_error,
                         "XCDF support disabled at build time!");
    return;
#endif
    const auto key = [&](const char* file) { return testing::reference_file_key(dir.path() / file); };
    const std::vector<BackgroundEvent> one{{5.5, 0, key("sims/one/a.xcd") + 2}, {7.25, 0, key("sims/one/b.xcd") + 1},
                                           {8.0, 0, key("sims/one/a.xcd") + 1}};
    std::vector<BackgroundEvent> all = one;
    all.insert(all.begin() + 1, BackgroundEvent{6.0, 0, key("sims/two/c.xcd") + 2});
    CachedModel::write_cache(dir.path() / "one.tmio", one, 5, 10);
    CachedModel::write_cache(dir.path() / "all.tmio", all, 5, 10);
    const std::tuple<const char*, const char*, const char*, const std::vector<BackgroundEvent>&> cases[] = {
        {"sim", "from_sim", "one_cache", one}, {"multi", "from_multi", "all_cache", all}};
    for (const auto& [provider, generator, model, events] : cases) {
        // Each shower's test PEs, its earliest at the event time.
        std::map<int, std::vector<double>> expected;
        for (const BackgroundEvent& event : events) {
            const testing::PEs pes = testing::test_pes(event.id & 0xFFFF);
            for (const auto& pe : pes)
                expected[pe.channel].push_back(pe.time - std::min(pes[0].time, pes[1].time) + event.time);
        }
        Background background(settings(provider, generator, model));
        EXPECT_EQ(background.next_chunk(5), as_pe_list(expected)) << provider;
        const std::vector<Metadata> records = background.generate_metadata(5, 10);
        ASSERT_EQ(records.size(), events.size()) << provider;
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(std::tuple(records[i].uid, records[i].time, records[i].energy),
                      std::tuple(events[i].id, events[i].time, 100.0 * double(events[i].id & 0xFFFF)));
        }
    }
    Factory<ShowerProvider> factory(settings("sim", "from_sim"));
    EXPECT_EQ(factory.create_by_name("sim")->get_all_metadata().size(), 4u);
    EXPECT_EQ(factory.create_by_name("multi")->get_all_metadata().size(), 4u);  // one file of the first dataset
    EXPECT_THROW_MSG(factory.create_by_name("half_multi"), std::out_of_range, "Key file_limit not found!");
}

}  // namespace
}  // namespace background
