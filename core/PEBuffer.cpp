#include <background/core/PEBuffer.hpp>

#include <background/core/Scratch.hpp>

#include <algorithm>
#include <utility>

namespace background {

void PEBuffer::extend(std::size_t i, std::size_t count, double time) {
    Entry& grown = entries[i];
    const std::uint32_t size = checked_size(grown.size + count);
    // Only the newest times can grow in place; others move behind them first.
    if (grown.begin + grown.size != times.size()) {
        const std::size_t moved = times.size();
        times.reserve(moved + size);
        times.resize(moved + grown.size);
        std::copy_n(times.begin() + static_cast<std::ptrdiff_t>(grown.begin), grown.size,
                    times.begin() + static_cast<std::ptrdiff_t>(moved));
        grown.begin = moved;
    }
    times.insert(times.end(), count, time);
    grown.size = size;
}

void PEBuffer::append(const PEList& list) {
    for (const auto& [channel, run] : list) add(channel, run);
}

PEList PEBuffer::to_pe_list(std::size_t first) const {
    PEList list;
    list.reserve(entries.size() - std::min(first, entries.size()));
    for (std::size_t i = first; i < entries.size(); ++i) {
        const auto run = times_of(i);
        list.emplace_back(entries[i].channel, std::vector<double>(run.begin(), run.end()));
    }
    return list;
}

void PEBuffer::truncate(std::size_t count) {
    if (count >= entries.size()) return;
    entries.resize(count);
    std::size_t used = 0;
    for (const Entry& e : entries) used = std::max(used, e.begin + e.size);
    times.resize(used);
}

void PEBuffer::give_back(std::size_t needed_entries, std::size_t needed_times) {
    if (!entries.empty() || !times.empty()) return;
    give_back_scratch(entries, needed_entries);
    give_back_scratch(times, needed_times);
}

}  // namespace background
