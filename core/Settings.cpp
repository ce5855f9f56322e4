#include <background/core/Settings.hpp>

#include <background/core/Format.hpp>
#include <background/core/YAMLAccessor.hpp>

#include <exception>
#include <stdexcept>
#include <utility>

namespace background {

namespace {

// A back end's own std::invalid_argument already says what failed; anything
// else gets the conversion named, with the original kept as the cause.
template <typename Read>
auto convert(const char* type_name, Read&& read) -> decltype(read()) {
    try {
        return read();
    } catch (const std::invalid_argument&) {
        throw;
    } catch (...) {
        std::throw_with_nested(
            std::invalid_argument(std::string("Cast to ") + type_name + " failed! Caused by"));
    }
}

}  // namespace

Settings Settings::from_file(std::filesystem::path path) {
    return Settings(std::make_shared<YAMLAccessor>(std::move(path)));
}

Settings::Settings(std::shared_ptr<Accessor> accessor) : accessor(std::move(accessor)) {}

Settings::Settings(std::shared_ptr<Accessor> accessor, std::vector<std::string> key_path)
    : accessor(std::move(accessor)), key_path(std::move(key_path)) {}

Settings Settings::operator[](const std::string& key) const {
    std::vector<std::string> child = key_path;
    child.push_back(key);
    if (!accessor->contains(child)) {
        throw std::out_of_range(format("Key {} not found!", key));
    }
    return Settings(accessor, std::move(child));
}

bool Settings::contains(const std::string& key) const noexcept {
    try {
        std::vector<std::string> child = key_path;
        child.push_back(key);
        return accessor->contains(child);
    } catch (...) {
        return false;
    }
}

std::vector<std::string> Settings::keys() const { return accessor->keys(key_path); }

Settings::operator std::string() const {
    return convert("string", [&] { return accessor->get_string(key_path); });
}

Settings::operator int() const {
    return convert("int", [&] { return accessor->get_int(key_path); });
}

Settings::operator double() const {
    return convert("double", [&] { return accessor->get_double(key_path); });
}

Settings::operator bool() const {
    return convert("bool", [&] { return accessor->get_bool(key_path); });
}

}  // namespace background
