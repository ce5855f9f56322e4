#pragma once

#include <background/core/BackgroundModel.hpp>

#include <memory>

namespace background {

/// Dark counts of the sensors: uncorrelated single-channel events at one
/// constant rate on every channel 0 to num_channels - 1. Each event's id is
/// its channel.
class DarkCountModel : public BackgroundModel {
public:
    DarkCountModel(double rate, unsigned long num_channels, unsigned long seed, int gen_type);
    ~DarkCountModel() override;

    std::vector<BackgroundEvent> sample(double begin, double end) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
