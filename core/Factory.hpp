#pragma once

#include <background/core/BackgroundModel.hpp>
#include <background/core/EventGenerator.hpp>
#include <background/core/Flux.hpp>
#include <background/core/Format.hpp>
#include <background/core/Settings.hpp>
#include <background/core/ShowerProvider.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

namespace background {

/// The settings section that holds the instances of family T.
template <typename T>
struct FactorySection;

template <>
struct FactorySection<ShowerProvider> {
    static constexpr const char* key = "providers";
};
template <>
struct FactorySection<EventGenerator> {
    static constexpr const char* key = "generators";
};
template <>
struct FactorySection<BackgroundModel> {
    static constexpr const char* key = "models";
};
template <>
struct FactorySection<Flux> {
    static constexpr const char* key = "fluxes";
};

/// Builds configured instances of family T by name from the family's section
/// of a settings file. Builders of composite objects call back into the
/// factory that runs them, so they are bound to this object: moving a factory
/// rebinds them to the new one.
template <typename T>
class Factory {
public:
    using Builder = std::function<std::unique_ptr<T>(Settings)>;

    Factory() = default;

    explicit Factory(std::filesystem::path settings_path)
        : settings_path(std::move(settings_path)),
          section(Settings::from_file(this->settings_path)[FactorySection<T>::key]) {
        build_class_resolve_table();
    }

    Factory(const Factory&) = delete;
    Factory& operator=(const Factory&) = delete;

    Factory(Factory&& other) : settings_path(std::move(other.settings_path)), section(std::move(other.section)) {
        other.forget();
        if (!settings_path.empty()) build_class_resolve_table();
    }

    Factory& operator=(Factory&& other) {
        if (this != &other) {
            settings_path = std::move(other.settings_path);
            section = std::move(other.section);
            class_resolve_table.clear();
            other.forget();
            if (!settings_path.empty()) build_class_resolve_table();
        }
        return *this;
    }

    ~Factory() {
        class_resolve_table.clear();
        section = Settings(nullptr);
        settings_path.clear();
    }

    /// Builds the instance `name` of the family's section.
    std::unique_ptr<T> create_by_name(std::string name) {
        if (settings_path.empty()) {
            throw std::out_of_range("Default constructed or moved from object, no settings available!");
        }
        if (!section.contains(name)) {
            throw std::out_of_range(format("Instance {} is not defined in {}!", name, settings_path.string()));
        }
        const std::string cls = section[name]["class"];
        const auto builder = class_resolve_table.find(cls);
        if (builder == class_resolve_table.end()) {
            throw std::out_of_range(format("Class {} cannot be instantiated by this factory!", cls));
        }
        const InstanceUnderConstruction guard(under_construction, name);
        return builder->second(section[name]);
    }

    /// A file name from the settings, resolved against the settings file's directory.
    std::filesystem::path path(std::string file) {
        std::filesystem::path p(file);
        if (p.has_root_directory()) return p;
        return (settings_path.parent_path() / p).lexically_normal();
    }

private:
    // Composite instances build their parts through this factory; an instance
    // that reaches itself that way would recurse until the stack runs out. So
    // would a long enough acyclic chain, in building, sampling or destroying
    // it: nesting is bounded far below the depth a thread's stack can take,
    // also in instrumented builds.
    class InstanceUnderConstruction {
    public:
        InstanceUnderConstruction(std::set<std::string>& names, const std::string& name) : names(names), name(name) {
            if (names.size() >= max_nesting) {
                throw std::invalid_argument(
                    format("Instance {} is nested more than {} levels deep!", name, max_nesting));
            }
            if (!names.insert(name).second) {
                throw std::invalid_argument(format("Instance {} is defined as a part of itself!", name));
            }
        }
        ~InstanceUnderConstruction() { names.erase(name); }
        InstanceUnderConstruction(const InstanceUnderConstruction&) = delete;
        InstanceUnderConstruction& operator=(const InstanceUnderConstruction&) = delete;

    private:
        std::set<std::string>& names;
        const std::string& name;
    };

    // Leaves a moved-from factory refusing every request.
    void forget() {
        settings_path.clear();
        section = Settings(nullptr);
        class_resolve_table.clear();
    }

    static constexpr std::size_t max_nesting = 500;

    /// Fills the table; defined once per family.
    void build_class_resolve_table();

    std::filesystem::path settings_path;
    Settings section{nullptr};
    std::map<std::string, Builder> class_resolve_table;
    std::set<std::string> under_construction;
};

template <>
void Factory<ShowerProvider>::build_class_resolve_table();
template <>
void Factory<EventGenerator>::build_class_resolve_table();
template <>
void Factory<BackgroundModel>::build_class_resolve_table();
template <>
void Factory<Flux>::build_class_resolve_table();

}  // namespace background
