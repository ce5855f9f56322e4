#pragma once

#include <background/core/PEBuffer.hpp>
#include <background/core/PEList.hpp>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace background {

/// The run mergers of all channels of an array in a few flat buffers: what
/// they hand out is exactly what one AutoMergeList<double> per channel would,
/// tie order included, at a cost that grows with the PEs rather than with
/// the pushes or the channels.
///
/// Runs are pushed by writing them into incoming() and accepting them. When
/// every run held and pushed is sorted and holds neither NaN nor -0.0 (the
/// only case in which the merge schedule could show), each channel's merged
/// run is simply its times in ascending order, however they were pushed, and
/// a counting sort by channel followed by a sort of each channel's mostly
/// ordered times finds it. Otherwise the runs are replayed through one
/// AutoMergeList per channel concerned.
class ChannelMergers {
public:
    explicit ChannelMergers(std::size_t channels) : channels(channels) {}

    std::size_t channel_count() const { return channels; }

    /// Where the generators write the runs of the next push.
    PEBuffer& incoming() { return pushed; }

    /// Pushes every run written into incoming() since the last accept() or
    /// reject(), in order. A run on a channel outside the array throws
    /// std::out_of_range; the runs before it stay pushed.
    void accept() {
        const std::size_t count = pushed.entry_count();
        bool clean = pushed_clean;
        for (std::size_t i = accepted; i < count; ++i) {
            const PEBuffer::Entry& e = pushed.entry(i);
            if (e.channel < 0 || static_cast<std::size_t>(e.channel) >= channels) refuse(i);
            // NaN and -0.0 are looked for in all times at once by drain().
            if (e.size > 1) clean = clean && is_sorted(pushed.times_of(i));
        }
        pushed_clean = clean;
        accepted = count;
    }

    /// Forgets the runs written into incoming() since the last accept().
    void reject() { pushed.truncate(accepted); }

    /// Merges each channel's runs and hands out every time not later than
    /// `end`, channels ascending; the later times stay as the channel's run.
    PEList drain(double end);

    /// Releases every run.
    void clear();

    /// Whether `run` is sorted and free of NaN and -0.0.
    //
    // Merging sorted runs and putting the newer run's element first on ties
    // yields the times in ascending order, equal times newest push first.
    // Equal times differ in their bits only as -0.0 and +0.0, so without
    // -0.0 (and without NaN, which has no place in an order) that is the
    // ascending order of the times, whatever the runs and pushes were.
    static bool is_clean(std::span<const double> run) { return is_sorted(run) && all_plain(run); }

    /// Whether `run` is ascending; NaN counts as out of order.
    static bool is_sorted(std::span<const double> run) {
        for (std::size_t i = 1; i < run.size(); ++i) {
            if (!(run[i - 1] <= run[i])) return false;
        }
        return true;
    }

    /// Whether every time of `run` is a number other than -0.0.
    static bool all_plain(std::span<const double> run) {
        bool plain = true;
        for (double time : run) {
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(time);
            plain &= (bits & ~kSign) <= kInfinity && bits != kSign;
        }
        return plain;
    }

private:
    static constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
    static constexpr std::uint64_t kInfinity = 0x7ff0000000000000ull;

    [[noreturn]] void refuse(std::size_t entry);
    void drain_by_counting(double end, PEList& result);
    void drain_by_sorting(double end, PEList& result);
    void drain_exactly(double end, PEList& result);
    void split_off(int channel, double* first, double* last, double end, PEList& result);
    void give_back_storage(std::size_t times);

    std::size_t channels;
    PEBuffer pushed;            // runs pushed since the last drain, in push order
    std::size_t accepted = 0;   // entries of `pushed` that count as pushed
    bool pushed_clean = true;   // every accepted run sorted, without NaN or -0.0
    PEBuffer held;              // the non-empty runs the channels kept, channels ascending
    bool held_clean = true;
    std::vector<int> emptied;  // channels that handed out all they had: they keep an empty run
    PEBuffer next_held;        // scratch for the next `held` and `emptied`
    std::vector<int> next_emptied;
    std::vector<std::size_t> offsets;  // scratch of the counting sort, one per channel
    std::vector<double*> places;       // scratch: where each channel's next time goes
    std::vector<double> grouped;         // scratch: all times, grouped by channel
    std::vector<std::pair<int, double>> pairs;  // scratch: (channel, time) of few PEs over many channels
};

}  // namespace background
