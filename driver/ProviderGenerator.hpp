#pragma once

#include <background/core/EventGenerator.hpp>
#include <background/core/ShowerProvider.hpp>

#include <memory>

namespace background {

/// The PE list of the event's shower, shifted to the event time.
class ProviderGenerator : public EventGenerator {
public:
    explicit ProviderGenerator(std::unique_ptr<ShowerProvider> provider);
    PEList generate(BackgroundEvent event) override;
    void generate_into(BackgroundEvent event, PEBuffer& out) override;

private:
    PEList shower_of(const BackgroundEvent& event);

    std::unique_ptr<ShowerProvider> provider;
};

}  // namespace background
