#include <background/driver/ProviderGenerator.hpp>

#include <exception>
#include <stdexcept>
#include <utility>

namespace background {

ProviderGenerator::ProviderGenerator(std::unique_ptr<ShowerProvider> provider) : provider(std::move(provider)) {}

PEList ProviderGenerator::shower_of(const BackgroundEvent& event) {
    try {
        return provider->get_pe_list(event.id);
    } catch (const std::out_of_range& unknown) {
        throw std::out_of_range(unknown.what());
    } catch (...) {
        std::throw_with_nested(std::out_of_range("Event generation failed due to unexpected exception from provider"));
    }
}

PEList ProviderGenerator::generate(BackgroundEvent event) {
    PEList result = shower_of(event);
    for (auto& [channel, times] : result) {
        for (double& time : times) time += event.time;
    }
    return result;
}

void ProviderGenerator::generate_into(BackgroundEvent event, PEBuffer& out) {
    for (const auto& [channel, times] : shower_of(event)) {
        out.add(channel, times.size(), 0.0);
        const auto shifted = out.times_of(out.entry_count() - 1);
        for (std::size_t i = 0; i < times.size(); ++i) shifted[i] = times[i] + event.time;
    }
}

}  // namespace background
