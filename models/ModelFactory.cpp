// The classes the model factory can build from the "models" section.

#include <background/core/Factory.hpp>
#include <background/core/Format.hpp>
#include <background/models/CachedModel.hpp>
#include <background/models/CosmicRayModel.hpp>
#include <background/models/DarkCountModel.hpp>
#include <background/models/GenericModel.hpp>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace background {

namespace {

// A part of another family, built by a factory of its own on the same
// settings file; the factory goes as soon as the part is built.
template <typename T>
std::unique_ptr<T> build_part(const std::filesystem::path& settings_file, const Settings& settings, const char* key) {
    Factory<T> factory(settings_file);
    const std::string name = settings[key];
    return factory.create_by_name(name);
}

}  // namespace

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
    class_resolve_table["CosmicRayModel"] = [this](Settings settings) -> std::unique_ptr<BackgroundModel> {
        // The model keeps only its rates: provider and flux go when this returns.
        const std::unique_ptr<ShowerProvider> provider = build_part<ShowerProvider>(settings_path, settings, "provider");
        const std::unique_ptr<Flux> flux = build_part<Flux>(settings_path, settings, "flux");
        const bool warn_invalid = settings["warn_invalid"];
        const double e_max = settings["e_max"];
        const double e_min = settings["e_min"];
        const double theta_max = settings["theta_max"];
        const double r_max = settings["r_max"];
        const double throw_index = settings["throw_index"];
        const int gen_type = settings["gen_type"];
        const int seed = settings["seed"];
        return std::make_unique<CosmicRayModel>(*provider, *flux, widen_to_unsigned(seed), gen_type, throw_index,
                                                r_max, theta_max, e_min, e_max, warn_invalid);
    };
    class_resolve_table["CachedModel"] = [this](Settings settings) -> std::unique_ptr<BackgroundModel> {
        const std::string cache_file = settings["cache_file"];
        return std::make_unique<CachedModel>(path(cache_file));
    };
    class_resolve_table["GenericModel"] = [this](Settings settings) -> std::unique_ptr<BackgroundModel> {
        auto generic = std::make_unique<GenericModel>();
        for (const std::string& name : settings["models"].keys()) generic->add_model(create_by_name(name));
        return generic;
    };
}

}  // namespace background
