#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace background {

/// Description of one simulated shower. Stored byte for byte in record files,
/// so the layout (padding included) is a file format. Value-initialised, every
/// byte is zero.
struct Metadata {
    enum Primary : std::int32_t {
        GAMMA = 1,
        PROTON = 14,
    };

    std::uint64_t uid;         ///< unique ID of the shower
    Primary primary;           ///< type of primary particle
    double energy;             ///< GeV
    double x;                  ///< shower core, m
    double y;                  ///< shower core, m
    double theta;              ///< zenith angle, rad
    double phi;                ///< azimuth angle, rad
    double time;               ///< arrival time, s
    std::int32_t num_pe;       ///< photo-electrons in the shower, -1 if unknown
    std::int32_t num_channels; ///< channels with photo-electrons, -1 if unknown
};

static_assert(sizeof(Metadata::Primary) == 4);
static_assert(sizeof(Metadata) == 72);
static_assert(offsetof(Metadata, uid) == 0);
static_assert(offsetof(Metadata, primary) == 8);
static_assert(offsetof(Metadata, energy) == 16);
static_assert(offsetof(Metadata, x) == 24);
static_assert(offsetof(Metadata, y) == 32);
static_assert(offsetof(Metadata, theta) == 40);
static_assert(offsetof(Metadata, phi) == 48);
static_assert(offsetof(Metadata, time) == 56);
static_assert(offsetof(Metadata, num_pe) == 64);
static_assert(offsetof(Metadata, num_channels) == 68);
static_assert(std::is_trivially_copyable_v<Metadata>);
static_assert(std::is_aggregate_v<Metadata>);

}  // namespace background
