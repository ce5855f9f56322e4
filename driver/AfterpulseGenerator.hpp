#pragma once

#include <background/core/EventGenerator.hpp>

#include <memory>

namespace background {

/// Adds afterpulses to the PEs of an inner generator: each base PE is, with a
/// fixed probability, followed by a Poisson number of PEs at one later time,
/// delayed by a normal draw cut to positive values.
class AfterpulseGenerator : public EventGenerator {
public:
    /// Throws std::invalid_argument unless probability lies in (0, 1] and the
    /// delay parameters and mean PE count are positive.
    AfterpulseGenerator(std::unique_ptr<EventGenerator> base_generator, unsigned long seed, double probability,
                        double delay_mean, double delay_std, double num_pe_mean);
    ~AfterpulseGenerator() override;

    PEList generate(BackgroundEvent event) override;
    void generate_into(BackgroundEvent event, PEBuffer& out) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
