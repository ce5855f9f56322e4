#include <background/driver/AfterpulseGenerator.hpp>

#include <background/core/Format.hpp>
#include <background/core/Random.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace background {

class AfterpulseGenerator::Impl {
public:
    Impl(std::unique_ptr<EventGenerator> base_generator, unsigned long seed, double probability, double delay_mean,
         double delay_std, double num_pe_mean)
        : base_generator(std::move(base_generator)),
          probability(probability),
          rng(seed),
          delay(delay_mean, delay_std),
          num_pe(num_pe_mean) {}

    // The order of the draws is what makes results repeat: per entry the
    // binomial count, then the selection, then per chosen PE the normal draws
    // until a positive delay, then one Poisson draw.
    void add_afterpulses(PEBuffer& out, std::size_t first) {
        const std::size_t last = out.entry_count();
        for (std::size_t entry = first; entry < last; ++entry) {
            const std::uint32_t n = out.entry(entry).size;
            // Most entries hold the one PE of a dark count, and most of those get no afterpulse.
            if (n == 1 && single_pe.usable) {
                if (single_pe.draw(rng) == 1) add_chosen(out, entry, 1);
            } else {
                add_chosen(out, entry, draw_binomial(static_cast<int>(n)));
            }
        }
    }

    [[gnu::noinline]] void add_chosen(PEBuffer& out, std::size_t entry, int k) {
        std::span<double> times = out.times_of(entry);
        if (times.empty()) return;
        if (k == 0) {
            // Nothing to choose: std::sample would draw nothing either.
            if (!std::is_sorted(times.begin(), times.end())) std::sort(times.begin(), times.end());
            return;
        }

        chosen.clear();
        std::sample(times.begin(), times.end(), std::back_inserter(chosen), k, rng);
        for (double parent : chosen) {
            double d;
            do {
                d = delay(rng);
            } while (d <= 0.0);
            const int m = num_pe(rng);
            if (m > 0) out.extend(entry, static_cast<std::size_t>(m), parent + d);
        }
        times = out.times_of(entry);
        std::sort(times.begin(), times.end());
    }

    // Equivalent to drawing from a new std::binomial_distribution<int>(n,
    // probability): reset() drops the state a fresh object would not have, and
    // the parameters, whose set-up costs a logarithm, are kept for the last n.
    int draw_binomial(int n) {
        if (n == 1 && single_pe.usable) return single_pe.draw(rng);
        if (n != binomial_n) {
            binomial_param = std::binomial_distribution<int>::param_type(n, probability);
            binomial_n = n;
        }
        binomial.reset();
        return binomial(rng, binomial_param);
    }

    std::unique_ptr<EventGenerator> base_generator;
    double probability;
    MersenneTwister64 rng;
    std::normal_distribution<double> delay;
    std::poisson_distribution<int> num_pe;
    std::vector<double> chosen;  // reused between calls to spare allocations
    std::binomial_distribution<int> binomial;
    std::binomial_distribution<int>::param_type binomial_param;
    int binomial_n = -1;
    SingleTrialBinomial single_pe{probability};
};

namespace {

constexpr double kLargestPEMean = 0x1p30;

bool positive_and_finite(double value) { return value > 0 && std::isfinite(value); }

// Written as positive tests so that NaN fails them: a NaN or infinite mean
// would make the standard distributions loop without end.
void check_arguments(double probability, double delay_mean, double delay_std, double num_pe_mean) {
    const bool valid = probability > 0 && probability <= 1 && positive_and_finite(delay_mean) &&
                       positive_and_finite(delay_std) && positive_and_finite(num_pe_mean);
    if (!valid) {
        throw std::invalid_argument(
            "Illegal argument passed to AfterpulseGenerator: probability, delay and number of PEs have to be "
            "positive!");
    }
    // The PE count of one afterpulse is drawn as an int.
    if (!(num_pe_mean < kLargestPEMean)) {
        throw std::invalid_argument(
            format("Illegal argument passed to AfterpulseGenerator: num_pe_mean {} is too large!", num_pe_mean));
    }
}

}  // namespace

AfterpulseGenerator::AfterpulseGenerator(std::unique_ptr<EventGenerator> base_generator, unsigned long seed,
                                         double probability, double delay_mean, double delay_std, double num_pe_mean) {
    check_arguments(probability, delay_mean, delay_std, num_pe_mean);
    impl = std::make_unique<Impl>(std::move(base_generator), seed, probability, delay_mean, delay_std, num_pe_mean);
}

AfterpulseGenerator::~AfterpulseGenerator() = default;

PEList AfterpulseGenerator::generate(BackgroundEvent event) {
    PEBuffer pes;
    generate_into(event, pes);
    return pes.to_pe_list();
}

void AfterpulseGenerator::generate_into(BackgroundEvent event, PEBuffer& out) {
    const std::size_t first = out.entry_count();
    impl->base_generator->generate_into(event, out);
    impl->add_afterpulses(out, first);
}

}  // namespace background
