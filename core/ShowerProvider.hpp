#pragma once

#include <background/core/Metadata.hpp>
#include <background/core/PEList.hpp>

#include <vector>

namespace background {

/// A source of simulated showers addressed by UID. Unknown UIDs make
/// get_metadata and get_pe_list throw std::out_of_range.
class ShowerProvider {
public:
    /// One record for every shower the provider serves, in its own order.
    virtual std::vector<Metadata> get_all_metadata() = 0;
    /// The record of shower `uid`.
    virtual Metadata get_metadata(unsigned long uid) = 0;
    /// The PEs of shower `uid`, times relative to the shower.
    virtual PEList get_pe_list(unsigned long uid) = 0;
    virtual ~ShowerProvider() = default;
};

}  // namespace background
