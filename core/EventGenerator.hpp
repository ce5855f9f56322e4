#pragma once

#include <background/core/BackgroundEvent.hpp>
#include <background/core/PEBuffer.hpp>
#include <background/core/PEList.hpp>

namespace background {

/// Turns one event into the photo-electrons it causes, in absolute time.
class EventGenerator {
public:
    virtual PEList generate(BackgroundEvent event) = 0;
    virtual ~EventGenerator() = default;

    /// Adds to `out` the entries that generate(event) returns, in the same
    /// order; when it throws, the caller drops what it added. The driver
    /// calls this one, so that generators which override it write into the
    /// driver's buffer without building a PE list per event.
    virtual void generate_into(BackgroundEvent event, PEBuffer& out) { out.append(generate(event)); }
};

}  // namespace background
