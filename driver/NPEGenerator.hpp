#pragma once

#include <background/core/EventGenerator.hpp>

namespace background {

/// Puts a fixed number of PEs at the event time on the channel named by the
/// event's id (the low 32 bits, as a signed int).
class NPEGenerator : public EventGenerator {
public:
    explicit NPEGenerator(int num_pe) : num_pe(num_pe) {}
    PEList generate(BackgroundEvent event) override;
    void generate_into(BackgroundEvent event, PEBuffer& out) override;

private:
    int num_pe;
};

}  // namespace background
