#pragma once

#include <background/core/PEList.hpp>

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace background {

/// The PE lists of many events back to back in two flat arrays that keep
/// their storage from one use to the next, so that generators add PEs
/// without an allocation per event. Entry i puts the times
/// [entry(i).begin, entry(i).end) of the buffer on channel entry(i).channel;
/// entries keep the order in which they were added, like the pairs of a PE
/// list.
class PEBuffer {
public:
    struct Entry {
        int channel;
        std::uint32_t size;
        std::size_t begin;
    };

    std::size_t entry_count() const { return entries.size(); }
    const Entry& entry(std::size_t i) const { return entries[i]; }
    std::span<double> times_of(std::size_t i) { return {times.data() + entries[i].begin, entries[i].size}; }
    std::span<const double> times_of(std::size_t i) const {
        return {times.data() + entries[i].begin, entries[i].size};
    }

    /// Adds an entry of `count` copies of `time` on `channel`.
    void add(int channel, std::size_t count, double time) {
        entries.push_back({channel, checked_size(count), times.size()});
        if (count == 1) {
            times.push_back(time);  // the one PE of most events
        } else {
            times.insert(times.end(), count, time);
        }
    }

    /// Adds an entry holding `run` on `channel`.
    void add(int channel, std::span<const double> run) {
        entries.push_back({channel, checked_size(run.size()), times.size()});
        times.insert(times.end(), run.begin(), run.end());
    }

    /// Adds `count` copies of `time` to the times of entry `i`.
    void extend(std::size_t i, std::size_t count, double time);

    /// Adds the pairs of `list` as entries, in order.
    void append(const PEList& list);

    /// The entries from `first` on as a PE list.
    PEList to_pe_list(std::size_t first = 0) const;

    /// Drops the entries from `count` on.
    void truncate(std::size_t count);

    /// Drops every entry; the storage is kept.
    void clear() {
        entries.clear();
        times.clear();
    }

    /// Gives the storage of an empty buffer back when it is far larger than
    /// `needed_entries` entries and `needed_times` times call for.
    void give_back(std::size_t needed_entries, std::size_t needed_times);

    /// Every time held, including copies left behind by moved entries.
    std::span<const double> time_storage() const { return times; }

private:
    // Entries stay small for the many single PEs; no entry could hold 2^32
    // times in memory anyway.
    static std::uint32_t checked_size(std::size_t size) {
        if (size > UINT32_MAX) throw std::length_error("PE list entry too long");
        return static_cast<std::uint32_t>(size);
    }

    std::vector<Entry> entries;
    std::vector<double> times;
};

}  // namespace background
