// The classes the model factory can build from the "models" section.

#include <background/core/Factory.hpp>
#include <background/core/Format.hpp>
#include <background/models/DarkCountModel.hpp>
#include <background/models/GenericModel.hpp>

#include <stdexcept>
#include <string>

namespace background {

template <>
void Factory<BackgroundModel>::build_class_resolve_table() {
    class_resolve_table["DarkCountModel"] = [](Settings settings) -> std::unique_ptr<BackgroundModel> {
        const int gen_type = settings["gen_type"];
        const int seed = settings["seed"];
        const int num_channels = settings["num_channels"];
        const double rate = settings["rate"];
        if (num_channels < 0) {
            throw std::invalid_argument(format("Setting num_channels = {} is negative!", num_channels));
        }
        return std::make_unique<DarkCountModel>(rate, widen_to_unsigned(num_channels), widen_to_unsigned(seed),
                                                gen_type);
    };
    class_resolve_table["GenericModel"] = [this](Settings settings) -> std::unique_ptr<BackgroundModel> {
        auto generic = std::make_unique<GenericModel>();
        for (const std::string& name : settings["models"].keys()) generic->add_model(create_by_name(name));
        return generic;
    };
}

}  // namespace background
