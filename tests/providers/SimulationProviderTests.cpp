#include <background/providers/MultiProvider.hpp>
#include <background/providers/SimulationProvider.hpp>
#include <background/storage/TMIO.hpp>
#include <background/storage/tmio.h>

#include "ProviderTestSupport.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <set>

namespace background {
namespace {

using testing::PEs;
using testing::TempDir;
using testing::write_simulation_file;
using Times = std::vector<double>;
namespace fs = std::filesystem;

unsigned long key_of(const fs::path& file) { return testing::reference_file_key(file); }

bool same(const PEs& a, const PEs& b) {
    return std::ranges::equal(a, b, [](auto& x, auto& y) { return x.channel == y.channel && x.time == y.time; });
}

// Layouts the writer never makes: showers with the given uids, each with a PE
// block claiming `pes` PEs and holding `pe_bytes` of channel 0 at NaN (no block below 0).
fs::path write_raw(const fs::path& file, const std::vector<std::uint64_t>& uids, std::uint32_t pes, int pe_bytes) {
    tmio::TMIO out(file, std::ios::out, "XCDF_SHOWERS");
    const unsigned char nan_pe[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf8, 0x7f};
    for (std::uint64_t uid : uids) {
        const Metadata md{uid, {}, 0, 0, 0, 0, 0, 0, 0, 0};
        out.write_raw(1, &md, sizeof md);
        tmio_write_tag(out.ctx, pe_bytes < 0 ? 1 : 5);
        if (pe_bytes >= 0) tmio_write_data(out.ctx, &pes, sizeof pes);
        if (pe_bytes > 0) tmio_write_data(out.ctx, nan_pe, pe_bytes);
    }
    out.flush();
    return file;
}

TEST(XCDFReader, ReadsBackWhatTheWriterStoredWithRecordNumbersAsUids) {
    REQUIRE_XCDF();
    TempDir dir;
    const PEs one = testing::test_pes(1);
    PEs many;  // more than one PE data record
    for (int i = 0; i < 10000; ++i) many.push_back({i % 40, 1e-9 * i});
    XCDFWriter writer(dir.path() / "a.xcd");
    for (unsigned long r = 1; r <= 3; ++r)
        EXPECT_EQ(writer.append(Metadata{99, {}, 100.0 * r, 0, 0, 0, 0, 0, 0, 0}, r == 1 ? one : r == 2 ? PEs{} : many), r);
    writer.close();
    XCDFReader reader(dir.path() / "a.xcd", true, true);
    EXPECT_THROW(reader.get_metadata(), std::out_of_range);  // before the first record
    ASSERT_TRUE(reader.next());
    EXPECT_EQ(std::pair(reader.get_metadata().uid, reader.get_metadata().energy), std::pair(1ul, 100.0));
    EXPECT_TRUE(same(reader.get_pe_data(), one) && same(reader.get_pe_data(), one));  // asked twice, same record
    ASSERT_TRUE(reader.next() && reader.next());                                     // PEs of record 2 never read
    EXPECT_TRUE(reader.get_metadata().uid == 3 && same(reader.get_pe_data(), many));
    EXPECT_FALSE(reader.next());
    EXPECT_THROW(reader.get_pe_data(), std::out_of_range);
}

TEST(XCDFReader, DamagedTruncatedAndForeignFilesFailNamingTheFileAndAMetadataScanSkipsPeData) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto file = dir.path() / "raw.xcd";
    const std::tuple<std::uint32_t, int, std::string> cases[] = {
        {0xFFFFFFFFu, 0, "PE record unreadable, cut short inside a record"},  // never allocated up front
        {2, 12, "PE record of 12 bytes instead of 24"}, {0, -1, "PE block missing, found tag 1"},
        {1, 12, "PE time is not finite"}};
    for (const auto& [pes, bytes, message] : cases) {
        XCDFReader reader(write_raw(file, {1}, pes, bytes), true, true);
        ASSERT_TRUE(reader.next());
        EXPECT_THROW_MSG(reader.get_pe_data(), std::ios_base::failure,
                         "Damaged simulation file " + file.string() + ": " + message + "!");
    }
    XCDFReader scan(file, true, false);  // the NaN time is never decoded
    ASSERT_TRUE(scan.next() && scan.get_metadata().uid == 1);
    EXPECT_THROW(scan.get_pe_data(), std::logic_error);
    EXPECT_FALSE(scan.next());
    tmio::TMIO(file, std::ios::out, "OP_DATA");
    EXPECT_THROW_MSG(XCDFReader(file, true, true), std::ios_base::failure,
                     "Failed to open file " + file.string() + "!\nImplementation reports: protocol error");
    write_simulation_file(file, 3);
    fs::resize_file(file, fs::file_size(file) - 3);
    XCDFReader cut(file, true, true);
    EXPECT_THROW_MSG(while (cut.next()) cut.get_pe_data(), std::ios_base::failure,
                     "Damaged simulation file " + file.string() + ": PE record unreadable, cut short inside a record!");
}

// Uids are the canonical path's hash without its low 16 bits plus the record
// number; only names ending in lower-case ".xcd" are indexed, in key order.
TEST(SimulationProvider, FileLimitTakesTheSmallestKeysAndOnlyBackwardReadsReopen) {
    REQUIRE_XCDF();
    TempDir dir;
    std::vector<unsigned long> keys;
    for (const char* name : {"a.xcd", "with space.xcd", "\xc3\xbcml.xcd", "4.xcd", "5.xcd"})
        keys.push_back(key_of(write_simulation_file(dir.path() / name, 3)));
    std::ranges::sort(keys);
    for (const char* name : {"B.XCD", "c.xcdf", "d.txt", ".xcd"}) write_simulation_file(dir.path() / name, 1);
    fs::create_directory(dir.path() / "sub");
    unsigned long seen = XCDFReader::files_opened();
    const auto opens = [&seen] { return XCDFReader::files_opened() - std::exchange(seen, XCDFReader::files_opened()); };
    for (int limit : {0, 2, -1}) {
        const auto records = SimulationProvider(dir.path() / "sub" / "..", limit, -1, 1.0, false).get_all_metadata();
        const std::size_t files = limit < 0 ? 5 : static_cast<std::size_t>(limit);
        EXPECT_EQ(opens(), files) << limit;
        ASSERT_EQ(records.size(), 3 * files) << limit;
        for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].uid, keys[i / 3] + i % 3 + 1);
    }
    SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
    const unsigned long a = keys[0], b = keys[1];
    const std::pair<unsigned long, unsigned long> steps[] = {
        {a + 1, 1}, {a + 3, 0}, {a + 3, 0}, {a + 2, 1}, {b + 1, 1}, {a + 2, 1}, {a + 3, 0}};
    for (const auto& [uid, expected_opens] : steps) {
        EXPECT_EQ(provider.get_metadata(uid).energy, 100.0 * double(uid & 0xFFFF));
        EXPECT_EQ(provider.get_pe_list(uid).size(), 2u);
        EXPECT_EQ(opens(), expected_opens) << "record " << (uid & 0xFFFF);
    }
    // Past the end the reader stays at the end; an earlier record reopens.
    EXPECT_THROW_MSG(provider.get_pe_list(a + 4), std::out_of_range, format("Shower with UID {} not found!", a + 4));
    EXPECT_THROW(provider.get_metadata(a + 5), std::out_of_range);
    EXPECT_EQ(opens(), 0u);
    EXPECT_THROW(provider.get_metadata(a), std::out_of_range);  // record 0 is no shower
    EXPECT_EQ(opens(), 1u);
    EXPECT_THROW_MSG(provider.get_pe_list(keys[4] + 0x10000), std::out_of_range,
                     format("Shower UID {} is not recognized by this provider!", keys[4] + 0x10000));
}

TEST(SimulationProvider, RefusesBadSettingsDirectoriesAndRecordNumbersOrWarnsAboutThem) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto good = write_simulation_file(dir.path() / "good.xcd", 2), empty = dir.path() / "empty";
    fs::create_directory(empty);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NO_THROW(SimulationProvider(dir.path(), -1, -1, nan, false));  // thinning off
    const std::tuple<int, double, const char*> refused[] = {{0, 0.0, "0"}, {2, -1.5, "-1.5"}, {2, nan, "nan"}};
    for (const auto& [keep, interval, shown] : refused) {
        EXPECT_THROW_MSG(SimulationProvider(dir.path(), -1, keep, interval, false), std::invalid_argument,
                         format("Setting cutoff_interval = {} is not positive!", shown));
    }
    EXPECT_THROW_MSG(MultiProvider(0, -2, false), std::invalid_argument, "Setting cutoff_interval = -2 is not positive!");
    EXPECT_THROW_MSG(SimulationProvider(good, -1, -1, 1.0, false), std::ios_base::failure,
                     good.string() + " is no directory!");
    EXPECT_THROW_MSG(SimulationProvider(empty, -1, -1, 1.0, false), std::ios_base::failure,
                     empty.string() + " does not contain simulation files!");
    const auto big = write_simulation_file(empty / "big.xcd", 65536);  // beyond the 16 uid bits
    for (bool warn : {false, true})
        EXPECT_THROW_MSG(SimulationProvider(empty, -1, -1, 1.0, warn).get_all_metadata(), std::ios_base::failure,
                         "Maximum number of showers per file exceeded in file " + big.string() +
                             "!\nExpected: 50000, Limit: 65535");

    const auto broken = write_raw(dir.path() / "broken.xcd", {1, 2, 4, 5}, 0, 0);
    const std::string message =
        "XCDFReader provided non continuous ids: expected 3 but got 4! Verify input file " + broken.string() + "!";
    EXPECT_THROW_MSG(SimulationProvider(dir.path(), -1, -1, 1.0, false).get_all_metadata(), std::ios_base::failure,
                     message);
    SimulationProvider lenient(dir.path(), -1, -1, 1.0, true);
    ::testing::internal::CaptureStderr();
    std::multiset<unsigned long> uids;
    for (const Metadata& md : lenient.get_all_metadata()) uids.insert(md.uid);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[WARNING] Ignoring exception thrown during metadata loading:\n\t" + message + "\n");
    const unsigned long b = key_of(broken), g = key_of(good);
    EXPECT_EQ(uids, (std::multiset<unsigned long>{b + 1, b + 2, g + 1, g + 2}));
}

PEList thinned(int channel, const Times& times, int keep, double interval, PEs pes = {}) {
    TempDir dir;
    for (double t : times) pes.push_back({channel, t});
    XCDFWriter writer(dir.path() / "s.xcd");
    writer.append(Metadata{}, pes);
    writer.close();
    return SimulationProvider(dir.path(), -1, keep, interval, false).get_pe_list(key_of(dir.path() / "s.xcd") + 1);
}

TEST(SimulationProvider, ThinningKeepsTheFirstPesOfEachIntervalOfDenseChannels) {
    REQUIRE_XCDF();
    const Times ten{9, 8, 7, 6, 5, 4, 3, 2, 1, 0};  // stored out of order on purpose
    EXPECT_EQ(thinned(0, ten, 2, 3.0), (PEList{{0, {0, 1, 4, 5, 7, 8}}})) << "a bound belongs to the lower bin";
    EXPECT_EQ(thinned(4, {2, 2, 2, 2, 2}, 3, 1.0), (PEList{{4, {0, 0, 0}}})) << "one instant";
    EXPECT_EQ(thinned(0, {3, 1, 2}, 3, 0.5), (PEList{{0, {0, 1, 2}}})) << "not dense";
    EXPECT_EQ(thinned(0, ten, -1, 3.0), (PEList{{0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}})) << "thinning off";
    EXPECT_EQ(thinned(0, ten, 2, INFINITY), (PEList{{0, {0, 1}}})) << "infinite interval";
    EXPECT_EQ(thinned(1, {3, 3.5, 4}, 1, 1.0, {{0, 1}}), (PEList{{0, {0}}, {1, {2}}})) << "shower-wide shift";
    // A span of 1e306 intervals: each PE its own bin, found without visiting the empty ones.
    EXPECT_EQ(thinned(2, {1e6, 0, 1}, 1, 1e-300), (PEList{{2, {0, 1, 1e6}}})) << "tiny interval";
    EXPECT_EQ(thinned(0, {1, 2}, 0, 1.0), (PEList{{0, {}}})) << "keep none";
    EXPECT_EQ(thinned(0, {}, 1, 1.0), PEList{}) << "no PEs";

    // Times on the bin bounds k interval + t0 as computed and one double either
    // side, against a walk through the bins one by one.
    std::mt19937_64 rng(5);
    for (int round = 0; round < 100; ++round) {
        const double interval = std::array{0.1, 0.3, 1e-3, 7.0, 1.0 / 3}[round % 5];
        const double t0 = std::uniform_real_distribution<double>(-5, 5)(rng);
        Times times{t0}, kept;
        for (int i = 0; i < 40; ++i) {
            const double on = double(rng() % 20 + 1) * interval + t0;
            times.push_back(std::nextafter(on, on + double(static_cast<int>(rng() % 3) - 1) * 1e300));
        }
        std::ranges::sort(times);
        const int keep = static_cast<int>(rng() % 3);
        const auto bins = std::max(1ul, static_cast<unsigned long>(std::ceil((times.back() - t0) / interval)));
        for (std::size_t k = 1, i = 0; k <= bins; ++k)
            for (int in_bin = 0; i < times.size() && times[i] <= double(k) * interval + t0; ++i, ++in_bin)
                if (in_bin < keep) kept.push_back(times[i] - t0);
        EXPECT_EQ(thinned(0, times, keep, interval), (PEList{{0, kept}})) << "round " << round;
    }
}

TEST(MultiProvider, DispatchesByFileKeyAndRefusesTheSameFilesReachedTwice) {
    REQUIRE_XCDF();
    TempDir dir;
    fs::create_directories(dir.path() / "one");
    fs::create_directories(dir.path() / "two");
    const unsigned long a = key_of(write_simulation_file(dir.path() / "one/a.xcd", 1));
    const unsigned long b = key_of(write_simulation_file(dir.path() / "one/b.xcd", 1));
    const unsigned long c = key_of(write_simulation_file(dir.path() / "two/c.xcd", 3));
    fs::create_directory_symlink(dir.path() / "two", dir.path() / "link");
    MultiProvider multi(-1, 1.0, false);
    EXPECT_TRUE(multi.get_all_metadata().empty());
    EXPECT_THROW_MSG(multi.get_pe_list(c + 1), std::out_of_range, format("Shower with UID {} not found!", c + 1));
    multi.add_dataset(dir.path() / "one", 1);
    multi.add_dataset(dir.path() / "two", -1);
    for (const char* again : {"two", "link"}) {
        EXPECT_THROW_MSG(multi.add_dataset(dir.path() / again, -1), std::runtime_error,
                         "Datasets contain files with same hashes!\nFile A: " + (dir.path() / "two/c.xcd").string() +
                             "\nFile B: " + (dir.path() / again / "c.xcd").string());
    }
    std::vector<unsigned long> uids;  // the refused datasets were not added
    for (const Metadata& md : multi.get_all_metadata()) uids.push_back(md.uid);
    EXPECT_EQ(uids, (std::vector<unsigned long>{std::min(a, b) + 1, c + 1, c + 2, c + 3}));
    EXPECT_EQ(multi.get_metadata(c + 3).energy, 300.0);
    EXPECT_EQ(multi.get_pe_list(c + 3), (PEList{{0, {0.0}}, {7, {2.0}}}));
    EXPECT_EQ(multi.get_metadata(std::max(a, b) + 1).uid, std::max(a, b) + 1);  // beyond the file limit
}

TEST(SimulationProvider, DisabledBuildFailsAfterTheDirectoryChecks) {
#if !BACKGROUND_WITH_XCDF
    TempDir dir;
    const auto file = write_simulation_file(dir.path() / "a.xcd", 1);  // the writer stays available
    const std::string message = "XCDF support disabled at build time!";
    EXPECT_THROW_MSG(XCDFReader(), std::runtime_error, message);
    EXPECT_THROW_MSG(XCDFReader(file, true, true), std::runtime_error, message);
    EXPECT_THROW_MSG(SimulationProvider(dir.path(), -1, -1, 1.0, false), std::runtime_error, message);
    MultiProvider multi(-1, 1.0, false);
    EXPECT_THROW_MSG(multi.add_dataset(dir.path() / "none", -1), std::ios_base::failure,
                     (dir.path() / "none").string() + " is no directory!");
    EXPECT_THROW_MSG(multi.add_dataset(dir.path(), -1), std::runtime_error, message);
#endif
}

}  // namespace
}  // namespace background
