#include <background/core/Factory.hpp>
#include <background/core/Format.hpp>
#include <background/core/Hook.hpp>
#include <background/driver/Background.hpp>
#include <background/models/CachedModel.hpp>
#include <background/providers/MockProvider.hpp>
#include <background/providers/MultiProvider.hpp>
#include <background/providers/OrderedProvider.hpp>
#include <background/providers/SimulationProvider.hpp>
#include <background/providers/XCDFWriter.hpp>
#include <background/storage/TMIO.hpp>
#include <background/storage/tmio.h>

#include "storage/StorageTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <tuple>

// Without the reader there is nothing to read; the disabled behaviour is tested on its own.
#if BACKGROUND_WITH_XCDF
#define REQUIRE_XCDF() static_cast<void>(0)
#else
#define REQUIRE_XCDF() GTEST_SKIP() << "built without XCDF support"
#endif

// AddressSanitizer maps terabytes of shadow memory, so no address-space limit leaves it room to run.
#if defined(__SANITIZE_ADDRESS__)
#define ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ADDRESS_SANITIZER 1
#endif
#endif

namespace background {
namespace {

using testing::TempDir;
using Events = std::vector<BackgroundEvent>;
using PEs = std::vector<XCDFReader::PEData>;
using Times = std::vector<double>;
namespace fs = std::filesystem;

/// Shower r of every test file: energy 100 r, PEs on channel 7 at 2 r and on channel r % 3 at 1 + r.
PEs test_pes(unsigned long record) { return {{7, 2.0 * double(record)}, {int(record % 3), 1.0 + double(record)}}; }

fs::path write_simulation_file(const fs::path& file, unsigned long records) {
    XCDFWriter writer(file);
    for (unsigned long r = 1; r <= records; ++r)
        writer.append(Metadata{0, {}, 100.0 * double(r), 0, 0, 0, 0, 0, 0, 0}, test_pes(r));
    writer.close();
    return file;
}

// The file key as libstdc++ hashes a path: the elements' string hashes combined in order, low 16 bits cleared.
unsigned long key_of(const fs::path& file) {
    std::size_t seed = 0;
    for (const auto& element : fs::canonical(file))
        seed ^= std::hash<std::string>{}(element.string()) + 0x9e3779b9 + (seed << 6) + (seed >> 2);
    return seed & ~std::size_t{0xFFFF};
}

// Every field, the doubles by their bits.
auto fields(const Metadata& m) {
    const auto b = [](double value) { return std::bit_cast<std::uint64_t>(value); };
    return std::tuple(m.uid, m.primary, b(m.energy), b(m.x), b(m.y), b(m.theta), b(m.phi), b(m.time), m.num_pe,
                      m.num_channels);
}

// Each quantity is handed out by stratum (i + 1/2) / n after a shuffle of the whole set. Volatile inputs
// keep the compiler from folding the arithmetic, where it would round differently from the math library.
std::vector<Metadata> reference_showers(std::uint64_t n, double shape) {
    volatile double index = shape, e_min = 30, e_max = 3e5, r_max = 180, theta_max = 0.9;
    std::vector<Metadata> records(n);
    for (std::uint64_t k = 0; k < n; ++k) records[k] = Metadata{k, Metadata::PROTON, 0, 0, 0, 0, 0, 0, 1, 1};
    std::mt19937_64 rng(1234567890);
    const auto assign = [&](auto set) {
        std::shuffle(records.begin(), records.end(), rng);
        for (std::uint64_t i = 0; i < n; ++i) set(records[i], (double(i) + 0.5) / double(n), 0.2 * double(i));
    };
    const double g = index + 1.0, a = std::pow(e_min, g) / g, b = std::pow(e_max, g) / g, c = std::cos(theta_max);
    assign([&](Metadata& m, double u, double) {
        m.energy = index == -1.0 ? std::exp(u * (std::log(e_max) - std::log(e_min)) + std::log(e_min))
                                 : std::pow((u * (b - a) + a) * g, 1.0 / g);
    });
    assign([&](Metadata& m, double u, double angle) {
        m.x = std::pow(2 * ((u * (r_max * r_max)) * 0.5), 0.5) * std::cos(angle);
        m.y = std::pow(2 * ((u * (r_max * r_max)) * 0.5), 0.5) * std::sin(angle);
    });
    assign([&](Metadata& m, double, double angle) { m.phi = std::fmod(angle, 6.283185307179586); });
    assign([&](Metadata& m, double u, double) { m.theta = std::acos(std::sqrt(u * (1.0 - c * c) + c * c)); });
    std::ranges::sort(records, {}, &Metadata::uid);
    return records;
}

// Each set catches a wrong draw order, stratum or arithmetic; only exactly -1 takes the logarithmic branch.
TEST(MockProvider, RecordsMatchTheReferenceConstructionBitForBit) {
    const std::pair<std::uint64_t, double> sets[] = {{0, -2.0}, {1, -1.0}, {1, -1.5},        {2, -2.0},
                                                     {3, -1.0}, {6, -1.0}, {5, -1.0 + 1e-9}, {101, -2.7}};
    for (const auto& [n, index] : sets) {
        MockProvider provider(n, index, 30.0, 3e5, 180.0, 0.9);
        const auto actual = provider.get_all_metadata(), expected = reference_showers(n, index);
        ASSERT_EQ(actual.size(), n);
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_EQ(fields(actual[k]), fields(expected[k])) << n << " showers, index " << index << ", uid " << k;
            EXPECT_EQ(provider.get_pe_list(k), (PEList{{0, {double(k)}}}));  // one PE at its uid in seconds
        }
        EXPECT_THROW(provider.get_pe_list(n), std::out_of_range);
        EXPECT_THROW(provider.get_metadata(n), std::out_of_range);
    }
}

bool same(const PEs& a, const PEs& b) {
    return std::ranges::equal(a, b, [](auto& x, auto& y) { return x.channel == y.channel && x.time == y.time; });
}

// Layouts the writer never makes: showers with the given uids, each with a PE block claiming `pes` PEs
// and holding `pe_bytes` of channel 0 at NaN (no block below 0), then the end record counting them all.
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
    const auto showers = static_cast<std::uint32_t>(uids.size());
    out.write_raw(9, &showers, sizeof showers);
    out.flush();
    return file;
}

// "same" when `read` served what it serves from the intact file, "different", or the message it threw.
std::string outcome_of(const std::function<bool()>& read) {
    try {
        return read() ? "same" : "different";
    } catch (const std::exception& error) {
        return error.what();
    }
}

// Each byte inserted into or deleted from [begin, end) of `file` shifts the frames of the records served:
// every read gives "same" or a refusal, a message beginning with `damage` or a count too large to hold.
void expect_shifted_frames_refused(const fs::path& file, std::size_t begin, std::size_t end, const std::string& damage,
                                   const std::vector<std::function<std::string()>>& reads) {
    const std::string whole = storage_test::read_bytes(file);
    for (std::size_t at = begin; at < end; ++at)
        for (const bool insert : {false, true}) {
            std::string bytes = whole;
            std::ofstream(file, std::ios::binary) << (insert ? bytes.insert(at, 1, char(at)) : bytes.erase(at, 1));
            for (const auto& read : reads) {
                const std::string outcome = read();
                EXPECT_TRUE(outcome == "same" || outcome.starts_with(damage) ||
                            outcome == "cannot create std::vector larger than max_size()")
                    << (insert ? "inserted at " : "deleted at ") << at << ": " << outcome;
            }
        }
    std::ofstream(file, std::ios::binary) << whole;
}

// Reads every record, metadata only or with all PEs; false when the reader refused the file.
bool reads_whole(const fs::path& file, bool with_pe_data) {
    try {
        for (XCDFReader reader(file, true, with_pe_data); reader.next();)
            if (with_pe_data) (void)reader.get_pe_data();
        return true;
    } catch (const std::ios_base::failure& error) {
        EXPECT_NE(std::string(error.what()).find(file.string()), std::string::npos) << error.what();
        return false;
    }
}

TEST(XCDFReader, ReadsBackWhatTheWriterStoredAndRefusesDamagedTruncatedOrForeignFilesNamingThem) {
    REQUIRE_XCDF();
    TempDir dir;
    const PEs one = test_pes(1);
    PEs many;  // more than one PE data record
    for (int i = 0; i < 10000; ++i) many.push_back({i % 40, 1e-9 * i});
    XCDFWriter writer(dir.path() / "a.xcd");
    for (unsigned long r = 1; r <= 3; ++r)
        EXPECT_EQ(writer.append(Metadata{99, {}, 100.0 * r, 0, 0, 0, 0, 0, 0, 0}, r == 1 ? one : r > 2 ? many : PEs{}), r);
    writer.close();
    writer.close();  // closed once for all: nothing more reaches the file
    EXPECT_THROW(writer.append(Metadata{}, one), std::logic_error);
    XCDFReader reader(dir.path() / "a.xcd", true, true);
    ASSERT_TRUE(reader.next());
    EXPECT_EQ(std::pair(reader.get_metadata().uid, reader.get_metadata().energy), std::pair(1ul, 100.0));
    EXPECT_TRUE(same(reader.get_pe_data(), one) && same(reader.get_pe_data(), one));  // asked twice, same record
    ASSERT_TRUE(reader.next() && reader.next());                                     // PEs of record 2 never read
    EXPECT_TRUE(reader.get_metadata().uid == 3 && same(reader.get_pe_data(), many));
    EXPECT_FALSE(reader.next());
    const auto file = dir.path() / "raw.xcd";
    const std::tuple<std::uint32_t, int, std::string> cases[] = {
        {0xFFFFFFFFu, 0, "PE record missing"},  // nothing allocated up front
        {2, 12, "PE record of 12 bytes instead of 24"}, {0, 12, "PE block holds more than its 0 PEs"},
        {1, 12, "PE time is not finite"}};
    for (const auto& [pes, bytes, message] : cases) {  // the scan walks the PE blocks it skips, but decodes no time
        const std::string damaged = "Damaged simulation file " + file.string() + ": " + message + "!";
        XCDFReader reader(write_raw(file, {1}, pes, bytes), true, true), scan(file, true, false);
        ASSERT_TRUE(reader.next() && scan.next() && scan.get_metadata().uid == 1);
        EXPECT_THROW_MSG(reader.get_pe_data(), std::ios_base::failure, damaged);
        EXPECT_THROW_MSG(reader.next(), std::ios_base::failure, damaged);  // a failed reader stays failed
        EXPECT_THROW(scan.get_pe_data(), std::logic_error);
        if (bytes == 12 && pes == 1) {
            EXPECT_FALSE(scan.next());
        } else {  // nor does the scan hand out the record it stood on
            EXPECT_THROW_MSG(scan.next(), std::ios_base::failure, damaged);
            EXPECT_THROW_MSG(scan.get_metadata(), std::ios_base::failure, damaged);
        }
    }
    XCDFReader misplaced(write_raw(file, {1}, 0, -1), true, false);  // another record where the PE block belongs
    EXPECT_THROW_MSG(misplaced.next(), std::ios_base::failure,
                     "Damaged simulation file " + file.string() + ": shower record 1 is not followed by its PE block!");
    // A file is whole only up to its end record, which counts the showers and closes the file.
    const std::string written = storage_test::read_bytes(dir.path() / "a.xcd");
    for (std::size_t cut = 0; cut < written.size(); cut += cut < 400 || written.size() - cut < 400 ? 1 : 4999) {
        dir.write("cut.xcd", written.substr(0, cut));
        EXPECT_FALSE(reads_whole(dir.path() / "cut.xcd", false) || reads_whole(dir.path() / "cut.xcd", true)) << cut;
    }
    std::string miscounted = written;
    miscounted[miscounted.size() - 4] = 4;
    for (const auto& [bytes, message] : {std::pair(miscounted, "end record counts 4 showers, the file holds 3"),
                                         {written + '\0', "bytes follow its end record"}})
        for (bool with_pe_data : {false, true}) {
            XCDFReader whole(dir.write("a.xcd", bytes), true, with_pe_data);
            for (int record = 1; record <= 3; ++record) ASSERT_TRUE(whole.next());
            EXPECT_THROW_MSG(whole.next(), std::ios_base::failure,
                             "Damaged simulation file " + (dir.path() / "a.xcd").string() + ": " + message + "!");
        }
    const auto full = dir.path() / "full.xcd";  // close reports what the disk refused, and the file stays refused
    EXPECT_TRUE(storage_test::in_child_with_file_limit(100, [&](const auto&) {
        XCDFWriter writer(full);
        writer.append(Metadata{}, one);
        EXPECT_THROW_MSG(writer.close(), std::ios_base::failure,
                         "Failed to write to file " + full.generic_string() + "!\nImplementation reports: flush error");
        EXPECT_THROW(writer.append(Metadata{}, one), std::logic_error);  // closed all the same
        writer.close();
        return !::testing::Test::HasFailure();
    }));
    EXPECT_FALSE(reads_whole(full, false));
    XCDFWriter(dir.path() / "killed.xcd").append(Metadata{}, one);  // a writer that never closed
    XCDFReader killed(dir.path() / "killed.xcd", true, false);
    EXPECT_TRUE(killed.next());
    EXPECT_THROW_MSG(killed.next(), std::ios_base::failure, "Damaged simulation file " + (dir.path() / "killed.xcd").string() +
                                                               ": cut short, its end record is missing!");
    tmio::TMIO(file, std::ios::out, "OP_DATA");
    EXPECT_THROW_MSG(XCDFReader(file, true, true), std::ios_base::failure,
                     "Failed to open file " + file.string() + "!\nImplementation reports: protocol error");
}

// Uids: the canonical path's key plus the record number; only lower-case ".xcd" names are indexed, in key order.
TEST(SimulationProvider, FileLimitTakesTheSmallestKeysAndOnlyBackwardReadsReopen) {
    REQUIRE_XCDF();
    TempDir dir;
    std::vector<unsigned long> keys;
    for (const char* name : {"a.xcd", "with space.xcd", "\xc3\xbcml.xcd", "4.xcd", "5.xcd"})
        keys.push_back(key_of(write_simulation_file(dir.path() / name, 3)));
    std::ranges::sort(keys);
    for (const char* name : {"B.XCD", "c.xcdf", "d.txt", ".xcd"}) write_simulation_file(dir.path() / name, 1);
    unsigned long seen = XCDFReader::files_opened();
    const auto opens = [&seen] { return XCDFReader::files_opened() - std::exchange(seen, XCDFReader::files_opened()); };
    for (int limit : {0, 2, -1}) {
        const auto records = SimulationProvider(dir.path() / ".", limit, -1, 1.0, false).get_all_metadata();
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
    // Past the end the reader stays at the end; the last record, which it no longer stands on, and earlier ones
    // reopen, whichever call asks.
    EXPECT_THROW_MSG(provider.get_pe_list(a + 4), std::out_of_range, format("Shower with UID {} not found!", a + 4));
    EXPECT_THROW(provider.get_metadata(a + 5), std::out_of_range);
    EXPECT_EQ(opens(), 0u);
    EXPECT_EQ(provider.get_metadata(a + 3).energy, 300.0);
    EXPECT_THROW(provider.get_metadata(a + 4), std::out_of_range);
    EXPECT_EQ(provider.get_pe_list(a + 3).size(), 2u);
    EXPECT_EQ(opens(), 2u);
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
    const std::tuple<int, double, const char*> refused[] = {{0, 0.0, "0"}, {2, -1.5, "-1.5"}, {2, NAN, "nan"}};
    for (const auto& [keep, interval, shown] : refused)
        EXPECT_THROW_MSG(SimulationProvider(dir.path(), -1, keep, interval, false), std::invalid_argument,
                         format("Setting cutoff_interval = {} is not positive!", shown));
    EXPECT_THROW_MSG(MultiProvider(0, -2, false), std::invalid_argument, "Setting cutoff_interval = -2 is not positive!");
    EXPECT_THROW_MSG(SimulationProvider(good, -1, -1, 1.0, false), std::ios_base::failure,
                     good.string() + " is no directory!");
    EXPECT_THROW_MSG(SimulationProvider(empty, -1, -1, 1.0, false), std::ios_base::failure,
                     empty.string() + " does not contain simulation files!");
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
    EXPECT_EQ(thinned(0, ten, -1, 3.0), (PEList{{0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}})) << "thinning off";
    EXPECT_EQ(thinned(0, ten, 2, INFINITY), (PEList{{0, {0, 1}}})) << "infinite interval";
    EXPECT_EQ(thinned(1, {3, 3.5, 4}, 1, 1.0, {{0, 5}}), (PEList{{0, {2}}, {1, {0}}})) << "shower-wide shift";
    // A span of 1e306 intervals: each PE its own bin, found without visiting the empty ones.
    EXPECT_EQ(thinned(2, {1e6, 0, 1}, 1, 1e-300), (PEList{{2, {0, 1, 1e6}}})) << "tiny interval";
    EXPECT_EQ(thinned(0, {1, 2}, 0, 1.0), (PEList{{0, {}}})) << "keep none";
    EXPECT_EQ(thinned(0, {}, 1, 1.0), PEList{}) << "no PEs";

    // Times on the bounds k interval + t0 and a double either side, against a walk through the bins one by one.
    std::mt19937_64 rng(5);
    for (int round = 0; round < 100; ++round) {
        const double interval = std::array{0.1, 0.3, 1e-3, 7.0, 1.0 / 3, 1e-15}[round % 6];
        double t0 = std::uniform_real_distribution<double>(-5, 5)(rng);
        Times times{t0}, kept;
        for (int i = 0; i < 40; ++i) {
            const double on = double(rng() % 20 + 1) * interval + t0;
            times.push_back(std::nextafter(on, on + double(static_cast<int>(rng() % 3) - 1) * 1e300));
        }
        std::ranges::sort(times);
        t0 = times.front();  // a step below a bound that rounds to t0 starts the channel earlier
        const int keep = static_cast<int>(rng() % 3);
        const auto bins = std::max(1ul, static_cast<unsigned long>(std::ceil((times.back() - t0) / interval)));
        for (std::size_t k = 1, i = 0; k <= bins; ++k)
            for (int in_bin = 0; i < times.size() && times[i] <= double(k) * interval + t0; ++i, ++in_bin)
                if (in_bin < keep) kept.push_back(times[i] - t0);
        EXPECT_EQ(thinned(0, times, keep, interval), (PEList{{0, kept}})) << "round " << round;
    }
}

// Shower 1 claims two PEs and holds none: the failed read is forgotten, and the intact showers behind
// it are served under their own UIDs, as from an intact copy of the file; the scan refuses the file.
TEST(SimulationProvider, AFailedReadLeavesNoShowerServedUnderAnotherUid) {
    REQUIRE_XCDF();
    TempDir dir;
    for (const char* sub : {"clean", "damaged"})
        fs::create_directory(dir.path() / sub), write_simulation_file(dir.path() / sub / "a.xcd", 3);
    std::string bytes = storage_test::read_bytes(dir.path() / "damaged/a.xcd");
    const auto file = dir.write("damaged/a.xcd", bytes.erase(160, 28));
    SimulationProvider damaged(file.parent_path(), -1, -1, 1.0, false), clean(dir.path() / "clean", -1, -1, 1.0, false);
    const unsigned long key = key_of(file), clean_key = key_of(dir.path() / "clean/a.xcd");
    const std::string message = "Damaged simulation file " + file.string() + ": PE record missing!";
    EXPECT_THROW_MSG(damaged.get_pe_list(key + 1), std::ios_base::failure, message);
    for (unsigned long r : {2, 3, 2}) {
        EXPECT_EQ(damaged.get_pe_list(key + r), clean.get_pe_list(clean_key + r)) << r;
        EXPECT_EQ(damaged.get_metadata(key + r).energy, 100.0 * double(r)) << r;
    }
    EXPECT_THROW_MSG(damaged.get_all_metadata(), std::ios_base::failure, message);
    const auto renumbered = write_raw(file, {1, 3}, 0, 0);  // a record the count reaches is not the one it names
    EXPECT_EQ(damaged.get_metadata(key + 1).uid, key + 1);
    EXPECT_THROW_MSG(damaged.get_metadata(key + 2), std::ios_base::failure,
                     "Damaged simulation file " + renumbered.string() + ": record 2 is numbered 3!");
}

// Shower 2 of 3 (records at bytes 188 to 308) served out of a file with a byte inserted or lost in them.
TEST(SimulationProvider, AFrameShiftedInsideTheShowerServedIsRefused) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto file = write_simulation_file(dir.path() / "a.xcd", 3);
    const unsigned long uid = key_of(file) + 2;
    SimulationProvider intact(dir.path(), -1, -1, 1.0, false);
    const PEList pe_list = intact.get_pe_list(uid);
    const Metadata md = intact.get_metadata(uid);
    const auto fresh = [&](auto read) -> std::function<std::string()> {
        return [&, read] {
            SimulationProvider provider(dir.path(), -1, -1, 1.0, false);
            return outcome_of([&] { return read(provider); });
        };
    };
    expect_shifted_frames_refused(file, 188, 308, "Damaged simulation file " + file.string() + ": ",
                                  {fresh([&](auto& p) { return p.get_pe_list(uid) == pe_list; }),
                                   fresh([&](auto& p) { return fields(p.get_metadata(uid)) == fields(md); })});
}

TEST(MultiProvider, DispatchesByFileKeyAndRefusesTheSameFilesReachedTwice) {
    REQUIRE_XCDF();
    TempDir dir;
    for (const char* sub : {"one", "two"}) fs::create_directory(dir.path() / sub);
    const unsigned long a = key_of(write_simulation_file(dir.path() / "one/a.xcd", 1));
    const unsigned long b = key_of(write_simulation_file(dir.path() / "one/b.xcd", 1));
    const unsigned long c = key_of(write_simulation_file(dir.path() / "two/c.xcd", 3));
    fs::create_directory_symlink(dir.path() / "two", dir.path() / "link");
    MultiProvider multi(-1, 1.0, false);
    EXPECT_TRUE(multi.get_all_metadata().empty());
    EXPECT_THROW_MSG(multi.get_pe_list(c + 1), std::out_of_range, format("Shower with UID {} not found!", c + 1));
    multi.add_dataset(dir.path() / "one", 1);
    multi.add_dataset(dir.path() / "two", -1);
    for (const char* again : {"two", "link"})
        EXPECT_THROW_MSG(multi.add_dataset(dir.path() / again, -1), std::runtime_error,
                         "Datasets contain files with same hashes!\nFile A: " + (dir.path() / "two/c.xcd").string() +
                             "\nFile B: " + (dir.path() / again / "c.xcd").string());
    std::vector<unsigned long> uids;  // the refused datasets were not added
    for (const Metadata& md : multi.get_all_metadata()) uids.push_back(md.uid);
    EXPECT_EQ(uids, (std::vector<unsigned long>{std::min(a, b) + 1, c + 1, c + 2, c + 3}));
    EXPECT_EQ(multi.get_metadata(c + 3).energy, 300.0);
    EXPECT_EQ(multi.get_pe_list(c + 3), (PEList{{0, {0.0}}, {7, {2.0}}}));
    EXPECT_EQ(multi.get_metadata(std::max(a, b) + 1).uid, std::max(a, b) + 1);  // beyond the file limit
}

std::vector<BackgroundEvent> events_of(const std::vector<double>& times, const std::vector<std::uint64_t>& ids) {
    std::vector<BackgroundEvent> events;
    for (std::size_t i = 0; i < times.size(); ++i) events.push_back({times[i], 3, ids[i]});
    return events;
}

// Showers 10 to 14 with 0 to 3 channels, all others one PE on channel uid % 10 at the running number
// of PE queries in ns; metadata queries number their records in x, so a record read back tells its write.
class TableProvider : public ShowerProvider {
public:
    std::map<unsigned long, PEList> showers{{10, {}}, {11, {{4, {0.5}}}}, {12, {{1, {}}, {2, {0.25, 0.75}}}},
                                            {13, {{0, {1}}, {5, {2, 3, 4}}, {9, {5}}}}, {14, {}}};
    double marks = 0, pe_marks = 0;
    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long uid) override {
        return Metadata{uid, Metadata::GAMMA, 10.0 + double(uid), marks++, 0, 0, 0, -1.0, -1, -1};
    }
    PEList get_pe_list(unsigned long uid) override {
        return showers.contains(uid) ? showers.at(uid) : PEList{{int(uid % 10), {1e-9 * pe_marks++}}};
    }
};

void write_library(const TempDir& dir, std::vector<BackgroundEvent> events, unsigned long per_file, bool interleaved) {
    TableProvider source;
    OrderedProvider::order_events(dir.path(), source, events, per_file, false, interleaved, false);
}

int total_pes(const PEList& pe_list) {
    int pes = 0;
    for (const auto& entry : pe_list) pes += static_cast<int>(entry.second.size());
    return pes;
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
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
            const int pes = total_pes(pe_list);
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
        EXPECT_EQ(fs::file_size(data_name), data_bytes) << file;
        EXPECT_EQ(fs::exists(meta_name) ? fs::file_size(meta_name) : 0, interleaved ? 0 : 68u + 80 * count);
    }
}

TEST(OrderedProvider, WritingRefusesBadArgumentsFirstThenClearsUpperCaseOpEntriesAndDropsEmptyShowers) {
    TempDir dir;
    TableProvider source;
    const auto library = dir.path() / "lib";
    auto unsorted = events_of({0, 2, 1}, {11, 11, 11}), few = events_of({0, 1}, {12, 13});
    EXPECT_THROW_MSG(OrderedProvider::order_events(library, source, few, 0, false, false, false),
                     std::invalid_argument, "events_per_file must be at least 1!");
    EXPECT_THROW_MSG(OrderedProvider::order_events(library, source, unsorted, 2, false, false, false),
                     std::invalid_argument, "Events are not sorted by time: event 2 at 1 s follows event 1 at 2 s!");
    EXPECT_FALSE(fs::exists(library));
    write_library(dir, events_of({0, 1, 2, 3, 4, 5}, {11, 11, 11, 11, 11, 11}), 1, false);
    for (const char* name : {"OPx", "op_data_0.tmio", "Op_META_1", "x_OP", "kept.txt"}) dir.write(name, "x");
    fs::create_directory(dir.path() / "OP_empty_dir");
    write_library(dir, few, 1, true);
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"OP_HINT.tmio", "OP_INTER_0.tmio", "OP_INTER_1.tmio", "op_data_0.tmio",
                                            "Op_META_1", "x_OP", "kept.txt", ".order_events.lock"}));
    write_library(dir, {}, 1, true);  // only a hint file without hints, which the reader refuses
    EXPECT_EQ(fs::file_size(dir.path() / "OP_HINT.tmio"), 84u);
    EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::ios_base::failure,
                     format("No OrderedProvider data files found in {}!", dir.path().string()));
    // Empty showers dropped, their hints kept: file 1 starts with one, file 2 holds only empty ones.
    auto events = events_of({0, 1, 2, 3, 4, 5}, {11, 12, 14, 13, 10, 10});  // empty showers not in id order
    OrderedProvider::order_events(dir.path(), source, events, 2, true, false, false);
    EXPECT_EQ(tmio::TMIO(dir.path() / "OP_HINT.tmio", std::ios::in, "OP_HINT").read_vector<double>(),
              (std::vector<double>{0, 2, 4}));
    for (const auto& [name, size] : {std::pair("OP_META_1", 68u + 80), {"OP_META_2", 68u}, {"OP_DATA_2", 68u}})
        EXPECT_EQ(fs::file_size(dir.path() / (std::string(name) + ".tmio")), size) << name;
    const auto read = OrderedProvider(dir.path(), 0).get_all_metadata();
    ASSERT_TRUE(events.size() == 3 && read.size() == 3);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(events[i].id == 11 + i && read[i].uid == 11 + i) << i;
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
    EXPECT_THROW_MSG(provider.get_metadata(9), std::out_of_range, "Shower with UID 9 not found!");
    EXPECT_THROW_MSG(provider.get_pe_list(9), std::out_of_range, "Shower with UID 9 not found!");
    const auto all = provider.get_all_metadata();
    ASSERT_EQ(all.size(), 8u);
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].x, double(i));
    EXPECT_EQ(provider.get_metadata(12).x, 1);  // left at the beginning of file 0
}

// Showers 100 + i at time i, two a file: file 10 follows file 9, and a search that starts behind the head
// of file 10 finds it only by wrapping around through all the others.
TEST_P(Layouts, TwelveFilesInNumberOrderAndASearchBackToTheHeadOfItsStartFile) {
    TempDir dir;
    Events events;
    for (int i = 0; i < 24; ++i) events.push_back({double(i), 3, 100ul + i});
    write_library(dir, events, 2, GetParam());
    OrderedProvider provider(dir.path(), 0);
    const auto all = provider.get_all_metadata();
    ASSERT_EQ(all.size(), 24u);
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].x, double(i));
    provider.skip_to_time(20.5);
    EXPECT_EQ(provider.get_metadata(121).x, 21);
    EXPECT_EQ(provider.get_pe_list(121), (PEList{{1, {1e-9 * 21}}}));
    EXPECT_EQ(provider.get_metadata(120).x, 20);
    EXPECT_EQ(provider.get_pe_list(120), (PEList{{0, {1e-9 * 20}}}));
}

// Cut at every length past its header, a file ends cleanly only where an event would begin: it then holds
// the events before the cut; anywhere else every read that reaches the cut refuses it, naming the file.
TEST_P(Layouts, AFileCutAnywhereButBetweenEventsIsRefused) {
    TempDir dir;
    const std::vector<std::uint64_t> ids{13, 11, 12};
    write_library(dir, events_of({0, 1, 2}, ids), 3, GetParam());
    const TableProvider shapes;
    for (const std::string name : {"OP_META_0.tmio", "OP_DATA_0.tmio", "OP_INTER_0.tmio"}) {
        if (!fs::exists(dir.path() / name)) continue;
        std::map<std::size_t, std::size_t> events_before{{68, 0}};  // the sizes the layout test checks
        for (std::size_t e = 0, bytes = 68; e < ids.size(); events_before[bytes] = ++e) {
            const PEList& pe_list = shapes.showers.at(ids[e]);
            bytes += name[3] == 'M' ? 80 : (GetParam() ? 96 : 32) + 28 * pe_list.size() + 8 * total_pes(pe_list);
        }
        const std::string whole = storage_test::read_bytes(dir.path() / name);
        const std::string damaged = "Damaged ordered shower library file " + (dir.path() / name).string() + "!";
        for (std::size_t cut = 68; cut <= whole.size(); ++cut) {
            dir.write(name, whole.substr(0, cut));
            OrderedProvider provider(dir.path(), 0);
            const auto clean = events_before.find(cut);
            const bool whole_events = clean != events_before.end();
            const std::size_t before = whole_events ? clean->second : 0;
            const auto outcome = [&](auto call) {  // not found as out_of_range, damage as ios_base::failure
                return whole_events ? testing::thrown<std::out_of_range>(call) : testing::thrown<std::ios_base::failure>(call);
            };
            std::size_t read = 0;
            if (name[3] != 'D') {  // the metadata lie here
                EXPECT_EQ(outcome([&] { read = provider.get_all_metadata().size(); }),
                          whole_events ? "nothing thrown" : damaged) << cut;
                EXPECT_EQ(read, before) << cut;
                EXPECT_EQ(outcome([&] { provider.get_metadata(99); }),
                          whole_events ? "Shower with UID 99 not found!" : damaged) << cut;
            }
            if (name[3] != 'M') {  // the PE lists lie here
                EXPECT_EQ(outcome([&] { provider.get_pe_list(12); }), !whole_events ? damaged
                                                                      : before < 3 ? "Shower with UID 12 not found!"
                                                                                   : "nothing thrown") << cut;
            }
        }
        dir.write(name, whole);
    }
}

// Shower 13 of 11, 12, 13, 11 served out of a file with a byte inserted or lost in its records (the sizes
// the layout test checks place them); after a refusal the provider starts over and serves shower 11 intact.
TEST_P(Layouts, AFrameShiftedInsideTheRecordsServedIsRefusedAndReadingStartsOver) {
    TempDir dir;
    write_library(dir, events_of({0, 1, 2, 3}, {11, 12, 13, 11}), 4, GetParam());
    OrderedProvider intact(dir.path(), 0);
    const Metadata md = intact.get_metadata(13), first_md = intact.get_metadata(11);
    const PEList pe_list = intact.get_pe_list(13), first = intact.get_pe_list(11);
    const auto fresh = [&](auto read) -> std::function<std::string()> {
        return [&, read] {
            OrderedProvider provider(dir.path(), 0);
            const std::string outcome = outcome_of([&] { return read(provider); });
            if (outcome == "same") return outcome;
            EXPECT_EQ(outcome_of([&] { return fields(provider.get_metadata(11)) == fields(first_md) &&
                                              provider.get_pe_list(11) == first; }), "same") << "after " << outcome;
            return outcome;
        };
    };
    const auto metadata = fresh([&](OrderedProvider& p) { return fields(p.get_metadata(13)) == fields(md); });
    const auto pes = fresh([&](OrderedProvider& p) { return p.get_pe_list(13) == pe_list; });
    const auto refused = [&](const std::string& name, std::size_t begin, std::size_t end, auto... reads) {
        const auto file = dir.path() / name;
        expect_shifted_frames_refused(file, begin, end, "Damaged ordered shower library file " + file.string() + "!",
                                      {reads...});
    };
    if (GetParam()) return refused("OP_INTER_0.tmio", 368, 588, metadata, pes);
    refused("OP_META_0.tmio", 228, 308, metadata);
    refused("OP_DATA_0.tmio", 240, 396, pes);
}

// A numbered file removed under an open provider: the open fails naming it, with the system's reason,
// and leaves no file current, so the next request starts over from file 0.
TEST_P(Layouts, ANumberedFileRemovedUnderTheProviderIsReportedAndReadingStartsOver) {
    TempDir dir;
    write_library(dir, events_of({0, 1}, {11, 12}), 1, GetParam());
    OrderedProvider provider(dir.path(), 0);
    EXPECT_EQ(provider.get_metadata(11).x, 0);
    const auto removed = dir.path() / (GetParam() ? "OP_INTER_1.tmio" : "OP_META_1.tmio");
    fs::remove(removed);
    EXPECT_EQ(testing::thrown<std::ios_base::failure>([&] { provider.get_metadata(12); }, true),
              "Failed to open file " + removed.generic_string() + "!\nImplementation reports: connection error <- " +
                  removed.generic_string() + ": No such file or directory");
    EXPECT_TRUE(testing::in_child([&] { return provider.get_metadata(11).x == 0; }));  // no stream left behind
}

// The first writer holds the directory while it asks its slow source; the second waits and leaves its whole library.
TEST(OrderedProvider, WritersOfOneDirectoryTakeTurns) {
    TempDir dir;
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    struct SlowProvider : TableProvider {  // says when it is first asked, then answers slowly
        int signal = -1;
        Metadata get_metadata(unsigned long uid) override {
            if (const int fd = std::exchange(signal, -1); fd >= 0) (void)!write(fd, "x", 1);
            usleep(100000);
            return TableProvider::get_metadata(uid);
        }
    } slow;
    slow.signal = started[1];
    const pid_t first = fork();
    if (first == 0) {
        auto events = events_of({0, 1, 2}, {11, 12, 13});
        OrderedProvider::order_events(dir.path(), slow, events, 1, false, false, false);
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(started[0], &byte, 1), 1);
    write_library(dir, events_of({5, 6}, {12, 13}), 1, true);
    waitpid(first, nullptr, 0);
    EXPECT_EQ(names_in(dir.path()),
              (std::set<std::string>{"OP_HINT.tmio", "OP_INTER_0.tmio", "OP_INTER_1.tmio", ".order_events.lock"}));
    const auto read = OrderedProvider(dir.path(), 0).get_all_metadata();
    EXPECT_TRUE(read.size() == 2 && read[0].uid == 12 && read[1].uid == 13);
}

// Root writes first, with umask 022; another user rewrites the library where the directory lets them write. Where
// it does not, the writer's own steps fail as they always did: clearing the old library, or opening a file.
TEST(OrderedProvider, WhoeverMayWriteTheDirectoryTakesItsLock) {
    REQUIRE_ROOT();
    TempDir dir;
    const auto order = [](const fs::path& lib, unsigned long uid) {
        TableProvider source;
        auto events = events_of({0.0}, {uid});
        OrderedProvider::order_events(lib, source, events, 1, false, false, false);
    };
    const mode_t umask_before = umask(022);
    for (const auto& [name, mode] : {std::pair{"shared", 0777}, {"closed", 0755}, {"empty", 0755}}) {
        fs::create_directory(dir.path() / name);
        fs::permissions(dir.path() / name, fs::perms(mode));
        if (name != std::string("empty")) order(dir.path() / name, 13);
    }
    umask(umask_before);
    fs::permissions(dir.path(), fs::perms(0755));
    EXPECT_TRUE(testing::in_child_as_other_user([&] {
        order(dir.path() / "shared", 12);
        return OrderedProvider(dir.path() / "shared", 0).get_all_metadata().at(0).uid == 12 &&
               testing::thrown<fs::filesystem_error>([&] { order(dir.path() / "closed", 12); })
                   .starts_with("filesystem error: cannot remove: Permission denied [" + (dir.path() / "closed/OP").string()) &&
               testing::thrown<std::ios_base::failure>([&] { order(dir.path() / "empty", 12); }) ==
                   "Failed to open file " + (dir.path() / "empty/OP_DATA_0.tmio").string() +
                       "!\nImplementation reports: connection error";
    }));
    EXPECT_TRUE(names_in(dir.path() / "empty").empty());
}

TEST(OrderedProvider, TheLaterOfTwoProvidersTakesOverTheHookIdAndMismatchedLibrariesAreRefused) {
    TempDir dir;
    write_library(dir, events_of({0, 1}, {11, 12}), 1, true);
    using TimeHint = std::function<void(double)>;
    auto first = std::make_unique<OrderedProvider>(dir.path(), 4711);
    auto second = std::make_unique<OrderedProvider>(dir.path(), 4711);
    Hook::get<TimeHint>(4711)(1.0);  // the second provider moves to file 1
    EXPECT_EQ(second->get_metadata(12).x, 1);
    first.reset();  // its handle removes the ID, whoever holds it now
    EXPECT_THROW(Hook::get<TimeHint>(4711), std::out_of_range);
    const std::string mismatch = format("Files found in {} do not match OrderedProvider protocol!", dir.path().string());
    fs::rename(dir.path() / "OP_INTER_1.tmio", dir.path() / "OP_DATA_1.tmio");  // mixed layouts
    EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::ios_base::failure, mismatch);
    fs::remove(dir.path() / "OP_DATA_1.tmio");  // one data file, two hints
    EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::ios_base::failure, mismatch);
    EXPECT_THROW_MSG(OrderedProvider(dir.path() / "none", 0), std::ios_base::failure,
                     (dir.path() / "none").string() + " does not exist or is no directory!");
    fs::remove(dir.path() / "OP_HINT.tmio");
    EXPECT_THROW_MSG(OrderedProvider(dir.path(), 0), std::ios_base::failure,
                     "Failed to open file " + (dir.path() / "OP_HINT.tmio").generic_string() +
                         "!\nImplementation reports: connection error");
}

// The driver keeps copies of the hook; once the provider is gone they must reach nothing.
TEST(OrderedProvider, CopiesOfTheHintHookReachTheirProviderOnlyWhileItLives) {
    TempDir dir;
    write_library(dir, events_of({0, 1}, {11, 12}), 1, true);
    auto provider = std::make_unique<OrderedProvider>(dir.path(), 4712);
    const auto copy = Hook::get<std::function<void(double)>>(4712);
    fs::remove(dir.path() / "OP_INTER_1.tmio");  // a skip to file 1 now shows by its failed open
    EXPECT_THROW(copy(1.0), std::ios_base::failure) << "the copy did not reach its live provider";
    provider.reset();
    EXPECT_NO_THROW(copy(1.0)) << "the copy reached a destroyed provider";
}

// Relative paths resolve against the settings file's directory.
const char* const kSections = R"(
providers:
  ordered: {class: OrderedProvider, path: .}
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
std::string write_settings(const TempDir& dir, const std::string& name, const Events& events) {
    CachedModel::write_cache(dir.path() / "cache.tmio", events, 5, 10);
    return dir.write("settings.yaml", "lib: {provider: " + name + ", generator: " + name +
                                          ", model: cache, num_channels: 10, start_time: 5.0, time_hint_hook: 13076069,"
                                          " meta_gen_type: 0}" + kSections).string();
}

PEList as_pe_list(std::map<int, std::vector<double>> channels) {
    PEList result;
    for (auto& [channel, times] : channels) {
        std::ranges::sort(times);
        result.emplace_back(channel, times);
    }
    return result;
}

TEST(ProviderSettings, EachProviderClassServesABackgroundFromASettingsFileOrFailsWithoutTheReader) {
    TempDir dir;
    for (const char* sub : {"sims/one", "sims/two"}) std::filesystem::create_directories(dir.path() / sub);
    for (const char* file : {"sims/one/a.xcd", "sims/one/b.xcd", "sims/two/c.xcd"})
        write_simulation_file(dir.path() / file, 2);
    // Showers 0 to 9 at 0 to 4.5 s and again from 5 s, five a file: only a reader moved to 5 s by the hook
    // meets the second occurrences first.
    Events events;
    for (int i = 0; i < 20; ++i) events.push_back({0.5 * i, 0, static_cast<unsigned long>(i % 10)});
    write_library(dir, events, 5, true);
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
    const std::string message = "XCDF support disabled at build time!";  // only the writer stays available
    for (const char* name : {"sim", "multi"})
        EXPECT_THROW_MSG(Background(write_settings(dir, name, events)), std::runtime_error, message);
    EXPECT_THROW_MSG(XCDFReader(), std::runtime_error, message);
    EXPECT_THROW_MSG(XCDFReader(dir.path() / "sims/one/a.xcd", true, true), std::runtime_error, message);
    MultiProvider multi(-1, 1.0, false);  // the directory is checked first
    EXPECT_THROW_MSG(multi.add_dataset(dir.path() / "none", -1), std::ios_base::failure,
                     (dir.path() / "none").string() + " is no directory!");
    EXPECT_THROW_MSG(multi.add_dataset(dir.path() / "sims/one", -1), std::runtime_error, message);
    return;
#endif
    const auto key = [&](const char* file) { return key_of(dir.path() / file); };
    const Events one{{5.5, 0, key("sims/one/a.xcd") + 2}, {7.25, 0, key("sims/one/b.xcd") + 1},
                     {8.0, 0, key("sims/one/a.xcd") + 1}};
    Events all = one;
    all.insert(all.begin() + 1, BackgroundEvent{6.0, 0, key("sims/two/c.xcd") + 2});
    for (const auto& [name, showers] : {std::pair("sim", one), std::pair("multi", all)}) {
        expected.clear();  // each shower's test PEs, its earliest at the event time
        for (const BackgroundEvent& event : showers) {
            const PEs pes = test_pes(event.id & 0xFFFF);
            for (const auto& pe : pes)
                expected[pe.channel].push_back(pe.time - std::min(pes[0].time, pes[1].time) + event.time);
        }
        Background background(write_settings(dir, name, showers));
        EXPECT_EQ(background.next_chunk(5), as_pe_list(expected)) << name;
        const std::vector<Metadata> replayed = background.generate_metadata(5, 10);
        ASSERT_EQ(replayed.size(), showers.size()) << name;
        for (std::size_t i = 0; i < replayed.size(); ++i)
            EXPECT_EQ(std::tuple(replayed[i].uid, replayed[i].time, replayed[i].energy),
                      std::tuple(showers[i].id, showers[i].time, 100.0 * double(showers[i].id & 0xFFFF)));
    }
    Factory<ShowerProvider> factory(ordered);
    EXPECT_EQ(factory.create_by_name("sim")->get_all_metadata().size(), 4u);
    EXPECT_EQ(factory.create_by_name("multi")->get_all_metadata().size(), 4u);  // one file of the first dataset
    EXPECT_THROW_MSG(factory.create_by_name("half_multi"), std::out_of_range, "Key file_limit not found!");
}

// Counts that a damaged file cannot back: more records than a UID can number
// (they would run into the next file's key), and PE-list entry counts far
// beyond the bytes left, which must not be set aside up front.
TEST(ShowerFiles, CountsBeyondWhatTheFileCanHoldAreRefusedWithoutAllocatingForThem) {
    REQUIRE_XCDF();
    TempDir dir;
    fs::create_directory(dir.path() / "sims");
    std::vector<std::uint64_t> uids(65536);
    std::iota(uids.begin(), uids.end(), 1);
    const auto big = write_raw(dir.path() / "sims" / "big.xcd", uids, 0, 0);
    for (bool warn : {false, true}) {
        EXPECT_THROW_MSG(SimulationProvider(dir.path() / "sims", -1, -1, 1.0, warn).get_all_metadata(),
                         std::ios_base::failure,
                         "Maximum number of showers per file exceeded in file " + big.string() +
                             "!\nExpected: 50000, Limit: 65535");
    }
    const auto full = dir.path() / "full" / "full.xcd";  // the writer stops there, before a byte of the next
    fs::create_directory(full.parent_path());
    XCDFWriter writer(full);
    for (unsigned long r = 1; r <= 65535; ++r) writer.append(Metadata{}, {});
    EXPECT_THROW_MSG(writer.append(Metadata{}, {}), std::length_error,
                     "Cannot store more than 65535 showers in file " + full.string() + "!");
    writer.close();
    EXPECT_EQ(SimulationProvider(full.parent_path(), -1, -1, 1.0, false).get_all_metadata().size(), 65535u);
    const double hints[] = {0, 1};
    tmio::TMIO(dir.path() / "OP_HINT.tmio", std::ios::out, "OP_HINT").write_array(tmio::VECTOR_TAG, hints, 2);
    for (const auto& [file, uid, entries] : {std::tuple(0, 6ul, std::uint64_t{1} << 58), {1, 5ul, std::uint64_t{1} << 40}}) {
        tmio::TMIO data(dir.path() / format("OP_INTER_{}.tmio", file), std::ios::out, "OP_INTER");
        const Metadata md{uid, {}, 0, 0, 0, 0, 0, 0, 0, 0};
        data.write_raw(tmio::STRUCT_TAG, &md, sizeof md);
        data.write_raw(tmio::STRUCT_TAG, &entries, sizeof entries);
    }
    OrderedProvider provider(dir.path(), 0);
    EXPECT_THROW_MSG(provider.get_pe_list(6), std::length_error, "cannot create std::vector larger than max_size()");
    provider.skip_to_time(1);
    EXPECT_THROW_MSG(provider.get_pe_list(5), std::ios_base::failure,
                     "Damaged ordered shower library file " + (dir.path() / "OP_INTER_1.tmio").string() + "!");
}

// Room set aside for the most showers a file may hold would be gigabytes for a library of many small files.
TEST(ShowerFiles, ManySmallFilesTakeMemoryForTheShowersTheyHoldOnly) {
    REQUIRE_XCDF();
#ifdef ADDRESS_SANITIZER
    GTEST_SKIP() << "AddressSanitizer's shadow memory does not fit under an address-space limit";
#endif
    TempDir dir;
    const auto first = write_simulation_file(dir.path() / "0.xcd", 2);
    for (int f = 1; f < 1500; ++f) fs::create_hard_link(first, dir.path() / format("{}.xcd", f));
    EXPECT_TRUE(testing::in_child([&] {
        const rlimit two_gib{2ul << 30, 2ul << 30};
        return setrlimit(RLIMIT_AS, &two_gib) == 0 &&
               SimulationProvider(dir.path(), -1, -1, 1.0, false).get_all_metadata().size() == 3000;
    }));
}

}  // namespace
}  // namespace background
