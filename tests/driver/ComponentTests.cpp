#include <background/driver/AfterpulseGenerator.hpp>
#include <background/driver/AutoMergeList.hpp>
#include <background/driver/ChannelMergers.hpp>
#include <background/driver/GenericGenerator.hpp>
#include <background/driver/NPEGenerator.hpp>
#include <background/driver/ProviderGenerator.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace background {
namespace {

using Times = std::vector<double>;

// After k pushes (empty runs count) the runs are the 1 bits of k, oldest largest; ties put the newer run first.
TEST(AutoMergeList, MergesOnTheBinaryScheduleWithTheNewerRunFirstOnTies) {
    using Tagged = std::pair<double, int>;  // key, push
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> length(0, 6), key(0, 20);
    for (int pushes = 1; pushes <= 140; pushes += 7) {
        AutoMergeList<Tagged, std::less<double>, decltype([](const Tagged& t) { return t.first; })> list;
        std::vector<Tagged> all;
        std::vector<std::size_t> sizes;  // of the runs a binary counter would hold
        for (int p = 0; p < pushes; ++p) {
            std::vector<Tagged> run;
            for (int i = length(rng); i > 0; --i) run.emplace_back(key(rng) * 0.25, p);
            std::sort(run.begin(), run.end());
            all.insert(all.end(), run.begin(), run.end());
            list.push(run);
            sizes.push_back(run.size());
            for (int carry = p + 1; carry % 2 == 0; carry /= 2)
                sizes[sizes.size() - 2] += sizes.back(), sizes.pop_back();
            std::vector<std::size_t> actual;
            for (const auto& held : list.get_runs()) actual.push_back(held.size());
            ASSERT_EQ(actual, sizes) << "after " << p + 1 << " pushes";
        }
        std::sort(all.begin(), all.end(), [](const Tagged& a, const Tagged& b) {
            return a.first < b.first || (a.first == b.first && a.second > b.second);
        });
        EXPECT_EQ(list.take_merged(), all) << pushes << " pushes";
        EXPECT_TRUE(list.empty() && list.pushes() == 0);
    }
}

// By bit pattern: NaN equals NaN and -0.0 differs from 0.0.
std::vector<std::pair<int, std::vector<std::uint64_t>>> bits_of(const PEList& list) {
    std::vector<std::pair<int, std::vector<std::uint64_t>>> bits;
    for (const auto& [channel, times] : list) {
        bits.emplace_back(channel, std::vector<std::uint64_t>());
        for (double time : times) bits.back().second.push_back(std::bit_cast<std::uint64_t>(time));
    }
    return bits;
}

// Few and many PEs, unsorted runs, NaN or -0.0 beside 0.0, empty runs, failed chunks and clears.
TEST(ChannelMergers, DrainsExactlyWhatOneAutoMergeListPerChannelDrains) {
    constexpr int kChannels = 64;
    std::mt19937_64 rng(99);
    const auto uniform = [&rng](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
    ChannelMergers mergers(kChannels);
    std::vector<AutoMergeList<double>> lists(kChannels);
    int exact = 0, sparse = 0;
    for (int chunk = 0; chunk < 400; ++chunk) {
        const int kind = uniform(10);  // 0: unsorted, 1: NaN, 2: -0.0, otherwise clean
        const int runs = uniform(4) == 0 ? uniform(3) : uniform(300);
        const double base = 0.25 * chunk;
        for (int r = 0; r < runs; ++r) {
            const int channel = uniform(kChannels);
            Times run;
            for (int i = uniform(4); i > 0; --i) run.push_back(base + 0.125 * uniform(12) - 0.25);
            if (!run.empty() && uniform(8) == 0) {
                run[0] = kind == 1 ? std::numeric_limits<double>::quiet_NaN() : uniform(2) ? -0.0 : 0.0;
            }
            if (kind != 0) std::sort(run.begin(), run.end());
            mergers.incoming().add(channel, run);
            mergers.accept();
            lists[static_cast<std::size_t>(channel)].push(run);
        }
        if (uniform(12) == 0) continue;  // a failed chunk: its runs wait for the next drain
        if (uniform(50) == 0) {
            mergers.clear();
            for (auto& list : lists) list.clear();
            continue;
        }
        exact += kind < 3;
        sparse += runs < 4;
        const double end = base + 0.125 * uniform(4);
        PEList expected;
        for (std::size_t c = 0; c < lists.size(); ++c) {
            Times run = lists[c].empty() ? Times{} : lists[c].take_merged();
            if (run.empty()) continue;
            const auto split = std::upper_bound(run.begin(), run.end(), end);
            if (split != run.begin()) expected.emplace_back(static_cast<int>(c), Times(run.begin(), split));
            lists[c].push(Times(split, run.end()));
        }
        ASSERT_EQ(bits_of(mergers.drain(end)), bits_of(expected)) << "chunk " << chunk;
    }
    EXPECT_GT(exact, 50);
    EXPECT_GT(sparse, 30);
}

// A run outside the array fails with the runs before it pushed; rejected runs are dropped; a clear keeps nothing.
TEST(ChannelMergers, RunsOutsideTheArrayFailRejectedRunsAreDroppedAndClearsKeepNothing) {
    ChannelMergers mergers(2);
    for (const int bad : {-1, 2}) {
        mergers.incoming().add(1, 1, 0.5);
        mergers.incoming().add(bad, 1, 0.25);
        EXPECT_THROW_MSG(mergers.accept(), std::out_of_range,
                         "Generated data for channel " + std::to_string(bad) + ", but only 2 channels in array!");
    }
    mergers.incoming().add(0, 1, 0.75);
    mergers.reject();
    mergers.incoming().add(1, 1, 0.125);
    mergers.accept();
    EXPECT_EQ(mergers.drain(1.0), (PEList{{1, {0.125, 0.5, 0.5}}}));  // channel 1 keeps an empty run
    // A clear forgets that empty run and the pushes counted: NaN then merges as in a fresh list.
    mergers.incoming().add(0, 1, 2.0);
    mergers.accept();
    mergers.clear();
    mergers.incoming().add(1, 1, 3.0);
    mergers.reject();
    AutoMergeList<double> fresh;
    for (const Times& run : {Times{0.25}, Times{std::numeric_limits<double>::quiet_NaN()}, Times{0.75}}) {
        mergers.incoming().add(1, run);
        mergers.accept();
        fresh.push(run);
    }
    EXPECT_EQ(bits_of(mergers.drain(10.0)), bits_of(PEList{{1, fresh.take_merged()}}));
}

// UID 666 fails the way a broken file would; UIDs other than 8 are unknown.
struct TableProvider : ShowerProvider {
    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long) override { return {}; }
    PEList get_pe_list(unsigned long uid) override {
        if (uid == 666) throw std::runtime_error("disk on fire");
        if (uid != 8) throw std::out_of_range("no shower " + std::to_string(uid));
        return {{9, {0.5}}, {2, {0.0, 0.25}}};
    }
};

// NPEGenerator's channel is the id's low 32 bits as a signed int; provider failures other than an
// unknown UID are wrapped with the cause nested.
TEST(Generators, NpeProviderAndGenericGeneratorsBuildTheirPELists) {
    EXPECT_EQ(NPEGenerator(1).generate({1.0, 0, (1ul << 32) + 5}), (PEList{{5, {1.0}}}));
    EXPECT_EQ(NPEGenerator(1).generate({1.0, 0, (1ul << 32) - 1}), (PEList{{-1, {1.0}}}));
    EXPECT_TRUE(NPEGenerator(0).generate({2.5, 0, 7}).empty());

    ProviderGenerator showers(std::make_unique<TableProvider>());
    EXPECT_EQ(showers.generate({-1.0, 0, 8}), (PEList{{9, {-0.5}}, {2, {-1.0, -0.75}}}));
    EXPECT_THROW_MSG(showers.generate({0.0, 0, 42}), std::out_of_range, "no shower 42");
    EXPECT_EQ(testing::thrown<std::out_of_range>([&] { showers.generate({0.0, 0, 666}); }, true),
              "Event generation failed due to unexpected exception from provider <- disk on fire");

    GenericGenerator generic;
    generic.add_generator(1, std::make_unique<NPEGenerator>(1));
    generic.add_generator(2, std::make_unique<NPEGenerator>(2));
    generic.add_generator(2, std::make_unique<NPEGenerator>(3));  // replaces the first
    EXPECT_EQ(generic.generate({1.5, 2, 3}), (PEList{{3, {1.5, 1.5, 1.5}}}));
    EXPECT_EQ(generic.generate({1.5, 1, 3}), (PEList{{3, {1.5}}}));
    EXPECT_THROW_MSG(generic.generate({1.5, 0, 3}), std::out_of_range, "No generator with type 0 available!");
}

struct ScriptedGenerator : EventGenerator {
    explicit ScriptedGenerator(std::vector<PEList> script) : script(std::move(script)) {}
    PEList generate(BackgroundEvent) override { return script.at(next++ % script.size()); }
    std::vector<PEList> script;
    std::size_t next = 0;
};
std::unique_ptr<EventGenerator> scripted(std::vector<PEList> script) {
    return std::make_unique<ScriptedGenerator>(std::move(script));
}

// NaN or an infinite mean would make the standard distributions loop without end.
TEST(AfterpulseGenerator, RefusesArgumentsOutsideTheirRangesAndDrawsFollowTheReferenceStreamAcrossEvents) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::vector<std::array<double, 4>> illegal = {
        {0.0, 1e-6, 1e-7, 1.0}, {1.5, 1e-6, 1e-7, 1.0}, {nan, 1e-6, 1e-7, 1.0}, {0.5, -1e-6, 1e-7, 1.0},
        {0.5, inf, 1e-7, 1.0},  {0.5, 1e-6, 0.0, 1.0},  {0.5, 1e-6, nan, 1.0},  {0.5, 1e-6, 1e-7, 0.0},
        {0.5, 1e-6, 1e-7, inf}};
    for (const auto& [p, mean, std_dev, npe] : illegal) {
        SCOPED_TRACE(::testing::Message() << p << " " << mean << " " << std_dev << " " << npe);
        EXPECT_THROW_MSG(AfterpulseGenerator(scripted({}), 1, p, mean, std_dev, npe), std::invalid_argument,
                         "Illegal argument passed to AfterpulseGenerator: probability, delay and number of PEs "
                         "have to be positive!");
    }
    EXPECT_NO_THROW(AfterpulseGenerator(scripted({}), 1, 1.0, 1e-6, 1e-7, 1.0));
    EXPECT_THROW_MSG(AfterpulseGenerator(scripted({}), 1, 0.5, 1e-6, 1e-7, 3e9), std::invalid_argument,
                     "Illegal argument passed to AfterpulseGenerator: num_pe_mean 3e+09 is too large!");

    // One engine: per entry a fresh binomial count and the selection, per chosen PE normal draws until
    // positive and one Poisson draw (both distributions live as long as the generator). Single-PE
    // entries flip the binomial shortcut above one half.
    const std::vector<PEList> script = {
        {{0, {1.0, 2.0, 3.0, 4.0}}, {3, {0.5}}},
        {},
        {{2, {}}, {4, {7.0, 6.0, 6.5}}, {1, {9.0, 9.0}}},
        {{5, {0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.25}}},
    };
    for (double probability : {0.45, 0.8, 1.0}) {
        AfterpulseGenerator generator(scripted(script), 77, probability, 2e-6, 3e-6, 1.2);
        std::mt19937_64 rng(77);
        std::normal_distribution<double> delay(2e-6, 3e-6);
        std::poisson_distribution<int> num_pe(1.2);
        int redraws = 0;
        std::size_t added = 0;
        for (std::size_t call = 0; call < 24; ++call) {
            PEList expected = script[call % script.size()];
            for (auto& [channel, times] : expected) {
                const int k = std::binomial_distribution<int>(static_cast<int>(times.size()), probability)(rng);
                if (times.empty()) continue;
                Times chosen;
                std::sample(times.begin(), times.end(), std::back_inserter(chosen), k, rng);
                for (double parent : chosen) {
                    double d = delay(rng);
                    for (; d <= 0; d = delay(rng)) ++redraws;
                    const auto count = static_cast<std::size_t>(num_pe(rng));
                    times.insert(times.end(), count, parent + d);
                    added += count;
                }
                std::sort(times.begin(), times.end());
            }
            ASSERT_EQ(generator.generate({0.0, 0, 0}), expected) << "p " << probability << ", call " << call;
        }
        EXPECT_GT(redraws, 0);
        EXPECT_GT(added, 20u);
    }
}

}  // namespace
}  // namespace background
