// Cost of CosmicRayModel::sample per shower and call for 1 ms intervals, for
// shower libraries of 1e3, 1e4 and 1e5 showers at a total rate of a few kHz,
// so that nearly every shower draws no arrival. Beside it a lower bound
// measured in the same run: per shower one engine output and one comparison
// with a per-shower threshold. Figures are medians of five runs.
//
//   cosmic_ray_sample [shower visits per run, default 2e7]

#include <background/models/CosmicRayModel.hpp>
#include <background/models/PowerLawFlux.hpp>
#include <background/providers/MockProvider.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr double kInterval = 1e-3;
constexpr int kRuns = 5;
// Keeps the lower bound's comparisons from being optimised away.
volatile std::size_t sink;

double elapsed_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Consecutive intervals as the driver makes them: each ends where the next begins.
double run_model(background::CosmicRayModel& model, long calls, std::size_t& events) {
    double t0 = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) {
        const double t1 = t0 + kInterval;
        events += model.sample(t0, t1).size();
        t0 = t1;
    }
    return elapsed_since(start);
}

double run_lower_bound(const std::vector<std::uint64_t>& thresholds, long calls, std::size_t& hits) {
    std::mt19937_64 rng(1);
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) {
        for (const std::uint64_t threshold : thresholds) hits += rng() > threshold;
    }
    return elapsed_since(start);
}

}  // namespace

int main(int argc, char** argv) {
    const double visits = argc > 1 ? std::atof(argv[1]) : 2e7;
    // The example's library and proton flux: about 4.9 kHz of showers.
    background::PowerLawFlux flux(-2.7, 1.8e4, 1.0);
    std::printf("ns per shower per call, %.0f ms intervals (median of %d runs)\n", kInterval * 1e3, kRuns);
    std::printf("%10s %12s %12s %8s %10s\n", "showers", "sample", "lower bound", "ratio", "arrivals");
    for (const unsigned long showers : {1000ul, 10000ul, 100000ul}) {
        background::MockProvider provider(showers, -2.0, 1e3, 1e6, 100.0, 0.785);
        background::CosmicRayModel model(provider, flux, 1, 1, -2.0, 100.0, 0.785, 1e3, 1e6, false);
        const long calls = std::max(1L, static_cast<long>(visits / static_cast<double>(showers)));
        // Thresholds of the size an engine output must exceed to draw an arrival.
        std::vector<std::uint64_t> thresholds(showers, ~0ull - (~0ull / showers));
        std::vector<double> model_times, bound_times;
        std::size_t events = 0, hits = 0;
        for (int run = 0; run < kRuns; ++run) {
            model_times.push_back(run_model(model, calls, events));
            bound_times.push_back(run_lower_bound(thresholds, calls, hits));
        }
        const double per_visit = 1e9 / (static_cast<double>(calls) * static_cast<double>(showers));
        const double model_ns = median(model_times) * per_visit;
        const double bound_ns = median(bound_times) * per_visit;
        std::printf("%10lu %12.2f %12.2f %8.2f %10zu\n", showers, model_ns, bound_ns, model_ns / bound_ns, events);
        sink = hits;
    }
    return 0;
}
