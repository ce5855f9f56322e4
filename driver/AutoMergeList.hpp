#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace background {

/// A list of sorted runs that merges its newest runs on a binary-counter
/// schedule as runs are pushed: with k pushes it holds one run per 1 bit of
/// k, so there are O(log k) runs and each element is merged at most once per
/// bit level before the runs are taken out as one.
template <typename T, typename Comp = std::less<T>, typename Proj = std::identity>
class AutoMergeList {
public:
    /// Appends a sorted (possibly empty) run, then merges per the schedule.
    void push(std::vector<T> run) {
        runs.push_back(std::move(run));
        std::size_t count = ++push_count;
        while (count % 2 == 0) {
            merge();
            count /= 2;
        }
    }

    /// Merges the two newest runs; on ties the newer run's element comes first.
    void merge() {
        std::vector<T> newer = std::move(runs.back());
        runs.pop_back();
        std::vector<T>& older = runs.back();
        if (newer.empty()) return;
        if (older.empty()) {
            older = std::move(newer);
            return;
        }

        // Runs are mostly tiny and pushed one event at a time, so the older
        // run grows geometrically and is merged into from the back: most
        // merges then allocate nothing.
        const std::size_t old_size = older.size();
        const std::size_t total = old_size + newer.size();
        if (older.capacity() < total) older.reserve(std::max(total, 2 * older.capacity()));
        older.resize(total);

        auto out = older.end();
        auto o = older.begin() + static_cast<std::ptrdiff_t>(old_size);
        auto n = newer.end();
        // Walking backwards, the later of two elements is the newer one only
        // when the older one is strictly smaller; that keeps ties newer-first.
        while (o != older.begin() && n != newer.begin()) {
            if (comp(proj(*(o - 1)), proj(*(n - 1)))) {
                *--out = std::move(*--n);
            } else {
                *--out = std::move(*--o);
            }
        }
        std::move_backward(newer.begin(), n, out);
    }

    /// Merges all runs into one and takes it out, leaving the list empty.
    std::vector<T> take_merged() {
        while (runs.size() > 1) merge();
        std::vector<T> result = std::move(runs.back());
        runs.clear();
        push_count = 0;
        return result;
    }

    /// Releases all runs.
    void clear() {
        runs.clear();
        push_count = 0;
    }

    bool empty() const { return runs.empty(); }
    std::size_t run_count() const { return runs.size(); }
    std::size_t pushes() const { return push_count; }
    const std::vector<std::vector<T>>& get_runs() const { return runs; }

private:
    std::vector<std::vector<T>> runs;
    std::size_t push_count = 0;
    [[no_unique_address]] Comp comp;
    [[no_unique_address]] Proj proj;
};

}  // namespace background
