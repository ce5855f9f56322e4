#include <background/core/YAMLAccessor.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/core/system_reason_internal.hpp>
#include <background/core/text_file_internal.hpp>

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <exception>
#include <ios>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

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

// YAML forbids a key twice in one mapping, but the loader keeps both
// entries: lookups would read the first, other readers of the same file
// (PyYAML) the last, and a composite would build a listed part twice. Keys
// compare by their text, quoted or plain alike; a null key reads as "null",
// as keys() lists it. A key that is itself a mapping, a sequence or an alias
// has no text and is not compared.
class DuplicateKeyCheck : public YAML::EventHandler {
public:
    void OnDocumentStart(const YAML::Mark&) override {}
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t) override { leaf(mark, "null"); }
    void OnAlias(const YAML::Mark&, YAML::anchor_t) override { node_done(); }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t, const std::string& value) override {
        leaf(mark, value);
    }
    void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {
        levels.push_back({false, true, {}});
    }
    void OnSequenceEnd() override { close(); }
    void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {
        levels.push_back({true, true, {}});
    }
    void OnMapEnd() override { close(); }

private:
    struct Level {
        bool mapping;
        bool at_key = true;
        std::set<std::string> keys;
    };
    std::vector<Level> levels;

    void leaf(const YAML::Mark& mark, const std::string& text) {
        if (!levels.empty() && levels.back().mapping && levels.back().at_key && !levels.back().keys.insert(text).second)
            throw YAML::ParserException(mark, "duplicate key \"" + text + "\"");
        node_done();
    }
    void close() {
        levels.pop_back();
        node_done();
    }
    // In a mapping, keys and values take turns.
    void node_done() {
        if (!levels.empty() && levels.back().mapping) levels.back().at_key = !levels.back().at_key;
    }
};

// Loads the document's first node, as the loader does, refusing a mapping
// that holds a key twice with the line and column of the repeat.
YAML::Node load_without_duplicate_keys(const std::string& text) {
    YAML::Node root = YAML::Load(text);
    std::istringstream stream(text);
    YAML::Parser parser(stream);
    DuplicateKeyCheck check;
    parser.HandleNextDocument(check);
    return root;
}

}  // namespace

YAMLAccessor::YAMLAccessor(std::filesystem::path path) {
    // The file is opened through a C string, which would end at the NUL and
    // silently load another file.
    if (path.native().find('\0') != std::string::npos) {
        throw std::invalid_argument("Settings file path contains a NUL character!");
    }
    try {
        impl = std::make_unique<Impl>(load_without_duplicate_keys(settings_text(path)));
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
