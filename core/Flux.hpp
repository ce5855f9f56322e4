#pragma once

namespace background {

/// An energy spectrum of cosmic rays, per GeV, square metre, second and
/// steradian; energies in GeV.
class Flux {
public:
    /// The differential flux at `energy`.
    virtual double flux_density(double energy) = 0;
    /// The integral of the differential flux from `e1` to `e2`.
    virtual double integrate(double e1, double e2) = 0;
    virtual ~Flux() = default;
};

}  // namespace background
