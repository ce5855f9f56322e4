#include <background/core/Format.hpp>
#include <background/core/Hook.hpp>
#include <background/providers/OrderedProvider.hpp>
#include <background/storage/TMIO.hpp>

#include "support/TestHelpers.hpp"

#include <functional>
#include <map>
#include <set>

namespace background {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

std::vector<BackgroundEvent> events_of(const std::vector<double>& times, const std::vector<std::uint64_t>& ids) {
    std::vector<BackgroundEvent> events;
    for (std::size_t i = 0; i < times.size(); ++i) events.push_back({times[i], 3, ids[i]});
    return events;
}

// Showers 10 to 13 with 0 to 3 channels; each metadata query marks its record
// with a running number in x, so that a record read back tells which write stored it.
class TableProvider : public ShowerProvider {
public:
    std::map<unsigned long, PEList> showers{
        {10, {}}, {11, {{4, {0.5}}}}, {12, {{1, {}}, {2, {0.25, 0.75}}}}, {13, {{0, {1}}, {5, {2, 3, 4}}, {9, {5}}}}};
    int marks = 0;

    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long uid) override {
        (void)showers.at(uid);
        return Metadata{uid, Metadata::GAMMA, 10.0 + double(uid), double(marks++), 0, 0, 0, -1.0, -1, -1};
    }
    PEList get_pe_list(unsigned long uid) override { return showers.at(uid); }
};

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

fs::path write_library(const TempDir& dir, std::vector<BackgroundEvent> events, unsigned long per_file,
                       bool interleaved, bool drop_empty = false) {
    TableProvider source;
    OrderedProvider::order_events(dir.path(), source, events, per_file, drop_empty, interleaved, false);
    return dir.path();
}

class Layouts : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(OrderedProvider, Layouts, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "interleaved" : "paired"; });

// Byte layout: a 68-byte file header, metadata 80 bytes, an event id 16; a PE
// list 16 for its entry count, then per entry 28 plus 8 per time; the hint file 84 + 8 per file.
TEST_P(Layouts, FilesHoldTheShowersInEventOrderWithTheDocumentedSizes) {
    const bool interleaved = GetParam();
    TempDir dir;
    const std::vector<std::uint64_t> ids{13, 11, 13, 10, 12, 11, 11, 13, 12, 10};
    write_library(dir, events_of({0, 1, 1, 2, 3, 4, 5, 6, 7, 8}, ids), 4, interleaved);
    EXPECT_EQ(fs::file_size(dir.path() / "OP_HINT.tmio"), 84u + 8 * 3);
    EXPECT_EQ(tmio::TMIO(dir.path() / "OP_HINT.tmio", std::ios::in, "OP_HINT").read_vector<double>(),
              (std::vector<double>{0, 3, 7}));
    const std::string protocol = interleaved ? "OP_INTER" : "OP_DATA";
    const TableProvider shapes;
    for (std::size_t file = 0, e = 0; file < 3; ++file) {
        const auto data_name = dir.path() / format("{}_{}.tmio", protocol, file);
        const auto meta_name = dir.path() / format("OP_META_{}.tmio", file);
        tmio::TMIO data(data_name, std::ios::in, protocol);
        std::optional<tmio::TMIO> meta;
        if (!interleaved) meta.emplace(meta_name, std::ios::in, "OP_META");
        std::uintmax_t data_bytes = 68, count = 0;
        for (; e < std::min<std::size_t>(4 * file + 4, 10); ++e, ++count) {
            const PEList& pe_list = shapes.showers.at(ids[e]);
            int pes = 0;
            for (const auto& entry : pe_list) pes += static_cast<int>(entry.second.size());
            Metadata md;
            (interleaved ? data : *meta).read_raw(tmio::STRUCT_TAG, &md, sizeof md);
            EXPECT_EQ(std::tuple(md.uid, md.energy, md.time, md.num_channels, md.num_pe),
                      std::tuple(ids[e], 10.0 + double(ids[e]), -1.0, int(pe_list.size()), pes));
            std::uint64_t id = ids[e], entries = 0;
            if (!interleaved) data.read_raw(tmio::STRUCT_TAG, &id, sizeof id);
            data.read_raw(tmio::STRUCT_TAG, &entries, sizeof entries);
            PEList read;
            for (std::int32_t channel = 0; read.size() < entries; read.emplace_back(channel, data.read_vector<double>()))
                data.read_raw(tmio::STRUCT_TAG, &channel, sizeof channel);
            EXPECT_EQ(std::pair(id, read), std::pair(ids[e], pe_list));
            data_bytes += (interleaved ? 96 : 32) + 28 * pe_list.size() + 8 * pes;
        }
        Metadata md;
        EXPECT_THROW(data.read_raw(tmio::STRUCT_TAG, &md, sizeof md), std::ios_base::failure);
        EXPECT_EQ(fs::file_size(data_name), data_bytes) << file;
        EXPECT_EQ(fs::exists(meta_name) ? fs::file_size(meta_name) : 0, interleaved ? 0 : 68u + 80 * count);
    }
}

TEST(OrderedProvider, WritingRefusesBadArgumentsFirstThenClearsUpperCaseOpEntries) {
    TempDir dir;
    TableProvider source;
    const auto library = dir.path() / "lib";
    auto unsorted = events_of({0, 2, 1}, {11, 11, 11}), few = events_of({0, 1}, {12, 13});
    EXPECT_THROW_MSG(OrderedProvider::order_events(library, source, few, 0, false, false, false),
                     std::invalid_argument, "events_per_file must be at least 1!");
    EXPECT_THROW_MSG(OrderedProvider::order_events(library, source, unsorted, 2, false, false, false),
                     std::invalid_argument, "Events are not sorted by time: event 2 at 1 s follows event 1 at 2 s!");
    EXPECT_FALSE(fs::exists(library));
    EXPECT_THROW_MSG(OrderedProvider::order_events(library / "no" / "parent", source, few, 1, false, false, false),
                     std::ios_base::failure, "Failed to create directory");
    // A failing query leaves the complete files of earlier chunks and no hint file.
    auto unknown = events_of({0, 1}, {11, 99});
    EXPECT_THROW(OrderedProvider::order_events(library, source, unknown, 1, true, false, false), std::out_of_range);
    EXPECT_EQ(names_in(library), (std::set<std::string>{"OP_DATA_0.tmio", "OP_META_0.tmio"}));

    write_library(dir, events_of({0, 1, 2, 3, 4, 5}, {11, 11, 11, 11, 11, 11}), 1, false);
    for (const char* name : {"OPx", "op_data_0.tmio", "Op_META_1", "x_OP", "kept.txt"}) dir.write(name, "x");
    fs::create_directory(dir.path() / "OP_empty_dir");
    write_library(dir, few, 1, true);
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"OP_HINT.tmio", "OP_INTER_0.tmio", "OP_INTER_1.tmio", "lib",
                                                           "op_data_0.tmio", "Op_META_1", "x_OP", "kept.txt"}));
    write_library(dir, {}, 1, true);  // only a hint file without hints, which the reader refuses
    EXPECT_EQ(fs::file_size(dir.path() / "OP_HINT.tmio"), 84u);
    EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::ios_base::failure,
                     format("No OrderedProvider data files found in {}!", dir.path().string()));
}

TEST(OrderedProvider, DropEmptyLeavesOutEmptyShowersButKeepsTheirHints) {
    TempDir dir;
    TableProvider source;
    auto events = events_of({0, 1, 2, 3, 4, 5}, {11, 12, 10, 13, 10, 10});  // file 2 holds only empty ones
    OrderedProvider::order_events(dir.path(), source, events, 2, true, false, false);
    EXPECT_EQ(tmio::TMIO(dir.path() / "OP_HINT.tmio", std::ios::in, "OP_HINT").read_vector<double>(),
              (std::vector<double>{0, 2, 4}));
    for (const auto& [name, size] : {std::pair("OP_META_1.tmio", 68u + 80), {"OP_META_2.tmio", 68u}, {"OP_DATA_2.tmio", 68u}})
        EXPECT_EQ(fs::file_size(dir.path() / name), size) << name;
    std::vector<unsigned long> ids, uids;
    for (const BackgroundEvent& event : events) ids.push_back(event.id);
    for (const Metadata& md : OrderedProvider(dir.path(), 0).get_all_metadata()) uids.push_back(md.uid);
    EXPECT_EQ(ids, (std::vector<unsigned long>{11, 12, 13}));
    EXPECT_EQ(uids, ids);
}

// Showers 11 and 12 alternate two a file, hint times 1, 2, 2, 5; the mark in x
// tells the file a record came from: 2f for shower 11, 2f + 1 for shower 12.
TEST_P(Layouts, SkipToTimeTakesTheLastFileWhoseHintIsNotLaterAndSearchesWrapAroundOnce) {
    TempDir dir;
    write_library(dir, events_of({1, 1.5, 2, 2, 2, 2.5, 5, 6}, {11, 12, 11, 12, 11, 12, 11, 12}), 2, GetParam());
    const std::pair<std::vector<double>, double> cases[] = {{{}, 0},  {{0.5}, 0}, {{1}, 0},   {{1.5}, 0},  {{2}, 2},
                                                            {{4}, 2}, {{5}, 3},   {{100}, 3}, {{5, 0.5}, 3}};
    for (const auto& [skips, file] : cases) {
        OrderedProvider provider(dir.path(), 0);
        for (double t : skips) provider.skip_to_time(t);
        EXPECT_EQ(provider.get_metadata(11).x, 2 * file) << ::testing::PrintToString(skips);
    }
    OrderedProvider provider(dir.path(), 0);
    provider.skip_to_time(2);
    EXPECT_EQ(provider.get_metadata(11).x, 4);
    EXPECT_EQ(provider.get_metadata(11).x, 4);  // cached: nothing read
    EXPECT_EQ(provider.get_pe_list(11), TableProvider().showers.at(11));
    EXPECT_EQ(provider.get_metadata(12).x, 5);
    provider.skip_to_time(2.2);  // file 2 is current: reading goes on behind shower 12
    EXPECT_EQ(provider.get_metadata(11).x, 6);
    EXPECT_EQ(provider.get_metadata(12).x, 7);
    EXPECT_EQ(provider.get_pe_list(12), TableProvider().showers.at(12));
    EXPECT_EQ(provider.get_metadata(11).x, 0);  // wrapped past the last file
    for (int round = 0; round < 2; ++round) {
        EXPECT_THROW_MSG(provider.get_metadata(9), std::out_of_range, "Shower with UID 9 not found!");
        EXPECT_THROW_MSG(provider.get_pe_list(9), std::out_of_range, "Shower with UID 9 not found!");
    }
    const auto all = provider.get_all_metadata();
    ASSERT_EQ(all.size(), 8u);
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].x, double(i));
    EXPECT_EQ(provider.get_metadata(12).x, 1);  // left at the beginning of file 0
}

TEST(OrderedProvider, TheLaterOfTwoProvidersTakesOverTheHookId) {
    TempDir dir;
    write_library(dir, events_of({0, 1}, {11, 12}), 1, true);
    using TimeHint = std::function<void(double)>;
    auto first = std::make_unique<OrderedProvider>(dir.path(), 4711);
    auto second = std::make_unique<OrderedProvider>(dir.path(), 4711);
    Hook::get<TimeHint>(4711)(1.0);  // the second provider moves to file 1
    EXPECT_EQ(second->get_metadata(12).x, 1);
    first.reset();  // its handle removes the ID, whoever holds it now
    EXPECT_THROW(Hook::get<TimeHint>(4711), std::out_of_range);
    auto kept = Hook::set(-3, TimeHint{});  // IDs of 0 and below register nothing
    std::make_unique<OrderedProvider>(dir.path(), -3).reset();
    std::make_unique<OrderedProvider>(dir.path(), 0).reset();
    EXPECT_NO_THROW(Hook::get<TimeHint>(-3));
}

TEST(OrderedProvider, DamagedLibrariesAreRefusedOrEndTheirFileEarly) {
    TempDir dir;
    write_library(dir, events_of({0, 1, 2, 3}, {11, 13, 12, 13}), 2, true);
    // Shower 13 of file 0 loses its last bytes: the search goes on in file 1.
    fs::resize_file(dir.path() / "OP_INTER_0.tmio", fs::file_size(dir.path() / "OP_INTER_0.tmio") - 3);
    OrderedProvider provider(dir.path(), 0);
    EXPECT_EQ(provider.get_metadata(11).uid, 11u);
    EXPECT_THROW(provider.get_pe_list(13), std::ios_base::failure);  // the cut PE list itself
    EXPECT_EQ(provider.get_pe_list(13), TableProvider().showers.at(13));
    EXPECT_EQ(provider.get_all_metadata().size(), 4u);  // the cut record's metadata still reads

    const std::string mismatch = format("Files found in {} do not match OrderedProvider protocol!", dir.path().string());
    dir.write("OP_DATA_5.tmio", "");  // mixed layouts
    EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::ios_base::failure, mismatch);
    fs::remove(dir.path() / "OP_DATA_5.tmio");
    fs::remove(dir.path() / "OP_INTER_1.tmio");  // one data file, two hints
    EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::ios_base::failure, mismatch);
    EXPECT_THROW_MSG(OrderedProvider(dir.path() / "none", 0), std::ios_base::failure,
                     (dir.path() / "none").string() + " does not exist or is no directory!");
    dir.write("OP_INTER_x.tmio", "");
    EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::invalid_argument, "stoi");

    // Entry counts beyond the file: the absurd one refused, a large one read as
    // far as the file goes without setting anything aside for it.
    TempDir claims;
    const double zero = 0;
    tmio::TMIO(claims.path() / "OP_HINT.tmio", std::ios::out, "OP_HINT").write_array(tmio::VECTOR_TAG, &zero, 1);
    {
        tmio::TMIO data(claims.path() / "OP_INTER_0.tmio", std::ios::out, "OP_INTER");
        for (std::uint64_t uid : {6, 5}) {
            const Metadata md{uid, {}, 0, 0, 0, 0, 0, 0, 0, 0};
            const std::uint64_t entries = std::uint64_t{1} << (uid == 6 ? 58 : 40);
            data.write_raw(tmio::STRUCT_TAG, &md, sizeof md);
            data.write_raw(tmio::STRUCT_TAG, &entries, sizeof entries);
        }
    }
    OrderedProvider claimed(claims.path(), 0);
    EXPECT_THROW_MSG(claimed.get_pe_list(6), std::length_error, "cannot create std::vector larger than max_size()");
    EXPECT_THROW_MSG(claimed.get_pe_list(5), std::ios_base::failure,
                     "Reached end of file " + (claims.path() / "OP_INTER_0.tmio").generic_string() + "!");
}

}  // namespace
}  // namespace background
