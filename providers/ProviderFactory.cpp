// The classes the provider factory can build from the "providers" section.

#include <background/core/Factory.hpp>
#include <background/providers/MockProvider.hpp>

namespace background {

template <>
void Factory<ShowerProvider>::build_class_resolve_table() {
    class_resolve_table["MockProvider"] = [](Settings settings) -> std::unique_ptr<ShowerProvider> {
        const double theta_max = settings["theta_max"];
        const double r_max = settings["r_max"];
        const double e_max = settings["e_max"];
        const double e_min = settings["e_min"];
        const double index = settings["index"];
        const int num_showers = settings["num_showers"];
        return std::make_unique<MockProvider>(widen_to_unsigned(num_showers), index, e_min, e_max, r_max,
                                              theta_max);
    };
}

}  // namespace background
