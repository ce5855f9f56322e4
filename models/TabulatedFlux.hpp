#pragma once

#include <background/core/Flux.hpp>

#include <filesystem>
#include <memory>

namespace background {

/// A flux read from a text table of (energy in GeV, flux value) rows,
/// interpolated linearly in (E, F) or in (ln E, ln F) and integrated by the
/// trapezoid rule.
///
/// Table file: one row per line, two numbers separated by white space (text
/// after them is ignored); a line whose first character is '#' is a comment,
/// a blank line is skipped. Energies ascend; with log interpolation every
/// value is positive.
class TabulatedFlux : public Flux {
public:
    TabulatedFlux(std::filesystem::path table, bool log_interpolate, unsigned long integration_steps);
    ~TabulatedFlux() override;

    double flux_density(double energy) override;
    double integrate(double e1, double e2) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
