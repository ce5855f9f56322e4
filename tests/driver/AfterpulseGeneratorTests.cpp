#include <background/driver/AfterpulseGenerator.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using background::AfterpulseGenerator;
using background::BackgroundEvent;
using background::EventGenerator;
using background::PEList;

const char* const kIllegal =
    "Illegal argument passed to AfterpulseGenerator: probability, delay and number of PEs have to be positive!";

// Hands out its scripted PE lists one per call, cycling; reports its
// destruction so that ownership can be checked.
class ScriptedGenerator : public EventGenerator {
public:
    explicit ScriptedGenerator(std::vector<PEList> script, bool* destroyed = nullptr)
        : script(std::move(script)), destroyed(destroyed) {}
    ~ScriptedGenerator() override {
        if (destroyed) *destroyed = true;
    }
    PEList generate(BackgroundEvent) override {
        if (script.empty()) throw std::runtime_error("base broke");
        return script[next++ % script.size()];
    }

private:
    std::vector<PEList> script;
    std::size_t next = 0;
    bool* destroyed;
};

std::unique_ptr<EventGenerator> scripted(std::vector<PEList> script) {
    return std::make_unique<ScriptedGenerator>(std::move(script));
}

// The draws on one engine in their fixed order: per entry the binomial count, the
// selection, then per chosen PE normal draws until positive and one Poisson
// draw; the normal and Poisson distributions live as long as the generator.
class ReferenceAfterpulses {
public:
    ReferenceAfterpulses(unsigned long seed, double probability, double delay_mean, double delay_std,
                         double num_pe_mean)
        : rng(seed), probability(probability), delay(delay_mean, delay_std), num_pe(num_pe_mean) {}

    PEList apply(PEList list) {
        for (auto& entry : list) {
            std::vector<double>& times = entry.second;
            const int k = std::binomial_distribution<int>(static_cast<int>(times.size()), probability)(rng);
            if (times.empty()) continue;
            std::vector<double> chosen;
            std::sample(times.begin(), times.end(), std::back_inserter(chosen), k, rng);
            for (double parent : chosen) {
                double d = delay(rng);
                while (d <= 0) {
                    ++redraws;
                    d = delay(rng);
                }
                const int m = num_pe(rng);
                times.insert(times.end(), static_cast<std::size_t>(std::max(m, 0)), parent + d);
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

struct Parameters {
    double probability, delay_mean, delay_std, num_pe_mean;
};

class AfterpulseArguments : public ::testing::TestWithParam<Parameters> {};

TEST_P(AfterpulseArguments, AreRefusedUnlessPositiveAndFinite) {
    const auto [p, mean, std_dev, npe] = GetParam();
    EXPECT_THROW_MSG(AfterpulseGenerator(scripted({}), 1, p, mean, std_dev, npe), std::invalid_argument, kIllegal);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Illegal, AfterpulseArguments,
    ::testing::Values(Parameters{0.0, 1e-6, 1e-7, 1.0}, Parameters{-0.1, 1e-6, 1e-7, 1.0},
                      Parameters{1.5, 1e-6, 1e-7, 1.0}, Parameters{kNaN, 1e-6, 1e-7, 1.0},
                      Parameters{kInf, 1e-6, 1e-7, 1.0}, Parameters{0.5, 0.0, 1e-7, 1.0},
                      Parameters{0.5, -1e-6, 1e-7, 1.0}, Parameters{0.5, kNaN, 1e-7, 1.0},
                      Parameters{0.5, kInf, 1e-7, 1.0}, Parameters{0.5, 1e-6, 0.0, 1.0},
                      Parameters{0.5, 1e-6, -1e-7, 1.0}, Parameters{0.5, 1e-6, kNaN, 1.0},
                      Parameters{0.5, 1e-6, kInf, 1.0}, Parameters{0.5, 1e-6, 1e-7, 0.0},
                      Parameters{0.5, 1e-6, 1e-7, -2.0}, Parameters{0.5, 1e-6, 1e-7, kNaN},
                      Parameters{0.5, 1e-6, 1e-7, kInf}));

TEST(AfterpulseConstruction, AcceptsProbabilityOne) {
    EXPECT_NO_THROW(AfterpulseGenerator(scripted({}), 1, 1.0, 1e-6, 1e-7, 1.0));
}

TEST(AfterpulseConstruction, RefusalReleasesTheBaseGenerator) {
    bool destroyed = false;
    auto base = std::make_unique<ScriptedGenerator>(std::vector<PEList>{}, &destroyed);
    EXPECT_THROW(AfterpulseGenerator(std::move(base), 1, 0.0, 1e-6, 1e-7, 1.0), std::invalid_argument);
    EXPECT_TRUE(destroyed);
}

// A delay spread wider than its mean makes negative draws common, so the
// redraw loop is exercised as well; empty and unsorted entries are mixed in.
TEST(AfterpulseDraws, FollowTheFixedOrderAcrossEvents) {
    const std::vector<PEList> script = {
        {{0, {1.0, 2.0, 3.0, 4.0}}, {3, {0.5}}},
        {},
        {{2, {}}, {4, {7.0, 6.0, 6.5}}, {1, {9.0, 9.0}}},
        {{5, {0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.25}}},
    };
    AfterpulseGenerator generator(scripted(script), 77, 0.45, 2e-6, 3e-6, 1.2);
    ReferenceAfterpulses reference(77, 0.45, 2e-6, 3e-6, 1.2);
    std::size_t added = 0;
    for (int call = 0; call < 24; ++call) {
        const PEList expected = reference.apply(script[call % script.size()]);
        const PEList actual = generator.generate({0.0, 0, 0});
        ASSERT_EQ(actual, expected) << "call " << call;
        for (std::size_t e = 0; e < expected.size(); ++e) {
            added += expected[e].second.size() - script[call % script.size()][e].second.size();
        }
    }
    ASSERT_GT(reference.redraws, 0);
    ASSERT_GT(added, 20u);
}

TEST(AfterpulseDraws, ProbabilityOneChoosesEveryBasePEInOrder) {
    const PEList base = {{6, {1.0, 2.0, 3.0, 4.0, 5.0}}};
    AfterpulseGenerator generator(scripted({base}), 5, 1.0, 1e-3, 1e-4, 40.0);
    ReferenceAfterpulses reference(5, 1.0, 1e-3, 1e-4, 40.0);
    const PEList result = generator.generate({0.0, 0, 0});
    EXPECT_EQ(result, reference.apply(base));
    ASSERT_EQ(result.size(), 1u);
    // Every base PE is followed by its own group of equal afterpulse times
    // about 1 ms later; with a mean of 40 an empty group is out of reach.
    const std::vector<double>& times = result[0].second;
    for (double parent : base[0].second) {
        EXPECT_EQ(std::count(times.begin(), times.end(), parent), 1);
        const auto group = std::upper_bound(times.begin(), times.end(), parent);
        ASSERT_NE(group, times.end());
        EXPECT_GT(*group, parent);
        EXPECT_LT(*group, parent + 2e-3);
        EXPECT_GE(std::count(times.begin(), times.end(), *group), 10);
    }
}

// One PE at time t ends as [t] or as [t, t + d, ..., t + d] with one delay d > 0.
TEST(AfterpulseDraws, AllPEsOfOneAfterpulseShareOnePositiveDelay) {
    AfterpulseGenerator generator(scripted({{{0, {10.0}}}}), 99, 1.0, 1e-7, 2e-7, 1.0);
    int without = 0, with = 0;
    for (int call = 0; call < 400; ++call) {
        const std::vector<double> times = generator.generate({0.0, 0, 0}).at(0).second;
        ASSERT_EQ(times.front(), 10.0);
        if (times.size() == 1) {
            ++without;
            continue;
        }
        ++with;
        EXPECT_GT(times[1], 10.0);
        EXPECT_TRUE(std::all_of(times.begin() + 1, times.end(), [&](double t) { return t == times[1]; }));
    }
    EXPECT_GT(without, 0);
    EXPECT_GT(with, 0);
}

TEST(AfterpulseDraws, UnsortedBaseTimesComeBackSortedInTheBasesChannelOrder) {
    AfterpulseGenerator generator(scripted({{{2, {3.0, 1.0, 2.0}}, {0, {5.0, 4.0}}}}), 1, 1e-300, 1e-6, 1e-7, 1.0);
    EXPECT_EQ(generator.generate({0.0, 0, 0}), (PEList{{2, {1.0, 2.0, 3.0}}, {0, {4.0, 5.0}}}));
}

TEST(AfterpulseDraws, EmptyEntryStaysInPlaceAndEmpty) {
    const PEList base = {{5, {}}, {6, {1.0}}, {7, {}}};
    AfterpulseGenerator generator(scripted({base}), 12, 1.0, 1e-6, 1e-7, 30.0);
    ReferenceAfterpulses reference(12, 1.0, 1e-6, 1e-7, 30.0);
    const PEList result = generator.generate({0.0, 0, 0});
    EXPECT_EQ(result, reference.apply(base));
    ASSERT_EQ(result.size(), 3u);
    EXPECT_EQ(result[0], (std::pair<int, std::vector<double>>{5, {}}));
    EXPECT_EQ(result[2], (std::pair<int, std::vector<double>>{7, {}}));
    EXPECT_GT(result[1].second.size(), 1u);
}

TEST(AfterpulseDraws, EventWithoutPEsLeavesLaterDrawsUnchanged) {
    const PEList pes = {{1, {0.1, 0.2, 0.3}}};
    AfterpulseGenerator with_gap(scripted({{}, pes}), 3, 0.7, 1e-6, 5e-7, 2.0);
    AfterpulseGenerator without_gap(scripted({pes}), 3, 0.7, 1e-6, 5e-7, 2.0);
    EXPECT_TRUE(with_gap.generate({0.0, 0, 0}).empty());
    EXPECT_EQ(with_gap.generate({0.0, 0, 0}), without_gap.generate({0.0, 0, 0}));
}


TEST(AfterpulseDraws, BaseFailurePassesThrough) {
    AfterpulseGenerator generator(scripted({}), 3, 0.5, 1e-6, 5e-7, 2.0);
    EXPECT_THROW_MSG(generator.generate({0.0, 0, 0}), std::runtime_error, "base broke");
}

}  // namespace
