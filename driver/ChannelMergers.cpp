#include <background/driver/ChannelMergers.hpp>

#include <background/core/Format.hpp>
#include <background/core/Scratch.hpp>
#include <background/driver/AutoMergeList.hpp>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <span>
#include <stdexcept>

namespace background {

namespace {

bool all_clean(const PEBuffer& runs, std::size_t first, std::size_t last) {
    bool clean = true;
    for (std::size_t i = first; i < last && clean; ++i) clean = ChannelMergers::is_clean(runs.times_of(i));
    return clean;
}

bool all_sorted(const PEBuffer& runs, std::size_t first, std::size_t last) {
    bool sorted = true;
    for (std::size_t i = first; i < last && sorted; ++i) sorted = ChannelMergers::is_sorted(runs.times_of(i));
    return sorted;
}

// A channel's times arrive mostly in order: event by event, with a few
// afterpulses and times held from the last chunk out of place. Insertion
// sort costs one move per pair out of order; past a budget linear in the
// length a full sort takes over.
void sort_mostly_ordered(double* first, double* last) {
    std::size_t budget = 4 * static_cast<std::size_t>(last - first) + 32;
    for (double* i = first + 1; i < last; ++i) {
        const double time = *i;
        if (!(time < i[-1])) continue;
        double* hole = i;
        do {
            *hole = hole[-1];
            --hole;
            --budget;
        } while (hole != first && time < hole[-1] && budget != 0);
        *hole = time;
        if (budget == 0) {
            std::sort(first, last);
            return;
        }
    }
}

// Below this many PEs per channel a comparison sort of all PEs beats
// passes over every channel.
constexpr std::size_t kChannelsPerPEForSorting = 16;

}  // namespace

void ChannelMergers::refuse(std::size_t entry) {
    const int channel = pushed.entry(entry).channel;
    pushed_clean = pushed_clean && all_sorted(pushed, accepted, entry);
    accepted = entry;
    pushed.truncate(entry);
    throw std::out_of_range(format("Generated data for channel {}, but only {} channels in array!", channel, channels));
}

void ChannelMergers::clear() {
    pushed.clear();
    accepted = 0;
    pushed_clean = true;
    held.clear();
    held_clean = true;
    emptied.clear();
}

PEList ChannelMergers::drain(double end) {
    pushed.truncate(accepted);
    // At least the number of times held and pushed.
    const std::size_t times = held.time_storage().size() + pushed.time_storage().size();

    PEList result;
    next_held.clear();
    next_emptied.clear();
    // The times of moved entries are still there as copies: harmless here.
    pushed_clean = pushed_clean && all_plain(pushed.time_storage());
    if (!(pushed_clean && held_clean)) {
        drain_exactly(end, result);
    } else if (times * kChannelsPerPEForSorting < channels) {
        drain_by_sorting(end, result);
    } else {
        drain_by_counting(end, result);
    }
    std::swap(held, next_held);
    pushed_clean = true;
    std::swap(emptied, next_emptied);
    give_back_storage(times);
    return result;
}

void ChannelMergers::split_off(int channel, double* first, double* last, double end, PEList& result) {
    double* const split = std::upper_bound(first, last, end);
    if (split != first) result.emplace_back(channel, std::vector<double>(first, split));
    if (split != last) {
        next_held.add(channel, std::span<const double>(split, last));
    } else if (split != first) {
        next_emptied.push_back(channel);
    }
}

void ChannelMergers::drain_by_counting(double end, PEList& result) {
    offsets.assign(channels, 0);
    for (const PEBuffer* runs : {&held, &pushed}) {
        for (std::size_t i = 0; i < runs->entry_count(); ++i) {
            const PEBuffer::Entry& e = runs->entry(i);
            offsets[static_cast<std::size_t>(e.channel)] += e.size;
        }
    }
    // Every channel with times gets its output run, sized for all of them;
    // the times later than `end` move on to the held runs afterwards.
    places.resize(channels);
    std::size_t lit = 0;
    for (std::size_t c = 0; c < channels; ++c) lit += offsets[c] != 0;
    result.reserve(lit);
    for (std::size_t c = 0; c < channels; ++c) {
        if (offsets[c] == 0) continue;
        result.emplace_back(static_cast<int>(c), std::vector<double>(offsets[c]));
        places[c] = result.back().second.data();
    }
    // Held times first: they are the earliest pushed, and mostly the earliest.
    for (const PEBuffer* runs : {&held, &pushed}) {
        for (std::size_t i = 0; i < runs->entry_count(); ++i) {
            const auto run = runs->times_of(i);
            double*& place = places[static_cast<std::size_t>(runs->entry(i).channel)];
            if (run.size() == 1) {
                *place++ = run[0];  // most runs: one dark count
            } else {
                for (double time : run) *place++ = time;
            }
        }
    }

    bool emptied_any = false;
    for (auto& [channel, times] : result) {
        sort_mostly_ordered(times.data(), times.data() + times.size());
        const auto split = std::upper_bound(times.begin(), times.end(), end);
        if (split == times.end()) {
            next_emptied.push_back(channel);
            continue;
        }
        next_held.add(channel, std::span<const double>(&*split, static_cast<std::size_t>(times.end() - split)));
        times.erase(split, times.end());
        emptied_any = emptied_any || times.empty();
    }
    if (emptied_any) std::erase_if(result, [](const auto& entry) { return entry.second.empty(); });
}

void ChannelMergers::drain_by_sorting(double end, PEList& result) {
    pairs.clear();
    for (const PEBuffer* runs : {&held, &pushed}) {
        for (std::size_t i = 0; i < runs->entry_count(); ++i) {
            for (double time : runs->times_of(i)) pairs.emplace_back(runs->entry(i).channel, time);
        }
    }
    std::sort(pairs.begin(), pairs.end());

    grouped.resize(pairs.size());
    std::transform(pairs.begin(), pairs.end(), grouped.begin(), [](const auto& pe) { return pe.second; });
    for (std::size_t begin = 0; begin < pairs.size();) {
        const int channel = pairs[begin].first;
        std::size_t stop = begin + 1;
        while (stop < pairs.size() && pairs[stop].first == channel) ++stop;
        split_off(channel, grouped.data() + begin, grouped.data() + stop, end, result);
        begin = stop;
    }
}

// Pushes every run into a real merger per channel, as the mergers would have
// received them: first the run a channel kept (an empty one if it handed out
// all it had), then the pushed runs in order.
void ChannelMergers::drain_exactly(double end, PEList& result) {
    std::map<int, AutoMergeList<double>> lists;
    for (std::size_t i = 0; i < held.entry_count(); ++i) {
        const auto run = held.times_of(i);
        lists[held.entry(i).channel].push(std::vector<double>(run.begin(), run.end()));
    }
    for (int channel : emptied) lists[channel].push({});
    for (std::size_t i = 0; i < pushed.entry_count(); ++i) {
        const auto run = pushed.times_of(i);
        lists[pushed.entry(i).channel].push(std::vector<double>(run.begin(), run.end()));
    }
    for (auto& [channel, list] : lists) {
        std::vector<double> run = list.take_merged();
        split_off(channel, run.data(), run.data() + run.size(), end, result);
    }
    held_clean = all_clean(next_held, 0, next_held.entry_count());
}

void ChannelMergers::give_back_storage(std::size_t times) {
    const std::size_t entries = pushed.entry_count();
    pushed.clear();
    accepted = 0;
    pushed.give_back(entries, times);
    next_held.clear();
    next_held.give_back(held.entry_count(), held.time_storage().size());
    give_back_scratch(grouped, times);
    give_back_scratch(pairs, times);
}

}  // namespace background
