#pragma once
// What the example programs share: numbers read whole from their command
// lines, failures reported with their causes, and directory entries made to
// last. The library's own helpers for the last are not exported.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace examples {

/// The whole text as one number, or NaN: "50x" or "" are no numbers.
inline double number(const char* text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 ? value : std::nan("");
}

/// A count written as any number that is a whole one from 1 to 1e9 ("200",
/// "2e2"); 0 otherwise.
inline long count(const char* text) {
    const double value = number(text);
    return value >= 1 && value <= 1e9 && value == std::floor(value) ? static_cast<long>(value) : 0;
}

/// The error and, each behind a colon, the errors nested inside it (the
/// library nests the system's reason inside its own), on one line: callers
/// such as the example program quote a helper's last line of error.
inline std::string with_causes(const std::exception& error) {
    std::string text = error.what();
    std::replace(text.begin(), text.end(), '\n', ' ');
    try {
        std::rethrow_if_nested(error);
    } catch (const std::exception& cause) {
        text += ": " + with_causes(cause);
    } catch (...) {
    }
    return text;
}

/// A rename or removal lasts only once the directory holding it is on the disk.
inline void sync_directory(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0) ::close(fd);
    if (!synced)
        throw std::runtime_error("Failed to sync directory " + dir.string() + ": " + std::strerror(error) + "!");
}

}  // namespace examples
