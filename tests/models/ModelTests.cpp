#include <background/core/Factory.hpp>
#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/models/CachedModel.hpp>
#include <background/models/Chi2.hpp>
#include <background/models/CosmicRayModel.hpp>
#include <background/models/DarkCountModel.hpp>
#include <background/models/GenericModel.hpp>
#include <background/models/PowerLawFlux.hpp>
#include <background/models/TabulatedFlux.hpp>
#include <background/providers/MockProvider.hpp>
#include <background/storage/Serializer.hpp>

#include "storage/StorageTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <fstream>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <regex>
#include <set>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

// The library's renames, fsyncs, opens and stats reach these definitions before the C library's. While `recording`
// renames and fsyncs are logged by file name (a synced descriptor's through /proc), the `failing_rename`-th rename
// fails, the `failing_fsync`-th fsync fails and the `kill_at_fsync`-th kills. Lock files can be made to meet another
// writer: one that creates the file just before this writer does, one that has not shared it yet (opens refused until
// a time), one that replaces it after every lock (a moving inode).
namespace {
struct {
    bool recording = false;
    int kill_at_fsync = 0, failing_fsync = 0, failing_rename = 0, renames = 0, fsyncs = 0;
    std::vector<std::string> calls;
    bool lock_created_first = false, lock_inode_moves = false;
    std::chrono::steady_clock::time_point lock_refused_until{};
} syscalls;
std::string name_of(const std::filesystem::path& path) { return path.filename().string(); }
bool is_lock_file(const char* path) { return std::string_view(path).ends_with(".lock"); }
}  // namespace
extern "C" int open(const char* path, int flags, ...) {
    static const auto real = reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(RTLD_NEXT, "open"));
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    if (is_lock_file(path) && std::chrono::steady_clock::now() < syscalls.lock_refused_until) return errno = EACCES, -1;
    if (is_lock_file(path) && syscalls.lock_created_first && (flags & O_EXCL)) {
        syscalls.lock_created_first = false;
        close(real(path, O_CREAT | O_RDWR | O_CLOEXEC, 0666));
    }
    return real(path, flags, mode);
}
extern "C" int stat(const char* path, struct stat* info) noexcept {
    static const auto real = reinterpret_cast<int (*)(const char*, struct stat*)>(dlsym(RTLD_NEXT, "stat"));
    const int result = real(path, info);
    if (result == 0 && syscalls.lock_inode_moves && is_lock_file(path)) ++info->st_ino;
    return result;
}
extern "C" int rename(const char* from, const char* to) noexcept {
    static const auto real = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
    if (!syscalls.recording) return real(from, to);
    syscalls.calls.push_back("rename " + name_of(from) + " " + name_of(to));
    return ++syscalls.renames == syscalls.failing_rename ? (errno = EIO, -1) : real(from, to);
}
extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    const int call = syscalls.kill_at_fsync || syscalls.failing_fsync ? ++syscalls.fsyncs : 0;
    if (call && call == syscalls.kill_at_fsync) raise(SIGKILL);
    if (syscalls.recording)
        syscalls.calls.push_back("fsync " + name_of(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd))));
    return call && call == syscalls.failing_fsync ? (errno = EIO, -1) : real(fd);
}

namespace background {
namespace {

using Events = std::vector<BackgroundEvent>;
using Showers = std::vector<Metadata>;
using testing::TempDir;
using Q = Chi2::Quantile;
constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();

// Equal times may come in either order from the model's sort.
std::vector<std::tuple<double, int, unsigned long>> keys(const Events& events, bool sorted = true) {
    std::vector<std::tuple<double, int, unsigned long>> out;
    for (const BackgroundEvent& e : events) out.emplace_back(e.time, e.type, e.id);
    if (sorted) std::sort(out.begin(), out.end());
    return out;
}

// The parameters the showers were thrown with; a test may claim others.
struct Throw { double index = -2.0, r_max = 100.0, theta_max = 0.5, e_min = 10.0, e_max = 1000.0; };
Showers thrown(unsigned long n, const Throw& t = {}) {
    return MockProvider(n, t.index, t.e_min, t.e_max, t.r_max, t.theta_max).get_all_metadata();
}

struct ListProvider : ShowerProvider {
    explicit ListProvider(Showers showers) : showers(std::move(showers)) {}
    Showers get_all_metadata() override { return showers; }
    Metadata get_metadata(unsigned long uid) override { return showers.at(uid); }
    PEList get_pe_list(unsigned long) override { return {}; }
    Showers showers;
};
struct FixedFlux : Flux {
    FixedFlux(double density, double integral) : density(density), integral(integral) {}
    double flux_density(double) override { return density; }
    double integrate(double, double) override { return integral; }
    double density, integral;
};
// Protons at about 285 Hz through the thrown area and cone unless another flux is given.
CosmicRayModel build(Showers showers, bool warn_invalid, const Throw& t = {}, Flux* flux = nullptr) {
    ListProvider provider(std::move(showers));
    PowerLawFlux protons(-2.7, 1.0, 1.0);
    return CosmicRayModel(provider, flux ? *flux : protons, 1, 7, t.index, t.r_max, t.theta_max, t.e_min, t.e_max,
                          warn_invalid);
}
std::string warnings(const Showers& showers, const Throw& claimed = {}) {
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(build(showers, true, claimed));
    return ::testing::internal::GetCapturedStderr();
}

// Rates: flux weight over thrown spectrum, adding up to area x solid angle x flux integral. Per call a fresh
// std::poisson_distribution per shower (at mean 0 libstdc++ takes one variate), then its uniform times; means
// per shower run from 0.0003 to 17 (the rejection method).
TEST(CosmicRayModel, StreamIsPoissonCountsThenUniformTimesShowerByShower) {
    const Showers showers = thrown(1000);
    PowerLawFlux flux(-2.7, 1.0, 1.0);
    std::vector<double> rates;
    for (const Metadata& m : showers) rates.push_back(std::pow(m.energy, 2.0) * flux.flux_density(m.energy));
    const double scale = kPi * 100.0 * 100.0 * flux.integrate(10.0, 1000.0) * (2 * kPi * (1.0 - std::cos(0.5))) /
                         std::accumulate(rates.begin(), rates.end(), 0.0);
    CosmicRayModel model = build(showers, false);
    std::mt19937_64 rng(1);
    for (auto [begin, end] : {std::pair{0.0, 1e-3}, {1e-3, 2e-3}, {2e-3, 3e-3}, {5.0, 5.0}, {5.0, 5.4}, {5.4, 5.8},
                              {6.0, 66.0}, {-3.0, -2.999}, {100.0, 100.4}, {100.4, 100.4}, {100.4, 100.401}}) {
        if (begin == 6.0) {  // refusals leave the engine alone
            EXPECT_THROW_MSG(model.sample(2.0, 1.0), std::out_of_range,
                             "Time 'begin=2.000000e+00' is after time `end=1.000000e+00`!");
            for (double bad : {1e300, kInf, kNaN}) EXPECT_THROW(model.sample(0.0, bad), std::invalid_argument) << bad;
        }
        const Events events = model.sample(begin, end);
        Events expected;
        for (std::size_t i = 0; i < showers.size(); ++i) {
            const double mean = (end - begin) * (rates[i] * scale);
            int k = mean == 0 ? (rng(), 0) : std::poisson_distribution<int>(mean)(rng);
            for (std::uniform_real_distribution<double> when(begin, end); k > 0; --k)
                expected.push_back({when(rng), 7, showers[i].uid});
        }
        EXPECT_TRUE(std::ranges::is_sorted(events, {}, &BackgroundEvent::time)) << begin;
        EXPECT_EQ(keys(events), keys(expected)) << begin << " " << end;
    }
}

// Each library fails the named tests only: thrown first failure, or with "warn_invalid" all printed.
TEST(CosmicRayModel, DistributionTestsFailOrWarn) {
    EXPECT_EQ(warnings(thrown(1000, {-1.0, 30.0, 1.2, 1.0, 1e5}), {-1.0, 30.0, 1.2, 1.0, 1e5}), "");
    EXPECT_EQ(warnings(thrown(1000, {-2.0, 100.0, kPi / 2}), {-2.0, 100.0, kPi / 2}), "") << "down to the horizon";
    const std::string core = "X-Y distribution is not uniform!";
    const auto keep = [](Metadata&) {};
    using Case = std::tuple<std::function<void(Metadata&)>, Throw, std::vector<std::string>>;
    for (const auto& [change, claimed, failures] : std::vector<Case>{
             {keep, {-1.0}, {"Energy distribution does not follow E^-1!"}},
             {[](Metadata& m) { m.x *= 0.6, m.y *= 0.6; }, {}, {"Radius distribution is not linear!", core}},
             // Cores turned onto the axes keep their radius; only x is tested.
             {[](Metadata& m) {
                  const double r = std::hypot(m.x, m.y), a = kPi / 2 * static_cast<double>(m.uid % 4);
                  m.x = r * std::cos(a), m.y = r * std::sin(a);
              }, {}, {core}},
             {[](Metadata& m) { m.y = std::abs(m.y); }, {}, {core}},  // x passes, so y is tested
             {keep, {-2.0, 100.0, 0.7}, {"Zenith distribution does not follow sin(theta)*cos(theta)!"}},
             {[](Metadata& m) { m.phi *= 0.5; }, {}, {"Azimuth distribution is not uniform!"}}}) {
        Showers showers = thrown(1000);
        std::ranges::for_each(showers, change);
        EXPECT_THROW_MSG(build(showers, false, claimed), std::invalid_argument, failures.front());
        std::string printed;
        for (const std::string& failure : failures) printed += "[WARNING] " + failure + "\n";
        EXPECT_EQ(warnings(showers, claimed), printed);
    }
    // An azimuth that rounded just above 2 pi is tolerated with "warn_invalid" and left out of the azimuth test.
    Showers rounded = thrown(1000);
    rounded[3].phi = 2 * kPi + 0.0005;
    const std::string bound = "Shower with azimuth 6.284 found, maximum is 6.283!";
    EXPECT_THROW_MSG(build(rounded, false), std::invalid_argument, bound);
    EXPECT_EQ(warnings(rounded),
              "[WARNING] Ignoring exception during bounds check caused by rounding error.\n[WARNING] " + bound + "\n");
}

// Fail whatever "warn_invalid" says: nothing but a finite, non-negative rate may reach a Poisson draw.
TEST(CosmicRayModel, Refusals) {
    const double e0 = thrown(1000).at(0).energy;
    PowerLawFlux negative(-2.7, -1.0, 1.0);
    FixedFlux zero(0.0, 5.0), huge(1e302, 5.0), nan_integral(1.0, kNaN);
    const std::string max = "All _max parameters have to be positive!", order = "0 < e_min < e_max required!";
    struct Case {
        std::string message;
        double Metadata::*field = nullptr;
        double value = 0;
        Throw claimed = {};
        Flux* flux = nullptr;
    };
    for (const Case& c : std::vector<Case>{
             {"Shower with energy 2.000e+03 GeV found, maximum is 1.000e+03 GeV!", &Metadata::energy, 2000},
             {"Shower with energy 5.000e+00 GeV found, minimum is 1.000e+01 GeV!", &Metadata::energy, 5},
             {"Shower with zenith 0.600 found, maximum is 0.500!", &Metadata::theta, 0.6},
             {"Shower with zenith -0.100 found, minimum is 0.000!", &Metadata::theta, -0.1},
             {"Shower with azimuth 6.285 found, maximum is 6.283!", &Metadata::phi, 2 * kPi + 0.002},
             {"Shower with azimuth -0.100 found, minimum is 0.000!", &Metadata::phi, -0.1},
             {"Shower with |x| = 200.000 m found, maximum is 100.000!", &Metadata::x, -200},
             {"Shower with |y| = 200.000 m found, maximum is 100.000!", &Metadata::y, 200},
             {max, nullptr, 0, {-2.0, 0.0}}, {max, nullptr, 0, {-2.0, 100.0, -0.5}},
             {max, nullptr, 0, {-2.0, 100.0, 0.5, 10.0, 0.0}}, {order, nullptr, 0, {-2.0, 100.0, 0.5, 0.0}},
             {order, nullptr, 0, {-2.0, 100.0, 0.5, 1000.0}},
             // Below the horizon only: 2.5 would pass a library thrown to 0.5 at several times its rate.
             {"Setting theta_max = 2.5 lies beyond the horizon at pi/2 = 1.5707963267948966!", nullptr, 0,
              {-2.0, 100.0, 2.5}},
             {"Setting theta_max = 45 lies beyond the horizon at pi/2 = 1.5707963267948966!", nullptr, 0,
              {-2.0, 100.0, 45.0}},
             {"Shower 500 with energy nan GeV has the weight nan, which is negative or not finite!", &Metadata::energy,
              kNaN},
             {format("Shower 0 with energy {} GeV has the weight {}, which is negative or not finite!", e0,
                     -std::pow(e0, 2.0) * std::pow(e0, -2.7)), nullptr, 0, {}, &negative},
             {"The shower weights sum to 0, which cannot normalise the rates!", nullptr, 0, {}, &zero},
             {"The shower weights sum to inf, which cannot normalise the rates!", nullptr, 0, {}, &huge},
             {"Shower 0 gets the rate nan 1/s from the flux integral nan over 10-1000 GeV, which is negative or not "
              "finite!", nullptr, 0, {}, &nan_integral}}) {
        Showers showers = thrown(1000);
        if (c.field) showers[500].*c.field = c.value;
        for (bool warn_invalid : {false, true})
            EXPECT_THROW_MSG(build(showers, warn_invalid, c.claimed, c.flux), std::invalid_argument, c.message);
    }
    EXPECT_THROW_MSG(build({}, true), std::invalid_argument, "The shower provider holds no showers!");
}

// One Poisson distribution per call shared by all channels, each count followed by its uniform times; an empty
// or reversed interval draws nothing; over 64 events are sorted another way.
TEST(DarkCountModel, ReproducesPoissonCountsThenUniformTimesChannelByChannel) {
    DarkCountModel model(3.5, 7, 99, 4);
    std::mt19937_64 rng(99);
    for (auto [begin, end] : {std::pair{0.0, 1.0}, {3.0, 3.0}, {1.0, 2.5}, {4.0, 1.0}, {-3.0, 0.5}, {20.0, 26.0}}) {
        const Events events = model.sample(begin, end);
        Events expected;
        if (end > begin) {
            std::poisson_distribution<int> count(3.5 * (end - begin));
            std::uniform_real_distribution<double> when(begin, end);
            for (unsigned long c = 0; c < 7; ++c)
                for (int i = count(rng); i > 0; --i) expected.push_back({when(rng), 4, c});
        }
        EXPECT_TRUE(std::ranges::is_sorted(events, {}, &BackgroundEvent::time)) << begin;
        EXPECT_EQ(keys(events), keys(expected)) << begin;
    }
    // Counts are drawn as int and channels numbered by int.
    EXPECT_THROW(DarkCountModel(1e9, 1, 1, 0).sample(0.0, 2.0), std::invalid_argument);
    EXPECT_NO_THROW(DarkCountModel(1.0, std::numeric_limits<int>::max(), 1, 0));
    EXPECT_THROW(DarkCountModel(1.0, std::numeric_limits<int>::max() + 1ul, 1, 0), std::invalid_argument);
}

struct FixedModel : BackgroundModel {
    explicit FixedModel(Events events) : events(std::move(events)) {}
    Events sample(double, double) override { return events; }
    Events events;
};
// On equal times the earlier sub-model's events come first, within one sub-model its own order.
TEST(GenericModel, MergesByTimeWithEarlierSubModelsFirstOnTies) {
    GenericModel model;
    EXPECT_TRUE(model.sample(0.25, 4.0).empty());
    for (const Events& events :
         {Events{}, {{1.0, 0, 10}, {2.0, 0, 12}, {2.0, 0, 11}}, {}, {{0.5, 0, 20}, {2.0, 0, 21}}, {{2.0, 0, 30}}})
        model.add_model(std::make_unique<FixedModel>(events));
    std::vector<unsigned long> ids;
    for (const BackgroundEvent& e : model.sample(0.25, 4.0)) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<unsigned long>{20, 10, 12, 11, 21, 30}));
}

const Events kEvents{{1.0, 3, 17}, {1.5, 0, 2}, {1.5, 9, 4}, {2.25, 3, 18}, {3.0, -1, 1ul << 40}};
std::vector<std::string> names_in(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::ranges::sort(names);
    return names;
}
TEST(CachedModel, ReplaysEachIntervalAndRefusesCorruptedCaches) {
    TempDir dir;
    const auto events = dir.path() / "cache.tmio", interval = dir.path() / "cache.cm";
    CachedModel::write_cache(events, kEvents, 1.0, 3.0);
    CachedModel model(events);
    const auto slice = [](int from, int to) { return keys({kEvents.begin() + from, kEvents.begin() + to}, false); };
    EXPECT_EQ(keys(model.sample(1.0, 3.0), false), slice(0, 4));
    EXPECT_EQ(keys(model.sample(1.5, 2.25), false), slice(1, 3));
    for (double at : {1.0, 3.0}) EXPECT_TRUE(model.sample(at, at).empty()) << at;
    const auto outside = [](std::string a) { return "Cannot sample interval " + a + "! Model is only defined in [1 s,3 s)."; };
    EXPECT_THROW_MSG(model.sample(1.0, std::nextafter(3.0, 4.0)), std::out_of_range, outside("[1 s,3.0000000000000004 s)"));
    EXPECT_THROW_MSG(model.sample(0.5, 2.0), std::out_of_range, outside("[0.5 s,2 s)"));
    EXPECT_THROW_MSG(model.sample(2.5, 2.0), std::out_of_range,
                     "Interval begin time has to be before interval end time! 2.5 < 2");
    // Refused before any file is touched: what a CachedModel refuses, and a name its interval file would overwrite.
    const auto cm = dir.path() / "events.cm", fresh = dir.path() / "new";
    for (const auto& [file, stored, b, e, message] :
         {std::tuple{cm, kEvents, 0.0, 5.0, "has the extension .cm of its own interval file; name it otherwise!"},
          {fresh, kEvents, kNaN, 1.0, "needs an interval with begin <= end, got [nan s,1 s)!"},
          {fresh, kEvents, 2.0, 1.0, "needs an interval with begin <= end, got [2 s,1 s)!"},
          {fresh, Events{{1, 0, 1}, {0.5, 0, 2}}, 0, 2, "needs events sorted by time, got event 1 at 0.5 s after event 0 at 1 s!"},
          {fresh, Events{{1, 0, 1}, {kNaN, 0, 2}}, 0, 2, "needs events with a time, got NaN for event 1!"}})
        EXPECT_THROW_MSG(CachedModel::write_cache(file, stored, b, e), std::invalid_argument,
                         "Event cache " + file.string() + " " + message);
    // A memory region's interval file would be the same region, a socket's another peer: nothing is written.
    std::vector<char> region(4096);
    for (const std::string& address : {storage_test::mem_address(region.data(), region.size()), std::string("tcp://connect/5999/x")}) {
        const std::string message = "Event cache " + address + " is a memory region or socket address, where its " +
                                    "interval file " + address + ".cm would be no file of its own; caches are files!";
        EXPECT_THROW_MSG(CachedModel::write_cache(address, kEvents, 0, 5), std::invalid_argument, message);
        EXPECT_THROW_MSG(CachedModel{address}, std::invalid_argument, message);
    }
    EXPECT_EQ(std::ranges::count(region, 0), 4096);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{".cache.cm.lock", "cache.cm", "cache.tmio"}));
    // Infinite bounds are an interval like any other; a rewrite that fails leaves the old cache whole and no parts.
    CachedModel::write_cache(events, kEvents, -kInf, kInf);
    EXPECT_TRUE(storage_test::in_child_with_file_limit(4096, [&](const auto&) {
        const auto write = [&] { CachedModel::write_cache(events, Events(1000, kEvents[0]), 0, 1); };
        return testing::thrown<std::ios_base::failure>(write).starts_with("Failed to write to file");
    }));
    EXPECT_EQ(keys(CachedModel(events).sample(-kInf, kInf), false), keys(kEvents, false));
    EXPECT_EQ(names_in(dir.path()).size(), 3u);
    const std::string whole = storage_test::read_bytes(interval);  // an inserted byte shifts the bounds and leaves one over
    const auto corrupted = [](const auto& file) { return "Cached data is corrupted, check if " + file.string() + " was modified."; };
    const auto after = "Read error in file " + interval.string() + ": Found data after the VECTOR record.";
    for (const auto& [stored, numbers, bytes, message] :
         {std::tuple{kEvents, std::vector{1.0}, std::string(), corrupted(interval)}, {kEvents, {1, 2, 3}, "", corrupted(interval)},
          {kEvents, {3, 1}, "", corrupted(interval)}, {kEvents, {kNaN, 1}, "", corrupted(interval)},
          {kEvents, {}, whole.substr(0, 90) + "x" + whole.substr(90), after},
          {Events{{2, 0, 1}, {1, 0, 2}}, {0, 3}, "", corrupted(events)}, {Events{{kNaN, 0, 1}}, {0, 3}, "", corrupted(events)}}) {
        Serializer::create_default()->write_events(events, stored);
        Serializer::create_default()->write_numbers(interval, numbers);
        if (!bytes.empty()) dir.write(interval.filename(), bytes);
        EXPECT_THROW_MSG(CachedModel{events}, IOError, message);
    }
}

// Pair k: its own number of events, of type k, spread over its own interval, which holds no other pair's.
struct Pair { Events events; double begin, end; };
Pair spread(int n, int type, double begin, double end) {
    Events events;
    for (int i = 0; i < n; ++i) events.push_back({begin + (end - begin) * i / n, type, unsigned(i)});
    return {events, begin, end};
}
void write(const std::filesystem::path& path, const Pair& p) { CachedModel::write_cache(path, p.events, p.begin, p.end); }
// Which pair the cache holds whole; pairs.size() for a mixed one.
std::size_t whole_pair(const std::filesystem::path& path, const std::vector<Pair>& pairs) {
    CachedModel model(path);
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const auto sample = [&] { return model.sample(pairs[k].begin, pairs[k].end); };
        if (testing::thrown<std::out_of_range>(sample) != "nothing thrown") continue;
        return std::ranges::count(sample(), int(k), &BackgroundEvent::type) == std::ssize(pairs[k].events) ? k : pairs.size();
    }
    return pairs.size();
}

TEST(CachedModel, ReadersMeetAWholePairOrARefusalWhileAnotherProcessRewrites) {
    TempDir dir;
    const auto path = dir.path() / "cache.tmio";
    const std::vector<Pair> pairs{spread(100000, 0, 2.0, 3.0), spread(5, 1, 1.0, 2.5)};
    write(path, pairs[1]);
    const pid_t writer = fork();
    if (writer == 0)  // the pauses let readers meet each pair whole, not only the small one
        _exit(testing::thrown<std::ios_base::failure>([&] {
            for (int i = 0; i < 60; ++i, usleep(3000)) write(path, pairs[i % 2]);
        }) == "nothing thrown" ? 0 : 1);
    const std::set<std::string> refusals{"Event cache " + path.string() + " was rewritten while it was read; open it again!",
        format("Failed to open file {}/cache.cm!\nImplementation reports: connection error", dir.path().string())};
    std::array<int, 3> seen{};
    int status = -1;
    while (waitpid(writer, &status, WNOHANG) == 0) try {
        ++seen[whole_pair(path, pairs)];
    } catch (const IOError& e) { EXPECT_TRUE(refusals.contains(e.what())) << e.what(); }
    EXPECT_TRUE(status == 0 && seen[2] == 0) << "whole pairs " << seen[0] << ", " << seen[1] << "; mixed " << seen[2];
}

// Writers take turns: whatever threads and processes write at once, the cache is one successful writer's whole pair.
TEST(CachedModel, ConcurrentWritersLeaveOneWholePair) {
    TempDir dir;
    const auto path = dir.path() / "cache.tmio";
    const std::vector<Pair> pairs{spread(5, 0, 1.0, 2.5), spread(20000, 1, 2.0, 3.5), spread(60000, 2, 3.0, 4.5)};
    const auto writes = [&](std::size_t k) { return testing::thrown<std::ios_base::failure>([&] { write(path, pairs[k]); }); };
    for (int round = 0; round < 10; ++round) {
        std::string other;
        std::thread thread([&] { other = writes(0); });
        EXPECT_EQ(writes(1), "nothing thrown");
        thread.join();
        EXPECT_EQ(other, "nothing thrown");
        EXPECT_LT(whole_pair(path, pairs), pairs.size());
        pid_t writers[3];
        for (std::size_t k = 0; k < 3; ++k)
            if ((writers[k] = fork()) == 0) _exit(writes(k) == "nothing thrown" ? 0 : 1);
        for (int status = -1; pid_t pid : writers) EXPECT_TRUE(waitpid(pid, &status, 0) == pid && status == 0);
        EXPECT_LT(whole_pair(path, pairs), pairs.size());
    }
    // A writer that loses the race to create the lock file opens the winner's; one that meets it before its creator
    // has shared it waits for that, however slow the creator is.
    const auto raced = dir.path() / "raced.tmio";
    syscalls.lock_created_first = true;
    EXPECT_EQ(testing::thrown<std::ios_base::failure>([&] { write(raced, pairs[0]); }), "nothing thrown");
    syscalls.lock_refused_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    EXPECT_EQ(testing::thrown<std::ios_base::failure>([&] { write(raced, pairs[1]); }), "nothing thrown");
    EXPECT_FALSE(syscalls.lock_created_first);
    EXPECT_EQ(whole_pair(raced, pairs), 1u);
}

// A killed writer's parts, and the old interval file it moved aside, go with the next rewrite; those of cache "a.1",
// whose names begin alike, stay.
TEST(CachedModel, RewritesRemoveTheirKilledPredecessorsParts) {
    TempDir dir;
    dir.write(".a.1.77-0.part", "");
    const auto rewrite = [&] { CachedModel::write_cache(dir.path() / "a", kEvents, 1, 3); return true; };
    const std::vector<std::string> rewritten{".a.1.77-0.part", ".a.cm.lock", "a", "a.cm"};
    for (const auto& [killed_at, left] : {std::pair{1, 4u}, {3, 6u}}) {  // at the first part's sync, the directory's
        EXPECT_FALSE(testing::in_child([&] { syscalls.kill_at_fsync = killed_at; return rewrite(); }));
        EXPECT_EQ(names_in(dir.path()).size(), left);
        rewrite();
        EXPECT_EQ(names_in(dir.path()), rewritten);
    }
}

// Root writes first, with umask 022; another user may then rewrite the cache in a directory shared by all or by a
// group (with or without setgid), or in a directory of its own. Where they may not write, the write fails as a write
// in place would, and the cache still loads; a sticky directory lets them write their parts but not replace root's
// files.
TEST(CachedModel, WhoeverMayWriteTheDirectoryTakesItsLockAndReadersNeedNone) {
    REQUIRE_ROOT();
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    const mode_t umask_before = umask(022);
    const std::vector<Pair> pairs{spread(3, 0, 0.0, 4.0), spread(4, 1, 1.0, 5.0)};
    const auto cache = [&](const char* name, mode_t mode, gid_t group, uid_t owner = 0) {
        const auto sub = dir.path() / name;
        std::filesystem::create_directory(sub);
        EXPECT_TRUE(chown(sub.c_str(), owner, group) == 0 && chmod(sub.c_str(), mode) == 0);
        write(sub / "c.tmio", pairs[0]);
        return sub / "c.tmio";
    };
    for (const auto& [name, mode, group, owner] :
         {std::tuple{"all", 0777, 65534, 0}, {"group", 02770, 65533, 0}, {"group_without_setgid", 0770, 65533, 0},
          {"the_other_users_own", 0755, 65534, 65534}}) {
        const auto path = cache(name, mode, group == 65534 && owner == 0 ? 0 : group, owner);
        EXPECT_TRUE(testing::in_child_as_other_user([&] { return write(path, pairs[1]), whole_pair(path, pairs) == 1; },
                                                    group)) << name;
    }
    // A member whose own group is another creates the lock file in a group directory that a user other than root owns:
    // it gives the file the directory's group, so that every other member may take it after.
    const auto members = cache("members", 0770, 65533, 65532);
    std::filesystem::remove(members.parent_path() / ".c.cm.lock");
    const auto as_member = [](uid_t user, const std::function<bool()>& body) {
        return testing::in_child([&] {
            const gid_t groups[] = {user, 65533};
            return setgroups(2, groups) == 0 && setgid(user) == 0 && setuid(user) == 0 && body();
        }, 5);
    };
    EXPECT_TRUE(as_member(65534, [&] { return write(members, pairs[1]), true; }));
    EXPECT_TRUE(as_member(65531, [&] { return write(members, pairs[0]), whole_pair(members, pairs) == 0; }));
    umask(umask_before);
    const auto old_lock = cache("old_lock", 0777, 0), read_only = cache("read_only", 0755, 0);
    const auto sticky = cache("sticky", 01777, 0), others = cache("others", 0777, 65533);
    std::filesystem::remove(others.parent_path() / ".c.cm.lock");  // for a creator outside the directory's group
    chmod((old_lock.parent_path() / ".c.cm.lock").c_str(), 0644);  // as a writer that did not share it left it
    const auto chain = [&](const std::filesystem::path& path) {
        const std::string thrown = testing::thrown<std::ios_base::failure>([&] { write(path, pairs[1]); }, true);
        return std::regex_replace(thrown, std::regex("[0-9]+-[0-9]+"), "N");
    };
    const auto open_failed = [](const std::filesystem::path& file, const std::string& reason) {
        return "Failed to open file " + file.string() + "!\nImplementation reports: connection error <- " +
               file.parent_path().string() + "/.c.tmio.N.part: " + reason;
    };
    EXPECT_EQ(chain(dir.path() / "nodir/c.tmio"), open_failed(dir.path() / "nodir/c.tmio", "No such file or directory"));
    std::ofstream(dir.path() / "afile").close();
    std::filesystem::permissions(dir.path() / "afile", std::filesystem::perms(0755));
    EXPECT_EQ(chain(dir.path() / "afile/c.tmio"), open_failed(dir.path() / "afile/c.tmio", "Not a directory"));
    const auto sticky_interval = sticky.parent_path() / "c.cm";
    const std::string lock_refused = "Failed to lock file " + (old_lock.parent_path() / ".c.cm.lock").string() +
                                     ": Permission denied! Every writer of its directory must be able to open it for "
                                     "writing: give it the directory's write permissions, or remove it while no writer "
                                     "runs. <- <no nested exception>";
    EXPECT_TRUE(testing::in_child_as_other_user([&] {
        return whole_pair(read_only, pairs) == 0 && chain(read_only) == open_failed(read_only, "Permission denied") &&
               chain(old_lock) == lock_refused &&
               chain(sticky) == "Failed to write to file " + sticky_interval.string() +
                                    "!\nImplementation reports: write error <- " + sticky_interval.string() +
                                    ": Operation not permitted" &&
               whole_pair(sticky, pairs) == 0 && chain(others) == "nothing thrown";
    }));
    EXPECT_EQ(names_in(sticky.parent_path()), (std::vector<std::string>{".c.cm.lock", "c.cm", "c.tmio"}));
    // Its two seconds of retries end on time while signals come faster than any of its pauses may end.
    EXPECT_TRUE(testing::in_child_as_other_user([&] {
        testing::take_periodic_signals(10000, 20000000);
        return chain(old_lock) == lock_refused;
    }, 65534, 6));
    struct stat outsider {};  // may not give it the directory's group: the others' bits let the group in
    EXPECT_TRUE(stat((others.parent_path() / ".c.cm.lock").c_str(), &outsider) == 0 && outsider.st_gid == 65534 &&
                (outsider.st_mode & 0777) == 0666);
}

// A writer waits on the lock file that another holds; the file is then replaced and the new one locked. When the old
// lock goes, the writer must not go in: it takes the lock again on the file the name leads to now.
TEST(CachedModel, AWriterWhoseLockFileWasReplacedWhileItWaitedTakesTheNewOne) {
    TempDir dir;
    const auto path = dir.path() / "c.tmio", lock = dir.path() / ".c.cm.lock";
    write(path, spread(2, 0, 0.0, 1.0));
    const auto held = [](const std::filesystem::path& file) {  // as writers hold it
        struct flock whole {F_WRLCK, SEEK_SET, 0, 0, 0};
        const int fd = open(file.c_str(), O_RDWR | O_CREAT, 0666);
        return fcntl(fd, F_OFD_SETLK, &whole) == 0 ? fd : -1;
    };
    const int old_fd = held(lock);
    const pid_t writer = fork();
    if (writer == 0) {
        close(old_fd);  // a lock of an open file goes only with its last descriptor
        _exit(testing::thrown<std::ios_base::failure>([&] { write(path, spread(3, 1, 0.0, 1.0)); }) == "nothing thrown" ? 0 : 1);
    }
    struct stat old_file {};
    fstat(old_fd, &old_file);
    const auto waiting = [inode = ":" + std::to_string(old_file.st_ino) + " "] {  // a blocked request on the old file
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) return true;
        return false;
    };
    for (int i = 0; i < 2000 && !waiting(); ++i) usleep(5000);
    ASSERT_TRUE(std::filesystem::remove(lock));
    const int new_fd = held(lock);
    close(old_fd);
    int status = -1;
    usleep(300000);
    EXPECT_EQ(waitpid(writer, &status, WNOHANG), 0) << "the writer went in while the new lock file was held";
    close(new_fd);
    for (int i = 0; i < 2000 && waitpid(writer, &status, WNOHANG) == 0; ++i) usleep(5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(keys(CachedModel(path).sample(0.0, 1.0)), keys(spread(3, 1, 0.0, 1.0).events));
    // A lock file replaced after every lock is not chased for ever.
    EXPECT_TRUE(testing::in_child([&] {
        syscalls.lock_inode_moves = true;
        return testing::thrown<IOError>([&] { write(path, spread(2, 0, 0.0, 1.0)); }) ==
               "Failed to lock file " + lock.string() + ": it was replaced each time it was locked!";
    }, 3));
}

// Each file of a linked cache is written through its own link to its target; the links stay.
TEST(CachedModel, RewritesGoThroughSymbolicLinksToTheirTargets) {
    TempDir dir;
    std::filesystem::create_symlink("events.tmio", dir.path() / "link.tmio");
    std::filesystem::create_symlink(dir.path() / "interval.cm", dir.path() / "link.cm");
    write(dir.path() / "link.tmio", spread(3, 0, 0.0, 4.0));
    EXPECT_EQ(whole_pair(dir.path() / "link.tmio", {spread(3, 0, 0.0, 4.0)}), 0u);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "link.tmio") && std::filesystem::is_symlink(dir.path() / "link.cm"));
    const std::vector<std::string> names{".interval.cm.lock", "events.tmio", "interval.cm", "link.cm", "link.tmio"};
    EXPECT_EQ(names_in(dir.path()), names);
    // Lock files are not: a link at a lock file's name, dangling or not, is refused at once, and nothing goes through it.
    const auto lock = dir.path() / ".interval.cm.lock";
    for (const char* target : {"nowhere", "events.tmio"}) {
        std::filesystem::remove(lock);
        std::filesystem::create_symlink(target, lock);
        EXPECT_TRUE(testing::in_child([&] {
            return testing::thrown<IOError>([&] { write(dir.path() / "link.tmio", spread(2, 1, 0.0, 4.0)); }) ==
                   "Failed to lock file " + lock.string() + ": it is a symbolic link! Lock files are the library's own "
                   "regular files: remove the link; writers create the file as they need it.";
        }, 3)) << target;
    }
    EXPECT_EQ(names_in(dir.path()), names);
    EXPECT_EQ(whole_pair(dir.path() / "link.tmio", {spread(3, 0, 0.0, 4.0)}), 0u);
}

// Each part is on the disk before it gets its name; the old interval file moves aside (on the disk too) before the
// new events come and the new one comes last. A failure before the new events stand brings the old interval file
// back, so the old pair loads; after, it is gone, and no interval file stands beside the new events.
TEST(CachedModel, RewritesSyncEachPartBeforeItsRenameAndPlaceTheIntervalFileLast) {
    TempDir dir;
    const auto path = dir.path() / "cache.tmio", interval = dir.path() / "cache.cm";
    CachedModel::write_cache(path, kEvents, 1.0, 3.0);
    const std::string d = dir.path().filename().string();
    const std::vector<std::string> all{"fsync .cache.tmio.N.part", "fsync .cache.cm.N.part", "rename cache.cm .cache.cm.N.part",
        "fsync " + d, "rename .cache.tmio.N.part cache.tmio", "rename .cache.cm.N.part cache.cm", "fsync " + d};
    const auto failed = [](const std::filesystem::path& shown, const std::string& concerned,
                           const char* reason = "Input/output error") {  // of the caller's path
        return "Failed to write to file " + shown.string() + "!\nImplementation reports: write error <- " + concerned +
               ": " + reason;
    };
    const auto moved = [&](const char* part, const std::filesystem::path& target) {
        return (dir.path() / part).string() + " -> " + target.string();
    };
    const auto loaded_interval = [&] {  // of the pair that loads; none where it is refused
        try { CachedModel{path}; } catch (const IOError&) { return std::vector<double>{}; }
        return Serializer::create_default()->read_numbers(interval);
    };
    const std::vector<std::string> pair{".cache.cm.lock", "cache.cm", "cache.tmio"};
    // The restoring rename logs as the placing one would. A failed sync is the part's, reported as the caller's path.
    for (const auto& [failing_fsync, failing, calls, message, stands, names] :
         {std::tuple{1, 0, 1, failed(path, (dir.path() / ".cache.tmio.N.part").string()), std::vector{1.0, 3.0}, pair},
          {0, 1, 3, failed(interval, interval.string()), {1.0, 3.0}, pair},
          {0, 2, 6, failed(path, moved(".cache.tmio.N.part", path)), {1.0, 3.0}, pair},
          {0, 0, 7, std::string("nothing thrown"), {0.0, 4.0}, pair},
          {0, 3, 6, failed(interval, moved(".cache.cm.N.part", interval)), {}, {".cache.cm.lock", "cache.tmio"}}}) {
        syscalls = {true, 0, failing_fsync, failing, 0, 0, {}};
        const std::string error = testing::thrown<std::ios_base::failure>([&] { write(path, {kEvents, 0, 4.0 + failing}); }, true);
        syscalls.recording = false;
        for (auto& call : syscalls.calls) call = std::regex_replace(call, std::regex("[0-9]+-[0-9]+"), "N");
        EXPECT_EQ(syscalls.calls, std::vector(all.begin(), all.begin() + calls)) << failing;
        EXPECT_EQ(std::regex_replace(error, std::regex("[0-9]+-[0-9]+"), "N"), message) << failing;
        EXPECT_EQ(loaded_interval(), stands) << failing;
        EXPECT_EQ(names_in(dir.path()), names) << failing;
    }
    // A directory at the interval file's name is refused: it stays with what it holds, beside the events as they were.
    dir.write("cache.cm/kept", "");
    const std::string events_before = storage_test::read_bytes(path);
    syscalls = {};
    EXPECT_EQ(testing::thrown<std::ios_base::failure>([&] { write(path, {kEvents, 0, 5.0}); }, true),
              failed(interval, interval.string(), "Is a directory"));
    EXPECT_EQ(names_in(dir.path()), pair);
    EXPECT_TRUE(std::filesystem::exists(interval / "kept") && storage_test::read_bytes(path) == events_before);
    // A directory whose names cannot be sent to the disk fails the write: before the new events stand the old pair
    // comes back, after it the new pair stands; no part is left either way.
    std::filesystem::remove_all(interval);
    write(path, {kEvents, 0, 4.0});
    for (const auto& [failing_fsync, end, stands] : {std::tuple{3, 6.0, 4.0}, {4, 7.0, 7.0}}) {
        syscalls = {false, 0, failing_fsync, 0, 0, 0, {}};
        EXPECT_EQ(testing::thrown<std::ios_base::failure>([&] { write(path, {kEvents, 0, end}); }),
                  "Failed to sync directory " + dir.path().string() + ": Input/output error!");
        syscalls = {};
        EXPECT_EQ(loaded_interval(), std::vector({0.0, stands})) << failing_fsync;
        EXPECT_EQ(names_in(dir.path()), pair) << failing_fsync;
    }
}

// Each key reaches its own argument; "table" lies beside the settings.
TEST(Factories, BuildEachModelAndFluxFromItsSettings) {
    TempDir dir;
    dir.write("tables/flux.txt", "1 10\n3 30\n");
    const auto settings = dir.write("cfg/settings.yaml", R"(
providers: {showers: {class: MockProvider, theta_max: 0.5, r_max: 100, e_max: 1000, e_min: 10, index: -2, num_showers: 1000}}
fluxes:
  protons: {class: PowerLawFlux, e_ref: 1.0, f_ref: 1.0, index: -2.7}
  power: {class: PowerLawFlux, e_ref: 10.0, f_ref: 3.0, index: -2.0}
  table: {class: TabulatedFlux, integration_steps: 4, log_interpolate: false, table: ../tables/flux.txt}
  negative: {class: TabulatedFlux, integration_steps: -3, log_interpolate: false, table: ../tables/flux.txt}
models:
  cosmic: {class: CosmicRayModel, provider: showers, flux: protons, warn_invalid: false, e_max: 1000.0, e_min: 10.0,
           theta_max: 0.5, r_max: 100.0, throw_index: -2.0, gen_type: 7, seed: 1}
  unknown_flux: {class: CosmicRayModel, provider: showers, flux: neutrinos}
)");
    Factory<BackgroundModel> models(settings);
    EXPECT_EQ(keys(models.create_by_name("cosmic")->sample(0.0, 0.5)), keys(build(thrown(1000), false).sample(0.0, 0.5)));
    EXPECT_THROW_MSG(models.create_by_name("unknown_flux"), std::out_of_range,
                     "Instance neutrinos is not defined in " + settings.string() + "!");
    Factory<Flux> fluxes(settings);
    EXPECT_DOUBLE_EQ(fluxes.create_by_name("power")->flux_density(20.0), 0.75);
    EXPECT_DOUBLE_EQ(fluxes.create_by_name("table")->integrate(1.0, 3.0), 40.0);
    EXPECT_THROW_MSG(fluxes.create_by_name("negative"), std::invalid_argument, "Setting integration_steps = -3 is negative!");
}

TEST(PowerLawFlux, IntegralMatchesTheClosedFormAndNonPositiveEnergiesAreRefused) {
    for (const auto& [index, f_ref, e_ref, e1, e2] :
         {std::array{-2.0, 1.0, 1.0, 1.0, 2.0}, {-1.0, 3.0, 10.0, 5.0, 500.0}, {-2.7, 1.8e4, 1.0, 1e3, 1e6},
          {1.5, 2.0, 4.0, 1.0, 9.0}}) {
        PowerLawFlux flux(index, f_ref, e_ref);
        const double p = index + 1;
        const double exact = p == 0 ? f_ref * e_ref * std::log(e2 / e1)
                                    : f_ref * e_ref / p * (std::pow(e2 / e_ref, p) - std::pow(e1 / e_ref, p));
        EXPECT_NEAR(flux.flux_density(e1), f_ref * std::pow(e1 / e_ref, index), 1e-12 * flux.flux_density(e1)) << index;
        EXPECT_NEAR(flux.integrate(e1, e2), exact, 1e-12 * exact) << index;
        EXPECT_NEAR(flux.integrate(e2, e1), -exact, 1e-12 * exact) << index;
    }
    PowerLawFlux power(-2.0, 1.0, 1.0);
    const std::string positive = "Flux density is only defined for positive energies!";
    EXPECT_THROW_MSG(power.flux_density(0.0), std::out_of_range, positive);
    EXPECT_THROW_MSG(power.integrate(0.0, 1.0), std::out_of_range, positive);
    EXPECT_THROW_MSG(power.integrate(1.0, -2.0), std::out_of_range, positive);
}

TEST(TabulatedFlux, InterpolatesIntegratesAndRefusesBadTablesFilesAndEnergies) {
    TempDir dir;
    // Comments at column 0, a blank line and text after the two numbers are not rows.
    TabulatedFlux linear(dir.write("linear.txt", "# energy flux\n1 10\n\n  2 20 trailing words\n#4 0\n4 0\n"), false, 10);
    for (auto [e, density] : {std::pair{1.0, 10.0}, {1.5, 15.0}, {2.0, 20.0}, {3.5, 5.0}, {4.0, 0.0}})
        EXPECT_DOUBLE_EQ(linear.flux_density(e), density) << e;
    TabulatedFlux steep(dir.write("steep.txt", "10 1e4\n100 1e2\n1000 1\n"), true, 1000);
    for (double e : {10.0, 55.5, 100.0, 999.0, 1000.0}) EXPECT_NEAR(steep.flux_density(e), 1e6 / (e * e), 1e-6 / e / e);
    EXPECT_NEAR(steep.integrate(10.0, 1000.0), 1e6 * (0.1 - 0.001), 2e-5 * 1e5);
    EXPECT_EQ(TabulatedFlux(dir.write("step.txt", "1 2\n2 2\n2 3\n3 3\n"), false, 10).flux_density(2.0), 3.0) << "step";
    for (unsigned long steps : {1ul, 7ul, 1000ul})
        EXPECT_NEAR(TabulatedFlux(dir.write("line.txt", "1 1\n3 3\n"), false, steps).integrate(1.0, 2.0), 1.5, 1e-12);
    // exp(n * s + ln e1) lands above 1000 at these step counts: the last point must be pinned to the upper bound.
    for (unsigned long steps : {11ul, 22ul, 44ul, 51ul, 73ul}) {
        const double integral = TabulatedFlux(dir.write("wide.txt", "1 1\n1000 1e-6\n"), true, steps).integrate(1, 1000);
        EXPECT_TRUE(integral > 0.999 && integral < 0.999 * 1.21) << steps << ": " << integral;
    }
    EXPECT_DOUBLE_EQ(TabulatedFlux(dir.write("flat.txt", "1.3 1\n3.7 1\n"), false, 19).integrate(1.3, 3.7), 3.7 - 1.3);

    const std::string name = "Flux table " + (dir.path() / "flux.txt").string();
    for (const auto& [rows, log, message] : {
             std::tuple{"# only a comment\n\n", false, name + " holds no rows!"},
             {"1 2\n3\n", false, name + ", line 2: expected an energy and a flux value!"},
             {" # not a comment\n", false, name + ", line 1: expected an energy and a flux value!"},
             {"1 2\n3 4\n2.5 1\n", false, name + ", line 3: energy 2.5 GeV is below the 3 GeV of the row before!"},
             {"1 2\n3 0\n", true, name + ", line 2: log interpolation needs positive values, found 3 and 0!"},
             {"-1 2\n", true, name + ", line 1: log interpolation needs positive values, found -1 and 2!"}}) {
        EXPECT_THROW_MSG(TabulatedFlux(dir.write("flux.txt", rows), log, 10), IOError, message);
    }
    // Only regular files: a FIFO would block the open, /dev/zero would be read until memory runs out.
    for (const auto& path : {dir.path() / "missing", dir.fifo("fifo"), std::filesystem::path("/dev/zero"), dir.path()}) {
        ASSERT_TRUE(testing::returns_promptly([&] { TabulatedFlux(path, false, 10); })) << path;
        EXPECT_THROW_MSG(TabulatedFlux(path, false, 10), IOError, "Failed to open file " + path.string() + "!");
    }
    TabulatedFlux table(dir.write("flux.txt", "1 10\n4 0\n"), false, 10), log(dir.write("log.txt", "10 1\n100 1\n"), true, 5);
    const auto range = [](const std::string& what) { return "Requested energy " + what + " is out of range 1-4 GeV!"; };
    EXPECT_THROW_MSG(table.flux_density(std::nextafter(4.0, 5.0)), std::out_of_range, range("4.000000000000001 GeV"));
    EXPECT_THROW_MSG(table.flux_density(0.5), std::out_of_range, range("0.5 GeV"));
    EXPECT_THROW_MSG(log.flux_density(9.99), std::out_of_range, "Requested energy 9.99 GeV is out of range 10-100 GeV!");
    EXPECT_THROW_MSG(table.integrate(2.0, 1.5), std::out_of_range, range("range 2-1.5 GeV"));
    EXPECT_THROW_MSG(table.integrate(0.5, 2.0), std::out_of_range, range("range 0.5-2 GeV"));
    EXPECT_THROW_MSG(table.integrate(1.0, 4.5), std::out_of_range, range("range 1-4.5 GeV"));
    EXPECT_EQ(table.integrate(7.0, 7.0), 0.0);
}

// The bin one value is counted in, or -1 when it is dropped: only the bin expecting 1 turns a count of 1
// into nothing; a count in a bin expecting 0 adds infinity, a drop leaves (0 - 1)^2 / 1.
int landing_bin(const Chi2& chi2, double x, int bins) {
    for (int b = 0, call = 0; b < bins; ++b, call = 0) {
        if (chi2([&](double, double) { return call++ == b ? 1.0 : 0.0; }, 1, [=](std::size_t) { return x; }) == 0) return b;
    }
    return -1;
}

TEST(Chi2, BinsAreOpenBelowAndClosedAbove) {
    const Chi2 linear(10, 0.0, 1.0, false), log(12, 1.0, 100.0, true);
    for (auto [value, bin] : {std::pair{0.0, -1}, {0.05, 0}, {0.1, 0}, {std::nextafter(0.1, 1.0), 1}, {0.3 * 3, 8},
                              {1.0, 9}, {std::nextafter(1.0, 2.0), -1}, {-0.5, -1}, {std::nan(""), -1}})
        EXPECT_EQ(landing_bin(linear, value, 10), bin) << value;
    for (auto [value, bin] : {std::pair{0.5, -1}, {1.1, 0}, {11.0, 6}, {99.0, 11}, {150.0, -1}})
        EXPECT_EQ(landing_bin(log, value, 12), bin) << value;
}

TEST(Chi2, StatisticsExpectedCountsAndRefusals) {
    const Chi2 four(4, 0.0, 4.0, false), two(2, 0.0, 2.0, false);
    const std::vector<double> sample{0.5, 1.5, 1.7, 3.2, 3.3, 3.9, 9.0}, reference{0.5, 0.6, 1.5, 1.6, 3.5},
        other{0.5, 1.2, 3.2, 3.5, 9.0};
    const auto at = [](const std::vector<double>& v) { return [&v](std::size_t i) { return v[i]; }; };
    // Counts 1, 2, 0, 3 against 1, 1, 0, 2: only bins 1 and 3 add; a count where none is expected adds infinity.
    const auto expected = [](double lo, double) { return std::vector<double>{1, 1, 0, 2}[static_cast<int>(lo)]; };
    EXPECT_DOUBLE_EQ(four(expected, sample.size(), at(sample)), 1.0 + 0.5);
    EXPECT_DOUBLE_EQ(four(expected, 0, at(sample)), 4.0);
    EXPECT_EQ(four([](double, double) { return 0.0; }, 1, at(sample)), std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(two([](double lo, double hi) { return hi - lo; }, [](double lo, double hi) { return 2 * (hi - lo); }),
                     2.0);
    EXPECT_DOUBLE_EQ(two([](double c) { return c; }, [](double c) { return c + 1; }), 2.0 + 2.0 / 3) << "bin centres";
    // Counts 1, 1, 0, 2 against the reference's 2, 2, 0, 1, which divide; the bin empty in both adds nothing.
    EXPECT_DOUBLE_EQ(four(5, at(reference), at(other)), 0.5 + 0.5 + 1.0);
    EXPECT_DOUBLE_EQ(Chi2::chi2({1.0, 4.0}, {2.0, 2.0}), 1.0 + 1.0);
    EXPECT_DOUBLE_EQ(Chi2::uniform(50, 0.0, 10.0)(2.0, 4.0), 10.0);
    EXPECT_DOUBLE_EQ(Chi2::normal(100, 1.0, 2.0)(1.0, 3.0), 50 * std::erf(1 / std::sqrt(2.0)));
    EXPECT_DOUBLE_EQ(Chi2::power_law(100, -1.0, 1.0, 100.0)(1.0, 10.0), 50.0);
    EXPECT_DOUBLE_EQ(Chi2::power_law(100, 1.0, 0.0, 2.0)(1.0, 2.0), 75.0);
    EXPECT_DOUBLE_EQ(Chi2::poisson(100, 2.0)(1.5, 2.5), 100 * std::exp(-2.0) * 2);
    EXPECT_DOUBLE_EQ(Chi2::poisson(100, 2.0)(-3.0, 0.0), 100 * std::exp(-2.0));
    // Bit for bit the plain recurrence while e^-mu is a normal double, however far k lies beyond the tail; above,
    // no underflow (the reference in long double) and, for any mean, a distribution function at bounded cost.
    for (double mu : {0.0, 0.5, 7.3, 700.0}) {
        double term = std::exp(-mu), cdf = term;
        for (int i = 1; i <= 2 * mu + 60; ++i) cdf += (term = term / i * mu);
        for (double k : {2 * mu + 60, 1e18}) EXPECT_EQ(Chi2::poisson(1, mu)(-1.0, k), cdf) << mu;
    }
    for (double mu : {708.5, 720.0, 745.0}) {  // e^-mu subnormal: few of its bits are left for a recurrence
        long double term = std::exp(-static_cast<long double>(mu)), cdf = term;
        for (int i = 1; i <= mu + 40; ++i) cdf += (term = term / i * mu);
        EXPECT_NEAR(Chi2::poisson(1, mu)(-1.0, mu + 40), static_cast<double>(cdf), 1e-12 * static_cast<double>(cdf)) << mu;
    }
    const double exactly_800 = 1000 * std::exp(800 * std::log(800.0L) - 800 - std::lgamma(801.0L));
    EXPECT_NEAR(Chi2::poisson(1000, 800.0)(799.0, 800.0), exactly_800, 1e-9 * exactly_800);
    for (double mu : {1e6, 1e9, 2e9, 1e20}) {
        const auto cdf = [mu](double z) { return Chi2::poisson(1, mu)(-1.0, mu + z * std::sqrt(mu)); };
        EXPECT_TRUE(cdf(-40) < 1e-300 && std::abs(cdf(0) - 0.5) + std::abs(cdf(1) - 0.8413447) < 1e-3 && cdf(1e300) == 1) << mu;
    }
    EXPECT_NEAR(Chi2::poisson(1, 1e9)(-1.0, 1.0001e9), Chi2::poisson(1, std::nextafter(1e9, 2e9))(-1.0, 1.0001e9), 1e-10);
    for (double mu : {-1.0, kNaN, kInf})
        EXPECT_THROW_MSG(Chi2::poisson(1, mu), std::invalid_argument, format("Poisson mean {} is negative or not finite!", mu));
    const std::string log_bins = "Only positive min/max values are allowed for log bins!";
    EXPECT_THROW_MSG(Chi2(12, 0.0, 100.0, true), std::invalid_argument, log_bins);
    EXPECT_THROW_MSG(Chi2(12, 1.0, -1.0, true), std::invalid_argument, log_bins);
    EXPECT_THROW_MSG(Chi2(0, 0.0, 1.0, false), std::invalid_argument, "A chi-square test needs at least one bin!");
    EXPECT_THROW_MSG(Chi2::chi2({1.0}, {1.0, 2.0}), std::out_of_range, "Sizes of vectors do not match!");
}

// The regularised lower incomplete gamma function P(k/2, x/2), the chi-square distribution function.
double chi_square_cdf(double k, double x) {
    const double a = k / 2, h = x / 2;
    double term = 1 / a, sum = term;
    for (int n = 1; term > 1e-17 * sum; ++n) sum += (term *= h / (a + n));
    return sum * std::exp(a * std::log(h) - h - std::lgamma(a));
}

// The tabulated 10-bin values, and from 3 bins on each level within 0.0035 (worst: 3 bins at 0.05).
TEST(Chi2, QuantilesHitTheirLevels) {
    const double ten[] = {2.1546, 2.557, 3.2433, 3.9391, 4.8667, 9.3404, 15.9889, 18.2995, 20.4758, 23.2061, 25.1696};
    const double levels[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.5, 0.9, 0.95, 0.975, 0.99, 0.995};
    for (int q = 0; q <= 10; ++q) {
        EXPECT_NEAR(Chi2(10, 0.0, 1.0, false).quantile(Q(q)), ten[q], 1e-4) << q;
        for (std::size_t bins = 3; bins <= 30; ++bins) {
            const double level = chi_square_cdf(static_cast<double>(bins), Chi2(bins, 0.0, 1.0, false).quantile(Q(q)));
            EXPECT_NEAR(level, levels[q], 0.0035) << bins << " bins, level " << levels[q];
        }
    }
    EXPECT_NEAR(Chi2(12, 1.0, 2.0, true).quantile(Q::P0_9), 18.5487, 1e-4);
}

}  // namespace
}  // namespace background
