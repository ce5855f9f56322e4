#include <background/core/YAMLAccessor.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/core/system_reason_internal.hpp>
#include <background/core/text_file_internal.hpp>

#include <yaml-cpp/yaml.h>

#include <exception>
#include <ios>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace background {

class YAMLAccessor::Impl {
public:
    explicit Impl(YAML::Node root) : root(std::move(root)) {}

    // Walks the path with const lookups, so asking for a missing key leaves no
    // trace in the document. Throws when the path runs through a scalar.
    YAML::Node get(const std::vector<std::string>& key_path) const {
        YAML::Node node = root;
        for (const std::string& key : key_path) {
            const YAML::Node& parent = node;
            YAML::Node child = parent[key];
            if (!child.IsDefined()) return child;
            node.reset(child);
        }
        return node;
    }

    template <typename T>
    T read(const std::vector<std::string>& key_path) const {
        try {
            return get(key_path).as<T>();
        } catch (...) {
            std::throw_with_nested(std::invalid_argument("access failed"));
        }
    }

private:
    YAML::Node root;
};

namespace {

// A file that cannot be opened is the dependency's bad file, just as loading
// it by name would report, with the system's reason beneath it (its text
// names the file: "X: Permission denied"); only a path that opens as
// something other than a regular file gets the reader's own reason.
std::string settings_text(const std::filesystem::path& path) {
    try {
        return detail::read_text_file(path);
    } catch (const detail::OpenError& failure) {
        detail::throw_with_system_reason(YAML::BadFile(path.string()),
                                         std::error_code(failure.error, std::generic_category()), path.string());
    }
}

}  // namespace

YAMLAccessor::YAMLAccessor(std::filesystem::path path) {
    // The file is opened through a C string, which would end at the NUL and
    // silently load another file.
    if (path.native().find('\0') != std::string::npos) {
        throw std::invalid_argument("Settings file path contains a NUL character!");
    }
    try {
        impl = std::make_unique<Impl>(YAML::Load(settings_text(path)));
    } catch (...) {
        std::throw_with_nested(
            IOError(format("Failed to load yaml file {}", path.generic_string())));
    }
}

YAMLAccessor::~YAMLAccessor() = default;

bool YAMLAccessor::contains(const std::vector<std::string>& key_path) {
    try {
        return impl->get(key_path).IsDefined();
    } catch (...) {
        return false;
    }
}

std::vector<std::string> YAMLAccessor::keys(const std::vector<std::string>& key_path) {
    std::vector<std::string> result;
    try {
        const YAML::Node node = impl->get(key_path);
        if (node.Type() != YAML::NodeType::Map) return result;
        for (const auto& entry : node) {
            // A key that is itself a mapping or a sequence has no text; skip it.
            try {
                result.push_back(entry.first.as<std::string>());
            } catch (...) {
            }
        }
    } catch (...) {
    }
    return result;
}

std::string YAMLAccessor::get_string(const std::vector<std::string>& key_path) {
    return impl->read<std::string>(key_path);
}

int YAMLAccessor::get_int(const std::vector<std::string>& key_path) {
    return impl->read<int>(key_path);
}

double YAMLAccessor::get_double(const std::vector<std::string>& key_path) {
    return impl->read<double>(key_path);
}

bool YAMLAccessor::get_bool(const std::vector<std::string>& key_path) {
    return impl->read<bool>(key_path);
}

}  // namespace background
