#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace background {

/// One sampled background event. Stored byte for byte in event caches and
/// ordered shower libraries, so the layout (padding included) is a file format.
struct BackgroundEvent {
    double time;       ///< absolute time in seconds
    std::int32_t type; ///< generator type of the event
    std::uint64_t id;  ///< shower UID, or channel number for single-channel events
};

static_assert(sizeof(BackgroundEvent) == 24);
static_assert(offsetof(BackgroundEvent, time) == 0);
static_assert(offsetof(BackgroundEvent, type) == 8);
static_assert(offsetof(BackgroundEvent, id) == 16);
static_assert(std::is_trivially_copyable_v<BackgroundEvent>);
static_assert(std::is_aggregate_v<BackgroundEvent>);

}  // namespace background
