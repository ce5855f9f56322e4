// Throughput of the main road: channels of 20 kHz dark counts with
// afterpulses (probability 0.05, delay 1 +- 0.2 us, 1.5 PEs), streamed in
// chunks through Background, against a floor: a minimal program that makes
// exactly the same draws in the same order into one flat buffer, sorts each
// channel and hands out the same PE lists, bit for bit.
//
//   chunk_throughput [simulated seconds of the main comparison, default 2]
//
// Prints the resident memory around one large chunk and one long metadata
// request, the main comparison (median of 5 alternating runs), and the cost
// per PE from 10^2 to 10^5 channels and from 10 us to 100 ms chunks (one run
// each).

#include <background/core/Random.hpp>
#include <background/driver/Background.hpp>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using background::PEList;

constexpr double kRate = 20e3;
constexpr double kProbability = 0.05;
constexpr double kDelayMean = 1e-6;
constexpr double kDelayStd = 2e-7;
constexpr double kPEMean = 1.5;

std::string settings_text(int channels) {
    const std::string n = std::to_string(channels);
    return "lib: {provider: mock, generator: pulses, model: dark, num_channels: " + n +
           ", start_time: 0.0, meta_gen_type: 1}\n"
           "providers:\n"
           "  mock: {class: MockProvider, num_showers: 1, index: -2.0, e_min: 1.0, e_max: 10.0, r_max: 1.0, "
           "theta_max: 0.1}\n"
           "generators:\n"
           "  single: {class: NPEGenerator, num_pe: 1}\n"
           "  pulses: {class: AfterpulseGenerator, base_generator: single, probability: 0.05, delay_mean: 1.0e-6,\n"
           "           delay_std: 2.0e-7, num_pe_mean: 1.5, seed: 42}\n"
           "models:\n"
           "  dark: {class: DarkCountModel, gen_type: 0, seed: 7, num_channels: " + n + ", rate: 20000.0}\n"
           "fluxes: {}\n";
}

// The floor: the same draws as DarkCountModel, NPEGenerator and
// AfterpulseGenerator in the same order, then the per-channel split.
class Floor {
public:
    explicit Floor(int channels) : channels(channels), held(static_cast<std::size_t>(channels)) {}

    PEList next_chunk(double span) {
        const double t0 = start;
        const double t1 = t0 + span;
        start = t1;
        // The model sees the interval [t0, t1), whose width is not always span.
        draw_dark_counts(t0, t1 - t0);
        sort_by_time(t0, t1 - t0);
        pes.clear();
        for (const Event& event : events) add_pes(event);
        return split(t1);
    }

private:
    struct Event {
        double time;
        int channel;
    };
    struct PE {
        int channel;
        double time;
    };

    // Per channel a Poisson count, then that many uniform times.
    void draw_dark_counts(double t0, double span) {
        events.clear();
        std::poisson_distribution<int> count(kRate * span);
        for (int c = 0; c < channels; ++c) {
            for (int k = count(dark); k > 0; --k) events.push_back({background::canonical_double(dark) * span + t0, c});
        }
    }

    // Stable by time (the afterpulse draws follow this order), as the model
    // sorts: one bucket per event, then insertion within buckets.
    void sort_by_time(double t0, double span) {
        const std::size_t n = events.size();
        const auto earlier = [](const Event& a, const Event& b) { return a.time < b.time; };
        if (n < 64) {
            std::sort(events.begin(), events.end(), earlier);
            return;
        }
        const double scale = static_cast<double>(n) / span;
        fill.assign(n + 1, 0);
        bucket.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double position = (events[i].time - t0) * scale;
            bucket[i] = position > 0 ? std::min(static_cast<std::size_t>(position), n - 1) : 0;
            ++fill[bucket[i] + 1];
        }
        for (std::size_t b = 0; b < n; ++b) fill[b + 1] += fill[b];
        sorted.resize(n);
        for (std::size_t i = 0; i < n; ++i) sorted[fill[bucket[i]]++] = events[i];
        for (std::size_t i = 1; i < n; ++i) {
            const Event moving = sorted[i];
            std::size_t j = i;
            for (; j > 0 && earlier(moving, sorted[j - 1]); --j) sorted[j] = sorted[j - 1];
            sorted[j] = moving;
        }
        events.swap(sorted);
    }

    // One PE at the event time; with one trial of the binomial draw it
    // becomes the parent of an afterpulse.
    void add_pes(const Event& event) {
        pes.push_back({event.channel, event.time});
        if (single.draw(pulses) == 0) return;
        double parent;
        std::sample(&event.time, &event.time + 1, &parent, 1, pulses);
        double d;
        do {
            d = delay(pulses);
        } while (d <= 0.0);
        for (int m = afterpulse_pes(pulses); m > 0; --m) pes.push_back({event.channel, parent + d});
    }

    PEList split(double t1) {
        for (int c = 0; c < channels; ++c) {
            for (double time : held[static_cast<std::size_t>(c)]) pes.push_back({c, time});
            held[static_cast<std::size_t>(c)].clear();
        }
        offsets.assign(static_cast<std::size_t>(channels) + 1, 0);
        for (const PE& pe : pes) ++offsets[static_cast<std::size_t>(pe.channel) + 1];
        for (int c = 0; c < channels; ++c) offsets[c + 1] += offsets[c];
        times.resize(pes.size());
        for (const PE& pe : pes) times[offsets[static_cast<std::size_t>(pe.channel)]++] = pe.time;
        PEList result;
        std::size_t begin = 0;
        for (int c = 0; c < channels; ++c) {
            const auto first = times.begin() + static_cast<std::ptrdiff_t>(begin);
            const auto last = times.begin() + static_cast<std::ptrdiff_t>(offsets[static_cast<std::size_t>(c)]);
            begin = offsets[static_cast<std::size_t>(c)];
            std::sort(first, last);
            const auto due = std::upper_bound(first, last, t1);
            if (due != first) result.emplace_back(c, std::vector<double>(first, due));
            held[static_cast<std::size_t>(c)].assign(due, last);
        }
        return result;
    }

    int channels;
    double start = 0.0;
    background::MersenneTwister64 dark{7};
    background::MersenneTwister64 pulses{42};
    background::SingleTrialBinomial single{kProbability};
    std::normal_distribution<double> delay{kDelayMean, kDelayStd};
    std::poisson_distribution<int> afterpulse_pes{kPEMean};
    std::vector<Event> events, sorted;
    std::vector<std::size_t> bucket, fill, offsets;
    std::vector<PE> pes;
    std::vector<double> times;
    std::vector<std::vector<double>> held;
};

// Cheap enough not to weigh on the figures, and order dependent.
std::uint64_t mix(std::uint64_t hash, std::uint64_t word) { return (hash ^ word) * 0x100000001b3ull; }

struct Run {
    double seconds = 0;
    double pes = 0;
    std::uint64_t hash = 0xcbf29ce484222325ull;
    double ns_per_pe() const { return seconds / pes * 1e9; }
};

// One chunk first, untimed (first allocations, the reset of the first chunk).
template <typename Source>
Run stream(Source& source, double span, int chunks) {
    source.next_chunk(span);
    Run run;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < chunks; ++i) {
        for (const auto& [channel, times] : source.next_chunk(span)) {
            run.pes += static_cast<double>(times.size());
            run.hash = mix(run.hash, static_cast<std::uint64_t>(channel));
            for (double time : times) run.hash = mix(run.hash, std::bit_cast<std::uint64_t>(time));
        }
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

class SettingsFile {
public:
    explicit SettingsFile(int channels)
        : path(std::filesystem::temp_directory_path() /
               ("chunk_throughput_" + std::to_string(channels) + ".yaml")) {
        std::ofstream(path) << settings_text(channels);
    }
    ~SettingsFile() { std::filesystem::remove(path); }
    std::string name() const { return path.string(); }

private:
    std::filesystem::path path;
};

struct Pair {
    Run library;
    Run floor;
};

Pair run_pair(int channels, double span, int chunks) {
    const SettingsFile settings(channels);
    background::Background bg(settings.name());
    Floor floor(channels);
    return {stream(bg, span, chunks), stream(floor, span, chunks)};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Enough chunks for about four million PEs, at least three.
int chunks_for(int channels, double span) {
    const double pes_per_chunk = channels * span * kRate * (1 + kProbability * kPEMean);
    return std::max(3, static_cast<int>(4e6 / pes_per_chunk));
}

double resident_megabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return -1;
}

// One 0.5 s chunk holds about ten million PEs, and metadata over 0.5 s
// samples as many events; the stream that follows needs what 1 ms chunks need.
void print_memory(int channels, double chunk) {
    const SettingsFile settings(channels);
    background::Background bg(settings.name());
    for (int i = 0; i < 100; ++i) bg.next_chunk(chunk);
    const double steady = resident_megabytes();
    bg.next_chunk(0.5);
    for (int i = 0; i < 100; ++i) bg.next_chunk(chunk);
    const double after_chunk = resident_megabytes();
    bg.generate_metadata(0.0, 0.5);
    for (int i = 0; i < 100; ++i) bg.next_chunk(chunk);
    std::printf("resident memory: %.0f MB streaming 1 ms chunks, %.0f MB after one 0.5 s chunk, %.0f MB after "
                "metadata over 0.5 s\n",
                steady, after_chunk, resident_megabytes());
}

}  // namespace

int main(int argc, char** argv) {
    const double simulated = argc > 1 ? std::atof(argv[1]) : 2.0;
    constexpr int kChannels = 1000;
    constexpr double kChunk = 1e-3;
    const int chunks = std::max(1, static_cast<int>(simulated / kChunk));

    print_memory(kChannels, kChunk);

    std::vector<double> library, floor;
    bool identical = true;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const Pair pair = run_pair(kChannels, kChunk, chunks);
        identical = identical && pair.library.hash == pair.floor.hash && pair.library.pes == pair.floor.pes;
        library.push_back(pair.library.ns_per_pe());
        floor.push_back(pair.floor.ns_per_pe());
    }
    std::printf("%d channels, %.0f kHz dark counts with afterpulses, %d chunks of %g ms, median of 5\n", kChannels,
                kRate / 1e3, chunks, kChunk * 1e3);
    std::printf("  Background %6.1f ns per PE, floor %6.1f ns per PE: ratio %.2f (outputs %s)\n", median(library),
                median(floor), median(library) / median(floor), identical ? "bit for bit identical" : "DIFFER");

    std::printf("scaling, ns per PE (Background / floor = ratio):\n");
    const auto scale = [](int channels, double span) {
        const Pair pair = run_pair(channels, span, chunks_for(channels, span));
        std::printf("  %6d channels, %6g ms chunks: %6.1f / %6.1f = %.2f%s\n", channels, span * 1e3,
                    pair.library.ns_per_pe(), pair.floor.ns_per_pe(),
                    pair.library.ns_per_pe() / pair.floor.ns_per_pe(),
                    pair.library.hash == pair.floor.hash ? "" : " (outputs DIFFER)");
    };
    for (int channels : {100, 1000, 10000, 100000}) scale(channels, kChunk);
    for (double span : {1e-5, 1e-4, 1e-2, 1e-1}) scale(kChannels, span);

    return identical ? 0 : 1;
}
