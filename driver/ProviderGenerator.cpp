#include <background/driver/ProviderGenerator.hpp>

#include <exception>
#include <stdexcept>
#include <utility>

namespace background {

ProviderGenerator::ProviderGenerator(std::unique_ptr<ShowerProvider> provider) : provider(std::move(provider)) {}

PEList ProviderGenerator::generate(BackgroundEvent event) {
    PEList result;
    try {
        result = provider->get_pe_list(event.id);
    } catch (const std::out_of_range& unknown) {
        throw std::out_of_range(unknown.what());
    } catch (...) {
        std::throw_with_nested(std::out_of_range("Event generation failed due to unexpected exception from provider"));
    }
    for (auto& [channel, times] : result) {
        for (double& time : times) time += event.time;
    }
    return result;
}

}  // namespace background
