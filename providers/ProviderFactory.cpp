// The classes the provider factory can build from the "providers" section.

#include <background/core/Factory.hpp>
#include <background/providers/MockProvider.hpp>
#include <background/providers/MultiProvider.hpp>
#include <background/providers/OrderedProvider.hpp>
#include <background/providers/SimulationProvider.hpp>

namespace background {

namespace {

// The ID under which the driver's "time_hint_hook" finds the ordered provider.
constexpr int kOrderedProviderHookId = 13076069;

}  // namespace

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
    class_resolve_table["OrderedProvider"] = [this](Settings settings) -> std::unique_ptr<ShowerProvider> {
        const std::string dir = settings["path"];
        return std::make_unique<OrderedProvider>(path(dir), kOrderedProviderHookId);
    };
    class_resolve_table["SimulationProvider"] = [this](Settings settings) -> std::unique_ptr<ShowerProvider> {
        const bool warn_unverified = settings["warn_unverified"];
        const double cutoff_interval = settings["cutoff_interval"];
        const int cutoff_pes = settings["cutoff_pes"];
        const int file_limit = settings["file_limit"];
        const std::string input_files = settings["input_files"];
        return std::make_unique<SimulationProvider>(path(input_files), file_limit, cutoff_pes, cutoff_interval,
                                                    warn_unverified);
    };
    class_resolve_table["MultiProvider"] = [this](Settings settings) -> std::unique_ptr<ShowerProvider> {
        const bool warn_unverified = settings["warn_unverified"];
        const double cutoff_interval = settings["cutoff_interval"];
        const int cutoff_pes = settings["cutoff_pes"];
        auto multi = std::make_unique<MultiProvider>(cutoff_pes, cutoff_interval, warn_unverified);
        const Settings datasets = settings["datasets"];
        for (const std::string& name : datasets.keys()) {
            const int file_limit = datasets[name]["file_limit"];
            const std::string input_files = datasets[name]["input_files"];
            multi->add_dataset(path(input_files), file_limit);
        }
        return multi;
    };
}

}  // namespace background
