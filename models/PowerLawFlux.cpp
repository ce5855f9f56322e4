#include <background/models/PowerLawFlux.hpp>

#include <cmath>
#include <stdexcept>

namespace background {

namespace {

constexpr const char* kPositiveEnergies = "Flux density is only defined for positive energies!";

}  // namespace

PowerLawFlux::PowerLawFlux(double index, double f_ref, double e_ref) : index(index), f_ref(f_ref), e_ref(e_ref) {}

double PowerLawFlux::flux_density(double energy) {
    if (energy <= 0) throw std::out_of_range(kPositiveEnergies);
    return std::pow(energy / e_ref, index) * f_ref;
}

double PowerLawFlux::integrate(double e1, double e2) {
    if (e1 <= 0 || e2 <= 0) throw std::out_of_range(kPositiveEnergies);
    if (index == -1.0) return (std::log(e2) - std::log(e1)) * (e_ref * f_ref);
    const double g = index + 1;
    return (std::pow(e2, g) - std::pow(e1, g)) * (std::pow(e_ref, -index) * f_ref) / g;
}

}  // namespace background
