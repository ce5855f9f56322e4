// Throughput of the main road: 1000 channels of 20 kHz dark counts with
// afterpulses, streamed in chunks of 1 ms through Background, against a lower
// bound that only draws the same Poisson counts and uniform times and sorts
// them per channel.
//
//   chunk_throughput [simulated seconds, default 5]

#include <background/core/Random.hpp>
#include <background/driver/Background.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kChannels = 1000;
constexpr double kRate = 20e3;
constexpr double kChunk = 1e-3;

const char* const kSettings = R"(
lib: {provider: mock, generator: pulses, model: dark, num_channels: 1000, start_time: 0.0}
providers:
  mock: {class: MockProvider, num_showers: 1, index: -2.0, e_min: 1.0, e_max: 10.0, r_max: 1.0, theta_max: 0.1}
generators:
  single: {class: NPEGenerator, num_pe: 1}
  pulses: {class: AfterpulseGenerator, base_generator: single, probability: 0.05, delay_mean: 1.0e-6,
           delay_std: 2.0e-7, num_pe_mean: 1.5, seed: 42}
models:
  dark: {class: DarkCountModel, gen_type: 0, seed: 7, num_channels: 1000, rate: 20000.0}
fluxes: {}
)";

struct Figures {
    double seconds;
    double pes;
};

double elapsed_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Figures run_background(const std::filesystem::path& settings, int chunks) {
    background::Background bg(settings.string());
    double pes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < chunks; ++i) {
        for (const auto& [channel, times] : bg.next_chunk(kChunk)) pes += static_cast<double>(times.size());
    }
    return {elapsed_since(start), pes};
}

// The least any implementation must do for the same output: per chunk and
// channel a Poisson count, that many uniform times, one sort.
Figures run_lower_bound(int chunks) {
    std::mt19937_64 rng(7);
    std::vector<std::vector<double>> channels(kChannels);
    double pes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < chunks; ++i) {
        const double t0 = i * kChunk;
        std::poisson_distribution<int> count(kRate * kChunk);
        for (auto& times : channels) {
            times.resize(static_cast<std::size_t>(count(rng)));
            for (double& t : times) t = background::canonical_double(rng) * kChunk + t0;
            std::sort(times.begin(), times.end());
            pes += static_cast<double>(times.size());
        }
    }
    return {elapsed_since(start), pes};
}

}  // namespace

int main(int argc, char** argv) {
    const double simulated = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int chunks = static_cast<int>(simulated / kChunk);
    const auto settings = std::filesystem::temp_directory_path() / "chunk_throughput_settings.yaml";
    std::ofstream(settings) << kSettings;

    const Figures full = run_background(settings, chunks);
    const Figures bound = run_lower_bound(chunks);
    std::filesystem::remove(settings);

    std::printf("%d channels, %.0f Hz dark rate, afterpulses, %d chunks of %.0f ms\n", kChannels, kRate, chunks,
                kChunk * 1e3);
    std::printf("Background:  %.3e PE/s wall, real-time factor %.2f (%.0f PEs in %.3f s)\n", full.pes / full.seconds,
                simulated / full.seconds, full.pes, full.seconds);
    std::printf("lower bound: %.3e PE/s wall, real-time factor %.2f (%.0f PEs in %.3f s)\n",
                bound.pes / bound.seconds, simulated / bound.seconds, bound.pes, bound.seconds);
    std::printf("time per PE, Background / lower bound: %.2f\n",
                (full.seconds / full.pes) / (bound.seconds / bound.pes));
    return 0;
}
