#include <background/driver/AutoMergeList.hpp>
#include <background/driver/ChannelMergers.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace background {
namespace {

using Bits = std::vector<std::pair<int, std::vector<std::uint64_t>>>;

// Compared by bit pattern, so that NaN equals NaN and -0.0 differs from 0.0.
Bits bits_of(const PEList& list) {
    Bits bits;
    for (const auto& [channel, times] : list) {
        bits.emplace_back(channel, std::vector<std::uint64_t>());
        for (double time : times) bits.back().second.push_back(std::bit_cast<std::uint64_t>(time));
    }
    return bits;
}

// The driver's drain over one AutoMergeList per channel, as specified.
PEList drain_reference(std::vector<AutoMergeList<double>>& lists, double end) {
    PEList result;
    for (std::size_t c = 0; c < lists.size(); ++c) {
        if (lists[c].empty()) continue;
        std::vector<double> run = lists[c].take_merged();
        if (run.empty()) continue;
        const auto split = std::upper_bound(run.begin(), run.end(), end);
        if (split != run.begin()) result.emplace_back(static_cast<int>(c), std::vector<double>(run.begin(), split));
        lists[c].push(std::vector<double>(split, run.end()));
    }
    return result;
}

// Chunks of few and of many PEs (both ways of grouping by channel), runs
// that are sorted, or unsorted, or hold NaN or -0.0 beside 0.0 (where the
// merge schedule shows and the runs are replayed), empty runs, chunks that
// failed before their drain, and clears: every drain must equal the one of
// a merger per channel, bit for bit.
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
            std::vector<double> run;
            for (int i = uniform(4); i > 0; --i) run.push_back(base + 0.125 * uniform(12) - 0.25);
            if (!run.empty() && uniform(8) == 0) {
                run[0] = kind == 1 ? std::numeric_limits<double>::quiet_NaN() : uniform(2) ? -0.0 : 0.0;
            }
            if (kind != 0) std::sort(run.begin(), run.end());
            mergers.incoming().add(channel, run);
            mergers.accept();
            lists[static_cast<std::size_t>(channel)].push(run);
        }
        if (uniform(12) == 0) continue;  // a chunk that failed: its runs stay for the next drain
        if (uniform(50) == 0) {
            mergers.clear();
            for (auto& list : lists) list.clear();
            continue;
        }
        exact += kind < 3;
        sparse += runs < 4;
        const double end = base + 0.125 * uniform(4);
        ASSERT_EQ(bits_of(mergers.drain(end)), bits_of(drain_reference(lists, end))) << "chunk " << chunk;
    }
    EXPECT_GT(exact, 50);
    EXPECT_GT(sparse, 30);
}

// A run on a channel outside the array fails with the run before it
// pushed; runs written but rejected (a failed generator's) are dropped.
TEST(ChannelMergers, RunsOutsideTheArrayFailAndRejectedRunsAreDropped) {
    ChannelMergers mergers(2);
    for (const int bad : {-1, 2}) {
        mergers.incoming().add(1, 1, 0.5);
        mergers.incoming().add(bad, 1, 0.25);
        EXPECT_THROW_MSG(mergers.accept(), std::out_of_range,
                         "Generated data for channel " + std::to_string(bad) + ", but only 2 channels in array!");
    }
    mergers.incoming().add(0, 1, 0.75);
    mergers.reject();
    EXPECT_EQ(mergers.drain(1.0), (PEList{{1, {0.5, 0.5}}}));
}

}  // namespace
}  // namespace background
