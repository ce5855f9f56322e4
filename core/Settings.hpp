#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace background {

/// Copyable view of one node of a loaded settings document, named by its key
/// path from the root. All views of one loaded file share one accessor.
class Settings {
public:
    /// Document back end; every operation takes the full key path from the root.
    class Accessor {
    public:
        /// Whether the path names a node; never throws.
        virtual bool contains(const std::vector<std::string>& key_path) = 0;
        /// Keys of the mapping at the path in document order; empty for non-mappings.
        virtual std::vector<std::string> keys(const std::vector<std::string>& key_path) = 0;
        virtual std::string get_string(const std::vector<std::string>& key_path) = 0;
        virtual int get_int(const std::vector<std::string>& key_path) = 0;
        virtual double get_double(const std::vector<std::string>& key_path) = 0;
        virtual bool get_bool(const std::vector<std::string>& key_path) = 0;
        virtual ~Accessor() = default;
    };

    /// Parses the YAML file at `path` once and returns the root view.
    static Settings from_file(std::filesystem::path path);

    explicit Settings(std::shared_ptr<Accessor> accessor);
    Settings(std::shared_ptr<Accessor> accessor, std::vector<std::string> key_path);

    /// The child view `key`; throws std::out_of_range when it does not exist.
    Settings operator[](const std::string& key) const;
    // Without this overload `settings["key"]` would also match the built-in
    // subscript through the conversion to int.
    Settings operator[](const char* key) const { return (*this)[std::string(key)]; }
    bool contains(const std::string& key) const noexcept;
    std::vector<std::string> keys() const;

    operator std::string() const;
    operator int() const;
    operator double() const;
    operator bool() const;

private:
    std::shared_ptr<Accessor> accessor;
    std::vector<std::string> key_path;
};

/// Integer settings that feed unsigned parameters (seeds, counts) are 32-bit
/// signed values sign-extended to 64 bits: -1 becomes 2^64 - 1.
inline unsigned long widen_to_unsigned(int value) {
    return static_cast<unsigned long>(static_cast<long>(value));
}

}  // namespace background
