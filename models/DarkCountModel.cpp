#include <background/models/DarkCountModel.hpp>

#include <background/core/Format.hpp>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

namespace background {

class DarkCountModel::Impl {
public:
    Impl(double rate, unsigned long num_channels, unsigned long seed, int gen_type)
        : rate(rate), num_channels(num_channels), rng(seed), gen_type(gen_type) {}

    double rate;
    unsigned long num_channels;
    std::mt19937_64 rng;
    int gen_type;
};

namespace {

bool earlier(const BackgroundEvent& a, const BackgroundEvent& b) { return a.time < b.time; }

// The times are uniform in [begin, begin + span), so a bucket sort with one
// bucket per event needs expected linear time where a comparison sort of the
// whole interval would dominate the cost of sampling.
void sort_by_time(std::vector<BackgroundEvent>& events, double begin, double span) {
    const std::size_t n = events.size();
    if (n < 64 || n >= std::numeric_limits<std::uint32_t>::max() || !(span > 0)) {
        std::sort(events.begin(), events.end(), earlier);
        return;
    }
    const double scale = static_cast<double>(n) / span;
    auto bucket_of = [&](const BackgroundEvent& event) {
        const double position = (event.time - begin) * scale;
        if (!(position > 0)) return std::size_t{0};
        return std::min(static_cast<std::size_t>(position), n - 1);
    };
    std::vector<std::uint32_t> starts(n + 1, 0);
    for (const BackgroundEvent& event : events) ++starts[bucket_of(event) + 1];
    for (std::size_t b = 0; b < n; ++b) starts[b + 1] += starts[b];
    std::vector<BackgroundEvent> sorted(n);
    std::vector<std::uint32_t> fill(starts.begin(), starts.end() - 1);
    for (const BackgroundEvent& event : events) sorted[fill[bucket_of(event)]++] = event;
    for (std::size_t b = 0; b < n; ++b) {
        std::sort(sorted.begin() + starts[b], sorted.begin() + starts[b + 1], earlier);
    }
    events = std::move(sorted);
}

}  // namespace

DarkCountModel::DarkCountModel(double rate, unsigned long num_channels, unsigned long seed, int gen_type) {
    // Channels are numbered by int; a larger count (a negative setting
    // sign-extended) could never be sampled.
    if (num_channels > static_cast<unsigned long>(std::numeric_limits<int>::max())) {
        throw std::invalid_argument(format("DarkCountModel cannot serve {} channels!", num_channels));
    }
    impl = std::make_unique<Impl>(rate, num_channels, seed, gen_type);
}

DarkCountModel::~DarkCountModel() = default;

std::vector<BackgroundEvent> DarkCountModel::sample(double begin, double end) {
    std::vector<BackgroundEvent> events;
    const double span = end - begin;
    const double mean = impl->rate * span;
    // A mean of zero or below has no events. The draw is skipped rather than
    // made, since the Poisson distribution is undefined there.
    if (!(mean > 0) || impl->num_channels == 0) return events;
    // The count is an int; a mean beyond that (or infinite) would make the
    // Poisson draw overflow or never finish.
    if (!(mean < static_cast<double>(std::numeric_limits<int>::max()) / 2)) {
        throw std::invalid_argument(
            format("Dark-count mean of {} events per channel in [{}, {}) is too large!", mean, begin, end));
    }

    // One distribution for all channels of this call: its state carries over
    // from one channel to the next, which the reproducible stream relies on.
    std::poisson_distribution<int> count(mean);
    events.reserve(static_cast<std::size_t>(mean * static_cast<double>(impl->num_channels) * 1.1) + 16);
    for (unsigned long channel = 0; channel < impl->num_channels; ++channel) {
        const int k = count(impl->rng);
        for (int i = 0; i < k; ++i) {
            // What std::uniform_real_distribution<double>(begin, end) computes,
            // without its requirement that begin <= end.
            const double u = std::generate_canonical<double, std::numeric_limits<double>::digits>(impl->rng);
            events.push_back(BackgroundEvent{u * span + begin, impl->gen_type, channel});
        }
    }
    sort_by_time(events, begin, span);
    return events;
}

}  // namespace background
