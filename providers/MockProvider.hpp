#pragma once

#include <background/core/ShowerProvider.hpp>

#include <vector>

namespace background {

/// A reproducible synthetic shower set needing no files: energies, core
/// positions and directions spread evenly over their ranges (one value per
/// stratum, strata dealt to showers in shuffled order). Every shower has one
/// PE on channel 0, at a time equal to its UID.
class MockProvider : public ShowerProvider {
public:
    MockProvider(unsigned long num_showers, double index, double e_min, double e_max, double r_max,
                 double theta_max);

    std::vector<Metadata> get_all_metadata() override;
    Metadata get_metadata(unsigned long uid) override;
    PEList get_pe_list(unsigned long uid) override;

private:
    std::vector<Metadata> metadata;
};

}  // namespace background
