#pragma once

#include <background/core/Flux.hpp>

namespace background {

/// The flux density f_ref * (E / e_ref)^index.
class PowerLawFlux : public Flux {
public:
    PowerLawFlux(double index, double f_ref, double e_ref);

    double flux_density(double energy) override;
    /// The closed-form integral; reversed bounds give its negative.
    double integrate(double e1, double e2) override;

private:
    double index;
    double f_ref;
    double e_ref;
};

}  // namespace background
