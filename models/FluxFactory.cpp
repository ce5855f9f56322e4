// The classes the flux factory can build from the "fluxes" section.

#include <background/core/Factory.hpp>
#include <background/core/Format.hpp>
#include <background/models/PowerLawFlux.hpp>
#include <background/models/TabulatedFlux.hpp>

#include <stdexcept>
#include <string>

namespace background {

template <>
void Factory<Flux>::build_class_resolve_table() {
    class_resolve_table["PowerLawFlux"] = [](Settings settings) -> std::unique_ptr<Flux> {
        const double e_ref = settings["e_ref"];
        const double f_ref = settings["f_ref"];
        const double index = settings["index"];
        return std::make_unique<PowerLawFlux>(index, f_ref, e_ref);
    };
    class_resolve_table["TabulatedFlux"] = [this](Settings settings) -> std::unique_ptr<Flux> {
        const int integration_steps = settings["integration_steps"];
        const bool log_interpolate = settings["log_interpolate"];
        const std::string table = settings["table"];
        // Sign-extended, a negative count would make integrate() run for 2^64 steps.
        if (integration_steps < 0) {
            throw std::invalid_argument(format("Setting integration_steps = {} is negative!", integration_steps));
        }
        return std::make_unique<TabulatedFlux>(path(table), log_interpolate, widen_to_unsigned(integration_steps));
    };
}

}  // namespace background
