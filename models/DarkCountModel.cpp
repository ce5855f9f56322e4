#include <background/models/DarkCountModel.hpp>

#include <background/core/Format.hpp>
#include <background/core/Random.hpp>
#include <background/core/Scratch.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <utility>

namespace background {

namespace {

// An event as drawn, with the bucket of its time.
struct Drawn {
    double time;
    std::uint32_t channel;
    std::uint32_t bucket;
};

// Counts of the bytes of the bucket numbers, lowest byte first.
struct BucketDigits {
    std::array<std::array<std::uint32_t, 256>, 4> counts;
    int used = 1;

    void reset(std::size_t buckets) {
        used = std::max(1, static_cast<int>((std::bit_width(buckets - 1) + 7) / 8));
        for (auto& count : counts) count.fill(0);
    }
    void count(std::uint32_t bucket) {
        for (int digit = 0; digit < used; ++digit) ++counts[digit][(bucket >> (8 * digit)) & 0xff];
    }
};

}  // namespace

class DarkCountModel::Impl {
public:
    Impl(double rate, unsigned long num_channels, unsigned long seed, int gen_type)
        : rate(rate), num_channels(num_channels), rng(seed), gen_type(gen_type) {}

    double rate;
    unsigned long num_channels;
    MersenneTwister64 rng;
    int gen_type;
    // Kept between calls so that sampling allocates only its result.
    std::vector<Drawn> drawn;
    std::vector<Drawn> spare;
    std::vector<std::uint32_t> fill;
    BucketDigits digits;
};

namespace {

bool earlier(const BackgroundEvent& a, const BackgroundEvent& b) { return a.time < b.time; }

// Buckets per expected event: more buckets leave fewer neighbours out of order.
constexpr double kBucketsPerEvent = 2.0;

// Up to this many buckets the events go straight to their places; beyond,
// counters and places no longer stay in the caches, and a radix sort by the
// bytes of the bucket numbers, which streams through memory, takes over.
constexpr std::size_t kDirectBuckets = std::size_t{1} << 17;

// The times are uniform in [begin, begin + span), so a bucket sort with a
// bucket or two per event needs expected linear time where a comparison sort
// of the whole interval would dominate the cost of sampling. The buckets
// follow the time, so equal times share a bucket and keep the order of their
// draws (both ways of bucketing are stable); after that only neighbours
// within a bucket can be out of order, which one insertion pass mends. The
// result is the stable sort by time of the events in the order drawn.
void mend_neighbours(std::vector<BackgroundEvent>& sorted) {
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (!earlier(sorted[i], sorted[i - 1])) continue;
        const BackgroundEvent moving = sorted[i];
        std::size_t j = i;
        do {
            sorted[j] = sorted[j - 1];
            --j;
        } while (j > 0 && earlier(moving, sorted[j - 1]));
        sorted[j] = moving;
    }
}

std::vector<BackgroundEvent> scatter_by_bucket(const std::vector<Drawn>& drawn, std::vector<std::uint32_t>& fill,
                                               int gen_type) {
    const std::size_t buckets = fill.size() - 1;
    for (std::size_t b = 0; b < buckets; ++b) fill[b + 1] += fill[b];
    std::vector<BackgroundEvent> sorted(drawn.size());
    for (const Drawn& d : drawn) sorted[fill[d.bucket]++] = BackgroundEvent{d.time, gen_type, d.channel};
    mend_neighbours(sorted);
    return sorted;
}

std::vector<BackgroundEvent> radix_by_bucket(std::vector<Drawn>& drawn, std::vector<Drawn>& spare,
                                             BucketDigits& digits, int gen_type) {
    spare.resize(drawn.size());
    Drawn* from = drawn.data();
    Drawn* to = spare.data();
    for (int digit = 0; digit < digits.used; ++digit) {
        std::array<std::uint32_t, 256>& next = digits.counts[static_cast<std::size_t>(digit)];
        std::uint32_t offset = 0;
        for (std::uint32_t& count : next) offset += std::exchange(count, offset);
        for (const Drawn* d = from; d != from + drawn.size(); ++d) to[next[(d->bucket >> (8 * digit)) & 0xff]++] = *d;
        std::swap(from, to);
    }
    std::vector<BackgroundEvent> sorted;
    sorted.reserve(drawn.size());
    for (const Drawn* d = from; d != from + drawn.size(); ++d) {
        sorted.push_back(BackgroundEvent{d->time, gen_type, d->channel});
    }
    mend_neighbours(sorted);
    return sorted;
}

// Few events, or buckets that do not apply: the comparison sort of the events
// in the order drawn.
std::vector<BackgroundEvent> sort_directly(const std::vector<Drawn>& drawn, int gen_type) {
    std::vector<BackgroundEvent> sorted;
    sorted.reserve(drawn.size());
    for (const Drawn& d : drawn) sorted.push_back(BackgroundEvent{d.time, gen_type, d.channel});
    std::sort(sorted.begin(), sorted.end(), earlier);
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

    // One bucket sort per call; the bucket of an event is found as it is drawn.
    const double expected = mean * static_cast<double>(d.num_channels);
    const bool bucketed = span > 0 && expected * kBucketsPerEvent < 0x1p31;
    const std::size_t buckets = bucketed ? static_cast<std::size_t>(expected * kBucketsPerEvent) + 1 : 1;
    const double scale = static_cast<double>(buckets) / span;
    const bool direct = buckets <= kDirectBuckets;
    if (direct) {
        d.fill.assign(buckets + 1, 0);
    } else {
        d.digits.reset(buckets);
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
            const double time = u * span + begin;
            const double position = (time - begin) * scale;
            const std::size_t b = position > 0 ? std::min(static_cast<std::size_t>(position), buckets - 1) : 0;
            d.drawn.push_back(Drawn{time, static_cast<std::uint32_t>(channel), static_cast<std::uint32_t>(b)});
            if (direct) {
                ++d.fill[b + 1];
            } else {
                d.digits.count(static_cast<std::uint32_t>(b));
            }
        }
    }
    const std::size_t n = d.drawn.size();
    std::vector<BackgroundEvent> sorted;
    if (!bucketed || n < 64 || n >= std::numeric_limits<std::uint32_t>::max()) {
        sorted = sort_directly(d.drawn, d.gen_type);
    } else if (direct) {
        sorted = scatter_by_bucket(d.drawn, d.fill, d.gen_type);
    } else {
        sorted = radix_by_bucket(d.drawn, d.spare, d.digits, d.gen_type);
    }
    give_back_scratch(d.drawn, n);
    give_back_scratch(d.spare, direct ? 0 : n);
    give_back_scratch(d.fill, direct ? buckets + 1 : 0);
    return sorted;
}

}  // namespace background
