#include <background/core/Format.hpp>
#include <background/core/Hook.hpp>
#include <background/core/IOError.hpp>
#include <background/providers/OrderedProvider.hpp>
#include <background/storage/TMIO.hpp>

#include "ProviderTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace background {
namespace {

using testing::TableProvider;
using testing::TempDir;
namespace fs = std::filesystem;

std::vector<BackgroundEvent> events_of(const std::vector<double>& times, const std::vector<std::uint64_t>& ids) {
    std::vector<BackgroundEvent> events;
    for (std::size_t i = 0; i < times.size(); ++i) events.push_back({times[i], 3, ids[i]});
    return events;
}

// Showers 10 to 13: shower 10 has no PEs, the others 1, 2 and 3 channels.
TableProvider four_showers() {
    TableProvider source;
    source.add(10, {});
    source.add(11, {{4, {0.5}}});
    source.add(12, {{1, {}}, {2, {0.25, 0.75}}});
    source.add(13, {{0, {1.0}}, {5, {2.0, 3.0, 4.0}}, {9, {5.0}}});
    return source;
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

std::uintmax_t pe_list_bytes(const PEList& pe_list) {
    std::uintmax_t bytes = 16;  // the entry count record
    for (const auto& entry : pe_list) bytes += 28 + 8 * entry.second.size();
    return bytes;
}

PEList read_pe_list(tmio::TMIO& in) {
    std::uint64_t entries = 0;
    in.read_raw(tmio::STRUCT_TAG, &entries, sizeof entries);
    PEList pe_list;
    for (std::uint64_t i = 0; i < entries; ++i) {
        std::int32_t channel = 0;
        in.read_raw(tmio::STRUCT_TAG, &channel, sizeof channel);
        pe_list.emplace_back(channel, in.read_vector<double>());
    }
    return pe_list;
}

void expect_end(tmio::TMIO& in) {
    Metadata md;
    EXPECT_THROW(in.read_raw(tmio::STRUCT_TAG, &md, sizeof md), std::ios_base::failure);
}

class Layouts : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(OrderedProvider, Layouts, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "interleaved" : "paired"; });

TEST_P(Layouts, FilesHoldTheEventsShowersInEventOrderWithTheDocumentedSizes) {
    const bool interleaved = GetParam();
    TempDir dir;
    TableProvider source = four_showers();
    auto events = events_of({0, 1, 1, 2, 3, 4, 5, 6, 7, 8}, {13, 11, 13, 10, 12, 11, 11, 13, 12, 10});
    OrderedProvider::order_events(dir.path(), source, events, 4, false, interleaved, false);

    EXPECT_EQ(fs::file_size(dir.path() / "OP_HINT.tmio"), 84u + 8 * 3);
    tmio::TMIO hints(dir.path() / "OP_HINT.tmio", std::ios::in, "OP_HINT");
    EXPECT_EQ(hints.read_vector<double>(), (std::vector<double>{0, 3, 7}));

    for (std::size_t file = 0; file < 3; ++file) {
        SCOPED_TRACE(file);
        const auto data_name = dir.path() / format("{}_{}.tmio", interleaved ? "OP_INTER" : "OP_DATA", file);
        const auto meta_name = dir.path() / format("OP_META_{}.tmio", file);
        std::optional<tmio::TMIO> meta;
        tmio::TMIO data(data_name, std::ios::in, interleaved ? "OP_INTER" : "OP_DATA");
        if (!interleaved) meta.emplace(meta_name, std::ios::in, "OP_META");
        std::uintmax_t data_bytes = 68;
        std::size_t count = 0;
        for (std::size_t e = 4 * file; e < std::min<std::size_t>(4 * file + 4, 10); ++e, ++count) {
            const auto& [stored_md, pe_list] = source.showers.at(events[e].id);
            Metadata md;
            (interleaved ? data : *meta).read_raw(tmio::STRUCT_TAG, &md, sizeof md);
            EXPECT_EQ(md.uid, events[e].id);
            EXPECT_EQ(md.energy, stored_md.energy);
            EXPECT_EQ(md.time, -1.0);  // as the source gave it, not the event time
            EXPECT_EQ(md.num_channels, static_cast<int>(pe_list.size()));
            int pes = 0;
            for (const auto& entry : pe_list) pes += static_cast<int>(entry.second.size());
            EXPECT_EQ(md.num_pe, pes);
            if (!interleaved) {
                std::uint64_t id = 0;
                data.read_raw(tmio::STRUCT_TAG, &id, sizeof id);
                EXPECT_EQ(id, events[e].id);
            }
            EXPECT_EQ(read_pe_list(data), pe_list);
            data_bytes += (interleaved ? 80 : 16) + pe_list_bytes(pe_list);
        }
        expect_end(data);
        EXPECT_EQ(fs::file_size(data_name), data_bytes);
        if (!interleaved) {
            expect_end(*meta);
            EXPECT_EQ(fs::file_size(meta_name), 68u + 80 * count);
        } else {
            EXPECT_FALSE(fs::exists(meta_name));
        }
    }
    EXPECT_EQ(events.size(), 10u);
}

TEST(OrderedProvider, QueriesGoInAscendingUidOrderPerFilePairedOrNot) {
    for (bool paired : {false, true}) {
        TempDir dir;
        TableProvider source = four_showers();
        auto events = events_of({0, 1, 2, 3}, {12, 11, 12, 13});
        OrderedProvider::order_events(dir.path(), source, events, 3, false, false, paired);
        using Q = std::vector<std::pair<char, unsigned long>>;
        const Q expected = paired ? Q{{'m', 11}, {'p', 11}, {'m', 12}, {'p', 12}, {'m', 12}, {'p', 12}, {'m', 13}, {'p', 13}}
                                  : Q{{'m', 11}, {'m', 12}, {'m', 12}, {'p', 11}, {'p', 12}, {'p', 12}, {'m', 13}, {'p', 13}};
        EXPECT_EQ(source.queries, expected) << "paired " << paired;
    }
}

TEST(OrderedProvider, WritingClearsUpperCaseOpEntriesAlsoBeyondTheNewFileCount) {
    TempDir dir;
    TableProvider source = four_showers();
    auto many = events_of({0, 1, 2, 3, 4, 5}, {11, 11, 11, 11, 11, 11});
    OrderedProvider::order_events(dir.path(), source, many, 1, false, false, false);
    for (const char* name : {"OPx", "op_data_0.tmio", "Op_META_1", "x_OP", "kept.txt"}) dir.write(name, "x");
    fs::create_directory(dir.path() / "OP_empty_dir");

    auto few = events_of({0, 1}, {12, 13});
    OrderedProvider::order_events(dir.path(), source, few, 1, false, true, false);
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"OP_HINT.tmio", "OP_INTER_0.tmio", "OP_INTER_1.tmio",
                                                           "op_data_0.tmio", "Op_META_1", "x_OP", "kept.txt"}));

    // No events: only the hint file, with no hints, which the reader refuses.
    std::vector<BackgroundEvent> none;
    OrderedProvider::order_events(dir.path(), source, none, 1, false, true, false);
    EXPECT_EQ(fs::file_size(dir.path() / "OP_HINT.tmio"), 84u);
    EXPECT_FALSE(fs::exists(dir.path() / "OP_INTER_0.tmio"));
    EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::ios_base::failure,
                     format("No OrderedProvider data files found in {}!", dir.path().string()));
}

TEST(OrderedProvider, DropEmptyLeavesOutEmptyShowersButKeepsTheirHints) {
    TempDir dir;
    TableProvider source = four_showers();
    // File 1 starts with an empty shower, file 2 holds only empty ones.
    auto events = events_of({0, 1, 2, 3, 4, 5}, {11, 12, 10, 13, 10, 10});
    OrderedProvider::order_events(dir.path(), source, events, 2, true, false, false);
    tmio::TMIO hints(dir.path() / "OP_HINT.tmio", std::ios::in, "OP_HINT");
    EXPECT_EQ(hints.read_vector<double>(), (std::vector<double>{0, 2, 4}));
    EXPECT_EQ(fs::file_size(dir.path() / "OP_META_1.tmio"), 68u + 80);
    EXPECT_EQ(fs::file_size(dir.path() / "OP_META_2.tmio"), 68u);
    EXPECT_EQ(fs::file_size(dir.path() / "OP_DATA_2.tmio"), 68u);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, 11u);
    EXPECT_EQ(events[1].id, 12u);
    EXPECT_EQ(events[2].id, 13u);

    OrderedProvider provider(dir.path(), 0);
    std::vector<unsigned long> uids;
    for (const Metadata& md : provider.get_all_metadata()) uids.push_back(md.uid);
    EXPECT_EQ(uids, (std::vector<unsigned long>{11, 12, 13}));
}

TEST(OrderedProvider, BadWriteArgumentsAreRefusedBeforeTheDirectoryIsTouched) {
    TempDir dir;
    TableProvider source = four_showers();
    const auto library = dir.path() / "lib";
    auto unsorted = events_of({0, 2, 1}, {11, 11, 11});
    auto sorted = events_of({0, 1}, {11, 11});
    EXPECT_THROW_MSG(OrderedProvider::order_events(library, source, sorted, 0, false, false, false),
                     std::invalid_argument, "events_per_file must be at least 1!");
    EXPECT_THROW_MSG(OrderedProvider::order_events(library, source, unsorted, 2, false, false, false),
                     std::invalid_argument, "Events are not sorted by time: event 2 at 1 s follows event 1 at 2 s!");
    EXPECT_FALSE(fs::exists(library));

    try {
        OrderedProvider::order_events(dir.path() / "no" / "parent", source, sorted, 1, false, false, false);
        ADD_FAILURE() << "no exception";
    } catch (const std::ios_base::failure& failure) {
        EXPECT_EQ(std::string(failure.what()), "Failed to create directory");
        EXPECT_NE(testing::nested_message(failure), "<no nested exception>");
    }

    // A failing query leaves the complete files of earlier chunks and no hint file.
    auto unknown = events_of({0, 1}, {11, 99});
    EXPECT_THROW(OrderedProvider::order_events(library, source, unknown, 1, true, false, false), std::out_of_range);
    EXPECT_EQ(names_in(library), (std::set<std::string>{"OP_DATA_0.tmio", "OP_META_0.tmio"}));
    EXPECT_EQ(unknown.size(), 2u);
}

// ---- Reading ----

// Every event is shower 7 or 8; each metadata query of the source marks its
// record with a running number in `x`, so a record read tells its file: in
// file f shower 7 carries 2f and shower 8 2f + 1. Hint times 1, 2, 2, 5.
class MarkedLibrary : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        class Marking : public TableProvider {
        public:
            Metadata get_metadata(unsigned long uid) override {
                Metadata md = TableProvider::get_metadata(uid);
                md.x = static_cast<double>(marks++);
                return md;
            }
            int marks = 0;
        } source;
        source.add(7, {{1, {0.0}}});
        source.add(8, {{2, {0.0, 1.0}}});
        auto events = events_of({1, 1.5, 2, 2, 2, 2.5, 5, 6}, {7, 8, 7, 8, 7, 8, 7, 8});
        OrderedProvider::order_events(dir.path(), source, events, 2, false, GetParam(), false);
    }
    TempDir dir;
};
INSTANTIATE_TEST_SUITE_P(OrderedProvider, MarkedLibrary, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "interleaved" : "paired"; });

TEST_P(MarkedLibrary, SkipToTimeMakesTheLastFileWhoseHintIsNotLaterCurrent) {
    struct Case {
        std::vector<double> skips;
        double file;
    };
    const Case cases[] = {{{}, 0},      {{0.5}, 0}, {{1}, 0},   {{1.5}, 0},   {{2}, 2},
                          {{4}, 2},     {{5}, 3},   {{100}, 3}, {{5, 0.5}, 3}};
    for (const Case& c : cases) {
        OrderedProvider provider(dir.path(), 0);
        for (double t : c.skips) provider.skip_to_time(t);
        EXPECT_EQ(provider.get_metadata(7).x, 2 * c.file) << ::testing::PrintToString(c.skips);
    }
}

TEST_P(MarkedLibrary, ReadsGoForwardWrapAroundOnceAndSkippingToTheCurrentFileDoesNotRewind) {
    OrderedProvider provider(dir.path(), 0);
    provider.skip_to_time(2);
    EXPECT_EQ(provider.get_metadata(7).x, 4);
    EXPECT_EQ(provider.get_metadata(7).x, 4);  // cached: nothing read
    EXPECT_EQ(provider.get_pe_list(7), (PEList{{1, {0.0}}}));
    EXPECT_EQ(provider.get_metadata(8).x, 5);
    provider.skip_to_time(2.2);  // file 2 is current: reading goes on behind shower 8
    EXPECT_EQ(provider.get_metadata(7).x, 6);
    EXPECT_EQ(provider.get_metadata(8).x, 7);
    EXPECT_EQ(provider.get_pe_list(8), (PEList{{2, {0.0, 1.0}}}));
    EXPECT_EQ(provider.get_metadata(7).x, 0);  // wrapped past the last file
    for (int round = 0; round < 2; ++round) {
        EXPECT_THROW_MSG(provider.get_metadata(9), std::out_of_range, "Shower with UID 9 not found!");
        EXPECT_THROW_MSG(provider.get_pe_list(9), std::out_of_range, "Shower with UID 9 not found!");
    }
    const auto all = provider.get_all_metadata();
    ASSERT_EQ(all.size(), 8u);
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].x, static_cast<double>(i));
    EXPECT_EQ(provider.get_metadata(8).x, 1);  // left at the beginning of file 0
}

TEST(OrderedProvider, TheLaterOfTwoProvidersTakesOverTheHookId) {
    TempDir dir;
    TableProvider source = four_showers();
    auto events = events_of({0, 1}, {11, 12});
    OrderedProvider::order_events(dir.path(), source, events, 1, false, true, false);
    using TimeHint = std::function<void(double)>;
    auto first = std::make_unique<OrderedProvider>(dir.path(), 4711);
    auto second = std::make_unique<OrderedProvider>(dir.path(), 4711);
    Hook::get<TimeHint>(4711)(1.0);  // the second provider moves to file 1
    EXPECT_EQ(second->get_metadata(12).uid, 12u);
    first.reset();  // its handle removes the ID, whoever holds it now
    EXPECT_THROW(Hook::get<TimeHint>(4711), std::out_of_range);

    auto kept = Hook::set(-3, TimeHint{});
    std::make_unique<OrderedProvider>(dir.path(), -3).reset();
    std::make_unique<OrderedProvider>(dir.path(), 0).reset();
    EXPECT_NO_THROW(Hook::get<TimeHint>(-3));
}

TEST(OrderedProvider, DamagedLibrariesAreRefusedOrEndTheirFileEarly) {
    TempDir dir;
    TableProvider source = four_showers();
    auto events = events_of({0, 1, 2, 3}, {11, 13, 12, 13});
    OrderedProvider::order_events(dir.path(), source, events, 2, false, true, false);
    // Shower 13 of file 0 loses its last bytes: the search goes on in file 1.
    const auto first = dir.path() / "OP_INTER_0.tmio";
    fs::resize_file(first, fs::file_size(first) - 3);
    OrderedProvider provider(dir.path(), 0);
    EXPECT_EQ(provider.get_metadata(11).uid, 11u);
    EXPECT_THROW(provider.get_pe_list(13), std::ios_base::failure);  // the cut PE list itself
    EXPECT_EQ(provider.get_pe_list(13), source.showers.at(13).second);
    EXPECT_EQ(provider.get_all_metadata().size(), 4u);  // the cut record's metadata still reads

    const auto refused = [&](const std::string& message) {
        EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::ios_base::failure,
                         format(message, dir.path().string()));
    };
    dir.write("OP_DATA_5.tmio", "");
    refused("Files found in {} do not match OrderedProvider protocol!");
    fs::remove(dir.path() / "OP_DATA_5.tmio");
    fs::remove(dir.path() / "OP_INTER_1.tmio");
    refused("Files found in {} do not match OrderedProvider protocol!");  // one data file, two hints
    EXPECT_THROW_MSG(OrderedProvider(dir.path() / "none", 0), std::ios_base::failure,
                     (dir.path() / "none").string() + " does not exist or is no directory!");
    dir.write("OP_INTER_x.tmio", "");
    EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::invalid_argument, "stoi");
}

TEST(OrderedProvider, EntryCountsBeyondTheFileAreReadAsFarAsTheFileGoes) {
    TempDir dir;
    {
        tmio::TMIO hint(dir.path() / "OP_HINT.tmio", std::ios::out, "OP_HINT");
        const double zero = 0;
        hint.write_array(tmio::VECTOR_TAG, &zero, 1);
        tmio::TMIO data(dir.path() / "OP_INTER_0.tmio", std::ios::out, "OP_INTER");
        Metadata md{};
        md.uid = 6;
        for (std::uint64_t entries : {std::uint64_t{1} << 58, std::uint64_t{1} << 40}) {
            data.write_raw(tmio::STRUCT_TAG, &md, sizeof md);
            data.write_raw(tmio::STRUCT_TAG, &entries, sizeof entries);
            md.uid = 5;
        }
    }
    OrderedProvider provider(dir.path(), 0);
    EXPECT_THROW_MSG(provider.get_pe_list(6), std::length_error, "cannot create std::vector larger than max_size()");
    // 2^40 claimed entries: nothing is set aside for them, the first read past the end ends the file.
    EXPECT_THROW_MSG(provider.get_pe_list(5), std::ios_base::failure,
                     "Reached end of file " + (dir.path() / "OP_INTER_0.tmio").generic_string() + "!");
}

}  // namespace
}  // namespace background
