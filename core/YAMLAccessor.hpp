#pragma once

#include <background/core/Settings.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace background {

/// Settings back end over a YAML document parsed once at construction.
class YAMLAccessor : public Settings::Accessor {
public:
    /// Loads the regular file `path`; throws std::ios_base::failure with the cause
    /// (a read error, a FIFO or other non-regular file, the parser's error) nested.
    explicit YAMLAccessor(std::filesystem::path path);
    ~YAMLAccessor() override;

    bool contains(const std::vector<std::string>& key_path) override;
    std::vector<std::string> keys(const std::vector<std::string>& key_path) override;
    std::string get_string(const std::vector<std::string>& key_path) override;
    int get_int(const std::vector<std::string>& key_path) override;
    double get_double(const std::vector<std::string>& key_path) override;
    bool get_bool(const std::vector<std::string>& key_path) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
