#include <background/driver/AutoMergeList.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <functional>
#include <random>
#include <utility>
#include <vector>

namespace {

using background::AutoMergeList;
using Times = std::vector<double>;
using TimeList = AutoMergeList<double, std::less<double>, std::identity>;

// Elements that carry a tag beside their key show where equal keys end up.
using Tagged = std::pair<double, int>;
struct KeyOf {
    double operator()(const Tagged& element) const { return element.first; }
};
using TaggedList = AutoMergeList<Tagged, std::less<double>, KeyOf>;

std::vector<std::size_t> run_sizes(const TimeList& list) {
    std::vector<std::size_t> sizes;
    for (const auto& run : list.get_runs()) sizes.push_back(run.size());
    return sizes;
}

TEST(AutoMergeListSchedule, ThreePushesLeaveTheMergedPairAndTheNewestRun) {
    TimeList list;
    list.push({3.0});
    list.push({1.0});
    list.push({2.0});
    ASSERT_EQ(list.run_count(), 2u);
    EXPECT_EQ(list.get_runs()[0], (Times{1.0, 3.0}));
    EXPECT_EQ(list.get_runs()[1], (Times{2.0}));
    EXPECT_EQ(list.pushes(), 3u);
    EXPECT_EQ(list.take_merged(), (Times{1.0, 2.0, 3.0}));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.pushes(), 0u);
}

// With single-element pushes a run's size is the number of pushes it holds,
// so the sizes spell out the push count in binary, largest (oldest) first.
TEST(AutoMergeListSchedule, RunsFollowTheBinaryDigitsOfThePushCount) {
    TimeList list;
    for (std::size_t k = 1; k <= 70; ++k) {
        list.push({static_cast<double>(k)});
        std::vector<std::size_t> expected;
        for (int bit = 63; bit >= 0; --bit) {
            if (k & (std::size_t{1} << bit)) expected.push_back(std::size_t{1} << bit);
        }
        ASSERT_EQ(run_sizes(list), expected) << "after " << k << " pushes";
        ASSERT_EQ(list.pushes(), k);
    }
}

TEST(AutoMergeListSchedule, EmptyRunsCountAsPushes) {
    TimeList list;
    list.push({});
    EXPECT_EQ(list.run_count(), 1u);
    list.push({4.0});
    EXPECT_EQ(list.run_count(), 1u);
    EXPECT_EQ(list.pushes(), 2u);
    list.push({});
    EXPECT_EQ(run_sizes(list), (std::vector<std::size_t>{1, 0}));
    EXPECT_EQ(list.take_merged(), (Times{4.0}));
}

TEST(AutoMergeListSchedule, RemainderPushedBackAfterTakeMergesWithTheNextPush) {
    TimeList list;
    list.push({1.0, 5.0});
    list.push({2.0});
    Times merged = list.take_merged();
    list.push(Times(merged.begin() + 1, merged.end()));
    EXPECT_EQ(list.run_count(), 1u);
    EXPECT_EQ(list.pushes(), 1u);
    list.push({3.0});
    ASSERT_EQ(list.run_count(), 1u);
    EXPECT_EQ(list.get_runs()[0], (Times{2.0, 3.0, 5.0}));
}

TEST(AutoMergeListSchedule, ClearStartsTheCountOver) {
    TimeList list;
    for (int i = 0; i < 3; ++i) list.push({double(i)});
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.pushes(), 0u);
    list.push({9.0});
    list.push({8.0});
    EXPECT_EQ(run_sizes(list), (std::vector<std::size_t>{2}));
    EXPECT_EQ(list.take_merged(), (Times{8.0, 9.0}));
}


TEST(AutoMergeListTies, NewerRunsElementComesFirst) {
    TaggedList list;
    list.push({{1.0, 0}, {2.0, 0}});
    list.push({{2.0, 1}, {5.0, 1}});
    EXPECT_EQ(list.take_merged(), (std::vector<Tagged>{{1.0, 0}, {2.0, 1}, {2.0, 0}, {5.0, 1}}));
}

// Every merge, scheduled or final, puts the newer run first on ties, so equal
// keys come out newest push first whatever the push count.
TEST(AutoMergeListTies, EqualKeysComeOutInReversePushOrder) {
    for (int pushes = 1; pushes <= 13; ++pushes) {
        TaggedList list;
        for (int tag = 0; tag < pushes; ++tag) list.push({{0.5, tag}, {1.0, tag}});
        std::vector<Tagged> expected;
        for (double key : {0.5, 1.0}) {
            for (int tag = pushes - 1; tag >= 0; --tag) expected.emplace_back(key, tag);
        }
        EXPECT_EQ(list.take_merged(), expected) << pushes << " pushes";
    }
}


// Many random runs: the result is every pushed element in sorted order, with
// ties in reverse push order, and the run count stays the push count's bits.
TEST(AutoMergeListRandomised, TakeMergedEqualsAStableSortNewestFirst) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> length(0, 6);
    std::uniform_int_distribution<int> key(0, 20);
    for (int round = 0; round < 20; ++round) {
        TaggedList list;
        std::vector<Tagged> all;
        const int pushes = 1 + round * 7;
        for (int p = 0; p < pushes; ++p) {
            std::vector<Tagged> run;
            for (int i = length(rng); i > 0; --i) run.emplace_back(key(rng) * 0.25, p);
            std::stable_sort(run.begin(), run.end(),
                             [](const Tagged& a, const Tagged& b) { return a.first < b.first; });
            all.insert(all.end(), run.begin(), run.end());
            list.push(run);
            ASSERT_EQ(list.run_count(), static_cast<std::size_t>(std::popcount(static_cast<unsigned>(p + 1))));
        }
        std::stable_sort(all.begin(), all.end(), [](const Tagged& a, const Tagged& b) {
            return a.first < b.first || (a.first == b.first && a.second > b.second);
        });
        EXPECT_EQ(list.take_merged(), all) << "round " << round;
    }
}

}  // namespace
