#include <background/models/DarkCountModel.hpp>

#include <background/core/Format.hpp>
#include <background/core/Random.hpp>
#include <background/core/Scratch.hpp>

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
    MersenneTwister64 rng;
    int gen_type;
    // Kept between calls so that sampling allocates only its result.
    std::vector<BackgroundEvent> drawn;
    std::vector<std::uint32_t> bucket;
    std::vector<std::uint32_t> fill;
};

namespace {

bool earlier(const BackgroundEvent& a, const BackgroundEvent& b) { return a.time < b.time; }

// The times are uniform in [begin, begin + span), so a bucket sort with one
// bucket per event needs expected linear time where a comparison sort of the
// whole interval would dominate the cost of sampling. After the scatter only
// neighbours within a bucket can be out of order, which one insertion pass
// mends.
std::vector<BackgroundEvent> sort_by_time(const std::vector<BackgroundEvent>& events, double begin, double span,
                                          std::vector<std::uint32_t>& bucket, std::vector<std::uint32_t>& fill) {
    const std::size_t n = events.size();
    if (n < 64 || n >= std::numeric_limits<std::uint32_t>::max() || !(span > 0)) {
        std::vector<BackgroundEvent> sorted = events;
        std::sort(sorted.begin(), sorted.end(), earlier);
        return sorted;
    }
    const double scale = static_cast<double>(n) / span;
    bucket.resize(n);
    fill.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const double position = (events[i].time - begin) * scale;
        const std::size_t b = position > 0 ? std::min(static_cast<std::size_t>(position), n - 1) : 0;
        bucket[i] = static_cast<std::uint32_t>(b);
        ++fill[b + 1];
    }
    for (std::size_t b = 0; b < n; ++b) fill[b + 1] += fill[b];

    std::vector<BackgroundEvent> sorted(n);
    for (std::size_t i = 0; i < n; ++i) sorted[fill[bucket[i]]++] = events[i];
    for (std::size_t i = 1; i < n; ++i) {
        if (!earlier(sorted[i], sorted[i - 1])) continue;
        const BackgroundEvent moving = sorted[i];
        std::size_t j = i;
        do {
            sorted[j] = sorted[j - 1];
            --j;
        } while (j > 0 && earlier(moving, sorted[j - 1]));
        sorted[j] = moving;
    }
    return sorted;
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
    Impl& d = *impl;
    const double span = end - begin;
    const double mean = d.rate * span;
    // A mean of zero or below has no events. The draw is skipped rather than
    // made, since the Poisson distribution is undefined there.
    if (!(mean > 0) || d.num_channels == 0) return {};
    // The count is an int; a mean beyond that (or infinite) would make the
    // Poisson draw overflow or never finish.
    if (!(mean < static_cast<double>(std::numeric_limits<int>::max()) / 2)) {
        throw std::invalid_argument(
            format("Dark-count mean of {} events per channel in [{}, {}) is too large!", mean, begin, end));
    }

    // One distribution for all channels of this call: its state carries over
    // from one channel to the next, which the reproducible stream relies on.
    std::poisson_distribution<int> count(mean);
    d.drawn.clear();
    for (unsigned long channel = 0; channel < d.num_channels; ++channel) {
        const int k = count(d.rng);
        for (int i = 0; i < k; ++i) {
            // What std::uniform_real_distribution<double>(begin, end) computes,
            // without its requirement that begin <= end.
            const double u = canonical_double(d.rng);
            d.drawn.push_back(BackgroundEvent{u * span + begin, d.gen_type, channel});
        }
    }
    std::vector<BackgroundEvent> sorted = sort_by_time(d.drawn, begin, span, d.bucket, d.fill);
    give_back_scratch(d.drawn, sorted.size());
    give_back_scratch(d.bucket, sorted.size());
    give_back_scratch(d.fill, sorted.size());
    return sorted;
}

}  // namespace background
