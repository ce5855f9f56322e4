#include <background/driver/AfterpulseGenerator.hpp>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <random>
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
    void add_afterpulses(std::vector<double>& times) {
        const int n = static_cast<int>(times.size());
        const int k = draw_binomial(n);
        if (times.empty()) return;

        chosen.clear();
        std::sample(times.begin(), times.end(), std::back_inserter(chosen), k, rng);
        for (double parent : chosen) {
            double d;
            do {
                d = delay(rng);
            } while (d <= 0.0);
            const int m = num_pe(rng);
            if (m > 0) times.insert(times.end(), static_cast<std::size_t>(m), parent + d);
        }
        std::sort(times.begin(), times.end());
    }

    // Equivalent to drawing from a new std::binomial_distribution<int>(n,
    // probability): reset() drops the state a fresh object would not have, and
    // the parameters, whose set-up costs a logarithm, are kept for the last n.
    int draw_binomial(int n) {
        if (n != binomial_n) {
            binomial_param = std::binomial_distribution<int>::param_type(n, probability);
            binomial_n = n;
        }
        binomial.reset();
        return binomial(rng, binomial_param);
    }

    std::unique_ptr<EventGenerator> base_generator;
    double probability;
    std::mt19937_64 rng;
    std::normal_distribution<double> delay;
    std::poisson_distribution<int> num_pe;
    std::vector<double> chosen;  // reused between calls to spare allocations
    std::binomial_distribution<int> binomial;
    std::binomial_distribution<int>::param_type binomial_param;
    int binomial_n = -1;
};

namespace {

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
}

}  // namespace

AfterpulseGenerator::AfterpulseGenerator(std::unique_ptr<EventGenerator> base_generator, unsigned long seed,
                                         double probability, double delay_mean, double delay_std, double num_pe_mean) {
    check_arguments(probability, delay_mean, delay_std, num_pe_mean);
    impl = std::make_unique<Impl>(std::move(base_generator), seed, probability, delay_mean, delay_std, num_pe_mean);
}

AfterpulseGenerator::~AfterpulseGenerator() = default;

PEList AfterpulseGenerator::generate(BackgroundEvent event) {
    PEList result = impl->base_generator->generate(event);
    for (auto& entry : result) impl->add_afterpulses(entry.second);
    return result;
}

}  // namespace background
