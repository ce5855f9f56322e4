#include <background/providers/MockProvider.hpp>

#include <algorithm>
#include <cmath>
#include <random>

namespace background {

namespace {

// Bit-identical sets need the arithmetic exactly in this order, and the
// engine drawn exactly as std::shuffle does; the seed is fixed on purpose.
constexpr unsigned long kSeed = 1234567890;

}  // namespace

MockProvider::MockProvider(unsigned long num_showers, double index, double e_min, double e_max, double r_max,
                           double theta_max)
    : metadata(num_showers) {
    const auto n = static_cast<double>(num_showers);
    for (std::size_t k = 0; k < metadata.size(); ++k) {
        metadata[k].uid = k;
        metadata[k].primary = Metadata::PROTON;
        metadata[k].num_pe = 1;
        metadata[k].num_channels = 1;
    }
    std::mt19937_64 rng(kSeed);
    auto stratum = [n](std::size_t i) { return (static_cast<double>(i) + 0.5) / n; };
    auto shuffle = [&] { std::shuffle(metadata.begin(), metadata.end(), rng); };

    shuffle();
    if (index == -1.0) {
        const double log_min = std::log(e_min);
        const double log_max = std::log(e_max);
        for (std::size_t i = 0; i < metadata.size(); ++i) {
            metadata[i].energy = std::exp(stratum(i) * (log_max - log_min) + log_min);
        }
    } else {
        const double g = index + 1.0;
        const double a = std::pow(e_min, g) / g;
        const double b = std::pow(e_max, g) / g;
        const double h = 1.0 / g;
        for (std::size_t i = 0; i < metadata.size(); ++i) {
            metadata[i].energy = std::pow((stratum(i) * (b - a) + a) * g, h);
        }
    }

    shuffle();
    for (std::size_t i = 0; i < metadata.size(); ++i) {
        const double r = std::pow(2 * ((stratum(i) * (r_max * r_max)) * 0.5), 0.5);
        double sine, cosine;
        ::sincos(0.2 * static_cast<double>(i), &sine, &cosine);
        metadata[i].x = r * cosine;
        metadata[i].y = r * sine;
    }

    shuffle();
    for (std::size_t i = 0; i < metadata.size(); ++i) {
        metadata[i].phi = std::fmod(0.2 * static_cast<double>(i), 6.283185307179586);
    }

    shuffle();
    const double c = std::cos(theta_max);
    const double c2 = c * c;
    for (std::size_t i = 0; i < metadata.size(); ++i) {
        metadata[i].theta = std::acos(std::sqrt(stratum(i) * (1.0 - c2) + c2));
    }

    std::sort(metadata.begin(), metadata.end(), [](const Metadata& a, const Metadata& b) { return a.uid < b.uid; });
}

std::vector<Metadata> MockProvider::get_all_metadata() { return metadata; }

Metadata MockProvider::get_metadata(unsigned long uid) { return metadata.at(uid); }

PEList MockProvider::get_pe_list(unsigned long uid) {
    (void)metadata.at(uid);
    return {{0, {static_cast<double>(uid)}}};
}

}  // namespace background
