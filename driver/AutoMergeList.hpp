#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace background {

/// A list of sorted runs that merges its newest runs on a binary-counter
/// schedule as runs are pushed: with k pushes it holds one run per 1 bit of
/// k, oldest first, so there are O(log k) runs and each element is merged at
/// most once per bit level. Merging two runs puts the newer run's element
/// first on ties.
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

    /// Merges the two newest runs. Precondition: at least two runs.
    void merge() {
        std::vector<T> newer = std::move(runs.back());
        runs.pop_back();
        std::vector<T>& older = runs.back();
        std::vector<T> merged;
        merged.reserve(older.size() + newer.size());
        auto o = older.begin();
        auto n = newer.begin();
        while (o != older.end() && n != newer.end()) {
            if (comp(proj(*o), proj(*n))) {
                merged.push_back(std::move(*o++));
            } else {
                merged.push_back(std::move(*n++));
            }
        }
        merged.insert(merged.end(), std::make_move_iterator(n), std::make_move_iterator(newer.end()));
        merged.insert(merged.end(), std::make_move_iterator(o), std::make_move_iterator(older.end()));
        older = std::move(merged);
    }

    /// Merges all runs into one and takes it out, leaving the list empty.
    /// Precondition: at least one run.
    std::vector<T> take_merged() {
        while (runs.size() > 1) merge();
        std::vector<T> result = std::move(runs.front());
        clear();
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
    std::vector<std::vector<T>> runs;  // oldest first
    std::size_t push_count = 0;
    [[no_unique_address]] Comp comp;
    [[no_unique_address]] Proj proj;
};

}  // namespace background
