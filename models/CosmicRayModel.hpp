#pragma once

#include <background/core/BackgroundModel.hpp>
#include <background/core/Flux.hpp>
#include <background/core/ShowerProvider.hpp>

#include <memory>

namespace background {

/// Cosmic-ray showers from a library of simulated showers, each arriving at
/// its own Poisson rate. At construction the library is checked against the
/// way it was thrown (energies as E^throw_index in [e_min, e_max], cores
/// uniform on a disc of radius r_max, zenith up to theta_max with density
/// sin(theta) cos(theta), uniform azimuth), and every shower is given its
/// share of the rate that `flux` delivers through that area and solid angle.
/// Only the table of (uid, rate) is kept: provider and flux may go once the
/// model is built. Events carry the shower uid as their id.
class CosmicRayModel : public BackgroundModel {
public:
    /// Throws std::invalid_argument when a parameter, a bound or (unless
    /// `warn_invalid`, which only warns) a distribution test fails, and when
    /// the showers cannot be given finite, non-negative rates.
    CosmicRayModel(ShowerProvider& provider, Flux& flux, unsigned long seed, int gen_type, double throw_index,
                   double r_max, double theta_max, double e_min, double e_max, bool warn_invalid);
    ~CosmicRayModel() override;

    std::vector<BackgroundEvent> sample(double begin, double end) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
