#pragma once

#include <background/core/BackgroundEvent.hpp>
#include <background/core/PEList.hpp>

namespace background {

/// Turns one event into the photo-electrons it causes, in absolute time.
class EventGenerator {
public:
    virtual PEList generate(BackgroundEvent event) = 0;
    virtual ~EventGenerator() = default;
};

}  // namespace background
