#include <background/core/Factory.hpp>
#include <background/core/Format.hpp>
#include <background/core/Hook.hpp>
#include <background/driver/Background.hpp>
#include <background/models/CachedModel.hpp>
#include <background/models/DarkCountModel.hpp>
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

constexpr int kChannels = 6;
constexpr unsigned long kPerFile = 5;

// Relative paths resolve against the settings file's directory.
std::string settings_text(const std::string& provider, const std::string& generator, const std::string& model) {
    return "lib:\n  provider: " + provider + "\n  generator: " + generator + "\n  model: " + model +
           "\n  num_channels: 8\n  start_time: 5.0\n  time_hint_hook: 13076069\n"
           "  meta_gen_type: 0\n" + R"(
providers:
  ordered: {class: OrderedProvider, path: library}
  sim: {class: SimulationProvider, warn_unverified: false, cutoff_interval: 1.0e-8, cutoff_pes: 4, file_limit: -1,
        input_files: sims/one}
  multi:
    class: MultiProvider
    warn_unverified: true
    cutoff_interval: 1.0e-8
    cutoff_pes: -1
    datasets: {first: {file_limit: 1, input_files: sims/one}, second: {file_limit: -1, input_files: sims/two}}
  half_multi:
    class: MultiProvider
    warn_unverified: true
    cutoff_interval: 1.0
    cutoff_pes: -1
    datasets: {first: {file_limit: 1, input_files: sims/one}, second: {input_files: sims/two}}
generators:
  from_ordered: {class: ProviderGenerator, provider: ordered}
  from_sim: {class: ProviderGenerator, provider: sim}
  from_multi: {class: ProviderGenerator, provider: multi}
models:
  second_half: {class: DarkCountModel, gen_type: 0, seed: 2, num_channels: 6, rate: 2.0}
  one_cache: {class: CachedModel, cache_file: one.tmio}
  all_cache: {class: CachedModel, cache_file: all.tmio}
fluxes: {}
)";
}

// Marks every stored shower with the running number of its query, in the
// metadata's x and as the PE time in units of 1 ns, so that a shower read
// back tells which event of the library it was stored for.
class MarkingSource : public ShowerProvider {
public:
    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long uid) override {
        Metadata md{};
        md.uid = uid;
        md.x = static_cast<double>(metadata_marks++);
        return md;
    }
    PEList get_pe_list(unsigned long uid) override {
        return {{static_cast<int>(uid), {1e-9 * static_cast<double>(pe_marks++)}}};
    }
    int metadata_marks = 0;
    int pe_marks = 0;
};

// The library's queries go in ascending UID order per file, and repeated
// showers of a file share the first one's record.
std::vector<double> marks_of(const std::vector<BackgroundEvent>& events) {
    std::vector<double> marks;
    for (std::size_t begin = 0; begin < events.size(); begin += kPerFile) {
        const std::size_t end = std::min(events.size(), begin + kPerFile);
        std::vector<unsigned long> ids;
        for (std::size_t e = begin; e < end; ++e) ids.push_back(events[e].id);
        std::ranges::sort(ids);
        for (std::size_t e = begin; e < end; ++e)
            marks.push_back(double(begin + (std::ranges::lower_bound(ids, events[e].id) - ids.begin())));
    }
    return marks;
}

// Which stored event answers each request of a replay that starts at the
// file covering `time`: the next record of the shower asked for, or, for
// metadata alone, the last record read when it holds that shower.
std::vector<std::size_t> answers(const std::vector<BackgroundEvent>& library, double time,
                                 const std::vector<BackgroundEvent>& requests, bool metadata_only) {
    std::size_t files_started = 0;
    for (std::size_t first = 0; first < library.size(); first += kPerFile) files_started += library[first].time <= time;
    std::size_t at = (files_started - 1) * kPerFile;
    std::vector<std::size_t> result;
    for (const BackgroundEvent& request : requests) {
        if (!(metadata_only && !result.empty() && library[result.back()].id == request.id)) {
            while (library[at].id != request.id) ++at;
            ++at;
        }
        result.push_back(at - 1);
    }
    return result;
}

class ProviderSettings : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* sub : {"sims/one", "sims/two"}) std::filesystem::create_directories(dir.path() / sub);
        for (const char* file : {"sims/one/a.xcd", "sims/one/b.xcd", "sims/two/c.xcd"})
            testing::write_simulation_file(dir.path() / file, 2);
        // The first half of the library comes from another model, so that
        // only a reader moved to 5 s finds the showers of the second half.
        std::vector<BackgroundEvent> events = DarkCountModel(2.0, kChannels, 1, 0).sample(0, 5);
        second_half = DarkCountModel(2.0, kChannels, 2, 0).sample(5, 10);
        events.insert(events.end(), second_half.begin(), second_half.end());
        marks = marks_of(events);
        library = events;
        MarkingSource source;
        OrderedProvider::order_events(dir.path() / "library", source, events, kPerFile, false, true, false);
    }

    std::string settings(const std::string& provider, const std::string& generator,
                         const std::string& model = "second_half") const {
        return dir.write("settings.yaml", settings_text(provider, generator, model)).string();
    }

    TempDir dir;
    std::vector<BackgroundEvent> second_half;
    std::vector<double> marks;
    std::vector<BackgroundEvent> library;
};

TEST_F(ProviderSettings, BackgroundReplaysAnOrderedLibraryFromTheTimeItSeeksTo) {
    Background metadata_run(settings("ordered", "from_ordered"));
    const std::vector<Metadata> records = metadata_run.generate_metadata(5, 10);
    ASSERT_EQ(records.size(), second_half.size());
    const auto stored = answers(library, 5, second_half, true);
    for (std::size_t j = 0; j < records.size(); ++j) {
        EXPECT_EQ(records[j].uid, second_half[j].id);
        EXPECT_EQ(records[j].time, second_half[j].time);
        EXPECT_EQ(records[j].x, marks[stored[j]]) << "event " << j;
    }

    Background chunk_run(settings("ordered", "from_ordered"));
    std::map<int, std::vector<double>> expected;
    const auto read = answers(library, 5, second_half, false);
    for (std::size_t j = 0; j < second_half.size(); ++j)
        expected[static_cast<int>(second_half[j].id)].push_back(1e-9 * marks[read[j]] + second_half[j].time);
    PEList expected_list;
    for (auto& [channel, times] : expected) {
        std::ranges::sort(times);
        expected_list.emplace_back(channel, times);
    }
    EXPECT_EQ(chunk_run.next_chunk(5), expected_list);
}

// What a replay of `events` hands out: each shower's test PEs shifted so
// that its earliest lies at the event time.
PEList replayed(const std::vector<BackgroundEvent>& events) {
    std::map<int, std::vector<double>> channels;
    for (const BackgroundEvent& event : events) {
        const testing::PEs pes = testing::test_pes(event.id & 0xFFFF);
        const double t_min = std::min(pes[0].time, pes[1].time);
        for (const auto& pe : pes) channels[pe.channel].push_back(pe.time - t_min + event.time);
    }
    PEList result;
    for (auto& [channel, times] : channels) {
        std::ranges::sort(times);
        result.emplace_back(channel, times);
    }
    return result;
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

    struct Case {
        const char* provider;
        const char* generator;
        const char* model;
        const std::vector<BackgroundEvent>& events;
    };
    for (const Case& c : {Case{"sim", "from_sim", "one_cache", one}, Case{"multi", "from_multi", "all_cache", all}}) {
        SCOPED_TRACE(c.provider);
        Background background(settings(c.provider, c.generator, c.model));
        EXPECT_EQ(background.next_chunk(5), replayed(c.events));
        const std::vector<Metadata> records = background.generate_metadata(5, 10);
        ASSERT_EQ(records.size(), c.events.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].uid, c.events[i].id);
            EXPECT_EQ(records[i].time, c.events[i].time);
            EXPECT_EQ(records[i].energy, 100.0 * double(c.events[i].id & 0xFFFF));
        }
    }

    Factory<ShowerProvider> factory(settings("sim", "from_sim"));
    EXPECT_EQ(factory.create_by_name("sim")->get_all_metadata().size(), 4u);
    EXPECT_EQ(factory.create_by_name("multi")->get_all_metadata().size(), 4u);  // one file of the first dataset
    EXPECT_THROW_MSG(factory.create_by_name("half_multi"), std::out_of_range, "Key file_limit not found!");
}

TEST_F(ProviderSettings, OrderedProviderRegistersItsTimeHintUnderTheFixedId) {
    Factory<ShowerProvider> factory(settings("ordered", "from_ordered"));
    auto ordered = factory.create_by_name("ordered");
    EXPECT_NO_THROW(Hook::get<std::function<void(double)>>(13076069));
    ordered.reset();
    EXPECT_THROW(Hook::get<std::function<void(double)>>(13076069), std::out_of_range);
}

}  // namespace
}  // namespace background
