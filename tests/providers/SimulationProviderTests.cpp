#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/providers/SimulationProvider.hpp>
#include <background/providers/XCDFReader.hpp>
#include <background/providers/XCDFWriter.hpp>
#include <background/storage/TMIO.hpp>
#include <background/storage/tmio.h>

#include "ProviderTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace background {
namespace {

using testing::PEs;
using testing::TempDir;
using Times = std::vector<double>;

unsigned long key_of(const std::filesystem::path& file) { return testing::reference_file_key(file); }

std::set<unsigned long> keys_in(const std::vector<Metadata>& records) {
    std::set<unsigned long> keys;
    for (const Metadata& md : records) keys.insert(md.uid & ~0xFFFFul);
    return keys;
}

// A file whose records carry the given uids, as a foreign tool might write it.
void write_with_uids(const std::filesystem::path& file, const std::vector<std::uint64_t>& uids) {
    tmio::TMIO out(file, std::ios::out, "XCDF_SHOWERS");
    for (std::uint64_t uid : uids) {
        Metadata md = testing::test_metadata(uid);
        md.uid = uid;
        out.write_raw(1, &md, sizeof md);
        const std::uint32_t none = 0;
        tmio_write_tag(out.ctx, 5);
        tmio_write_data(out.ctx, &none, sizeof none);
    }
    out.flush();
}

TEST(SimulationProvider, UidIsTheCanonicalPathHashWithoutItsLowBitsPlusTheRecordNumber) {
    REQUIRE_XCDF();
    TempDir dir;
    std::set<unsigned long> expected;
    for (const char* name : {"a.xcd", "with space.xcd", "\xc3\xbcml.xcd"})
        expected.insert(key_of(testing::write_simulation_file(dir.path() / name, 2)));
    // Through a relative, non-canonical spelling of the directory.
    std::filesystem::create_directory(dir.path() / "sub");
    SimulationProvider provider(dir.path() / "sub" / "..", -1, -1, 1.0, false);
    const auto records = provider.get_all_metadata();
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(keys_in(records), expected);
    for (unsigned long key : expected) {
        const Metadata second = provider.get_metadata(key + 2);
        EXPECT_EQ(second.uid, key + 2);
        EXPECT_EQ(second.energy, 200.0);
    }
}

TEST(SimulationProvider, IndexesExactlyTheEntriesWithTheLowerCaseXcdExtension) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto indexed = testing::write_simulation_file(dir.path() / "a.xcd", 1);
    for (const char* name : {"B.XCD", "c.xcdf", "d.txt", ".xcd"}) testing::write_simulation_file(dir.path() / name, 1);
    std::map<unsigned long, std::filesystem::path> index;
    SimulationProvider::make_index(dir.path(), index);
    ASSERT_EQ(index.size(), 1u);
    EXPECT_EQ(index.begin()->first, key_of(indexed));
    EXPECT_EQ(index.begin()->second, indexed);
}

TEST(SimulationProvider, ForwardReadsKeepTheFileOpenAndBackwardReadsReopenIt) {
    REQUIRE_XCDF();
    TempDir dir;
    const unsigned long a = key_of(testing::write_simulation_file(dir.path() / "a.xcd", 3));
    const unsigned long b = key_of(testing::write_simulation_file(dir.path() / "b.xcd", 3));
    SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
    unsigned long seen = XCDFReader::files_opened();
    const auto opens = [&seen] {
        const unsigned long now = XCDFReader::files_opened();
        return now - std::exchange(seen, now);
    };
    struct Step {
        unsigned long uid;
        unsigned long opens;
    };
    const Step steps[] = {{a + 1, 1}, {a + 3, 0}, {a + 3, 0}, {a + 2, 1}, {b + 1, 1}, {a + 2, 1}, {a + 3, 0}};
    for (const Step& step : steps) {
        EXPECT_EQ(provider.get_metadata(step.uid).energy, 100.0 * double(step.uid - (step.uid & ~0xFFFFul)));
        EXPECT_EQ(provider.get_pe_list(step.uid).size(), 2u);
        EXPECT_EQ(opens(), step.opens) << "uid " << step.uid - (step.uid & ~0xFFFFul);
    }
    // Past the end the reader stays at the end; an earlier record reopens.
    EXPECT_THROW_MSG(provider.get_metadata(a + 4), std::out_of_range, format("Shower with UID {} not found!", a + 4));
    EXPECT_THROW(provider.get_metadata(a + 5), std::out_of_range);
    EXPECT_EQ(opens(), 0u);
    EXPECT_EQ(provider.get_metadata(a + 1).uid, a + 1);
    EXPECT_EQ(opens(), 1u);
}

TEST(SimulationProvider, FileLimitReadsTheFilesWithTheSmallestKeys) {
    REQUIRE_XCDF();
    TempDir dir;
    std::vector<unsigned long> keys;
    for (const char* name : {"1.xcd", "2.xcd", "3.xcd", "4.xcd", "5.xcd"})
        keys.push_back(key_of(testing::write_simulation_file(dir.path() / name, 2)));
    std::ranges::sort(keys);
    for (int limit : {0, 2, -1}) {
        SCOPED_TRACE(limit);
        SimulationProvider provider(dir.path(), limit, -1, 1.0, false);
        const unsigned long before = XCDFReader::files_opened();
        const auto records = provider.get_all_metadata();
        const std::size_t files = limit < 0 ? 5 : static_cast<std::size_t>(limit);
        EXPECT_EQ(XCDFReader::files_opened() - before, files);
        ASSERT_EQ(records.size(), 2 * files);
        for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].uid, keys[i / 2] + i % 2 + 1);
    }
}

TEST(SimulationProvider, NonContinuousRecordNumbersFailOrAreWarnedAbout) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto broken = dir.path() / "broken.xcd";
    write_with_uids(broken, {1, 2, 4, 5});
    const unsigned long broken_key = key_of(broken);
    const unsigned long good_key = key_of(testing::write_simulation_file(dir.path() / "good.xcd", 2));
    const std::string message = "XCDFReader provided non continuous ids: expected 3 but got 4! Verify input file " +
                                broken.string() + "!";

    SimulationProvider strict(dir.path(), -1, -1, 1.0, false);
    EXPECT_THROW_MSG(strict.get_all_metadata(), std::ios_base::failure, message);

    SimulationProvider lenient(dir.path(), -1, -1, 1.0, true);
    testing::CaptureStderr captured;
    const auto records = lenient.get_all_metadata();
    EXPECT_EQ(captured.str(), "[WARNING] Ignoring exception thrown during metadata loading:\n\t" + message + "\n");
    std::multiset<unsigned long> uids;
    for (const Metadata& md : records) uids.insert(md.uid);
    EXPECT_EQ(uids, (std::multiset<unsigned long>{broken_key + 1, broken_key + 2, good_key + 1, good_key + 2}));
}

TEST(SimulationProvider, MoreThan65535RecordsInAFileFailWhateverTheWarningSetting) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto file = testing::write_simulation_file(dir.path() / "big.xcd", 65536);
    for (bool warn : {false, true}) {
        SimulationProvider provider(dir.path(), -1, -1, 1.0, warn);
        EXPECT_THROW_MSG(provider.get_all_metadata(), std::ios_base::failure,
                         "Maximum number of showers per file exceeded in file " + file.string() +
                             "!\nExpected: 50000, Limit: 65535");
    }
}

// ---- Thinning ----

// The binning written out bin by bin, as its definition reads.
Times reference_thinning(const Times& sorted, int keep, double interval, double t_min) {
    const double t0 = sorted.front();
    const auto bins = std::max(1ul, static_cast<unsigned long>(std::ceil((sorted.back() - t0) / interval)));
    Times kept;
    std::size_t i = 0;
    for (unsigned long k = 1; k <= bins; ++k) {
        const double bound = double(k) * interval + t0;
        for (int in_bin = 0; i < sorted.size() && sorted[i] <= bound; ++i, ++in_bin)
            if (in_bin < keep) kept.push_back(sorted[i] - t_min);
    }
    return kept;
}

PEList thinned(const PEs& pes, int keep, double interval) {
    TempDir dir;
    const auto file = dir.path() / "s.xcd";
    XCDFWriter writer(file);
    writer.append(Metadata{}, pes);
    writer.close();
    SimulationProvider provider(dir.path(), -1, keep, interval, false);
    return provider.get_pe_list(key_of(file) + 1);
}

PEs on_channel(int channel, const Times& times) {
    PEs pes;
    for (double t : times) pes.push_back({channel, t});
    return pes;
}

TEST(SimulationProvider, ThinningKeepsTheFirstPesOfEachIntervalOfDenseChannels) {
    REQUIRE_XCDF();
    const double inf = std::numeric_limits<double>::infinity();
    const Times ten{9, 8, 7, 6, 5, 4, 3, 2, 1, 0};  // stored out of order on purpose
    struct Case {
        const char* what;
        PEs pes;
        int keep;
        double interval;
        PEList expected;
    };
    const Case cases[] = {
        {"three bins", on_channel(0, ten), 2, 3.0, {{0, {0, 1, 4, 5, 7, 8}}}},
        {"one instant", on_channel(4, {2, 2, 2, 2, 2}), 3, 1.0, {{4, {0, 0, 0}}}},
        {"not dense", on_channel(0, {3, 1, 2}), 3, 0.5, {{0, {0, 1, 2}}}},
        {"thinning off", on_channel(0, ten), -1, 3.0, {{0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}}},
        {"infinite interval", on_channel(0, ten), 2, inf, {{0, {0, 1}}}},
        {"keep none", on_channel(0, {1, 2}), 0, 1.0, {{0, {}}}},
        {"shower-wide shift", [] {
             PEs pes = on_channel(1, {3, 3.5, 4});
             pes.push_back({0, 1});
             return pes;
         }(), 1, 1.0, {{0, {0}}, {1, {2}}}},
        // A span of 1e306 intervals: each PE is its own bin, found without visiting the empty ones.
        {"tiny interval", on_channel(2, {1e6, 0, 1}), 1, 1e-300, {{2, {0, 1, 1e6}}}},
        {"no PEs", {}, 1, 1.0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(thinned(c.pes, c.keep, c.interval), c.expected);
    }
}

TEST(SimulationProvider, ThinningPutsATimeEqualToABoundIntoTheLowerBin) {
    REQUIRE_XCDF();
    std::mt19937_64 rng(5);
    const double intervals[] = {0.1, 0.3, 1e-3, 7.0, 1.0 / 3};
    for (int round = 0; round < 100; ++round) {
        const double interval = intervals[round % 5];
        const double t0 = std::uniform_real_distribution<double>(-5, 5)(rng);
        // Times on the bounds as computed and one step of a double either side.
        Times times{t0};
        for (int i = 0; i < 40; ++i) {
            const double on = double(rng() % 20 + 1) * interval + t0;
            const int side = static_cast<int>(rng() % 3) - 1;
            times.push_back(side == 0 ? on : std::nextafter(on, side * 1e300));
        }
        std::ranges::sort(times);
        const int keep = static_cast<int>(rng() % 3);
        const PEList result = thinned(on_channel(0, times), keep, interval);
        ASSERT_EQ(result.size(), 1u);
        EXPECT_EQ(result[0].second, reference_thinning(times, keep, interval, t0)) << "round " << round;
    }
}

TEST(SimulationProvider, RefusedArgumentsAndUnknownUids) {
    REQUIRE_XCDF();
    TempDir dir;
    const unsigned long key = key_of(testing::write_simulation_file(dir.path() / "a.xcd", 1));
    const auto empty = dir.path() / "empty";
    std::filesystem::create_directory(empty);
    const auto file = dir.path() / "a.xcd";
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW_MSG(SimulationProvider(dir.path(), -1, 0, 0.0, false), std::invalid_argument,
                     "Setting cutoff_interval = 0 is not positive!");
    EXPECT_THROW_MSG(SimulationProvider(dir.path(), -1, 2, -1.5, false), std::invalid_argument,
                     "Setting cutoff_interval = -1.5 is not positive!");
    EXPECT_THROW_MSG(SimulationProvider(dir.path(), -1, 2, nan, false), std::invalid_argument,
                     "Setting cutoff_interval = nan is not positive!");
    EXPECT_NO_THROW(SimulationProvider(dir.path(), -1, -1, nan, false));  // thinning off
    EXPECT_THROW_MSG(SimulationProvider(file, -1, -1, 1.0, false), std::ios_base::failure,
                     file.string() + " is no directory!");
    EXPECT_THROW_MSG(SimulationProvider(empty, -1, -1, 1.0, false), std::ios_base::failure,
                     empty.string() + " does not contain simulation files!");
    SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
    EXPECT_THROW_MSG(provider.get_pe_list(key + 0x10000), std::out_of_range,
                     format("Shower UID {} is not recognized by this provider!", key + 0x10000));
    EXPECT_THROW_MSG(provider.get_pe_list(key + 2), std::out_of_range, format("Shower with UID {} not found!", key + 2));
    EXPECT_THROW(provider.get_metadata(key), std::out_of_range);  // record 0 is no shower
}

TEST(SimulationProvider, DisabledBuildFailsConstruction) {
#if BACKGROUND_WITH_XCDF
    GTEST_SKIP() << "built with XCDF support";
#else
    TempDir dir;
    testing::write_simulation_file(dir.path() / "a.xcd", 1);
    EXPECT_THROW_MSG(SimulationProvider(dir.path(), -1, -1, 1.0, false), std::runtime_error,
                     "XCDF support disabled at build time!");
#endif
}

}  // namespace
}  // namespace background
