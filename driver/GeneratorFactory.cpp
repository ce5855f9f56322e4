// The classes the generator factory can build from the "generators" section.

#include <background/core/Factory.hpp>
#include <background/driver/AfterpulseGenerator.hpp>
#include <background/driver/GenericGenerator.hpp>
#include <background/driver/NPEGenerator.hpp>
#include <background/driver/ProviderGenerator.hpp>

#include <string>

namespace background {

template <>
void Factory<EventGenerator>::build_class_resolve_table() {
    class_resolve_table["NPEGenerator"] = [](Settings settings) -> std::unique_ptr<EventGenerator> {
        const int num_pe = settings["num_pe"];
        return std::make_unique<NPEGenerator>(num_pe);
    };
    class_resolve_table["ProviderGenerator"] = [this](Settings settings) -> std::unique_ptr<EventGenerator> {
        Factory<ShowerProvider> providers(settings_path);
        const std::string name = settings["provider"];
        return std::make_unique<ProviderGenerator>(providers.create_by_name(name));
    };
    class_resolve_table["GenericGenerator"] = [this](Settings settings) -> std::unique_ptr<EventGenerator> {
        auto generic = std::make_unique<GenericGenerator>();
        const Settings types = settings["generators"];
        for (const std::string& name : types.keys()) {
            auto inner = create_by_name(name);
            const int type = types[name];
            generic->add_generator(type, std::move(inner));
        }
        return generic;
    };
    class_resolve_table["AfterpulseGenerator"] = [this](Settings settings) -> std::unique_ptr<EventGenerator> {
        const double num_pe_mean = settings["num_pe_mean"];
        const double delay_std = settings["delay_std"];
        const double delay_mean = settings["delay_mean"];
        const double probability = settings["probability"];
        const int seed = settings["seed"];
        const std::string base_name = settings["base_generator"];
        auto base = create_by_name(base_name);
        return std::make_unique<AfterpulseGenerator>(std::move(base), widen_to_unsigned(seed), probability, delay_mean, delay_std,
                                                     num_pe_mean);
    };
}

}  // namespace background
