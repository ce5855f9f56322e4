#include <background/driver/AfterpulseGenerator.hpp>
#include <background/driver/NPEGenerator.hpp>
#include <background/driver/ProviderGenerator.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

// Shower 8 has PEs on two channels; UID 666 fails the way a broken file
// would, and every other UID is unknown.
class TableProvider : public ShowerProvider {
public:
    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long) override { return {}; }
    PEList get_pe_list(unsigned long uid) override {
        if (uid == 8) return {{9, {0.5}}, {2, {0.0, 0.25}}};
        if (uid == 666) throw std::runtime_error("disk on fire");
        throw std::out_of_range("no shower " + std::to_string(uid));
    }
};

// The channel is the id's low 32 bits read as a signed int; no PEs means no entry.
TEST(NPEGenerator, PutsNumPeCopiesOfTheEventTimeOnTheIdsChannel) {
    EXPECT_EQ(NPEGenerator(3).generate({2.5, 0, 7}), (PEList{{7, {2.5, 2.5, 2.5}}}));
    EXPECT_EQ(NPEGenerator(1).generate({1.0, 0, (1ul << 32) + 5}), (PEList{{5, {1.0}}}));
    EXPECT_EQ(NPEGenerator(1).generate({1.0, 0, (1ul << 32) - 1}), (PEList{{-1, {1.0}}}));
    EXPECT_TRUE(NPEGenerator(0).generate({2.5, 0, 7}).empty());
}

// An unknown UID keeps the provider's message; any other failure is wrapped
// with the cause nested, so callers need to catch one type only.
TEST(ProviderGenerator, ShiftsTheShowersPEsToTheEventTimeAndReportsFailuresAsOutOfRange) {
    ProviderGenerator generator(std::make_unique<TableProvider>());
    EXPECT_EQ(generator.generate({-1.0, 0, 8}), (PEList{{9, {-0.5}}, {2, {-1.0, -0.75}}}));
    EXPECT_THROW_MSG(generator.generate({0.0, 0, 42}), std::out_of_range, "no shower 42");
    try {
        generator.generate({0.0, 0, 666});
        ADD_FAILURE() << "nothing thrown";
    } catch (const std::out_of_range& outer) {
        EXPECT_STREQ(outer.what(), "Event generation failed due to unexpected exception from provider");
        EXPECT_EQ(testing::nested_message(outer), "disk on fire");
    }
}

// Hands out its scripted PE lists one per call, cycling.
struct ScriptedGenerator : EventGenerator {
    explicit ScriptedGenerator(std::vector<PEList> script) : script(std::move(script)) {}
    PEList generate(BackgroundEvent) override { return script.at(next++ % script.size()); }
    std::vector<PEList> script;
    std::size_t next = 0;
};
std::unique_ptr<EventGenerator> scripted(std::vector<PEList> script) {
    return std::make_unique<ScriptedGenerator>(std::move(script));
}

// The draws on one engine in their fixed order: per entry a fresh binomial
// count, the selection, then per chosen PE normal draws until positive and one
// Poisson draw; the normal and Poisson distributions live as long as the generator.
class ReferenceAfterpulses {
public:
    ReferenceAfterpulses(unsigned long seed, double probability, double delay_mean, double delay_std,
                         double num_pe_mean)
        : rng(seed), probability(probability), delay(delay_mean, delay_std), num_pe(num_pe_mean) {}

    PEList apply(PEList list) {
        for (auto& [channel, times] : list) {
            const int k = std::binomial_distribution<int>(static_cast<int>(times.size()), probability)(rng);
            if (times.empty()) continue;
            std::vector<double> chosen;
            std::sample(times.begin(), times.end(), std::back_inserter(chosen), k, rng);
            for (double parent : chosen) {
                double d = delay(rng);
                for (; d <= 0; d = delay(rng)) ++redraws;
                times.insert(times.end(), static_cast<std::size_t>(num_pe(rng)), parent + d);
            }
            std::sort(times.begin(), times.end());
        }
        return list;
    }

    int redraws = 0;

private:
    std::mt19937_64 rng;
    double probability;
    std::normal_distribution<double> delay;
    std::poisson_distribution<int> num_pe;
};

// Probability in (0, 1], every other parameter positive and finite: NaN or an
// infinite mean would make the standard distributions loop without end.
TEST(AfterpulseGenerator, RefusesArgumentsOutsideTheirRanges) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
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
    // The PE count of an afterpulse is an int: a mean near its limit is refused.
    EXPECT_THROW_MSG(AfterpulseGenerator(scripted({}), 1, 0.5, 1e-6, 1e-7, 3e9), std::invalid_argument,
                     "Illegal argument passed to AfterpulseGenerator: num_pe_mean 3e+09 is too large!");
}

// A delay spread wider than its mean makes negative draws common, so the
// redraw loop is exercised; events without PEs and empty, unsorted and
// single-PE entries are mixed in, and several entries per event make
// afterpulses grow entries that are not the newest.
TEST(AfterpulseGenerator, DrawsFollowTheReferenceStreamAcrossEvents) {
    const std::vector<PEList> script = {
        {{0, {1.0, 2.0, 3.0, 4.0}}, {3, {0.5}}},
        {},
        {{2, {}}, {4, {7.0, 6.0, 6.5}}, {1, {9.0, 9.0}}},
        {{5, {0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.25}}},
    };
    // Single-PE entries take a shortcut of the binomial draw, which flips
    // its result for probabilities above one half.
    for (double probability : {0.45, 0.8}) {
        AfterpulseGenerator generator(scripted(script), 77, probability, 2e-6, 3e-6, 1.2);
        ReferenceAfterpulses reference(77, probability, 2e-6, 3e-6, 1.2);
        std::size_t added = 0;
        for (std::size_t call = 0; call < 24; ++call) {
            const PEList& base = script[call % script.size()];
            const PEList expected = reference.apply(base);
            ASSERT_EQ(generator.generate({0.0, 0, 0}), expected) << "p " << probability << ", call " << call;
            for (std::size_t e = 0; e < expected.size(); ++e) added += expected[e].second.size() - base[e].second.size();
        }
        EXPECT_GT(reference.redraws, 0);
        EXPECT_GT(added, 20u);
    }
}

// With probability 1 the selection takes every PE in order, and each gets its
// own group of equal times about 1 ms later (a mean of 40 leaves none empty).
TEST(AfterpulseGenerator, ProbabilityOneChoosesEveryBasePEInOrder) {
    const PEList base = {{6, {1.0, 2.0, 3.0, 4.0, 5.0}}};
    AfterpulseGenerator generator(scripted({base}), 5, 1.0, 1e-3, 1e-4, 40.0);
    const PEList result = generator.generate({0.0, 0, 0});
    EXPECT_EQ(result, ReferenceAfterpulses(5, 1.0, 1e-3, 1e-4, 40.0).apply(base));
    ASSERT_EQ(result.size(), 1u);
    const std::vector<double>& times = result[0].second;
    for (double parent : base[0].second) {
        const auto group = std::upper_bound(times.begin(), times.end(), parent);
        ASSERT_NE(group, times.end());
        EXPECT_LT(*group, parent + 2e-3);
        EXPECT_GE(std::count(times.begin(), times.end(), *group), 10);
    }
}

// With a negligible probability nothing is added, yet each entry comes back
// sorted and an empty one keeps its place.
TEST(AfterpulseGenerator, EntriesComeBackSortedAndEmptyOnesStay) {
    AfterpulseGenerator generator(scripted({{{2, {3.0, 1.0, 2.0}}, {5, {}}, {0, {5.0, 4.0}}}}), 1, 1e-300, 1e-6,
                                  1e-7, 1.0);
    EXPECT_EQ(generator.generate({0.0, 0, 0}), (PEList{{2, {1.0, 2.0, 3.0}}, {5, {}}, {0, {4.0, 5.0}}}));
}

}  // namespace
}  // namespace background
