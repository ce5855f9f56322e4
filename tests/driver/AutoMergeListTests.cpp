#include <background/driver/AutoMergeList.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <random>
#include <utility>
#include <vector>

namespace background {
namespace {

using Times = std::vector<double>;

// A tag beside the key shows where equal keys end up.
using Tagged = std::pair<double, int>;
struct KeyOf {
    double operator()(const Tagged& element) const { return element.first; }
};
using TaggedList = AutoMergeList<Tagged, std::less<double>, KeyOf>;

// With single-element pushes a run's size is the number of pushes merged into
// it, so after k pushes the sizes are the 1 bits of k, largest (oldest) first.
TEST(AutoMergeList, RunSizesFollowTheBinaryDigitsOfThePushCount) {
    AutoMergeList<double> list;
    for (std::size_t k = 1; k <= 70; ++k) {
        list.push({static_cast<double>(100 - k)});
        std::vector<std::size_t> expected, actual;
        for (std::size_t bit = std::size_t{1} << 10; bit > 0; bit /= 2) {
            if (k & bit) expected.push_back(bit);
        }
        for (const Times& run : list.get_runs()) {
            actual.push_back(run.size());
            ASSERT_TRUE(std::is_sorted(run.begin(), run.end()));
        }
        ASSERT_EQ(actual, expected) << "after " << k << " pushes";
    }
    // An empty run is a push like any other: 71 pushes leave runs 64, 4, 2, 1.
    list.push({});
    EXPECT_EQ(list.run_count(), 4u);
    EXPECT_EQ(list.take_merged().size(), 70u);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.pushes(), 0u);
}

// Every merge, scheduled or final, puts the newer run's element first on
// ties, so equal keys leave take_merged newest push first.
TEST(AutoMergeList, TakeMergedSortsWithTheNewerRunFirstOnTies) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> length(0, 6), key(0, 20);
    for (int pushes = 1; pushes <= 140; pushes += 7) {
        TaggedList list;
        std::vector<Tagged> all;
        for (int p = 0; p < pushes; ++p) {
            std::vector<Tagged> run;
            for (int i = length(rng); i > 0; --i) run.emplace_back(key(rng) * 0.25, p);
            std::sort(run.begin(), run.end());
            all.insert(all.end(), run.begin(), run.end());
            list.push(run);
        }
        std::sort(all.begin(), all.end(), [](const Tagged& a, const Tagged& b) {
            return a.first < b.first || (a.first == b.first && a.second > b.second);
        });
        EXPECT_EQ(list.take_merged(), all) << pushes << " pushes";
    }
}

}  // namespace
}  // namespace background
