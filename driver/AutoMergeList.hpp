#pragma once

#include <algorithm>
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
///
/// The runs lie back to back in one buffer that is kept between drains, so
/// pushing the many tiny runs of single events allocates nothing once the
/// buffer has grown, and merging two adjacent runs needs only a copy of the
/// newer one.
template <typename T, typename Comp = std::less<T>, typename Proj = std::identity>
class AutoMergeList {
public:
    /// Appends a sorted (possibly empty) run, then merges per the schedule.
    void push(const std::vector<T>& run) {
        starts.push_back(values.size());
        if (run.size() == 1) {
            values.push_back(run.front());  // the common case of one event's one PE
        } else {
            values.insert(values.end(), run.begin(), run.end());
        }
        std::size_t count = ++push_count;
        while (count % 2 == 0) {
            merge();
            count /= 2;
        }
    }

    /// Merges the two newest runs. Precondition: at least two runs.
    void merge() {
        const std::size_t newer_start = starts.back();
        starts.pop_back();
        const std::size_t older_start = starts.back();
        const std::size_t end = values.size();
        if (older_start == newer_start || newer_start == end) return;
        // Runs that arrive in order are merged by standing side by side.
        if (comp(proj(values[newer_start - 1]), proj(values[newer_start]))) return;

        newer.assign(values.begin() + static_cast<std::ptrdiff_t>(newer_start), values.end());
        // Filled from the back: the later of two elements is the newer run's
        // only when the older run's is strictly smaller.
        std::size_t out = end;
        std::size_t o = newer_start;
        std::size_t n = newer.size();
        while (o > older_start && n > 0) {
            if (comp(proj(values[o - 1]), proj(newer[n - 1]))) {
                values[--out] = std::move(newer[--n]);
            } else {
                values[--out] = std::move(values[--o]);
            }
        }
        std::move_backward(newer.begin(), newer.begin() + static_cast<std::ptrdiff_t>(n),
                           values.begin() + static_cast<std::ptrdiff_t>(out));
    }

    /// Merges all runs into one and takes it out, leaving the list empty.
    /// Precondition: at least one run.
    std::vector<T> take_merged() {
        merge_all();
        std::vector<T> result(values.begin(), values.end());
        clear();
        return result;
    }

    /// Merges all runs, takes out every element not greater than `bound` and
    /// keeps the rest as the one run of the list (push count 1, also when
    /// nothing is left); a list whose merged run is empty is left empty. The
    /// same as take_merged() followed by a push of the remainder, without
    /// giving up the buffer. Precondition: at least one run.
    template <typename Bound>
    std::vector<T> take_merged_until(const Bound& bound) {
        merge_all();
        if (values.empty()) {
            clear();
            return {};
        }
        const auto split = std::upper_bound(values.begin(), values.end(), bound,
                                            [this](const Bound& b, const T& e) { return comp(b, proj(e)); });
        std::vector<T> due(values.begin(), split);
        values.erase(values.begin(), split);
        starts.assign(1, 0);
        push_count = 1;
        return due;
    }

    /// Releases all runs.
    void clear() {
        values.clear();
        starts.clear();
        push_count = 0;
    }

    bool empty() const { return starts.empty(); }
    std::size_t run_count() const { return starts.size(); }
    std::size_t pushes() const { return push_count; }

    /// The runs, oldest first, as copies.
    std::vector<std::vector<T>> get_runs() const {
        std::vector<std::vector<T>> runs;
        for (std::size_t i = 0; i < starts.size(); ++i) {
            const std::size_t stop = i + 1 < starts.size() ? starts[i + 1] : values.size();
            runs.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(starts[i]),
                              values.begin() + static_cast<std::ptrdiff_t>(stop));
        }
        return runs;
    }

private:
    void merge_all() {
        while (starts.size() > 1) merge();
    }

    std::vector<T> values;            // all runs, back to back, oldest first
    std::vector<std::size_t> starts;  // where each run begins in `values`
    std::vector<T> newer;             // scratch copy of the newer run while merging
    std::size_t push_count = 0;
    [[no_unique_address]] Comp comp;
    [[no_unique_address]] Proj proj;
};

}  // namespace background
