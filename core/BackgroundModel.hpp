#pragma once

#include <background/core/BackgroundEvent.hpp>

#include <vector>

namespace background {

/// A random or replayed source of background events.
class BackgroundModel {
public:
    /// The events of [begin, end) in seconds, sorted ascending by time.
    virtual std::vector<BackgroundEvent> sample(double begin, double end) = 0;
    virtual ~BackgroundModel() = default;
};

}  // namespace background
