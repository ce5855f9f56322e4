#pragma once

#include <background/core/EventGenerator.hpp>

#include <map>
#include <memory>

namespace background {

/// Dispatches each event to the generator registered for its type.
class GenericGenerator : public EventGenerator {
public:
    /// Registers `generator` for events of `type`, replacing an earlier one.
    void add_generator(int type, std::unique_ptr<EventGenerator> generator);
    PEList generate(BackgroundEvent event) override;
    void generate_into(BackgroundEvent event, PEBuffer& out) override;

private:
    EventGenerator& generator_for(int type) const;

    std::map<int, std::unique_ptr<EventGenerator>> generators;
};

}  // namespace background
